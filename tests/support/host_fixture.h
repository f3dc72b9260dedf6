// A test fixture that registers the library with the test host and, at
// the end of every test, requires an empty ledger and no recorded fault.
#ifndef TARVANE_TESTS_HOST_FIXTURE_H
#define TARVANE_TESTS_HOST_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_host.h"

typedef std::vector<std::pair<std::string, std::string>> variable_list;

// The module handle of a test host build, as the platform hands it out.
void* open_test_host_module(const char* path);

// The variables a tree received, in order.
variable_list tree_variables(void* tree);

// How this test binary registers the library: the linked-in core or the
// loaded module (registration_core.cpp or registration_module.cpp).
void register_library_with(void* module);

class HostFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void* module_ = nullptr;
};

#endif  // TARVANE_TESTS_HOST_FIXTURE_H
