// The benchmarks' host: a module that lends memory through the platform's
// plain malloc, as a production host's allocator would, and counts what it
// lends. The test host's checking allocator (a ledger, guard bytes, a call
// log) costs far more per block and would flatter every figure that depends
// on allocation, so it is not used here.
#ifndef TARVANE_BENCH_BENCH_HOST_H
#define TARVANE_BENCH_BENCH_HOST_H

#include <stddef.h>
#include <stdint.h>

#define BENCH_HOST_API extern "C" __attribute__((visibility("default")))

struct bench_host_counts {
  long long allocations;  // miva_alloc calls
  long long bytes;        // bytes asked for by them
  long long releases;     // miva_free calls with a block
  long long live;         // blocks lent and not yet returned
};

// Counts since the host was loaded; thread-safe.
BENCH_HOST_API bench_host_counts bench_host_counts_now(void);

// A variable list whose rendering is `url` "?" `fields` (already
// form-encoded); the host owns the text it returns.
BENCH_HOST_API void* bench_host_list_new(const char* fields);
BENCH_HOST_API void bench_host_list_delete(void* list);

// A variable tree that keeps copies of what it is given, in order.
BENCH_HOST_API void* bench_host_tree_new(void);
BENCH_HOST_API void bench_host_tree_clear(void* tree);
BENCH_HOST_API size_t bench_host_tree_count(void* tree);
BENCH_HOST_API const char* bench_host_tree_name(void* tree, size_t index);
BENCH_HOST_API const char* bench_host_tree_value(void* tree, size_t index);
// The value of `name`, or null when it was not set.
BENCH_HOST_API const char* bench_host_tree_find(void* tree, const char* name);
BENCH_HOST_API void bench_host_tree_delete(void* tree);

#endif  // TARVANE_BENCH_BENCH_HOST_H
