#include "tests/support/library_module.h"

#include <dlfcn.h>
#include <stdio.h>

#include <mutex>

namespace {

template <typename Function>
void resolve(void* handle, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(handle, name));
  EXPECT_NE(*function, nullptr) << name << " is not exported";
}

}  // namespace

const library_module& load_library_module(const char* path) {
  static library_module module;
  static std::once_flag once;
  std::call_once(once, [path] {
    module.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module.handle == nullptr) {
      ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
      return;
    }
    resolve(module.handle, "miva_commerce_init", &module.commerce_init);
    resolve(module.handle, "miva_commerce_loop", &module.commerce_loop);
    resolve(module.handle, "miva_commerce_cleanup", &module.commerce_cleanup);
    resolve(module.handle, "miva_commerce_error", &module.commerce_error);
    resolve(module.handle, "MivaRegisterLibrary", &module.register_library);
  });
  return module;
}

void ModuleFixture::SetUp() {
  HostFixture::SetUp();
  test_host_add_secret(kPostedCard);
}

const library_module& ModuleFixture::module() {
  return load_library_module(TARVANE_MODULE_PATH);
}

payment_outcome run_payment(
    const library_module& module, const std::string& url,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  void* list = test_host_list_new();
  for (const auto& field : fields) {
    test_host_list_add(list, field.first.c_str(), field.second.c_str());
  }
  void* tree = test_host_tree_new();
  void* library_data = nullptr;
  payment_outcome outcome;
  outcome.result = module.commerce_init(nullptr, &library_data, nullptr,
                                        url.c_str(), list, tree);
  if (outcome.result != 0) {
    const char* message = module.commerce_error(nullptr, &library_data);
    outcome.message = message != nullptr ? message : "(null)";
  }
  outcome.variables = tree_variables(tree);
  module.commerce_cleanup(nullptr, &library_data);
  test_host_tree_delete(tree);
  test_host_list_delete(list);
  return outcome;
}

std::string send_message(const std::string& url, int error) {
  char message[4096];
  snprintf(message, sizeof message, "Cannot send request to '%100s'. Error %d",
           url.c_str(), error);
  return message;
}
