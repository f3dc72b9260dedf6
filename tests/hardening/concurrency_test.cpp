// Payments on eight host threads at once, fifty each, every one with its
// own slot, fields and URL, through the built module against the local
// gateway. Each thread checks its own outcomes; the gateway's record shows
// that each payment was posted once, whole, to its own URL. Meant to run
// clean under ThreadSanitizer as well.
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/hardening_support.h"
#include "tests/support/gateway_record.h"
#include "tests/support/host_fixture.h"
#include "tests/support/reply_fixtures.h"

namespace {

const int kThreads = 8;
const int kPaymentsPerThread = 50;

struct Kind {
  std::string path;  // on localhost, or a whole URL when it has a scheme
  int result;
  variable_list variables;
  std::string message;
};

std::vector<Kind> kinds() {
  std::vector<Kind> all;
  for (const char* name :
       {"accepted", "declined", "invalid", "declined_says_accepted",
        "accepted_no_refcode", "html_error"}) {
    const reply_fixture f = load_reply_fixture(REPLIES_DIR, name);
    all.push_back(
        {std::string("/reply/") + name, f.result, f.variables, f.message});
  }
  const reply_fixture accepted = load_reply_fixture(REPLIES_DIR, "accepted");
  all.push_back({"/status/500/accepted", 0, accepted.variables, ""});
  all.push_back({"https://gateway-closed.test/pay", 1, {}, ""});
  return all;
}

std::string url_of(const Kind& kind, int thread, int payment) {
  const std::string query =
      "?t=" + std::to_string(thread) + "&i=" + std::to_string(payment);
  if (kind.path.rfind("https://", 0) == 0) return kind.path + query;
  return "https://localhost" + kind.path + query;
}

std::string order_of(int thread, int payment) {
  return "C" + std::to_string(thread) + "-" + std::to_string(payment);
}

class Concurrency : public HostFixture {};

TEST_F(Concurrency, EightThreadsOfFiftyPaymentsEachGetTheirOwnResults) {
  test_host_add_secret(kCard);
  const library_module& module = load_library_module(TARVANE_MODULE_PATH);
  const std::vector<Kind> all = kinds();
  std::vector<std::vector<std::string>> problems(kThreads);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPaymentsPerThread; ++i) {
        const Kind& kind = all[(t * 3 + i) % all.size()];
        const std::string url = url_of(kind, t, i);
        const field_list fields = payment_fields(order_of(t, i));
        const payment_outcome outcome = run_payment(module, url, fields);
        const std::string message = kind.message.empty() && kind.result == 1
                                        ? send_message(url, 12029)
                                        : kind.message;
        if (outcome.result != kind.result ||
            outcome.variables != kind.variables || outcome.message != message ||
            !leaked_values(outcome.message, fields).empty()) {
          problems[t].push_back(url + ": result " +
                                std::to_string(outcome.result) + ", '" +
                                outcome.message + "'");
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(problems[t].empty())
        << "thread " << t << ": " << problems[t].size()
        << " payments went wrong, the first: " << problems[t].at(0);
  }

  std::map<std::string, int> seen;
  for (const nlohmann::json& request : gateway_requests()) {
    const std::string body = request.value("body", "");
    const size_t at = body.find("orderid=C");
    if (at == std::string::npos) continue;
    const size_t end = body.find('&', at);
    const std::string order = body.substr(at + 8, end - at - 8);
    ++seen[order];
    // The order's own thread and number are in its own URL.
    const size_t dash = order.find('-');
    EXPECT_NE(request.value("path", "")
                  .find("?t=" + order.substr(1, dash - 1) +
                        "&i=" + order.substr(dash + 1)),
              std::string::npos)
        << order << " arrived at " << request.value("path", "");
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPaymentsPerThread; ++i) {
      const Kind& kind = all[(t * 3 + i) % all.size()];
      const bool reaches = kind.path.rfind("https://", 0) != 0;
      EXPECT_EQ(seen[order_of(t, i)], reaches ? 1 : 0) << order_of(t, i);
    }
  }
}

}  // namespace
