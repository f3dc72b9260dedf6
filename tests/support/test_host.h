// The test host: a module that exports the host services the library looks
// up, records every call, and lends memory through a checking allocator.
//
// The allocator keeps a ledger of live blocks with guard bytes before and
// after each block. A release of an unknown pointer, a double release, a
// damaged guard, or a released block that still holds a registered secret
// (a card number that was posted) is recorded as a fault; tests assert that
// no fault was recorded and that the ledger is empty at their end.
#ifndef TARVANE_TESTS_TEST_HOST_H
#define TARVANE_TESTS_TEST_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define TEST_HOST_API extern "C" __declspec(dllexport)
#else
#define TEST_HOST_API extern "C" __attribute__((visibility("default")))
#endif

// Forgets all blocks, faults, calls, secrets and failure settings.
TEST_HOST_API void test_host_reset(void);

TEST_HOST_API size_t test_host_live_blocks(void);
TEST_HOST_API size_t test_host_fault_count(void);
// Faults joined by new lines; valid until the next call into the test host.
TEST_HOST_API const char* test_host_faults(void);

// Allocations counted since the last reset, and a failure of the k-th one
// from the last reset on (1-based; 0 never fails).
TEST_HOST_API long test_host_allocation_count(void);
TEST_HOST_API void test_host_fail_allocation(long k);

// Every service call since the last reset, as "name" lines, oldest first.
TEST_HOST_API size_t test_host_call_count(void);
TEST_HOST_API const char* test_host_call(size_t index);

// A text that must never stay in a block the library released, nor in one
// it still holds when checked with test_host_check_live_blocks.
TEST_HOST_API void test_host_add_secret(const char* secret);
TEST_HOST_API void test_host_check_live_blocks(void);

// Whether `block` is a live block of the ledger, and its size.
TEST_HOST_API int test_host_is_live(const void* block);
TEST_HOST_API long test_host_block_size(const void* block);

// Variable lists: miva_variablelist_to_url renders the URL, "?" and the
// fields, form-urlencoded, unless a rendering was set for the list.
TEST_HOST_API void* test_host_list_new(void);
TEST_HOST_API void test_host_list_add(void* list, const char* name,
                                      const char* value);
TEST_HOST_API void test_host_list_set_rendering(void* list,
                                                const char* rendering);
TEST_HOST_API void test_host_list_delete(void* list);

// Variable trees: every miva_variabletree_setvariable, in order.
TEST_HOST_API void* test_host_tree_new(void);
TEST_HOST_API size_t test_host_tree_count(void* tree);
TEST_HOST_API const char* test_host_tree_name(void* tree, size_t index);
TEST_HOST_API const char* test_host_tree_value(void* tree, size_t index);
TEST_HOST_API void test_host_tree_delete(void* tree);

#endif  // TARVANE_TESTS_TEST_HOST_H
