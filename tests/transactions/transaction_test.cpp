// Whole payments through the built module, its real HTTP client and the
// local TLS test gateway. Run under tests/gateway/hermetic.sh.
#include <string>
#include <thread>
#include <vector>

#include "tests/support/gateway_record.h"
#include "tests/support/host_fixture.h"
#include "tests/support/library_module.h"
#include "tests/support/reply_fixtures.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> field_list;

field_list payment_fields(const std::string& order = "O-1") {
  return {{"amount", "12.50"},
          {"ccnum", kPostedCard},
          {"ccexp", "12/29"},
          {"orderid", order},
          {"name", "Ann & Bob O'Neil"}};
}

class Transaction : public ModuleFixture {
 protected:
  payment_outcome pay(const std::string& url,
                      const field_list& fields = payment_fields()) {
    return run_payment(module(), url, fields);
  }
};

// Each canned reply, served by the gateway, gives the outcome its fixture
// states: the same table the reply interpretation's unit tests use.
TEST_F(Transaction, CannedRepliesOverHttps) {
  for (const char* name :
       {"accepted", "accepted_lf", "declined", "declined_says_accepted",
        "invalid", "html_error", "empty"}) {
    SCOPED_TRACE(name);
    const reply_fixture expected = load_reply_fixture(REPLIES_DIR, name);
    payment_outcome outcome =
        pay(std::string("https://localhost/reply/") + name);
    EXPECT_EQ(outcome.result, expected.result);
    EXPECT_EQ(outcome.variables, expected.variables);
    EXPECT_EQ(outcome.message, expected.message);
  }
}

struct StatusCase {
  const char* what;
  const char* path;
  variable_list variables;
};

// The HTTP status is not examined and redirects are not followed: the
// text that arrived is what counts.
TEST_F(Transaction, StatusAndRedirectBodiesAreInterpreted) {
  const variable_list accepted = {{"tv_status", "accepted"},
                                  {"tv_authcode", "AUTH123"},
                                  {"tv_transid", "H456"},
                                  {"tv_orderid", "O789"},
                                  {"tv_refcode", "R012"}};
  const StatusCase cases[] = {
      {"500 with an accepted body", "/status/500/accepted", accepted},
      {"redirect with a declined body",
       "/redirect/declined",
       {{"tv_status", "declined"},
        {"tv_declined_reason", "Insufficient funds"}}},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.what);
    payment_outcome outcome = pay(std::string("https://localhost") + c.path);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.variables, c.variables);
  }
  EXPECT_TRUE(gateway_requests_for("/reply/redirect_followed").empty())
      << "the redirect was followed";
}

TEST_F(Transaction, OnlyTheFirst8191BytesOfALongReplyCount) {
  // The refcode lies in the last bytes of 8191: read whole, it is found.
  payment_outcome whole = pay("https://localhost/long/8191/refcode=END");
  EXPECT_EQ(whole.result, 0);
  EXPECT_EQ(whole.variables.at(4),
            (std::pair<std::string, std::string>("tv_refcode", "END")));
  // One byte more and the marker's last byte falls outside.
  payment_outcome cut = pay("https://localhost/long/8192/refcode=END");
  EXPECT_EQ(cut.result, 0);
  EXPECT_EQ(cut.variables.at(4),
            (std::pair<std::string, std::string>("tv_refcode", "EN")));
  payment_outcome longer = pay("https://localhost/long/50000/refcode=END");
  EXPECT_EQ(longer.variables.at(1),
            (std::pair<std::string, std::string>("tv_authcode", "LONGAUTH")));
  EXPECT_EQ(longer.variables.at(4),
            (std::pair<std::string, std::string>("tv_refcode", "")));
}

TEST_F(Transaction, TheGatewaySeesOneHttp10PostOfTheFields) {
  const std::string path = "/reply/accepted?merchant=77&shape=1";
  payment_outcome outcome = pay("https://localhost" + path);
  EXPECT_EQ(outcome.result, 0);
  const std::vector<nlohmann::json> requests = gateway_requests_for(path);
  ASSERT_EQ(requests.size(), 1u);
  const nlohmann::json& request = requests[0];
  EXPECT_EQ(request["method"], "POST");
  EXPECT_EQ(request["version"], "HTTP/1.0");
  EXPECT_EQ(header_values(request, "User-Agent"),
            std::vector<std::string>{"TarvaneLink"});
  EXPECT_EQ(header_values(request, "Content-Type"),
            std::vector<std::string>{"application/x-www-form-urlencoded"});
  EXPECT_EQ(header_values(request, "Host"),
            std::vector<std::string>{"localhost"});
  EXPECT_TRUE(header_values(request, "Accept").empty());
  EXPECT_TRUE(header_values(request, "Expect").empty());
  // The body is the host's rendering after its first "?": the URL's own
  // query stays in the path and is not posted again.
  EXPECT_EQ(request["body"],
            "merchant=77&shape=1?amount=12.50&ccnum=4111111111111111&"
            "ccexp=12%2F29&orderid=O-1&name=Ann+%26+Bob+O%27Neil");
}

struct FailureCase {
  const char* what;
  const char* url;
  int error;
};

TEST_F(Transaction, TransportFailuresGiveTheSendMessage) {
  const FailureCase cases[] = {
      {"name does not resolve", "https://no-such-gateway.invalid/pay", 12007},
      {"nothing listening", "https://gateway-closed.test/pay", 12029},
      {"untrusted authority", "https://gateway-untrusted.test/reply/accepted",
       12045},
      {"certificate for another name",
       "https://gateway-wrongname.test/reply/accepted", 12038},
      {"expired certificate", "https://gateway-expired.test/reply/accepted",
       12037},
      {"self-signed certificate",
       "https://gateway-selfsigned.test/reply/accepted", 12045},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    payment_outcome outcome = pay(c.url);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, send_message(c.url, c.error));
    EXPECT_TRUE(outcome.variables.empty()) << "no result after a failure";
  }
}

// A scheme of "http://" still goes to port 443 over TLS.
TEST_F(Transaction, AnHttpUrlIsPostedOverTls) {
  payment_outcome outcome = pay("http://localhost/reply/accepted?tls=1");
  EXPECT_EQ(outcome.result, 0);
  const std::vector<nlohmann::json> requests =
      gateway_requests_for("/reply/accepted?tls=1");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["listener"], "127.0.0.1:443");
  EXPECT_NE(requests[0]["tls"], nullptr);
}

// Two payments with their own slots at once, each with its own results.
TEST_F(Transaction, TwoThreadsEachGetTheirOwnResult) {
  payment_outcome accepted, failed;
  std::thread first(
      [&] { accepted = pay("https://localhost/delay/200/accepted"); });
  std::thread second(
      [&] { failed = pay("https://localhost/delay/200/invalid"); });
  first.join();
  second.join();
  EXPECT_EQ(accepted.result, 0);
  EXPECT_EQ(accepted.variables.at(1),
            (std::pair<std::string, std::string>("tv_authcode", "AUTH123")));
  EXPECT_EQ(failed.result, 1);
  EXPECT_EQ(failed.message,
            "Invalid Merchant configuration. Please notify Merchant to verify "
            "their Tarvane setup.");
}

}  // namespace
