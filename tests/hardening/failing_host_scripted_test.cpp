// A host whose allocator fails: a whole transaction runs once to count its
// allocations, then once more for each of them, that one failing. With the
// scripted HTTP client, so every call the library makes is seen exactly.
// Whatever fails, nothing crashes, nothing is written outside a block or
// left behind, the host gets a result it can act on, and a payment is
// posted whole to the URL it was meant for, or not at all.
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/host_fixture.h"
#include "tests/support/scripted_http_client.h"

extern "C" {
int miva_commerce_init(void*, void** library_data, void*, const char* url,
                       void* field_list, void* result_tree);
const char* miva_commerce_error(void*, void** library_data);
void miva_commerce_cleanup(void*, void** library_data);
}

namespace {

const char kUrl[] = "https://gateway.example/transact";
const char kCard[] = "4111111111111111";

struct TransactionRun {
  int result = -1;
  std::string message;
  variable_list variables;
  std::vector<std::string> posted;  // connect, open and send calls
};

// One transaction as a host makes it, with allocation `fail_at` failing
// (0: none). Leaves the ledger empty when the library kept its contracts.
TransactionRun run_transaction(const std::string& reply,
                               const char* failing_step, long fail_at,
                               long* allocations) {
  test_host_reset();
  test_host_add_secret(kCard);
  scripted_reset();
  scripted_reply(reply, 7);
  if (failing_step != nullptr) scripted_fail(failing_step, 12029);
  void* list = test_host_list_new();
  test_host_list_add(list, "amount", "731.42");
  test_host_list_add(list, "ccnum", kCard);
  test_host_list_add(list, "ccexp", "11/31");
  void* tree = test_host_tree_new();
  test_host_fail_allocation(fail_at);

  void* library_data = nullptr;
  TransactionRun run;
  run.result =
      miva_commerce_init(nullptr, &library_data, nullptr, kUrl, list, tree);
  if (allocations != nullptr) *allocations = test_host_allocation_count();
  const char* message = miva_commerce_error(nullptr, &library_data);
  run.message = message != nullptr ? message : "(null)";
  run.variables = tree_variables(tree);
  for (const std::string& call : scripted_calls()) {
    if (call.rfind("InternetConnectA", 0) == 0 ||
        call.rfind("HttpOpenRequestA", 0) == 0 ||
        call.rfind("HttpSendRequestA", 0) == 0) {
      run.posted.push_back(call);
    }
  }
  test_host_check_live_blocks();
  EXPECT_EQ(test_host_live_blocks(), library_data != nullptr ? 1u : 0u)
      << "only the message buffer outlives the call";
  miva_commerce_cleanup(nullptr, &library_data);
  test_host_tree_delete(tree);
  test_host_list_delete(list);
  EXPECT_EQ(test_host_live_blocks(), 0u) << "blocks left in the ledger";
  EXPECT_EQ(test_host_fault_count(), 0u) << test_host_faults();
  return run;
}

struct Outcome {
  const char* what;
  std::string reply;
  const char* failing_step;  // scripted transport failure, or none
};

class FailingHost : public HostFixture {};

TEST_F(FailingHost, EachAllocationOfATransactionFailingInTurn) {
  const Outcome outcomes[] = {
      {"accepted",
       "Accepted=A1\r\nhistoryid=H2\r\norderid=O3\r\nrefcode=R4\r\n", nullptr},
      {"declined", "Declined=Card not accepted\r\n", nullptr},
      {"merchant error", "Invalid login\r\n", nullptr},
      {"send failure", "", "HttpSendRequestA"},
  };
  for (const Outcome& o : outcomes) {
    SCOPED_TRACE(o.what);
    long count = 0;
    const TransactionRun clean =
        run_transaction(o.reply, o.failing_step, 0, &count);
    ASSERT_FALSE(clean.variables.empty() && o.failing_step == nullptr);
    printf("%s: %ld allocations; clean run: result %d, %s\n", o.what, count,
           clean.result,
           clean.variables.empty() ? clean.message.c_str()
                                   : clean.variables[0].second.c_str());
    for (long k = 1; k <= count; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
      const TransactionRun run =
          run_transaction(o.reply, o.failing_step, k, nullptr);
      std::string shown;
      for (const auto& v : run.variables)
        shown += " " + v.first + "=" + v.second;
      printf("  allocation %ld fails: result %d, %s, %s\n", k, run.result,
             run.result == 1 ? ("'" + run.message + "'").c_str()
                             : shown.c_str() + 1,
             run.posted.empty()           ? "nothing posted"
             : run.posted == clean.posted ? "posted as in the clean run"
                                          : "POSTED DIFFERENTLY");

      // Posted exactly as without the failure, or nothing at all.
      EXPECT_TRUE(run.posted.empty() || run.posted == clean.posted);
      EXPECT_TRUE(run.result == 0 || run.result == 1);
      if (run.result == 1) {
        EXPECT_NE(run.message, "") << "a failure the host cannot explain";
        EXPECT_EQ(run.message.find(kCard), std::string::npos);
        for (const auto& v : run.variables) {
          EXPECT_EQ(
              v, (std::pair<std::string, std::string>("tv_status", "error")));
        }
      } else {
        // An outcome never changes: the same variables are set, each with
        // its value or, when its copy could not be made, empty.
        ASSERT_EQ(run.variables.size(), clean.variables.size());
        EXPECT_EQ(run.variables[0], clean.variables[0]);
        for (size_t i = 0; i < run.variables.size(); ++i) {
          EXPECT_EQ(run.variables[i].first, clean.variables[i].first);
          EXPECT_TRUE(run.variables[i].second == clean.variables[i].second ||
                      run.variables[i].second.empty());
        }
      }
      // No payment is ever reported that the reply did not report.
      if (clean.result == 1) EXPECT_EQ(run.result, 1);
    }
  }
}

}  // namespace
