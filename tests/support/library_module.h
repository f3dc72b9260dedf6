// The built module, loaded as a host loads it, with its five exports.
#ifndef TARVANE_TESTS_LIBRARY_MODULE_H
#define TARVANE_TESTS_LIBRARY_MODULE_H

#include <string>
#include <utility>
#include <vector>

#include "tests/support/host_fixture.h"

struct library_module {
  void* handle;
  int (*commerce_init)(void*, void**, void*, const char*, void*, void*);
  int (*commerce_loop)(void*, void*, void*, void*, void*, void*, void*);
  void (*commerce_cleanup)(void*, void**);
  const char* (*commerce_error)(void*, void**);
  void (*register_library)(void*);
};

// Loads the module at `path` (once per process) and resolves its exports.
const library_module& load_library_module(const char* path);

// The card number the whole-payment tests post; the test host watches every
// block for it.
inline constexpr char kPostedCard[] = "4111111111111111";

// Registers the built module with the test host and watches for the card.
class ModuleFixture : public HostFixture {
 protected:
  void SetUp() override;
  const library_module& module();
};

// The outcome of one whole transaction as the host sees it.
struct payment_outcome {
  int result = -1;
  variable_list variables;
  std::string message;  // what miva_commerce_error returned, when result is 1
};

// Runs one payment through the module with the test host's services: posts
// `fields` to `url`, reads the message, cleans up.
payment_outcome run_payment(
    const library_module& module, const std::string& url,
    const std::vector<std::pair<std::string, std::string>>& fields);

// The send message for `url` and an error number, exactly as the library
// writes it.
std::string send_message(const std::string& url, int error);

#endif  // TARVANE_TESTS_LIBRARY_MODULE_H
