// interpret_reply on arbitrary bytes, checked against a reference of the
// decision rule written here from scratch. Each input runs twice: once as
// it is, and once with one host allocation failing (chosen from the input),
// where the outcome and the names set must not change and each value is
// either right or empty.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "gateway/gateway.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_ops.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> variables;

const char kMerchantMessage[] =
    "Invalid Merchant configuration. Please notify Merchant to verify their "
    "Tarvane setup.";
const char kResponseMessage[] =
    "Invalid Tarvane response. Could not get result codes.";

std::string lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The text after the first `marker` up to the first line end; for "="
// the whole first line when there is none; empty when a longer marker is
// absent.
std::string value_after(const std::string& reply, const std::string& folded,
                        const std::string& marker) {
  size_t at = folded.find(marker);
  std::string value;
  if (at != std::string::npos) {
    value = reply.substr(at + marker.size());
  } else if (marker == "=") {
    value = reply;
  }
  size_t end = value.find_first_of("\r\n");
  return end == std::string::npos ? value : value.substr(0, end);
}

struct Outcome {
  bool understood;
  variables set;
  std::string message;
};

Outcome reference(const std::string& reply) {
  const std::string folded = lower(reply);
  const size_t accepted = folded.find("accepted");
  const size_t declined = folded.find("declined");
  Outcome o;
  // "Declined" before the first "Accepted" is a decline: a reason that
  // mentions acceptance must not turn it into a payment.
  if (declined != std::string::npos &&
      (accepted == std::string::npos || declined < accepted)) {
    o.understood = true;
    o.set = {{"tv_status", "declined"},
             {"tv_declined_reason", value_after(reply, folded, "=")}};
  } else if (accepted != std::string::npos) {
    o.understood = true;
    o.set = {{"tv_status", "accepted"},
             {"tv_authcode", value_after(reply, folded, "=")},
             {"tv_transid", value_after(reply, folded, "historyid=")},
             {"tv_orderid", value_after(reply, folded, "orderid=")},
             {"tv_refcode", value_after(reply, folded, "refcode=")}};
  } else {
    o.understood = false;
    o.set = {{"tv_status", "error"}};
    o.message = folded.find("invalid") != std::string::npos ? kMerchantMessage
                                                            : kResponseMessage;
  }
  return o;
}

const char kUntouched = '\x7e';

// One call of interpret_reply on `reply` (bytes up to `size`, NUL after),
// checked against `expected`; with `fail_at` set, values may come back
// empty. Returns the number of allocations the call made.
long check_once(const uint8_t* data, size_t size, const Outcome& expected,
                long fail_at) {
  test_host_reset();
  // The reply in a block of its exact size, so a read past it is caught.
  char* reply = static_cast<char*>(malloc(size + 1));
  memcpy(reply, data, size);
  reply[size] = '\0';
  char* error_text = static_cast<char*>(miva_alloc(ERROR_TEXT_SIZE));
  FUZZ_CHECK(error_text != nullptr);
  memset(error_text, kUntouched, ERROR_TEXT_SIZE);
  void* tree = test_host_tree_new();
  const long before = test_host_allocation_count();
  if (fail_at != 0) test_host_fail_allocation(before + fail_at);

  const bool understood = interpret_reply(error_text, reply, tree);
  const long made = test_host_allocation_count() - before;

  FUZZ_CHECK(understood == expected.understood);
  const size_t count = test_host_tree_count(tree);
  FUZZ_CHECK(count == expected.set.size());
  size_t statuses = 0;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = test_host_tree_name(tree, i);
    const std::string value = test_host_tree_value(tree, i);
    statuses += name == "tv_status";
    FUZZ_CHECK(name == expected.set[i].first);
    FUZZ_CHECK(value == expected.set[i].second ||
               (fail_at != 0 && value.empty() && i != 0));
  }
  FUZZ_CHECK(statuses == 1);
  if (understood) {
    for (size_t i = 0; i < ERROR_TEXT_SIZE; ++i) {
      FUZZ_CHECK(error_text[i] == kUntouched);
    }
  } else {
    FUZZ_CHECK(strcmp(error_text, expected.message.c_str()) == 0);
  }

  miva_free(error_text);
  test_host_tree_delete(tree);
  free(reply);
  fuzz_require_clean_host();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_register_test_host();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data),
                          strnlen(reinterpret_cast<const char*>(data), size));
  const Outcome expected = reference(reply);
  const long made = check_once(data, size, expected, 0);
  if (made > 0)
    check_once(data, size, expected, 1 + fuzz_hash(data, size) % made);
  return 0;
}
