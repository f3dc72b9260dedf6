#include <string>

#include "gateway/gateway.h"
#include "tests/support/host_fixture.h"
#include "text/text_ops.h"

namespace {

class GatewayRequest : public HostFixture {};

struct SplitCase {
  const char* url;
  const char* host;
  const char* path;
};

TEST_F(GatewayRequest, SplitsTheUrlIntoHostAndPath) {
  const SplitCase cases[] = {
      {"https://gw.example/pay", "gw.example", "/pay"},
      {"HTTPS://GW.Example/Pay", "GW.Example", "/Pay"},
      {"http://gw.example/pay", "gw.example", "/pay"},
      {"HtTp://gw.example/pay", "gw.example", "/pay"},
      {"gw.example/pay", "gw.example", "/pay"},
      {"https://gw.example/pay?merchant=7&x=1", "gw.example",
       "/pay?merchant=7&x=1"},
      // A scheme counts only at the start of the URL.
      {"https://gw.example/pay?return=http://shop.example/done", "gw.example",
       "/pay?return=http://shop.example/done"},
      {"gw.example/pay?next=https://shop.example", "gw.example",
       "/pay?next=https://shop.example"},
      {"https://gw.example:8443/pay", "gw.example:8443", "/pay"},
      // No "/" after the host: the path is "/".
      {"https://gw.example", "gw.example", "/"},
      {"gw.example", "gw.example", "/"},
      {"https://", "", "/"},
      {"", "", "/"},
      {"https:///pay", "", "/pay"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.url);
    host_text host = nullptr;
    host_text path = nullptr;
    split_gateway_url(c.url, &host, &path);
    ASSERT_NE(host, nullptr);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(host, c.host);
    EXPECT_STREQ(path, c.path);
    EXPECT_EQ(test_host_live_blocks(), 2u) << "the copied rest is released";
    miva_free(host);
    miva_free(path);
  }
}

struct BodyCase {
  const char* rendering;
  const char* body;
};

TEST_F(GatewayRequest, BodyIsWhatFollowsTheFirstQuestionMark) {
  const BodyCase cases[] = {
      {"https://gw.example/pay?amount=1.00&card=4111", "amount=1.00&card=4111"},
      {"https://gw.example/pay?a=1?b=2", "a=1?b=2"},
      {"amount=1.00&card=4111", "amount=1.00&card=4111"},
      {"https://gw.example/pay?", ""},
      {"", ""},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.rendering);
    void* list = test_host_list_new();
    test_host_list_set_rendering(list, c.rendering);
    host_text body = build_post_body("https://gw.example/pay", list);
    EXPECT_STREQ(body, c.body);
    miva_free(body);
    test_host_list_delete(list);
  }
}

TEST_F(GatewayRequest, TheHostRendersTheFieldsOfTheWholeUrl) {
  void* list = test_host_list_new();
  test_host_list_add(list, "name", "Ann & Bob");
  test_host_list_add(list, "amount", "9.99");
  host_text body = build_post_body("https://gw.example/pay", list);
  EXPECT_STREQ(body, "name=Ann+%26+Bob&amount=9.99");
  miva_free(body);
  test_host_list_delete(list);
}

}  // namespace
