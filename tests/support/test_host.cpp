#include "tests/support/test_host.h"

#include <stdlib.h>
#include <string.h>

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kGuardSize = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr unsigned char kFreshByte = 0xCD;
constexpr unsigned char kReleasedByte = 0xDD;

struct Block {
  size_t size;
  long serial;
};

struct List {
  std::vector<std::pair<std::string, std::string>> fields;
  bool has_rendering = false;
  std::string rendering;
  std::list<std::string> renderings;  // owned by the host, as a host would
};

struct Tree {
  std::vector<std::pair<std::string, std::string>> variables;
};

struct State {
  std::mutex mutex;
  std::map<const void*, Block> live;  // keyed by the user pointer
  std::vector<const void*> released;
  std::vector<std::string> faults;
  std::string faults_joined;
  std::vector<std::string> calls;
  std::vector<std::string> secrets;
  long allocations = 0;
  long fail_at = 0;
};

State& state() {
  static State* s = new State;  // never destroyed: threads may outlive main
  return *s;
}

void fault_locked(State& s, std::string message) {
  s.faults.push_back(std::move(message));
}

bool holds_secret(const State& s, const unsigned char* bytes, size_t size,
                  std::string* which) {
  for (const std::string& secret : s.secrets) {
    if (secret.empty() || secret.size() > size) continue;
    for (size_t i = 0; i + secret.size() <= size; ++i) {
      if (memcmp(bytes + i, secret.data(), secret.size()) == 0) {
        *which = secret;
        return true;
      }
    }
  }
  return false;
}

void check_guards_locked(State& s, const unsigned char* user, size_t size,
                         const char* when) {
  const unsigned char* before = user - kGuardSize;
  const unsigned char* after = user + size;
  for (size_t i = 0; i < kGuardSize; ++i) {
    if (before[i] != kGuardByte || after[i] != kGuardByte) {
      fault_locked(s, std::string("guard bytes damaged around a block of ") +
                          std::to_string(size) + " bytes, found " + when);
      return;
    }
  }
}

void record_call(const char* name) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.emplace_back(name);
}

std::string form_encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
        c == '*') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

// ---- the services the library calls ----

#ifdef _WIN32
#define TEST_HOST_EXPORT_SERVICE __declspec(dllexport)
#else
#define TEST_HOST_EXPORT_SERVICE __attribute__((visibility("default")))
#endif

extern "C" TEST_HOST_EXPORT_SERVICE void* miva_alloc(int32_t size) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.emplace_back("miva_alloc");
  ++s.allocations;
  if (size < 0) {
    fault_locked(s, "miva_alloc with a negative size " + std::to_string(size));
    return nullptr;
  }
  if (s.fail_at != 0 && s.allocations == s.fail_at) return nullptr;
  const size_t bytes = static_cast<size_t>(size);
  unsigned char* raw =
      static_cast<unsigned char*>(malloc(bytes + 2 * kGuardSize));
  memset(raw, kGuardByte, kGuardSize);
  memset(raw + kGuardSize, kFreshByte, bytes);
  memset(raw + kGuardSize + bytes, kGuardByte, kGuardSize);
  unsigned char* user = raw + kGuardSize;
  s.live[user] = Block{bytes, s.allocations};
  return user;
}

extern "C" TEST_HOST_EXPORT_SERVICE void miva_free(void* block) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.emplace_back("miva_free");
  auto it = s.live.find(block);
  if (it == s.live.end()) {
    bool twice = false;
    for (const void* p : s.released) twice = twice || p == block;
    fault_locked(s, twice ? "double release of a block"
                          : "release of a pointer the host never gave");
    return;
  }
  unsigned char* user = static_cast<unsigned char*>(block);
  const size_t size = it->second.size;
  check_guards_locked(s, user, size, "at its release");
  std::string secret;
  if (holds_secret(s, user, size, &secret)) {
    fault_locked(s, "a released block still holds the secret " + secret);
  }
  memset(user, kReleasedByte, size);
  free(user - kGuardSize);
  s.live.erase(it);
  s.released.push_back(block);
}

extern "C" TEST_HOST_EXPORT_SERVICE char* miva_variablelist_to_url(
    const char* url, void* list_handle) {
  record_call("miva_variablelist_to_url");
  List* list = static_cast<List*>(list_handle);
  std::string text;
  if (list != nullptr && list->has_rendering) {
    text = list->rendering;
  } else {
    text = url != nullptr ? url : "";
    text += '?';
    if (list != nullptr) {
      for (size_t i = 0; i < list->fields.size(); ++i) {
        if (i != 0) text += '&';
        text += form_encode(list->fields[i].first) + "=" +
                form_encode(list->fields[i].second);
      }
    }
  }
  if (list == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(state().mutex);
  list->renderings.push_back(text);
  return &list->renderings.back()[0];
}

extern "C" TEST_HOST_EXPORT_SERVICE void miva_variabletree_setvariable(
    void* tree_handle, const char* name, const char* value) {
  record_call("miva_variabletree_setvariable");
  Tree* tree = static_cast<Tree*>(tree_handle);
  if (tree == nullptr) return;
  std::lock_guard<std::mutex> lock(state().mutex);
  tree->variables.emplace_back(name != nullptr ? name : "(null)",
                               value != nullptr ? value : "(null)");
}

#ifndef TEST_HOST_ONLY_CALLED_SERVICES
// The other 48 names, exported so registration finds every one. The library
// never calls them; a call is a fault.
#define UNCALLED_SERVICE(name)                                  \
  extern "C" TEST_HOST_EXPORT_SERVICE void* name(void) {        \
    State& s = state();                                         \
    std::lock_guard<std::mutex> lock(s.mutex);                  \
    s.calls.emplace_back(#name);                                \
    fault_locked(s, "the library called " #name);               \
    return nullptr;                                             \
  }
UNCALLED_SERVICE(miva_realloc)
UNCALLED_SERVICE(miva_variable_name)
UNCALLED_SERVICE(miva_variable_value)
UNCALLED_SERVICE(miva_variable_setvalue)
UNCALLED_SERVICE(miva_variable_new)
UNCALLED_SERVICE(miva_variablelist_new)
UNCALLED_SERVICE(miva_variablelist_first)
UNCALLED_SERVICE(miva_variablelist_current)
UNCALLED_SERVICE(miva_variablelist_next)
UNCALLED_SERVICE(miva_variablelist_find)
UNCALLED_SERVICE(miva_variablelist_setvariable)
UNCALLED_SERVICE(miva_variablelist_dump)
UNCALLED_SERVICE(miva_variablelist_delete)
UNCALLED_SERVICE(miva_variabletree_new)
UNCALLED_SERVICE(miva_variabletree_find)
UNCALLED_SERVICE(miva_variabletree_insert)
UNCALLED_SERVICE(miva_variabletree_dump)
UNCALLED_SERVICE(miva_variabletree_delete)
UNCALLED_SERVICE(miva_network_isipaddress)
UNCALLED_SERVICE(miva_network_gethostaddress)
UNCALLED_SERVICE(miva_network_connect)
UNCALLED_SERVICE(miva_network_openurl)
UNCALLED_SERVICE(miva_network_read)
UNCALLED_SERVICE(miva_network_readline)
UNCALLED_SERVICE(miva_network_write)
UNCALLED_SERVICE(miva_network_close)
UNCALLED_SERVICE(miva_network_error)
UNCALLED_SERVICE(miva_file_resolve)
UNCALLED_SERVICE(miva_file_open)
UNCALLED_SERVICE(miva_file_delete)
UNCALLED_SERVICE(miva_file_rename)
UNCALLED_SERVICE(miva_file_exists)
UNCALLED_SERVICE(miva_file_size)
UNCALLED_SERVICE(miva_file_isdirectory)
UNCALLED_SERVICE(miva_file_makedirectory)
UNCALLED_SERVICE(miva_file_removedirectory)
UNCALLED_SERVICE(miva_file_mode)
UNCALLED_SERVICE(miva_file_changemode)
UNCALLED_SERVICE(miva_file_pathseparator)
UNCALLED_SERVICE(miva_file_read)
UNCALLED_SERVICE(miva_file_write)
UNCALLED_SERVICE(miva_file_seek)
UNCALLED_SERVICE(miva_file_tell)
UNCALLED_SERVICE(miva_file_length)
UNCALLED_SERVICE(miva_file_lock)
UNCALLED_SERVICE(miva_file_release)
UNCALLED_SERVICE(miva_file_close)
UNCALLED_SERVICE(miva_file_error)
#endif

// ---- the control interface of the tests ----

void test_host_reset(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& entry : s.live) {
    free(static_cast<unsigned char*>(const_cast<void*>(entry.first)) -
         kGuardSize);
  }
  s.live.clear();
  s.released.clear();
  s.faults.clear();
  s.calls.clear();
  s.secrets.clear();
  s.allocations = 0;
  s.fail_at = 0;
}

size_t test_host_live_blocks(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.live.size();
}

size_t test_host_fault_count(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.faults.size();
}

const char* test_host_faults(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.faults_joined.clear();
  for (const std::string& f : s.faults) s.faults_joined += f + "\n";
  return s.faults_joined.c_str();
}

long test_host_allocation_count(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.allocations;
}

void test_host_fail_allocation(long k) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fail_at = k;
}

size_t test_host_call_count(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls.size();
}

const char* test_host_call(size_t index) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return index < s.calls.size() ? s.calls[index].c_str() : "";
}

void test_host_add_secret(const char* secret) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.secrets.emplace_back(secret);
}

void test_host_check_live_blocks(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& entry : s.live) {
    const unsigned char* user = static_cast<const unsigned char*>(entry.first);
    check_guards_locked(s, user, entry.second.size, "while live");
    std::string secret;
    if (holds_secret(s, user, entry.second.size, &secret)) {
      fault_locked(s, "a live block holds the secret " + secret);
    }
  }
}

int test_host_is_live(const void* block) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.live.count(block) != 0;
}

long test_host_block_size(const void* block) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.live.find(block);
  return it == s.live.end() ? -1 : static_cast<long>(it->second.size);
}

void* test_host_list_new(void) { return new List; }

void test_host_list_add(void* list, const char* name, const char* value) {
  static_cast<List*>(list)->fields.emplace_back(name, value);
}

void test_host_list_set_rendering(void* list, const char* rendering) {
  List* l = static_cast<List*>(list);
  l->has_rendering = true;
  l->rendering = rendering;
}

void test_host_list_delete(void* list) { delete static_cast<List*>(list); }

void* test_host_tree_new(void) { return new Tree; }

size_t test_host_tree_count(void* tree) {
  return static_cast<Tree*>(tree)->variables.size();
}

const char* test_host_tree_name(void* tree, size_t index) {
  return static_cast<Tree*>(tree)->variables.at(index).first.c_str();
}

const char* test_host_tree_value(void* tree, size_t index) {
  return static_cast<Tree*>(tree)->variables.at(index).second.c_str();
}

void test_host_tree_delete(void* tree) { delete static_cast<Tree*>(tree); }
