// No card data left behind: after a payment, whatever its outcome, the
// card number is in no block the library released or still holds (the
// test host scans each at its release and the live ones at the end), in no
// heap block released by the library's HTTP client layer, libcurl or
// OpenSSL on the paying thread, and not on that thread's stack; the raw
// reply is not on the stack either. In the optimised module build this
// also shows that the wipes are not dropped by the compiler.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/host_fixture.h"

namespace {

struct Payment {
  const library_module* module;
  const char* url;
  void* list;
  void* tree;
  std::string secret;     // made before the watch, so that its own
  std::string host_mark;  // copies are not counted
  int result;
  char message[4096];
};

// All a host does for one payment, and nothing else, so that what is
// found on this thread's stack and in its released blocks is the
// library's.
void pay(void* raw) {
  Payment* p = static_cast<Payment*>(raw);
  void* library_data = nullptr;
  heap_watch_start(p->secret, p->host_mark);
  p->result = p->module->commerce_init(nullptr, &library_data, nullptr, p->url,
                                       p->list, p->tree);
  const char* message = p->module->commerce_error(nullptr, &library_data);
  strncpy(p->message, message != nullptr ? message : "", sizeof p->message - 1);
  test_host_check_live_blocks();
  p->module->commerce_cleanup(nullptr, &library_data);
}

std::string form_encoded(const field_list& fields) {
  std::string out;
  for (const auto& field : fields) {
    if (!out.empty()) out += '&';
    out += field.first + '=';
    for (unsigned char c : field.second) {
      if (isalnum(c) || c == '-' || c == '.' || c == '_') {
        out += static_cast<char>(c);
      } else {
        char escaped[4];
        snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += escaped;
      }
    }
  }
  return out;
}

// The payment of `fields` to `url`, with the host's rendering made here,
// once: the test host then copies no single field value while it runs.
Payment make_payment(const library_module& module, const char* url,
                     const field_list& fields) {
  void* list = test_host_list_new();
  test_host_list_set_rendering(
      list, (std::string(url) + "?" + form_encoded(fields)).c_str());
  return Payment{
      &module, url, list, test_host_tree_new(), kCard, std::string(url) + "?",
      -1,      {}};
}

void release(Payment* p) {
  test_host_tree_delete(p->tree);
  test_host_list_delete(p->list);
}

struct CardCase {
  const char* what;
  const char* url;
  int result;
  size_t body_padding;  // a field of this many bytes, for the large-body path
};

class CardData : public HostFixture {};

// The watch itself sees a released block that holds the card, whichever
// way the block goes back, so a clean result below means something.
TEST(HeapWatch, SeesTheSecretInAReleasedOrMovedBlock) {
  void* (*volatile allocate)(size_t) = malloc;
  void* (*volatile reallocate)(void*, size_t) = realloc;
  void (*volatile release_block)(void*) = free;
  const std::string secret = kCard;
  const std::string mark = "https://localhost/reply/accepted?";
  heap_watch_start(secret, mark);
  char* held = static_cast<char*>(allocate(64));
  snprintf(held, 64, "ccnum=%s", kCard);
  release_block(held);
  char* moved = static_cast<char*>(allocate(32));
  snprintf(moved, 32, "%s", kCard);
  moved = static_cast<char*>(reallocate(moved, 1 << 20));
  release_block(moved);
  char* hosts = static_cast<char*>(allocate(128));
  snprintf(hosts, 128, "%sccnum=%s", mark.c_str(), kCard);
  release_block(hosts);
  std::string first;
  // The first block, both places of the moved one; not the host's.
  EXPECT_EQ(heap_watch_stop(&first), 3u);
  EXPECT_NE(first.find(kCard), std::string::npos) << first;
}

TEST_F(CardData, NoCopyOfTheCardOrTheReplySurvivesAPayment) {
  // The same payment first, through the module every other test uses and
  // on a stack nobody scans, binds the test host's own calls: a first call
  // through a lazily bound entry of the host spills vector registers, bytes
  // of the body and the reply among them, onto the stack, and that spill is
  // the host's. The payments watched then run through a copy of the module
  // loaded for lazy binding, so a spill of the library's own would show.
  {
    Payment warm =
        make_payment(load_library_module(TARVANE_MODULE_PATH),
                     "https://localhost/reply/accepted", payment_fields());
    std::thread(pay, &warm).join();
    EXPECT_EQ(warm.result, 0) << warm.message;
    release(&warm);
  }
  const library_module module = load_fresh_module_copy(/*lazy=*/true);
  module.register_library(module_);
  const CardCase cases[] = {
      {"accepted", "https://localhost/reply/accepted", 0, 0},
      {"declined", "https://localhost/reply/declined", 0, 0},
      {"merchant error", "https://localhost/reply/invalid", 1, 0},
      {"reset after the request", "https://localhost/hostile/reset", 1, 0},
      {"refused certificate", "https://gateway-expired.test/reply/accepted", 1,
       0},
      {"a body larger than one send", "https://localhost/reply/accepted", 0,
       200000},
  };
  for (const CardCase& c : cases) {
    SCOPED_TRACE(c.what);
    test_host_reset();
    test_host_add_secret(kCard);
    field_list fields = payment_fields();
    if (c.body_padding > 0) {
      fields.emplace_back("note", std::string(c.body_padding, 'n'));
    }
    Payment p = make_payment(module, c.url, fields);
    bool scanned = false;
    // "historyid=H456" is in the canned acceptance and reaches the host
    // only as "H456".
    const std::vector<std::string> on_stack = run_and_scan_stack(
        pay, &p, {kCard, "historyid=H456", "Declined=Insufficient"}, &scanned);
    std::string first_block;
    const size_t released_with_card = heap_watch_stop(&first_block);

    EXPECT_EQ(p.result, c.result) << p.message;
    EXPECT_TRUE(leaked_values(p.message, fields).empty()) << p.message;
    EXPECT_EQ(released_with_card, 0u)
        << "released blocks held the card number; the first:\n"
        << first_block;
    if (scanned) {
      EXPECT_TRUE(on_stack.empty()) << "left on the stack: " << on_stack.at(0);
    } else {
      printf(
          "%s: stack not scanned, AddressSanitizer keeps the frames on "
          "fake stacks\n",
          c.what);
    }
    test_host_check_live_blocks();
    EXPECT_EQ(test_host_live_blocks(), 0u);
    EXPECT_EQ(test_host_fault_count(), 0u) << test_host_faults();
    release(&p);
  }
}

}  // namespace
