// The failing host through the built module against the local gateway:
// each host allocation of a whole payment failing in turn. The gateway's
// record shows what reached it: the payment whole, at its URL, once, or
// nothing.
#include <stdio.h>

#include <string>

#include "tests/hardening/hardening_support.h"
#include "tests/support/gateway_record.h"
#include "tests/support/host_fixture.h"

namespace {

const char kPath[] = "/reply/accepted";

class FailingHostModule : public HostFixture {};

TEST_F(FailingHostModule, EachAllocationOfAPaymentFailingInTurn) {
  const library_module& module = load_library_module(TARVANE_MODULE_PATH);
  const std::string url = std::string("https://localhost") + kPath;

  test_host_reset();
  test_host_add_secret(kCard);
  const payment_outcome clean =
      run_payment(module, url, payment_fields("FH-0"));
  const long count = test_host_allocation_count();
  ASSERT_EQ(clean.result, 0);
  ASSERT_GT(count, 0);
  printf("a payment through the module: %ld allocations\n", count);
  std::string clean_body;
  for (const nlohmann::json& request : gateway_requests_for(kPath)) {
    const std::string body = request.value("body", "");
    if (body.find("orderid=FH-0&") != std::string::npos) clean_body = body;
  }
  ASSERT_NE(clean_body, "");

  for (long k = 1; k <= count; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
    test_host_reset();
    test_host_add_secret(kCard);
    test_host_fail_allocation(k);
    const std::string order = "FH-" + std::to_string(k);
    const field_list fields = payment_fields(order);
    const payment_outcome run = run_payment(module, url, fields);
    test_host_check_live_blocks();
    EXPECT_EQ(test_host_live_blocks(), 0u);
    EXPECT_EQ(test_host_fault_count(), 0u) << test_host_faults();

    size_t posted = 0;
    for (const nlohmann::json& request : gateway_requests()) {
      const std::string body = request.value("body", "");
      if (body.find("orderid=" + order + "&") == std::string::npos) continue;
      ++posted;
      EXPECT_EQ(request.value("path", ""), kPath);
      std::string expected = clean_body;
      expected.replace(expected.find("FH-0"), 4, order);
      EXPECT_EQ(body, expected);
    }
    EXPECT_LE(posted, 1u);
    printf("  allocation %ld fails: result %d, %s, %s\n", k, run.result,
           run.result == 1
               ? ("'" + run.message + "'").c_str()
               : (run.variables.at(0).second + " with " +
                  std::to_string(run.variables.size()) + " variables")
                     .c_str(),
           posted == 0 ? "nothing posted" : "posted whole");

    EXPECT_TRUE(leaked_values(run.message, fields).empty());
    if (run.result == 1) {
      EXPECT_NE(run.message, "");
      for (const auto& v : run.variables) EXPECT_EQ(v.second, "error");
    } else {
      ASSERT_EQ(run.result, 0);
      ASSERT_EQ(run.variables.size(), clean.variables.size());
      EXPECT_EQ(run.variables[0], clean.variables[0]);
      for (size_t i = 1; i < run.variables.size(); ++i) {
        EXPECT_TRUE(run.variables[i] == clean.variables[i] ||
                    run.variables[i].second.empty());
      }
      EXPECT_EQ(posted, 1u) << "an outcome without a payment posted";
    }
  }
}

}  // namespace
