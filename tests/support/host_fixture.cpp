#include "tests/support/host_fixture.h"

#include <dlfcn.h>


void* open_test_host_module(const char* path) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(module, nullptr) << dlerror();
  return module;
}

variable_list tree_variables(void* tree) {
  variable_list variables;
  for (size_t i = 0; i < test_host_tree_count(tree); ++i) {
    variables.emplace_back(test_host_tree_name(tree, i),
                           test_host_tree_value(tree, i));
  }
  return variables;
}

void HostFixture::SetUp() {
  test_host_reset();
  module_ = open_test_host_module(TEST_HOST_PATH);
  register_library_with(module_);
}

void HostFixture::TearDown() {
  test_host_check_live_blocks();
  EXPECT_EQ(test_host_live_blocks(), 0u) << "blocks left in the ledger";
  EXPECT_EQ(test_host_fault_count(), 0u) << test_host_faults();
  test_host_reset();
}
