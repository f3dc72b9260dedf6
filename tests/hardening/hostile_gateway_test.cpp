// Whole payments through the built module and its libcurl layer against a
// gateway that misbehaves: whatever it does, the host gets a result it can
// act on, nothing is reported that the reply did not say, the card number
// is posted once or not at all, and no message carries a field value.
// Run under tests/gateway/hermetic.sh.
#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/gateway_record.h"
#include "tests/support/host_fixture.h"
#include "tests/support/reply_fixtures.h"

namespace {

const variable_list kAccepted = {{"tv_status", "accepted"},
                                 {"tv_authcode", "AUTH123"},
                                 {"tv_transid", "H456"},
                                 {"tv_orderid", "O789"},
                                 {"tv_refcode", "R012"}};

enum Reaches { POSTED_ONCE, NEVER_POSTED };

struct Scenario {
  const char* what;
  const char* url;
  int result;
  variable_list variables;  // when the result is 0
  int error;                // in the send message, when the result is 1
  Reaches reaches;
  const char* listener;  // where a payment posted must show up
  double seconds;        // at most
};

class HostileGateway : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    test_host_add_secret(kCard);
  }

  // Runs `s`, checks everything the host and the gateway saw, and prints
  // the outcome as one row of the scenario table.
  void check(const Scenario& s) {
    SCOPED_TRACE(s.what);
    const std::string order = "HOSTILE-" + std::to_string(++payments_);
    const field_list fields = payment_fields(order);
    const auto start = std::chrono::steady_clock::now();
    const payment_outcome outcome =
        run_payment(load_library_module(TARVANE_MODULE_PATH), s.url, fields);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    printf("| %s | %d | %s | %.1f s |\n", s.what, outcome.result,
           outcome.result == 0 ? outcome.variables.at(0).second.c_str()
                               : outcome.message.c_str(),
           seconds);

    EXPECT_EQ(outcome.result, s.result);
    if (s.result == 0) {
      EXPECT_EQ(outcome.variables, s.variables);
      EXPECT_EQ(outcome.message, "");
    } else {
      EXPECT_EQ(outcome.message, send_message(s.url, s.error));
      EXPECT_TRUE(outcome.variables.empty()) << "no result after a failure";
    }
    EXPECT_TRUE(leaked_values(outcome.message, fields).empty());
    EXPECT_LE(seconds, s.seconds);

    // The payment went out exactly once, whole, to its gateway, or never
    // reached any.
    size_t posted = 0;
    for (const nlohmann::json& request : gateway_requests()) {
      if (request.value("body", "").find("orderid=" + order + "&") ==
          std::string::npos) {
        continue;
      }
      ++posted;
      EXPECT_EQ(request.value("listener", ""), s.listener);
      EXPECT_TRUE(request.value("complete", false));
    }
    EXPECT_EQ(posted, s.reaches == POSTED_ONCE ? 1u : 0u);
  }

  int payments_ = 0;
};

TEST_F(HostileGateway, EveryMisbehaviourEndsInAResultTheHostCanActOn) {
  const reply_fixture nul_inside =
      load_reply_fixture(REPLIES_DIR, "accepted_nul_inside");
  const Scenario scenarios[] = {
      {"reply dribbled a byte at a time",
       "https://localhost/hostile/dribble/accepted", 0, kAccepted, 0,
       POSTED_ONCE, "127.0.0.1:443", 15},
      // Half of the canned acceptance arrived: its code and the start of
      // the history id count, the rest is absent.
      {"connection closed mid-reply",
       "https://localhost/hostile/close-mid/accepted",
       0,
       {{"tv_status", "accepted"},
        {"tv_authcode", "AUTH123"},
        {"tv_transid", "H45"},
        {"tv_orderid", ""},
        {"tv_refcode", ""}},
       0,
       POSTED_ONCE,
       "127.0.0.1:443",
       10},
      {"connection reset",
       "https://localhost/hostile/reset",
       1,
       {},
       12031,
       POSTED_ONCE,
       "127.0.0.1:443",
       10},
      {"reply with a NUL byte", "https://localhost/hostile/nul", 0,
       nul_inside.variables, 0, POSTED_ONCE, "127.0.0.1:443", 10},
      {"a megabyte of reply",
       "https://localhost/hostile/megabyte",
       0,
       {{"tv_status", "accepted"},
        {"tv_authcode", "MEG"},
        {"tv_transid", ""},
        {"tv_orderid", ""},
        {"tv_refcode", ""}},
       0,
       POSTED_ONCE,
       "127.0.0.1:443",
       10},
      {"bytes that are not HTTP",
       "https://localhost/hostile/garbage",
       1,
       {},
       12152,
       POSTED_ONCE,
       "127.0.0.1:443",
       10},
      {"expired certificate",
       "https://gateway-expired.test/reply/accepted",
       1,
       {},
       12037,
       NEVER_POSTED,
       "127.0.0.4:443",
       10},
      {"certificate for another name",
       "https://gateway-wrongname.test/reply/accepted",
       1,
       {},
       12038,
       NEVER_POSTED,
       "127.0.0.2:443",
       10},
      {"self-signed certificate",
       "https://gateway-selfsigned.test/reply/accepted",
       1,
       {},
       12045,
       NEVER_POSTED,
       "127.0.0.5:443",
       10},
  };
  for (const Scenario& s : scenarios) check(s);
}

// Accepts, reads the request, never answers: the receive limit of 75 s
// ends the wait with the send message. Its own CTest entry, label "slow".
TEST_F(HostileGateway, SlowASilentGatewayIsLeftAfterTheReceiveLimit) {
  const auto start = std::chrono::steady_clock::now();
  check({"a gateway that never answers",
         "https://localhost/hostile/silent",
         1,
         {},
         12002,
         POSTED_ONCE,
         "127.0.0.1:443",
         90});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_GE(seconds, 74.0) << "given up before the 75 s limit";
}

}  // namespace
