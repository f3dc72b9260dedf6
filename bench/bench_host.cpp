#include "bench/bench_host.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace {

std::atomic<long long> allocations{0};
std::atomic<long long> bytes{0};
std::atomic<long long> releases{0};

struct List {
  std::string fields;
  std::string rendering;  // the host's own text, valid until the next call
};

struct Tree {
  std::vector<std::pair<std::string, std::string>> variables;
};

}  // namespace

// ---- the four services the library calls; it finds no others ----

extern "C" __attribute__((visibility("default"))) void* miva_alloc(int32_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(size, std::memory_order_relaxed);
  return malloc(size > 0 ? static_cast<size_t>(size) : 1);
}

extern "C" __attribute__((visibility("default"))) void miva_free(void* block) {
  if (block == nullptr) return;
  releases.fetch_add(1, std::memory_order_relaxed);
  free(block);
}

extern "C" __attribute__((visibility("default"))) char* miva_variablelist_to_url(
    const char* url, void* list_handle) {
  List* list = static_cast<List*>(list_handle);
  if (list == nullptr) return nullptr;
  list->rendering = url != nullptr ? url : "";
  list->rendering += '?';
  list->rendering += list->fields;
  return &list->rendering[0];
}

extern "C" __attribute__((visibility("default"))) void miva_variabletree_setvariable(
    void* tree_handle, const char* name, const char* value) {
  Tree* tree = static_cast<Tree*>(tree_handle);
  if (tree == nullptr) return;
  tree->variables.emplace_back(name != nullptr ? name : "(null)",
                               value != nullptr ? value : "(null)");
}

// ---- control ----

bench_host_counts bench_host_counts_now(void) {
  bench_host_counts counts;
  counts.allocations = allocations.load(std::memory_order_relaxed);
  counts.bytes = bytes.load(std::memory_order_relaxed);
  counts.releases = releases.load(std::memory_order_relaxed);
  counts.live = counts.allocations - counts.releases;
  return counts;
}

void* bench_host_list_new(const char* fields) {
  List* list = new List;
  list->fields = fields;
  return list;
}

void bench_host_list_delete(void* list) { delete static_cast<List*>(list); }

void* bench_host_tree_new(void) { return new Tree; }

void bench_host_tree_clear(void* tree) {
  static_cast<Tree*>(tree)->variables.clear();
}

size_t bench_host_tree_count(void* tree) {
  return static_cast<Tree*>(tree)->variables.size();
}

const char* bench_host_tree_name(void* tree, size_t index) {
  return static_cast<Tree*>(tree)->variables.at(index).first.c_str();
}

const char* bench_host_tree_value(void* tree, size_t index) {
  return static_cast<Tree*>(tree)->variables.at(index).second.c_str();
}

const char* bench_host_tree_find(void* tree, const char* name) {
  for (const auto& variable : static_cast<Tree*>(tree)->variables) {
    if (variable.first == name) return variable.second.c_str();
  }
  return nullptr;
}

void bench_host_tree_delete(void* tree) { delete static_cast<Tree*>(tree); }
