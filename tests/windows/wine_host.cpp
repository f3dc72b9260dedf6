// Whole payments through TarvaneLink.dll as a Windows host makes them. This
// program is the host: it exports the test host's services, loads the DLL,
// registers its own module with it and pays through the five exports. The
// DLL's HTTP client is the system's WinINet (Wine's), the gateway the local
// TLS test gateway. Run inside tests/gateway/hermetic.sh, under Wine:
//
//   tarvane_wine_host.exe DLL REPLIES_DIR
//
// Prints a line per check, an "expect-request" line for every request that
// must have reached the gateway (checked against the gateway's record by
// the driving script), a "wine-error" line per transport failure, and
// "N passed, N failed"; exits non-zero on any failure.
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "checks.h"
#include "tests/support/test_host.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> pairs;

// The exports are cdecl: the host may pass more arguments than a function
// reads, and cleans them up itself.
typedef int(__cdecl* init_fn)(void*, void**, void*, const char*, void*, void*);
typedef int(__cdecl* loop_fn)(void*, void*, void*, void*, void*, void*, void*);
typedef void(__cdecl* cleanup_fn)(void*, void**);
typedef const char*(__cdecl* error_fn)(void*, void**);
typedef void(__cdecl* register_fn)(void*);

struct library {
  init_fn init;
  loop_fn loop;
  cleanup_fn cleanup;
  error_fn error;
  register_fn register_library;
};

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string shown(const pairs& variables) {
  std::string out = "{";
  for (const auto& v : variables) {
    if (out.size() > 1) out += ", ";
    out += v.first + "=" + quoted(v.second);
  }
  return out + "}";
}

template <typename Function>
bool resolve(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
  check(*function != nullptr, std::string("the DLL exports ") + name);
  return *function != nullptr;
}

// ---- one payment ------------------------------------------------------------

const char kCard[] = "4111111111111111";

const pairs kFields = {{"amount", "12.50"},
                       {"ccnum", kCard},
                       {"ccexp", "12/29"},
                       {"orderid", "O-1"},
                       {"name", "Ann & Bob O'Neil"}};

// kFields as the test host renders them, form-urlencoded.
const char kFieldsEncoded[] =
    "amount=12.50&ccnum=4111111111111111&ccexp=12%2F29&orderid=O-1&"
    "name=Ann+%26+Bob+O%27Neil";

struct outcome {
  int result = -1;
  pairs variables;
  std::string message;  // miva_commerce_error's text when result is 1
  std::string slot;     // what was wrong with library_data, if anything
};

outcome pay(const library& lib, const std::string& url) {
  void* list = test_host_list_new();
  for (const auto& field : kFields) {
    test_host_list_add(list, field.first.c_str(), field.second.c_str());
  }
  void* tree = test_host_tree_new();
  void* library_data = nullptr;
  outcome out;
  // Positions 1 and 3 carry values the library must ignore.
  out.result =
      lib.init(reinterpret_cast<void*>(0x1111), &library_data,
               reinterpret_cast<void*>(0x3333), url.c_str(), list, tree);
  void* const buffer = library_data;
  if (test_host_block_size(buffer) != 2048) {
    out.slot = "library_data does not hold a live 2048-byte block";
  }
  const char* first = lib.error(nullptr, &library_data);
  const char* second = lib.error(nullptr, &library_data);
  if (first != buffer || second != buffer) {
    out.slot = "miva_commerce_error does not return the slot's buffer";
  }
  if (out.result != 0) out.message = first != nullptr ? first : "(null)";
  for (size_t i = 0; i < test_host_tree_count(tree); ++i) {
    out.variables.emplace_back(test_host_tree_name(tree, i),
                               test_host_tree_value(tree, i));
  }
  lib.cleanup(nullptr, &library_data);
  if (library_data != buffer) out.slot = "cleanup changed the slot";
  if (test_host_is_live(buffer)) out.slot = "cleanup left the buffer live";
  test_host_tree_delete(tree);
  test_host_list_delete(list);
  return out;
}

// The request the gateway must have recorded for a payment to `url`: the
// path with the URL's query, and the body, which is the host's rendering
// (URL, "?", fields) after its first "?".
void expect_request(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t slash =
      url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  const std::string path = url.substr(slash);
  const std::string rendering = url + "?" + kFieldsEncoded;
  const std::string body = rendering.substr(rendering.find('?') + 1);
  printf("expect-request\t%s\t%s\n", path.c_str(), body.c_str());
}

// After each payment: every block released, no fault, no card left behind.
void check_ledger(const std::string& what) {
  test_host_check_live_blocks();
  const size_t live = test_host_live_blocks();
  const size_t faults = test_host_fault_count();
  check(live == 0 && faults == 0, what + ": host ledger empty, no fault",
        std::to_string(live) + " live blocks; " + test_host_faults());
  test_host_reset();
  test_host_add_secret(kCard);
}

void check_outcome(const std::string& what, const outcome& got, int result,
                   const pairs& variables, const std::string& message) {
  check(got.result == result && got.variables == variables &&
            got.message == message && got.slot.empty(),
        what,
        "result " + std::to_string(got.result) + " (want " +
            std::to_string(result) + "), variables " + shown(got.variables) +
            " (want " + shown(variables) + "), message " + quoted(got.message) +
            " (want " + quoted(message) + ")" +
            (got.slot.empty() ? "" : ", " + got.slot));
  check_ledger(what);
}

// ---- the canned replies -----------------------------------------------------

struct fixture {
  std::string name;
  int result = -1;
  std::string message;
  pairs variables;
};

bool read_text(const std::string& path, std::string* text) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, n);
  fclose(file);
  return true;
}

// <name>.expect: "result=N", "message=TEXT" and the variables in order.
bool load_fixture(const std::string& dir, const std::string& name,
                  fixture* out) {
  std::string text;
  if (!read_text(dir + "\\" + name + ".expect", &text)) return false;
  out->name = name;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "result") {
      out->result = atoi(value.c_str());
    } else if (key == "message") {
      out->message = value;
    } else {
      out->variables.emplace_back(key, value);
    }
  }
  return out->result == 0 || out->result == 1;
}

std::vector<std::string> fixture_names(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "\\*.reply").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string file = found.cFileName;
    names.push_back(file.substr(0, file.size() - 6));
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// Every canned reply, served by the gateway, gives the outcome its .expect
// file states: the table the Linux unit and whole-payment tests read.
void canned_replies(const library& lib, const std::string& replies) {
  const std::vector<std::string> names = fixture_names(replies);
  check(names.size() >= 3, "canned replies found in " + replies,
        std::to_string(names.size()) + " found");
  for (const std::string& name : names) {
    fixture f;
    if (!load_fixture(replies, name, &f)) {
      check(false, "fixture " + name, "unreadable .expect");
      continue;
    }
    const std::string url = "https://localhost/reply/" + name;
    expect_request(url);
    check_outcome("reply " + name, pay(lib, url), f.result, f.variables,
                  f.message);
  }
}

// ---- what WinINet makes of the gateway's answers ---------------------------

const pairs kAccepted = {{"tv_status", "accepted"},
                         {"tv_authcode", "AUTH123"},
                         {"tv_transid", "H456"},
                         {"tv_orderid", "O789"},
                         {"tv_refcode", "R012"}};

pairs long_accepted(const std::string& refcode) {
  return {{"tv_status", "accepted"},
          {"tv_authcode", "LONGAUTH"},
          {"tv_transid", ""},
          {"tv_orderid", ""},
          {"tv_refcode", refcode}};
}

struct answer_case {
  const char* what;
  const char* url;
  pairs variables;
};

void gateway_answers(const library& lib) {
  const answer_case cases[] = {
      // The HTTP status is not examined; redirects are not followed (the
      // driving script finds no request for the redirect's target).
      {"a 500 with an accepted body is an acceptance",
       "https://localhost/status/500/accepted", kAccepted},
      {"a redirect's own declined body is read, not its target",
       "https://localhost/redirect/declined",
       {{"tv_status", "declined"},
        {"tv_declined_reason", "Insufficient funds"}}},
      // 8191 bytes are read whole; of a longer reply only those count.
      {"a reply of 8191 bytes is read whole",
       "https://localhost/long/8191/refcode=END", long_accepted("END")},
      {"of 8192 bytes the last is cut",
       "https://localhost/long/8192/refcode=END", long_accepted("EN")},
      {"of 50000 bytes the tail is never read",
       "https://localhost/long/50000/refcode=END", long_accepted("")},
      {"a NUL in the reply ends it",
       "https://localhost/hostile/nul",
       {{"tv_status", "accepted"},
        {"tv_authcode", "A1"},
        {"tv_transid", ""},
        {"tv_orderid", ""},
        {"tv_refcode", ""}}},
      {"a reply written one byte at a time",
       "https://localhost/hostile/dribble/accepted", kAccepted},
      // The scheme does not matter: port 443 and TLS for http:// too.
      {"an http:// URL is posted over TLS to port 443",
       "http://localhost/reply/accepted?scheme=http", kAccepted},
      {"the URL's query stays in the path; the body is what follows the "
       "first \"?\" of the rendering",
       "https://localhost/reply/accepted?merchant=77&shape=1", kAccepted},
  };
  for (const answer_case& c : cases) {
    expect_request(c.url);
    check_outcome(c.what, pay(lib, c.url), 0, c.variables, "");
  }
}

// ---- transport failures -----------------------------------------------------

std::string send_message(const std::string& url, int error) {
  char message[4096];
  snprintf(message, sizeof message, "Cannot send request to '%100s'. Error %d",
           url.c_str(), error);
  return message;
}

// The number in "Cannot send request to '...'. Error N", or -1.
int message_error(const std::string& message) {
  const std::string tag = "'. Error ";
  const size_t at = message.rfind(tag);
  if (at == std::string::npos) return -1;
  return atoi(message.c_str() + at + tag.size());
}

struct failure_case {
  const char* what;
  const char* url;
  int error;  // WinINet's number under Wine 8.0
};

void transport_failures(const library& lib) {
  const std::string long_path(120, 'p');
  const std::string long_url = "https://no-such-gateway.invalid/" + long_path;
  const failure_case cases[] = {
      {"name does not resolve", "https://no-such-gateway.invalid/pay", 12007},
      {"nothing listening", "https://gateway-closed.test/pay", 12029},
      {"untrusted authority", "https://gateway-untrusted.test/reply/accepted",
       12057},
      {"certificate for another name",
       "https://gateway-wrongname.test/reply/accepted", 12038},
      {"expired certificate", "https://gateway-expired.test/reply/accepted",
       12037},
      {"self-signed certificate",
       "https://gateway-selfsigned.test/reply/accepted", 12045},
      // Longer than the field of 100: printed whole, no blank before it.
      {"name does not resolve, URL of 152 bytes", long_url.c_str(), 12007},
  };
  for (const failure_case& c : cases) {
    const outcome got = pay(lib, c.url);
    printf("wine-error\t%s\t%d\n", c.what, message_error(got.message));
    check_outcome(std::string("send fails: ") + c.what, got, 1, {},
                  send_message(c.url, c.error));
  }
}

// ---- the other calls ------------------------------------------------------

void commerce_loop(const library& lib) {
  void* const junk = reinterpret_cast<void*>(0x5a5a5a5a);
  check(lib.loop(junk, junk, junk, junk, junk, junk,
                 reinterpret_cast<void*>(5)) == 2,
        "miva_commerce_loop with a seventh argument of 5 returns 2");
  check(lib.loop(junk, junk, junk, junk, junk, junk, nullptr) == 0,
        "miva_commerce_loop with a seventh argument of 0 returns 0");
}

// Two payments at once on two threads, each with its own slot and result.
void two_threads(const library& lib) {
  const std::string accepted_url = "https://localhost/delay/300/accepted";
  const std::string invalid_url = "https://localhost/delay/300/invalid";
  outcome accepted, invalid;
  std::thread first([&] { accepted = pay(lib, accepted_url); });
  std::thread second([&] { invalid = pay(lib, invalid_url); });
  first.join();
  second.join();
  expect_request(accepted_url);
  expect_request(invalid_url);
  check(accepted.result == 0 && accepted.variables == kAccepted &&
            accepted.slot.empty(),
        "two threads: the accepted payment",
        shown(accepted.variables) + " " + accepted.slot);
  check(invalid.result == 1 &&
            invalid.message ==
                "Invalid Merchant configuration. Please notify Merchant to "
                "verify their Tarvane setup." &&
            invalid.slot.empty(),
        "two threads: the refused one", quoted(invalid.message));
  check_ledger("two threads");
}

const char kNoResultCodes[] =
    "Invalid Tarvane response. Could not get result codes.";

// ---- a hostile gateway ----------------------------------

struct hostile_case {
  const char* what;
  const char* url;
  int result;
  pairs variables;
  const char* message;  // "" when none; "either" for the two below
};

// Wine's client ends some broken exchanges either at the send, with its own
// number, or with a successful send of nothing, depending on timing: both
// are errors the host can act on, never a payment.
bool is_error_outcome(const outcome& got, const std::string& url) {
  const std::string send_prefix = send_message(url, 0).substr(0, 124);
  const bool send_failed =
      got.variables.empty() &&
      got.message.compare(0, send_prefix.size(), send_prefix) == 0;
  const bool nothing_read = got.variables == pairs{{"tv_status", "error"}} &&
                            got.message == kNoResultCodes;
  return got.result == 1 && got.slot.empty() && (send_failed || nothing_read);
}

// What a broken or hostile gateway does must end in a result the host can
// act on: what arrived is interpreted, or the send message.
void hostile_gateway(const library& lib, bool with_silent) {
  const hostile_case cases[] = {
      {"a connection closed mid-reply: what arrived is interpreted",
       "https://localhost/hostile/close-mid/accepted",
       0,
       {{"tv_status", "accepted"},
        {"tv_authcode", "AUTH123"},
        {"tv_transid", "H45"},
        {"tv_orderid", ""},
        {"tv_refcode", ""}},
       ""},
      {"a megabyte of reply: only 8191 bytes count",
       "https://localhost/hostile/megabyte",
       0,
       {{"tv_status", "accepted"},
        {"tv_authcode", "MEG"},
        {"tv_transid", ""},
        {"tv_orderid", ""},
        {"tv_refcode", ""}},
       ""},
      // Wine's client takes bytes that are not HTTP as a reply without text.
      {"bytes that are not HTTP at all",
       "https://localhost/hostile/garbage",
       1,
       {{"tv_status", "error"}},
       kNoResultCodes},
      {"a reset after the request",
       "https://localhost/hostile/reset",
       1,
       {},
       "either"},
      {"a server that accepts and never answers, ended by a time limit",
       "https://localhost/hostile/silent",
       1,
       {},
       "either"},
  };
  for (const hostile_case& c : cases) {
    if (!with_silent &&
        std::string(c.url).find("silent") != std::string::npos) {
      continue;
    }
    const outcome got = pay(lib, c.url);
    printf("observed\t%s\t%d\t%s\t%s\n", c.url, got.result,
           shown(got.variables).c_str(), got.message.c_str());
    if (std::string(c.message) == "either") {
      check(is_error_outcome(got, c.url), c.what,
            "result " + std::to_string(got.result) + ", variables " +
                shown(got.variables) + ", message " + quoted(got.message));
      check_ledger(c.what);
    } else {
      check_outcome(c.what, got, c.result, c.variables, c.message);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s DLL REPLIES_DIR [--hostile|--hostile-quick]\n",
            argv[0]);
    return 2;
  }
  const std::string mode = argc == 4 ? argv[3] : "";
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryA(argv[1]);
  check(module != nullptr, std::string("LoadLibrary ") + argv[1],
        "error " + std::to_string(GetLastError()));
  if (module == nullptr) return 1;

  library lib;
  bool all = resolve(module, "miva_commerce_init", &lib.init);
  all = resolve(module, "miva_commerce_loop", &lib.loop) && all;
  all = resolve(module, "miva_commerce_cleanup", &lib.cleanup) && all;
  all = resolve(module, "miva_commerce_error", &lib.error) && all;
  all = resolve(module, "MivaRegisterLibrary", &lib.register_library) && all;
  if (!all) return 1;

  // The same exports by their fixed ordinals.
  const char* const by_ordinal[] = {
      "miva_commerce_init", "miva_commerce_loop", "miva_commerce_cleanup",
      "miva_commerce_error", "MivaRegisterLibrary"};
  for (int i = 0; i < 5; ++i) {
    FARPROC a = GetProcAddress(module, MAKEINTRESOURCEA(100 + i));
    FARPROC b = GetProcAddress(module, by_ordinal[i]);
    check(a != nullptr && a == b,
          "ordinal " + std::to_string(100 + i) + " is " + by_ordinal[i]);
  }

  test_host_reset();
  test_host_add_secret(kCard);
  // This program's own module exports the host services.
  lib.register_library(GetModuleHandleA(nullptr));
  const long calls_before = static_cast<long>(test_host_call_count());
  check(calls_before == 0, "registration calls no host service");

  if (mode == "--hostile" || mode == "--hostile-quick") {
    hostile_gateway(lib, mode == "--hostile");
    return checks_summary();
  }

  commerce_loop(lib);
  canned_replies(lib, argv[2]);
  gateway_answers(lib);
  two_threads(lib);
  transport_failures(lib);

  return checks_summary();
}
