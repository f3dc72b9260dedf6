#include <string.h>

#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "tests/support/host_fixture.h"
#include "tests/support/scripted_http_client.h"
#include "text/text_ops.h"

extern "C" {
int miva_commerce_init(void*, void** library_data, void*, const char* url,
                       void* field_list, void* result_tree);
int miva_commerce_loop(void*, void*, void*, void*, void*, void*, void* repeat);
const char* miva_commerce_error(void*, void** library_data);
void miva_commerce_cleanup(void*, void** library_data);
}

namespace {

typedef std::vector<std::string> call_list;

const char kUrl[] = "https://localhost/reply/accepted";
const char kCard[] = "4111111111111111";

struct Transaction {
  int result = -1;
  variable_list variables;
  std::string message;
  call_list calls;
};

class CommerceFrame : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    scripted_reset();
    test_host_add_secret(kCard);
  }

  // One whole transaction through the exports, cleaned up as a host would.
  Transaction run(const char* url = kUrl) {
    void* list = test_host_list_new();
    test_host_list_add(list, "amount", "1.00");
    test_host_list_add(list, "ccnum", kCard);
    void* tree = test_host_tree_new();
    void* library_data = nullptr;
    Transaction t;
    t.result =
        miva_commerce_init(nullptr, &library_data, nullptr, url, list, tree);
    // The slot holds this transaction's buffer on every outcome.
    EXPECT_TRUE(test_host_is_live(library_data));
    EXPECT_EQ(test_host_block_size(library_data), ERROR_TEXT_SIZE);
    EXPECT_EQ(std::string(test_host_call(0)), "miva_alloc")
        << "the message buffer is the first host call";
    test_host_check_live_blocks();
    EXPECT_EQ(test_host_live_blocks(), 1u) << "only the message buffer lives";
    t.message = miva_commerce_error(nullptr, &library_data);
    t.variables = tree_variables(tree);
    t.calls = scripted_calls();
    miva_commerce_cleanup(nullptr, &library_data);
    test_host_tree_delete(tree);
    test_host_list_delete(list);
    return t;
  }
};

call_list setup_calls() {
  call_list calls = {
      "InternetOpenA(\"TarvaneLink\", 0, null, null, 0x84A00000)"};
  for (int option : {2, 6, 5, 8, 7, 6, 5}) {
    calls.push_back("InternetSetOptionA(root, " + std::to_string(option) +
                    ", 75000, 4)");
  }
  return calls;
}

const char kConnect[] =
    "InternetConnectA(root, \"localhost\", 443, null, null, 3, 0, 0)";
const char kOpenRequest[] =
    "HttpOpenRequestA(connection, \"POST\", \"/reply/accepted\", "
    "\"HTTP/1.0\", \"\", null, 0x84A00000, 0)";
const char kSend[] =
    "HttpSendRequestA(request, \"Content-Type: "
    "application/x-www-form-urlencoded\", 47, "
    "\"amount=1.00&ccnum=4111111111111111\", 34)";

call_list concat(call_list a, const call_list& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(CommerceFrame, AnAcceptedPaymentMakesExactlyTheseCalls) {
  const std::string reply =
      "Accepted=A1\r\nhistoryid=H2\r\norderid=O3\r\nrefcode=R4\r\n";
  scripted_reply(reply, 16);
  Transaction t = run();
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(t.message, "") << "no message on success";
  EXPECT_EQ(t.variables, (variable_list{{"tv_status", "accepted"},
                                        {"tv_authcode", "A1"},
                                        {"tv_transid", "H2"},
                                        {"tv_orderid", "O3"},
                                        {"tv_refcode", "R4"}}));
  call_list expected = concat(setup_calls(), {kConnect, kOpenRequest, kSend});
  // The room shrinks by what each read brought, down to the end of data.
  size_t given = 0;
  for (;;) {
    expected.push_back("InternetReadFile(request, " +
                       std::to_string(8191 - given) + ")");
    if (given == reply.size()) break;
    given += std::min<size_t>(16, reply.size() - given);
  }
  expected = concat(expected, {"InternetCloseHandle(request)",
                               "InternetCloseHandle(connection)",
                               "InternetCloseHandle(root)"});
  EXPECT_EQ(t.calls, expected);
  EXPECT_EQ(scripted_live_blocks_at_close(), (std::vector<size_t>{1, 1, 1}))
      << "texts are released before the handles are closed";
}

TEST_F(CommerceFrame, DeclinedAndInvalidReplies) {
  scripted_reply("Declined=Card not accepted\r\n");
  Transaction declined = run();
  EXPECT_EQ(declined.result, 0);
  EXPECT_EQ(declined.message, "");
  EXPECT_EQ(declined.variables,
            (variable_list{{"tv_status", "declined"},
                           {"tv_declined_reason", "Card not accepted"}}));

  scripted_reset();
  scripted_reply("Invalid login\r\n");
  Transaction invalid = run();
  EXPECT_EQ(invalid.result, 1);
  EXPECT_EQ(invalid.message,
            "Invalid Merchant configuration. Please notify Merchant to verify "
            "their Tarvane setup.");
  EXPECT_EQ(invalid.variables, (variable_list{{"tv_status", "error"}}));
}

struct StepFailure {
  const char* operation;
  DWORD error;
  std::string message;
  call_list calls_after_setup;  // from the failing call on
};

TEST_F(CommerceFrame, AFailingStepReportsItsMessageAndClosesWhatWasOpened) {
  const std::string padded_url = std::string(100 - strlen(kUrl), ' ') + kUrl;
  const StepFailure failures[] = {
      {"InternetOpenA",
       12004,
       "Cannot initialize secure session object. Error 12004",
       {}},
      {"InternetConnectA",
       12007,
       "Cannot connect to '" + padded_url + "'. Error 12007",
       {kConnect, "InternetCloseHandle(root)"}},
      {"HttpOpenRequestA",
       8,
       "Cannot create request object. Error 8",
       {kConnect, kOpenRequest, "InternetCloseHandle(connection)",
        "InternetCloseHandle(root)"}},
      {"HttpSendRequestA",
       12029,
       "Cannot send request to '" + padded_url + "'. Error 12029",
       {kConnect, kOpenRequest, kSend, "InternetCloseHandle(request)",
        "InternetCloseHandle(connection)", "InternetCloseHandle(root)"}},
  };
  for (const StepFailure& f : failures) {
    SCOPED_TRACE(f.operation);
    scripted_reset();
    scripted_reply("Accepted=A1\r\n");
    scripted_fail(f.operation, f.error);
    test_host_reset();
    test_host_add_secret(kCard);
    Transaction t = run();
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.message, f.message);
    EXPECT_TRUE(t.variables.empty()) << "no result variable after a failure";
    call_list expected =
        std::string(f.operation) == "InternetOpenA"
            ? call_list{"InternetOpenA(\"TarvaneLink\", 0, null, null, "
                        "0x84A00000)"}
            : concat(setup_calls(), f.calls_after_setup);
    EXPECT_EQ(t.calls, expected);
    for (size_t live : scripted_live_blocks_at_close()) EXPECT_EQ(live, 1u);
  }
}

TEST_F(CommerceFrame, ARootThatCannotBeSetStillSends) {
  scripted_fail("InternetSetOptionA", 87);
  scripted_reply("Accepted=A1\r\n");
  Transaction t = run();
  EXPECT_EQ(t.result, 0);
  EXPECT_EQ(t.variables.at(0),
            (std::pair<std::string, std::string>("tv_status", "accepted")));
}

struct ReadCase {
  const char* what;
  size_t reply_size;
  size_t chunk;
  int failing_read;
  size_t expected_authcode;  // bytes after "Accepted=" that were read
};

TEST_F(CommerceFrame, TheReplyIsReadUpTo8191Bytes) {
  const ReadCase cases[] = {
      {"exactly 8191 bytes", 8191, 1000, 0, 8191 - 9},
      {"longer reply is cut", 20000, 4096, 0, 8191 - 9},
      {"one read for all", 8191, 100000, 0, 8191 - 9},
      {"a failed read keeps what arrived", 5000, 1000, 2, 2000 - 9},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_reset();
    test_host_reset();
    scripted_reply("Accepted=" + std::string(c.reply_size - 9, 'x'), c.chunk,
                   c.failing_read);
    Transaction t = run();
    EXPECT_EQ(t.result, 0);
    ASSERT_GE(t.variables.size(), 2u);
    EXPECT_EQ(t.variables[1].second.size(), c.expected_authcode);
    EXPECT_LE(scripted_bytes_delivered(), 8191u);
    if (c.failing_read == 0) {
      EXPECT_EQ(t.calls[t.calls.size() - 4], "InternetReadFile(request, 0)")
          << "the full buffer ends the loop with a read of nothing";
    }
  }
}

TEST_F(CommerceFrame, ErrorAndCleanupWorkOnTheSlot) {
  void* list = test_host_list_new();
  void* tree = test_host_tree_new();
  void* library_data = nullptr;
  scripted_fail("HttpSendRequestA", 12002);
  EXPECT_EQ(
      miva_commerce_init(nullptr, &library_data, nullptr, kUrl, list, tree), 1);
  void* buffer = library_data;
  const char* first = miva_commerce_error(nullptr, &library_data);
  const char* second = miva_commerce_error(nullptr, &library_data);
  EXPECT_EQ(first, buffer);
  EXPECT_EQ(second, buffer);
  miva_commerce_cleanup(nullptr, &library_data);
  EXPECT_FALSE(test_host_is_live(buffer)) << "exactly that block is released";
  EXPECT_EQ(library_data, buffer) << "the slot is left as it was";
  test_host_tree_delete(tree);
  test_host_list_delete(list);
}

TEST(CommerceLoop, AnswersFromTheSeventhArgumentOnly) {
  int x = 0;
  void* busy = &x;
  EXPECT_EQ(miva_commerce_loop(busy, busy, busy, busy, busy, busy,
                               reinterpret_cast<void*>(5)),
            2);
  EXPECT_EQ(miva_commerce_loop(busy, busy, busy, busy, busy, busy, nullptr), 0);
  EXPECT_EQ(miva_commerce_loop(nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, reinterpret_cast<void*>(-1)),
            2);
}

TEST_F(CommerceFrame, AMessageBufferTheHostCannotGiveStopsThePayment) {
  test_host_fail_allocation(1);
  void* library_data = reinterpret_cast<void*>(0x1);
  void* tree = test_host_tree_new();
  EXPECT_EQ(
      miva_commerce_init(nullptr, &library_data, nullptr, kUrl, nullptr, tree),
      1);
  EXPECT_EQ(library_data, nullptr);
  EXPECT_TRUE(scripted_calls().empty()) << "nothing was posted";
  EXPECT_EQ(test_host_tree_count(tree), 0u);
  const char* message = miva_commerce_error(nullptr, &library_data);
  ASSERT_NE(message, nullptr);
  EXPECT_NE(std::string(message), "");
  miva_commerce_cleanup(nullptr, &library_data);
  test_host_tree_delete(tree);
}

}  // namespace
