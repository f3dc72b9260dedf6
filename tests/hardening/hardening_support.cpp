#include "tests/hardening/hardening_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HARDENING_SANITIZER_HOOKS 1
// The sanitizers' allocator interface (gcc ships no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t),
    void (*free_hook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* pointer);
void __sanitizer_print_stack_trace(void);
}
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

const char kCard[] = "4111111111111111";

field_list payment_fields(const std::string& order) {
  return {{"amount", "731.42"}, {"ccnum", kCard},
          {"ccexp", "11/31"},   {"cvv", "9173"},
          {"orderid", order},   {"name", "Ann & Bob O'Neil"}};
}

std::vector<std::string> leaked_values(const std::string& message,
                                       const field_list& fields) {
  std::vector<std::string> leaked;
  for (const auto& field : fields) {
    if (message.find(field.second) != std::string::npos) {
      leaked.push_back(field.first + "=" + field.second);
    }
  }
  return leaked;
}

library_module load_fresh_module_copy(bool lazy) {
  library_module module = {};
  char path[] = "/tmp/tarvane-module-copy.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    ADD_FAILURE() << "mkstemp failed";
    return module;
  }
  close(fd);
  {
    std::ifstream in(TARVANE_MODULE_PATH, std::ios::binary);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  module.handle = dlopen(path, (lazy ? RTLD_LAZY : RTLD_NOW) | RTLD_LOCAL);
  unlink(path);
  if (module.handle == nullptr) {
    ADD_FAILURE() << "cannot load a copy of the module: " << dlerror();
    return module;
  }
  module.commerce_init = reinterpret_cast<decltype(module.commerce_init)>(
      dlsym(module.handle, "miva_commerce_init"));
  module.commerce_loop = reinterpret_cast<decltype(module.commerce_loop)>(
      dlsym(module.handle, "miva_commerce_loop"));
  module.commerce_cleanup = reinterpret_cast<decltype(module.commerce_cleanup)>(
      dlsym(module.handle, "miva_commerce_cleanup"));
  module.commerce_error = reinterpret_cast<decltype(module.commerce_error)>(
      dlsym(module.handle, "miva_commerce_error"));
  module.register_library = reinterpret_cast<decltype(module.register_library)>(
      dlsym(module.handle, "MivaRegisterLibrary"));
  EXPECT_NE(module.commerce_init, nullptr);
  EXPECT_NE(module.commerce_error, nullptr);
  EXPECT_NE(module.commerce_cleanup, nullptr);
  EXPECT_NE(module.register_library, nullptr);
  return module;
}

// ---- heap watch -----------------------------------------------------------
//
// Runs inside free(): no allocation, no locks, no instrumented reads.

namespace {

__thread bool watched_thread = false;
char watch_secret[128];
size_t watch_secret_size = 0;
char watch_mark[1024];
size_t watch_mark_size = 0;
std::atomic<size_t> watch_hits{0};
char watch_first[2048];
size_t watch_first_size = 0;

#define HARDENING_NO_SANITIZE __attribute__((no_sanitize("address", "thread")))

HARDENING_NO_SANITIZE bool holds(const unsigned char* block, size_t size,
                                 const char* needle, size_t needle_size) {
  if (needle_size == 0 || needle_size > size) return false;
  for (size_t i = 0; i + needle_size <= size; ++i) {
    size_t j = 0;
    while (j < needle_size &&
           block[i + j] == static_cast<unsigned char>(needle[j])) {
      ++j;
    }
    if (j == needle_size) return true;
  }
  return false;
}

HARDENING_NO_SANITIZE void inspect_released(const void* pointer, size_t size) {
  const unsigned char* block = static_cast<const unsigned char*>(pointer);
  if (!holds(block, size, watch_secret, watch_secret_size)) return;
  if (holds(block, size, watch_mark, watch_mark_size)) return;
#ifdef HARDENING_SANITIZER_HOOKS
  // Where such a block was released, for whoever hunts it down.
  if (getenv("TARVANE_HEAP_WATCH_TRACE") != nullptr) {
    __sanitizer_print_stack_trace();
  }
#endif
  if (watch_hits.fetch_add(1) == 0) {
    const size_t n = size < sizeof watch_first ? size : sizeof watch_first;
    for (size_t i = 0; i < n; ++i) watch_first[i] = static_cast<char>(block[i]);
    watch_first_size = n;
  }
}

}  // namespace

#ifdef HARDENING_SANITIZER_HOOKS

namespace {

void on_release(const volatile void* pointer) {
  if (!watched_thread || pointer == nullptr) return;
  const void* block = const_cast<const void*>(pointer);
  inspect_released(block, __sanitizer_get_allocated_size(block));
}

void on_allocate(const volatile void*, size_t) {}

}  // namespace

static void install_hooks() {
  static bool installed = false;
  if (!installed) {
    installed = true;
    __sanitizer_install_malloc_and_free_hooks(on_allocate, on_release);
  }
}

#else

// Without a sanitizer, free and realloc of the whole process are these:
// glibc's own behind a look at the block being released.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void free(void* pointer) {
  if (watched_thread && pointer != nullptr) {
    inspect_released(pointer, malloc_usable_size(pointer));
  }
  __libc_free(pointer);
}

// A block that moves is released too, with its old bytes in it.
void* realloc(void* pointer, size_t size) {
  if (!watched_thread || pointer == nullptr || size == 0) {
    return __libc_realloc(pointer, size);
  }
  const size_t old_size = malloc_usable_size(pointer);
  void* moved = __libc_malloc(size);
  if (moved == nullptr) return nullptr;
  memcpy(moved, pointer, old_size < size ? old_size : size);
  free(pointer);
  return moved;
}
}  // extern "C"

static void install_hooks() {}

#endif

void heap_watch_start(const std::string& secret, const std::string& host_mark) {
  install_hooks();
  ASSERT_LT(secret.size(), sizeof watch_secret);
  ASSERT_LT(host_mark.size(), sizeof watch_mark);
  memcpy(watch_secret, secret.data(), secret.size());
  watch_secret_size = secret.size();
  memcpy(watch_mark, host_mark.data(), host_mark.size());
  watch_mark_size = host_mark.size();
  watch_hits = 0;
  watch_first_size = 0;
  watched_thread = true;
}

size_t heap_watch_stop(std::string* first_block) {
  watched_thread = false;
  if (first_block != nullptr) {
    std::string dump;
    for (size_t i = 0; i < watch_first_size; ++i) {
      const unsigned char c = static_cast<unsigned char>(watch_first[i]);
      char piece[8];
      snprintf(piece, sizeof piece, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x",
               c);
      dump += piece;
    }
    *first_block = dump;
  }
  return watch_hits.load();
}

// ---- stack scan -----------------------------------------------------------

namespace {

struct StackRun {
  void (*body)(void*);
  void* argument;
  bool fake_stack;
};

void* stack_thread(void* raw) {
  StackRun* run = static_cast<StackRun*>(raw);
#if defined(__SANITIZE_ADDRESS__)
  run->fake_stack = __asan_get_current_fake_stack() != nullptr;
#else
  run->fake_stack = false;
#endif
  run->body(run->argument);
  return nullptr;
}

HARDENING_NO_SANITIZE std::vector<std::string> scan(
    const unsigned char* stack, size_t size,
    const std::vector<std::string>& needles) {
  std::vector<std::string> found;
  for (const std::string& needle : needles) {
    for (size_t i = 0; i + needle.size() <= size; ++i) {
      if (holds(stack + i, needle.size(), needle.data(), needle.size())) {
        std::string around;
        for (size_t k = (i > 256 ? i - 256 : 0); k < i + 256 && k < size; ++k) {
          char piece[8];
          const unsigned char c = stack[k];
          snprintf(piece, sizeof piece, c >= 0x20 && c < 0x7f ? "%c" : ".", c);
          around += piece;
        }
        found.push_back(needle + " at offset " + std::to_string(i) + " in " +
                        around);
        break;
      }
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> run_and_scan_stack(
    void (*body)(void*), void* argument,
    const std::vector<std::string>& needles, bool* scanned) {
  const size_t size = 8u << 20;
  void* stack = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(stack, MAP_FAILED);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, size);
  StackRun run = {body, argument, false};
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attributes, stack_thread, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  std::vector<std::string> found;
  *scanned = !run.fake_stack;
  if (*scanned) {
    found = scan(static_cast<const unsigned char*>(stack), size, needles);
  }
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(stack, size);
#endif
  munmap(stack, size);
  return found;
}
