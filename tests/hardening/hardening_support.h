// Shared by the hardening tests: payment fields whose values are easy to
// spot, a fresh (unregistered) copy of the built module, and a watch over
// every heap block released on one thread, for card data left behind.
#ifndef TARVANE_TESTS_HARDENING_SUPPORT_H
#define TARVANE_TESTS_HARDENING_SUPPORT_H

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/library_module.h"

typedef std::vector<std::pair<std::string, std::string>> field_list;

extern const char kCard[];

// amount, ccnum, ccexp, cvv, orderid, name: every value long and distinct
// enough that finding it in a message means it leaked there.
field_list payment_fields(const std::string& order = "ORD-7731");

// The field values found in `message`; empty when none leaked.
std::vector<std::string> leaked_values(const std::string& message,
                                       const field_list& fields);

// The module loaded from a private copy of its file, so it has a service
// table of its own that no registration has touched yet; with `lazy`, its
// symbols are bound at their first call, as a host's dlopen may ask. Each
// call makes a new copy.
library_module load_fresh_module_copy(bool lazy = false);

// Watches every heap block released on the calling thread between start
// and stop (by the library, its HTTP client layer, libcurl and OpenSSL
// alike) for `secret`. A block that also holds `host_mark` is one of the
// host's own renderings of the fields and is not counted.
void heap_watch_start(const std::string& secret, const std::string& host_mark);
// Blocks that still held the secret when released, and a hex dump of the
// first of them.
size_t heap_watch_stop(std::string* first_block);

// Runs `body` on a new thread whose stack is a buffer of ours, and returns
// where `needles` are found in that stack after the thread ended (one
// entry "needle at offset" per finding). With AddressSanitizer's fake
// stacks in use the frames live elsewhere: `*scanned` is then false.
std::vector<std::string> run_and_scan_stack(
    void (*body)(void*), void* argument,
    const std::vector<std::string>& needles, bool* scanned);

#endif  // TARVANE_TESTS_HARDENING_SUPPORT_H
