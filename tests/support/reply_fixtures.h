// The canned gateway replies in tests/replies: one <name>.reply with the
// exact bytes and one <name>.expect with the outcome, shared by the unit
// tests, the integration tests and the fuzz corpora.
#ifndef TARVANE_TESTS_REPLY_FIXTURES_H
#define TARVANE_TESTS_REPLY_FIXTURES_H

#include <string>
#include <utility>
#include <vector>

struct reply_fixture {
  std::string name;
  std::string reply;    // exact bytes
  int result = -1;      // the transaction's result code, 0 or 1
  std::string message;  // the message when the result is 1
  std::vector<std::pair<std::string, std::string>> variables;  // in order
};

// Every fixture in `directory`, sorted by name.
std::vector<reply_fixture> load_reply_fixtures(const std::string& directory);

// One fixture by name; fails the test when it is missing.
reply_fixture load_reply_fixture(const std::string& directory,
                                 const std::string& name);

#endif  // TARVANE_TESTS_REPLY_FIXTURES_H
