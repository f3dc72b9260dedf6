// Inputs at the edges, through the built module: commerce calls before any
// registration and with a host that exports nothing, an empty URL, a URL
// of 10,000 bytes, and fields that render to a megabyte of body.
#include <string.h>

#include <string>

#include "tests/hardening/hardening_support.h"
#include "tests/support/gateway_record.h"
#include "tests/support/host_fixture.h"

namespace {

const char kNoMessageBuffer[] =
    "Cannot allocate the message buffer for the transaction.";

class EdgeInputs : public ModuleFixture {};

// Without services the library can allocate nothing: it posts nothing,
// says so through miva_commerce_error, and cleanup has nothing to release.
void expect_refused_without_services(const library_module& copy,
                                     const std::string& order) {
  void* list = test_host_list_new();
  for (const auto& field : payment_fields(order)) {
    test_host_list_add(list, field.first.c_str(), field.second.c_str());
  }
  void* tree = test_host_tree_new();
  void* library_data = reinterpret_cast<void*>(0x5a5a);
  const size_t calls_before = test_host_call_count();
  EXPECT_EQ(copy.commerce_init(nullptr, &library_data, nullptr,
                               "https://localhost/reply/accepted", list, tree),
            1);
  EXPECT_EQ(library_data, nullptr) << "the slot holds the (missing) buffer";
  EXPECT_STREQ(copy.commerce_error(nullptr, &library_data), kNoMessageBuffer);
  copy.commerce_cleanup(nullptr, &library_data);
  EXPECT_EQ(copy.commerce_loop(nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, reinterpret_cast<void*>(3)),
            2);
  EXPECT_EQ(test_host_tree_count(tree), 0u);
  EXPECT_EQ(test_host_call_count(), calls_before)
      << "no service of the test host was reached";
  for (const nlohmann::json& request : gateway_requests()) {
    EXPECT_EQ(request.value("body", "").find("orderid=" + order),
              std::string::npos)
        << "a payment went out";
  }
  test_host_tree_delete(tree);
  test_host_list_delete(list);
}

TEST_F(EdgeInputs, CommerceCallsBeforeRegistrationAndWithoutServices) {
  {
    SCOPED_TRACE("never registered");
    expect_refused_without_services(load_fresh_module_copy(), "UNREG-1");
  }
  {
    SCOPED_TRACE("registered with a host that exports none of the names");
    const library_module copy = load_fresh_module_copy();
    copy.register_library(open_test_host_module(TEST_HOST_NONE_PATH));
    expect_refused_without_services(copy, "NONE-1");
  }
}

TEST_F(EdgeInputs, EmptyAndOverlongUrls) {
  {
    SCOPED_TRACE("empty URL");
    const payment_outcome outcome = run_payment(module(), "", payment_fields());
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, send_message("", 12007));
    EXPECT_TRUE(outcome.variables.empty());
  }
  {
    // The message holds the URL whole and is cut at 2047 bytes; the guard
    // bytes of the 2048-byte buffer are checked at its release.
    SCOPED_TRACE("10,000-byte URL that does not resolve");
    const std::string url =
        "https://no-such-gateway.invalid/" + std::string(10000 - 32, 'p');
    ASSERT_EQ(url.size(), 10000u);
    const payment_outcome outcome =
        run_payment(module(), url, payment_fields());
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message.size(), 2047u);
    EXPECT_EQ(outcome.message, send_message(url, 12007).substr(0, 2047));
  }
  {
    SCOPED_TRACE("10,000-byte URL to the gateway");
    const std::string path =
        "/reply/accepted?pad=" + std::string(10000 - 37, 'q');
    const std::string url = "https://localhost" + path;
    ASSERT_EQ(url.size(), 10000u);
    const payment_outcome outcome =
        run_payment(module(), url, payment_fields("LONG-URL"));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.variables.at(0).second, "accepted");
    EXPECT_EQ(gateway_requests_for(path).size(), 1u);
  }
}

TEST_F(EdgeInputs, FieldsThatRenderToAMegabyteOfBody) {
  field_list fields = payment_fields("MEGA-BODY");
  fields.emplace_back("note", std::string(1 << 20, 'n'));
  const std::string path = "/reply/accepted?megabody=1";
  const payment_outcome outcome =
      run_payment(module(), "https://localhost" + path, fields);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.variables.at(1).second, "AUTH123");
  const std::vector<nlohmann::json> requests = gateway_requests_for(path);
  ASSERT_EQ(requests.size(), 1u);
  const std::string body = requests[0].value("body", "");
  EXPECT_GT(body.size(), 1u << 20);
  EXPECT_EQ(body.substr(0, 13), "megabody=1?am") << "the whole rendering";
  EXPECT_EQ(body.substr(body.size() - 10), std::string(10, 'n'));
  EXPECT_TRUE(requests[0].value("complete", false));
}

}  // namespace
