// Shared by the fuzz targets: registration with the checking test host,
// a check that aborts (so libFuzzer keeps the input), and the host's
// verdict after each input.
#ifndef TARVANE_TESTS_FUZZ_SUPPORT_H
#define TARVANE_TESTS_FUZZ_SUPPORT_H

#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "host/tarvane.h"
#include "tests/support/test_host.h"

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      abort();                                                         \
    }                                                                  \
  } while (0)

inline void fuzz_register_test_host() {
  void* module = dlopen(TEST_HOST_PATH, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    fprintf(stderr, "cannot load the test host: %s\n", dlerror());
    abort();
  }
  MivaRegisterLibrary(module);
}

// Nothing left in the ledger, no guard damaged, no secret left behind.
inline void fuzz_require_clean_host() {
  test_host_check_live_blocks();
  if (test_host_live_blocks() != 0 || test_host_fault_count() != 0) {
    fprintf(stderr, "host: %zu live blocks, faults:\n%s\n",
            test_host_live_blocks(), test_host_faults());
    abort();
  }
}

// FNV-1a, to pick one allocation to fail from the input itself.
inline uint32_t fuzz_hash(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

#endif  // TARVANE_TESTS_FUZZ_SUPPORT_H
