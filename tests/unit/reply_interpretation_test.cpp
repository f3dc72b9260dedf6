#include <string.h>

#include <string>

#include "gateway/gateway.h"
#include "tests/support/host_fixture.h"
#include "tests/support/reply_fixtures.h"
#include "text/text_ops.h"

namespace {

const char kInvalidMerchant[] =
    "Invalid Merchant configuration. Please notify Merchant to verify their "
    "Tarvane setup.";
const char kNoResultCodes[] =
    "Invalid Tarvane response. Could not get result codes.";

struct Outcome {
  bool understood;
  variable_list variables;
  std::string message;
};

class ReplyInterpretation : public HostFixture {
 protected:
  // Runs interpret_reply on `reply` as it would lie in the reply buffer.
  Outcome interpret(const std::string& reply) {
    char reply_buffer[REPLY_BUFFER_SIZE] = {};
    memcpy(reply_buffer, reply.data(),
           reply.size() < REPLY_BUFFER_SIZE - 1 ? reply.size()
                                                : REPLY_BUFFER_SIZE - 1);
    char error_text[ERROR_TEXT_SIZE];
    memset(error_text, 0, sizeof error_text);
    void* tree = test_host_tree_new();
    Outcome outcome;
    outcome.understood = interpret_reply(error_text, reply_buffer, tree);
    outcome.variables = tree_variables(tree);
    outcome.message = error_text;
    test_host_tree_delete(tree);
    EXPECT_EQ(test_host_live_blocks(), 0u) << "values released at the end";
    return outcome;
  }
};

variable_list accepted(const char* auth, const char* trans, const char* order,
                       const char* ref) {
  return {{"tv_status", "accepted"},
          {"tv_authcode", auth},
          {"tv_transid", trans},
          {"tv_orderid", order},
          {"tv_refcode", ref}};
}

variable_list declined(const char* reason) {
  return {{"tv_status", "declined"}, {"tv_declined_reason", reason}};
}

const variable_list kError = {{"tv_status", "error"}};

struct ReplyCase {
  const char* what;
  std::string reply;
  bool understood;
  variable_list variables;
  const char* message;  // "" when none is written
};

TEST_F(ReplyInterpretation, EveryOutcomeSetsExactlyItsVariables) {
  const ReplyCase cases[] = {
      {"four lines, CR LF",
       "Accepted=A1\r\nhistoryid=H2\r\norderid=O3\r\nrefcode=R4\r\n", true,
       accepted("A1", "H2", "O3", "R4"), ""},
      {"four lines, LF", "Accepted=A1\nhistoryid=H2\norderid=O3\nrefcode=R4\n",
       true, accepted("A1", "H2", "O3", "R4"), ""},
      {"no refcode", "Accepted=A1\r\nhistoryid=H2\r\norderid=O3\r\n", true,
       accepted("A1", "H2", "O3", ""), ""},
      {"first = of the whole reply", "historyid=H\r\nAccepted=A\r\n", true,
       accepted("H", "H", "", ""), ""},
      {"bare keyword then historyid", "Accepted\r\nhistoryid=H\r\n", true,
       accepted("H", "H", "", ""), ""},
      {"marker in capitals", "Accepted=A\r\nHISTORYID=HX9\r\n", true,
       accepted("A", "HX9", "", ""), ""},
      {"value runs to the end", "Accepted=A\r\nrefcode=R77", true,
       accepted("A", "", "", "R77"), ""},
      {"marker ends the reply", "Accepted=A\r\norderid=", true,
       accepted("A", "", "", ""), ""},
      {"only = is the last byte", "Accepted=", true, accepted("", "", "", ""),
       ""},
      {"cut at whichever line end comes first", "Accepted=A\nX\r\n", true,
       accepted("A", "", "", ""), ""},
      {"keyword alone", "Accepted", true, accepted("Accepted", "", "", ""), ""},
      {"keyword alone, lower case, with line end", "accepted\r\n", true,
       accepted("accepted", "", "", ""), ""},
      {"accepted before declined", "Accepted=A9\r\nnote=Declined later\r\n",
       true, accepted("A9", "", "", ""), ""},
      {"inside a longer word", "xxACCEPTEDyy=Q\r\n", true,
       accepted("Q", "", "", ""), ""},

      {"declined", "Declined=Insufficient funds\r\n", true,
       declined("Insufficient funds"), ""},
      {"declined, invalid card", "Declined=Invalid card", true,
       declined("Invalid card"), ""},
      {"declined alone", "Declined", true, declined("Declined"), ""},
      {"declined alone with line end", "Declined\r\n", true,
       declined("Declined"), ""},
      // A decline whose reason mentions acceptance stays a decline.
      {"declined, reason says accepted", "Declined=Card not accepted\r\n", true,
       declined("Card not accepted"), ""},
      {"declined first, any case", "DECLINED=no\r\naccepted=yes\r\n", true,
       declined("no"), ""},

      {"invalid", "Invalid login\r\n", false, kError, kInvalidMerchant},
      {"invalid inside a word", "<p>invalidated</p>", false, kError,
       kInvalidMerchant},
      {"html error page", "<html><body>503 Service Unavailable</body></html>",
       false, kError, kNoResultCodes},
      {"empty reply", "", false, kError, kNoResultCodes},
      {"fields without keyword", "historyid=H\r\nrefcode=R\r\n", false, kError,
       kNoResultCodes},
      {"keyword after a NUL", std::string("status\0Accepted=A", 17), false,
       kError, kNoResultCodes},
      {"marker after a NUL", std::string("Accepted=A\r\n\0historyid=H", 24),
       true, accepted("A", "", "", ""), ""},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome outcome = interpret(c.reply);
    EXPECT_EQ(outcome.understood, c.understood);
    EXPECT_EQ(outcome.variables, c.variables);
    EXPECT_EQ(outcome.message, c.message);
  }
}

TEST_F(ReplyInterpretation,
       MessagesReplaceWhatTheBufferHeldAndSuccessLeavesIt) {
  char error_text[ERROR_TEXT_SIZE];
  memset(error_text, 'x', sizeof error_text);
  error_text[ERROR_TEXT_SIZE - 1] = '\0';
  void* tree = test_host_tree_new();
  EXPECT_FALSE(interpret_reply(error_text, "Invalid", tree));
  EXPECT_STREQ(error_text, kInvalidMerchant);

  memset(error_text, 'x', sizeof error_text);
  error_text[ERROR_TEXT_SIZE - 1] = '\0';
  const std::string untouched = error_text;
  EXPECT_TRUE(interpret_reply(error_text, "Declined=no", tree));
  EXPECT_TRUE(interpret_reply(error_text, "Accepted=yes", tree));
  EXPECT_EQ(std::string(error_text), untouched);
  test_host_tree_delete(tree);
}

TEST_F(ReplyInterpretation, CannedRepliesGiveTheirExpectedOutcome) {
  const std::vector<reply_fixture> fixtures = load_reply_fixtures(REPLIES_DIR);
  ASSERT_FALSE(fixtures.empty()) << "no fixtures in " << REPLIES_DIR;
  for (const reply_fixture& fixture : fixtures) {
    SCOPED_TRACE(fixture.name);
    Outcome outcome = interpret(fixture.reply);
    EXPECT_EQ(outcome.understood ? 0 : 1, fixture.result);
    EXPECT_EQ(outcome.variables, fixture.variables);
    EXPECT_EQ(outcome.message, fixture.message);
  }
}

}  // namespace
