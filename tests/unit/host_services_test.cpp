#include <dlfcn.h>
#include <string.h>

#include <string>

#include "host/tarvane.h"
#include "tests/support/host_fixture.h"

namespace {

// A fresh process starts unregistered; this runs before any fixture
// registers (gtest runs the tests of one file in order, and this file's
// binary registers nowhere else before main).
TEST(HostServiceTable, AtLoadEverySlotIsEmpty) {
  for (void* slot : host_services.slot) EXPECT_EQ(slot, nullptr);
}

TEST(HostServiceTable, NamesAreTheFiftyTwoInLookupOrder) {
  const char* expected_first[] = {"miva_alloc", "miva_realloc", "miva_free"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(host_service_names[i], expected_first[i]);
  }
  EXPECT_STREQ(host_service_names[SLOT_MIVA_VARIABLELIST_TO_URL],
               "miva_variablelist_to_url");
  EXPECT_STREQ(host_service_names[SLOT_MIVA_VARIABLETREE_SETVARIABLE],
               "miva_variabletree_setvariable");
  EXPECT_STREQ(host_service_names[22], "miva_network_isipaddress");
  EXPECT_STREQ(host_service_names[31], "miva_file_resolve");
  EXPECT_STREQ(host_service_names[HOST_SERVICE_COUNT - 1], "miva_file_error");
  for (int i = 0; i < HOST_SERVICE_COUNT; ++i) {
    for (int j = i + 1; j < HOST_SERVICE_COUNT; ++j) {
      EXPECT_STRNE(host_service_names[i], host_service_names[j]);
    }
  }
}

struct ModuleCase {
  const char* what;
  const char* path;
  int filled_slots;
};

TEST(HostServiceTable, RegistrationStoresWhatEachModuleExports) {
  const ModuleCase cases[] = {
      {"all 52", TEST_HOST_PATH, HOST_SERVICE_COUNT},
      {"only the four called", TEST_HOST_FOUR_PATH, 4},
      {"none", TEST_HOST_NONE_PATH, 0},
  };
  for (const ModuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    void* module = open_test_host_module(c.path);
    MivaRegisterLibrary(module);
    int filled = 0;
    for (int i = 0; i < HOST_SERVICE_COUNT; ++i) {
      EXPECT_EQ(host_services.slot[i], dlsym(module, host_service_names[i]))
          << host_service_names[i];
      filled += host_services.slot[i] != nullptr;
    }
    EXPECT_EQ(filled, c.filled_slots);
    dlclose(module);
  }
}

// Registering with a second module points every later call at it, and
// empties the slots the second module lacks.
TEST(HostServiceTable, ASecondModuleReplacesTheFirst) {
  MivaRegisterLibrary(open_test_host_module(TEST_HOST_PATH));
  ASSERT_NE(host_services.slot[1], nullptr);  // miva_realloc

  void* four = open_test_host_module(TEST_HOST_FOUR_PATH);
  MivaRegisterLibrary(four);
  EXPECT_EQ(host_services.slot[1], nullptr);
  typedef size_t (*count_fn)(void);
  typedef void (*reset_fn)(void);
  count_fn live =
      reinterpret_cast<count_fn>(dlsym(four, "test_host_live_blocks"));
  reset_fn reset = reinterpret_cast<reset_fn>(dlsym(four, "test_host_reset"));
  ASSERT_NE(live, nullptr);
  reset();
  test_host_reset();
  void* block = miva_alloc(16);
  EXPECT_EQ(live(), 1u) << "the allocation reached the second module";
  EXPECT_EQ(test_host_live_blocks(), 0u) << "and not the first";
  miva_free(block);
  EXPECT_EQ(live(), 0u);
}

// With no services at all, the forwarding operations yield empty results
// instead of calling through an empty slot.
TEST(HostServiceTable, EmptySlotsYieldEmptyResults) {
  void* none = open_test_host_module(TEST_HOST_NONE_PATH);
  MivaRegisterLibrary(none);
  EXPECT_EQ(miva_alloc(32), nullptr);
  miva_free(nullptr);
  EXPECT_EQ(miva_variablelist_to_url("https://localhost/", nullptr), nullptr);
  miva_variabletree_setvariable(nullptr, "tv_status", "error");
  MivaRegisterLibrary(nullptr);
  for (void* slot : host_services.slot) EXPECT_EQ(slot, nullptr);
}

class Forwarding : public HostFixture {};

// Each forwarding operation passes its arguments through unchanged.
TEST_F(Forwarding, ArgumentsReachTheHostUnchanged) {
  void* block = miva_alloc(2048);
  EXPECT_EQ(test_host_block_size(block), 2048);
  miva_free(block);
  EXPECT_FALSE(test_host_is_live(block));

  void* list = test_host_list_new();
  test_host_list_add(list, "amount", "12.50");
  EXPECT_STREQ(miva_variablelist_to_url("https://localhost/pay", list),
               "https://localhost/pay?amount=12.50");
  test_host_list_delete(list);

  void* tree = test_host_tree_new();
  miva_variabletree_setvariable(tree, "tv_status", "accepted");
  EXPECT_EQ(tree_variables(tree), (variable_list{{"tv_status", "accepted"}}));
  test_host_tree_delete(tree);
  EXPECT_EQ(std::string(test_host_call(0)), "miva_alloc");
  EXPECT_EQ(std::string(test_host_call(1)), "miva_free");
  EXPECT_EQ(std::string(test_host_call(2)), "miva_variablelist_to_url");
  EXPECT_EQ(std::string(test_host_call(3)), "miva_variabletree_setvariable");
}

}  // namespace
