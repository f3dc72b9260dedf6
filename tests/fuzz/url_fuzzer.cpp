// split_gateway_url and build_post_body on arbitrary URLs and host
// renderings. Input: the URL, a line feed, the host's rendering of the
// fields (each ends at its first NUL, as host texts do; without a line feed
// the whole input is the URL and the rendering is empty). The URL lives in
// a block of its exact size, so a read past it is caught; the host's
// blocks carry guard bytes. Host and path must put the URL's rest back
// together, and the body must be what follows the rendering's first "?".
// Each input runs once as it is and once per allocation the first run
// made, that allocation failing: nothing may leak or be written outside a
// block, and what comes back is still right or empty.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "gateway/gateway.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_ops.h"

namespace {

bool starts_nocase(const std::string& text, const char* prefix) {
  const size_t n = strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The URL without a leading "http://" or "https://".
std::string rest_of(const std::string& url) {
  if (starts_nocase(url, "http://")) return url.substr(7);
  if (starts_nocase(url, "https://")) return url.substr(8);
  return url;
}

std::string body_of(const std::string& rendering) {
  const size_t mark = rendering.find('?');
  return mark == std::string::npos ? rendering : rendering.substr(mark + 1);
}

// Runs both operations; returns the allocations made.
long run(const std::string& url, const std::string& rendering, long fail_at) {
  test_host_reset();
  char* u = static_cast<char*>(malloc(url.size() + 1));
  memcpy(u, url.c_str(), url.size() + 1);
  void* list = test_host_list_new();
  test_host_list_set_rendering(list, rendering.c_str());
  if (fail_at != 0) test_host_fail_allocation(fail_at);

  host_text host = nullptr;
  host_text path = nullptr;
  split_gateway_url(u, &host, &path);
  host_text body = build_post_body(u, list);
  const long made = test_host_allocation_count();

  const std::string rest = rest_of(url);
  if (fail_at == 0) {
    FUZZ_CHECK(host != nullptr && path != nullptr && body != nullptr);
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
      FUZZ_CHECK(std::string(host) == rest);
      FUZZ_CHECK(std::string(path) == "/");
    } else {
      FUZZ_CHECK(std::string(host) == rest.substr(0, slash));
      FUZZ_CHECK(std::string(path) == rest.substr(slash));
    }
    FUZZ_CHECK(std::string(body) == body_of(rendering));
  } else {
    // A copy the host could not give is no text; the others still hold
    // some piece of what they would have held.
    if (host != nullptr) FUZZ_CHECK(rest.find(host) != std::string::npos);
    if (path != nullptr) {
      FUZZ_CHECK(path[0] == '/' || path[0] == '\0');
      FUZZ_CHECK(std::string(path) == "/" ||
                 rest.find(path) != std::string::npos);
    }
    if (body != nullptr) FUZZ_CHECK(std::string(body) == body_of(rendering));
  }
  for (host_text text : {host, path, body}) {
    if (text != nullptr) {
      FUZZ_CHECK(test_host_block_size(text) ==
                 static_cast<long>(strlen(text) + 1));
    }
  }
  miva_free(host);
  miva_free(path);
  miva_free(body);
  test_host_list_delete(list);
  free(u);
  fuzz_require_clean_host();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_register_test_host();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* raw = reinterpret_cast<const char*>(data);
  const char* line_end = static_cast<const char*>(memchr(raw, '\n', size));
  const size_t url_size = line_end != nullptr ? line_end - raw : size;
  const std::string url(raw, strnlen(raw, url_size));
  std::string rendering;
  if (line_end != nullptr) {
    const size_t left = size - url_size - 1;
    rendering.assign(line_end + 1, strnlen(line_end + 1, left));
  }
  const long made = run(url, rendering, 0);
  for (long k = 1; k <= made; ++k) run(url, rendering, k);
  return 0;
}
