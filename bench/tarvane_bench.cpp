// What a payment costs the host, side by side with libcurl and with the
// literal window-copying search, in one process run.
//
//   tarvane_bench [--payments=N] [--parallel-payments=K] [benchmark flags]
//   tarvane_bench --instructions   (under valgrind --tool=callgrind)
//
// The transaction benchmarks need the local TLS gateway: run them inside
// tests/gateway/hermetic.sh (bench/run.sh does). Outside it only the
// in-process benchmarks are registered.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "bench/null_http_client.h"
#include "gateway/gateway.h"
#include "host/tarvane.h"
#include "text/text_ops.h"

// The linked-in core's exports, run over the null HTTP client.
TARVANE_EXPORT int miva_commerce_init(void*, void** library_data, void*,
                                      const char* url, host_handle field_list,
                                      host_handle result_tree);
TARVANE_EXPORT void miva_commerce_cleanup(void*, void** library_data);

namespace {

// ---- what is measured -------------------------------------------------

const char kFields[] =
    "amount=12.50&ccnum=4111111111111111&ccexp=12%2F29&orderid=BENCH-1"
    "&name=Ann+%26+Bob+O%27Neil";
const char kAcceptedUrl[] = "https://localhost/reply/accepted";
const char kHeldBackUrl[] = "https://localhost/delay/100/accepted";

typedef bool (*interpret_fn)(char*, const char*, host_handle);
typedef int32_t (*index_of_fn)(const char*, const char*);

struct Implementation {
  const char* name;
  interpret_fn interpret;
  index_of_fn index_of;
};

struct ReplyCase {
  const char* name;
  std::string text;
};

struct TarvaneModule {
  int (*init)(void*, void**, void*, const char*, void*, void*);
  void (*cleanup)(void*, void**);
  const char* (*error)(void*, void**);
  void (*register_library)(void*);
};

Implementation library_impl = {"library", interpret_reply, text_index_of};
Implementation literal_impl = {"literal", nullptr, nullptr};
TarvaneModule tarvane = {nullptr, nullptr, nullptr, nullptr};
std::vector<ReplyCase> reply_cases;
const ReplyCase* worst_case = nullptr;

[[noreturn]] void die(const std::string& message) {
  fprintf(stderr, "tarvane_bench: %s\n", message.c_str());
  exit(2);
}

void* open_module(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) die(std::string("cannot load ") + path + ": " + dlerror());
  return handle;
}

template <typename Function>
void resolve(void* handle, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(handle, name));
  if (*function == nullptr) die(std::string("no export ") + name);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool contains_nocase(const std::string& text, const char* needle) {
  return text_find_nocase(text.c_str(), needle) >= 0;
}

// 8191 bytes with "Accepted" at the end but no "=", no identifier marker
// and no line end: every marker is searched over the whole reply, and the
// authorization code is the whole reply. The near-miss words of the worst
// case put a marker's first letter at every few bytes, each a place the
// in-place search must compare at; the dots leave it none.
std::string long_reply(const std::string& filler) {
  const size_t size = REPLY_BUFFER_SIZE - 1;
  std::string text;
  while (text.size() < size) text += filler;
  text.resize(size - strlen("Accepted"));
  text += "Accepted";
  for (const char* absent : {"=", "historyid=", "orderid=", "refcode=", "\r", "\n"}) {
    if (contains_nocase(text, absent)) die("a long reply holds a marker");
  }
  return text;
}

// ---- the library's results, compared -------------------------------------

std::vector<std::pair<std::string, std::string>> tree_variables(void* tree) {
  std::vector<std::pair<std::string, std::string>> variables;
  for (size_t i = 0; i < bench_host_tree_count(tree); ++i) {
    variables.emplace_back(bench_host_tree_name(tree, i),
                           bench_host_tree_value(tree, i));
  }
  return variables;
}

long long allocations_of(const std::function<void()>& work) {
  const long long before = bench_host_counts_now().allocations;
  work();
  return bench_host_counts_now().allocations - before;
}

// The baseline must be what it claims: the same results, and one window
// per candidate index.
void check_baseline() {
  char error_text[ERROR_TEXT_SIZE];
  for (const ReplyCase& c : reply_cases) {
    void* tree = bench_host_tree_new();
    const bool library_ok = library_impl.interpret(error_text, c.text.c_str(), tree);
    const auto library_variables = tree_variables(tree);
    bench_host_tree_clear(tree);
    const bool literal_ok = literal_impl.interpret(error_text, c.text.c_str(), tree);
    if (library_ok != literal_ok || tree_variables(tree) != library_variables) {
      die(std::string("the baseline interprets the ") + c.name + " reply differently");
    }
    bench_host_tree_delete(tree);
  }
  const std::string& worst = worst_case->text;
  const long long candidates = static_cast<long long>(worst.size()) - 10 + 1;
  if (allocations_of([&] { literal_impl.index_of(worst.c_str(), "historyid="); }) !=
      candidates) {
    die("the baseline's text_index_of does not copy a window per index; "
        "is the literal definition the one linked?");
  }
  if (allocations_of([&] { library_impl.index_of(worst.c_str(), "historyid="); }) != 0) {
    die("the library's text_index_of allocates");
  }
  if (bench_host_counts_now().live != 0) die("blocks left after the checks");
}

// ---- payments -----------------------------------------------------------

struct Payment {
  int result = -1;
  std::string message;
};

Payment module_payment(const char* url, void* list, void* tree) {
  bench_host_tree_clear(tree);
  void* library_data = nullptr;
  Payment payment;
  payment.result = tarvane.init(nullptr, &library_data, nullptr, url, list, tree);
  if (payment.result != 0) {
    const char* message = tarvane.error(nullptr, &library_data);
    payment.message = message != nullptr ? message : "";
  }
  tarvane.cleanup(nullptr, &library_data);
  return payment;
}

bool status_is(void* tree, const char* status) {
  const char* value = bench_host_tree_find(tree, "tv_status");
  return value != nullptr && strcmp(value, status) == 0;
}

enum Trust { kHashedDirectory, kBundle, kTestCaOnly };

struct CurlReply {
  char text[REPLY_BUFFER_SIZE];
  size_t length;
};

size_t on_curl_body(char* data, size_t size, size_t count, void* user) {
  CurlReply* reply = static_cast<CurlReply*>(user);
  const size_t n = size * count;
  const size_t room = sizeof reply->text - 1 - reply->length;
  const size_t k = n < room ? n : room;
  memcpy(reply->text + reply->length, data, k);
  reply->length += k;
  reply->text[reply->length] = '\0';
  return n;
}

struct CurlPayment {
  CURLcode code = CURLE_FAILED_INIT;
  long status = 0;
  double tls_done_ms = 0;
  bool accepted = false;
};

// The request the module makes, through libcurl's easy interface, on a new
// easy handle (so a new connection and a full handshake) every time.
CurlPayment curl_payment(Trust trust, const char* url) {
  CurlPayment payment;
  CurlReply reply;
  reply.length = 0;
  reply.text[0] = '\0';
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return payment;
  struct curl_slist* headers = nullptr;
  for (const char* line : {GATEWAY_CONTENT_TYPE_HEADER, "Accept:", "Expect:",
                           "Cache-Control: no-cache", "Pragma: no-cache"}) {
    headers = curl_slist_append(headers, line);
  }
  curl_easy_setopt(easy, CURLOPT_URL, url);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, GATEWAY_AGENT);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kFields);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, (long)strlen(kFields));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_curl_body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 75000L);
  switch (trust) {
    case kHashedDirectory:
      curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
      curl_easy_setopt(easy, CURLOPT_CAPATH, "/etc/ssl/certs");
      break;
    case kBundle:
      curl_easy_setopt(easy, CURLOPT_CAINFO, "/etc/ssl/certs/ca-certificates.crt");
      curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
      break;
    case kTestCaOnly:
      curl_easy_setopt(easy, CURLOPT_CAINFO, getenv("TARVANE_TEST_CA"));
      curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
      break;
  }
  payment.code = curl_easy_perform(easy);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &payment.status);
  curl_off_t tls_done_us = 0;
  curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &tls_done_us);
  payment.tls_done_ms = tls_done_us / 1000.0;
  payment.accepted = payment.code == CURLE_OK && payment.status == 200 &&
                     strstr(reply.text, "Accepted=") != nullptr;
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
  return payment;
}

double p95(const std::vector<double>& values) {
  if (values.empty()) return 0;
  std::vector<double> sorted(values);
  std::sort(sorted.begin(), sorted.end());
  const size_t rank = static_cast<size_t>(std::ceil(0.95 * sorted.size()));
  return sorted[rank == 0 ? 0 : rank - 1];
}

// The raw, still escaped, text of a top-level string field in one line of
// the gateway's JSON record. Inside a JSON string every quote is escaped,
// so `"name": "` can only be the field itself.
std::string recorded_field(const std::string& line, const char* name) {
  const std::string key = std::string("\"") + name + "\": \"";
  const size_t start = line.find(key);
  if (start == std::string::npos) die(std::string("no field ") + name + " in the record");
  std::string value;
  for (size_t i = start + key.size(); i < line.size(); ++i) {
    if (line[i] == '"') return value;
    if (line[i] == '\\' && i + 1 < line.size()) value += line[i++];
    value += line[i];
  }
  die(std::string("field ") + name + " is not closed in the record");
}

// The last request the gateway recorded, as one JSON line.
std::string last_recorded_request() {
  const char* path = getenv("TARVANE_GATEWAY_RECORD");
  if (path == nullptr) die("TARVANE_GATEWAY_RECORD is not set");
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  if (last.empty()) die("the gateway recorded no request");
  return last;
}

// Both clients must put the same request on the wire, or the comparison
// means nothing.
void check_same_request() {
  void* list = bench_host_list_new(kFields);
  void* tree = bench_host_tree_new();
  if (module_payment(kAcceptedUrl, list, tree).result != 0) die("the first payment failed");
  const std::string module_request = last_recorded_request();
  if (!curl_payment(kHashedDirectory, kAcceptedUrl).accepted) die("libcurl's payment failed");
  const std::string curl_request = last_recorded_request();
  for (const char* field : {"method", "path", "version", "raw_head", "body_hex", "tls"}) {
    if (recorded_field(module_request, field) != recorded_field(curl_request, field)) {
      die(std::string("the two clients differ in ") + field + ":\n  TarvaneLink.so: " +
          recorded_field(module_request, field) +
          "\n  libcurl:        " + recorded_field(curl_request, field));
    }
  }
  // Escaped as JSON; bench/report.py shows them.
  benchmark::AddCustomContext("request_head_json", recorded_field(module_request, "raw_head"));
  benchmark::AddCustomContext("request_body_json", recorded_field(module_request, "body"));
  benchmark::AddCustomContext("tls_version", recorded_field(module_request, "tls"));
  bench_host_tree_delete(tree);
  bench_host_list_delete(list);
}

// ---- benchmarks ---------------------------------------------------------

void set_allocation_counters(benchmark::State& state, const bench_host_counts& before,
                             const char* per) {
  const bench_host_counts after = bench_host_counts_now();
  state.counters[std::string("allocs/") + per] = benchmark::Counter(
      static_cast<double>(after.allocations - before.allocations),
      benchmark::Counter::kAvgIterations);
  state.counters[std::string("bytes/") + per] = benchmark::Counter(
      static_cast<double>(after.bytes - before.bytes), benchmark::Counter::kAvgIterations);
  if (after.live != before.live) state.SkipWithError("host blocks were left unreleased");
}

void interpret_benchmark(benchmark::State& state, const Implementation* impl,
                         const ReplyCase* c) {
  char error_text[ERROR_TEXT_SIZE];
  void* tree = bench_host_tree_new();
  const bench_host_counts before = bench_host_counts_now();
  for (auto _ : state) {
    bench_host_tree_clear(tree);
    bool understood = impl->interpret(error_text, c->text.c_str(), tree);
    benchmark::DoNotOptimize(understood);
  }
  set_allocation_counters(state, before, "reply");
  state.counters["reply_bytes"] = static_cast<double>(c->text.size());
  bench_host_tree_delete(tree);
}

void search_benchmark(benchmark::State& state, const Implementation* impl,
                      const ReplyCase* c, const char* needle) {
  const bench_host_counts before = bench_host_counts_now();
  for (auto _ : state) {
    int32_t index = impl->index_of(c->text.c_str(), needle);
    benchmark::DoNotOptimize(index);
  }
  set_allocation_counters(state, before, "search");
}

// The library's own work in a payment: the null client answers at once.
void library_frame_benchmark(benchmark::State& state, const ReplyCase* c) {
  null_http_client_reply(c->text.c_str());
  void* list = bench_host_list_new(kFields);
  void* tree = bench_host_tree_new();
  const bench_host_counts before = bench_host_counts_now();
  for (auto _ : state) {
    bench_host_tree_clear(tree);
    void* library_data = nullptr;
    int result = miva_commerce_init(nullptr, &library_data, nullptr, kAcceptedUrl, list, tree);
    miva_commerce_cleanup(nullptr, &library_data);
    benchmark::DoNotOptimize(result);
  }
  set_allocation_counters(state, before, "payment");
  if (!status_is(tree, "accepted")) state.SkipWithError("not accepted");
  bench_host_tree_delete(tree);
  bench_host_list_delete(list);
}

void module_transaction_benchmark(benchmark::State& state) {
  void* list = bench_host_list_new(kFields);
  void* tree = bench_host_tree_new();
  for (auto _ : state) {
    Payment payment = module_payment(kAcceptedUrl, list, tree);
    if (payment.result != 0 || !status_is(tree, "accepted")) {
      state.SkipWithError(("payment failed: " + payment.message).c_str());
      break;
    }
  }
  bench_host_tree_delete(tree);
  bench_host_list_delete(list);
}

void curl_transaction_benchmark(benchmark::State& state, Trust trust) {
  double tls_done_ms = 0;
  for (auto _ : state) {
    CurlPayment payment = curl_payment(trust, kAcceptedUrl);
    if (!payment.accepted) {
      state.SkipWithError(curl_easy_strerror(payment.code));
      break;
    }
    tls_done_ms += payment.tls_done_ms;
  }
  state.counters["tls_done_ms"] =
      benchmark::Counter(tls_done_ms, benchmark::Counter::kAvgIterations);
}

enum Client { kTarvaneLink, kCurlHashedDirectory, kCurlBundle };

// `threads` host threads, each with its own slot, list and tree, each
// making `per_thread` payments one after the other.
void parallel_benchmark(benchmark::State& state, Client client, int threads,
                        int per_thread) {
  for (auto _ : state) {
    std::atomic<int> failures{0};
    std::vector<void*> lists, trees;
    for (int t = 0; t < threads; ++t) {
      lists.push_back(bench_host_list_new(kFields));
      trees.push_back(bench_host_tree_new());
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        for (int k = 0; k < per_thread; ++k) {
          bool ok;
          if (client == kTarvaneLink) {
            ok = module_payment(kHeldBackUrl, lists[t], trees[t]).result == 0 &&
                 status_is(trees[t], "accepted");
          } else {
            ok = curl_payment(client == kCurlBundle ? kBundle : kHashedDirectory, kHeldBackUrl)
                     .accepted;
          }
          if (!ok) failures.fetch_add(1);
        }
      });
    }
    for (std::thread& thread : pool) thread.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    for (int t = 0; t < threads; ++t) {
      bench_host_tree_delete(trees[t]);
      bench_host_list_delete(lists[t]);
    }
    if (failures.load() != 0) {
      state.SkipWithError("a parallel payment failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * threads * per_thread);
}

struct OutcomeCase {
  const char* name;
  const char* url;
  int result;
  const char* status;   // null: no variable is set
  const char* message;  // start of the message, when result is 1
};

const OutcomeCase kOutcomes[] = {
    {"accepted", "https://localhost/reply/accepted", 0, "accepted", nullptr},
    {"declined", "https://localhost/reply/declined", 0, "declined", nullptr},
    {"error_reply", "https://localhost/reply/invalid", 1, "error",
     "Invalid Merchant configuration."},
    {"transport_failure", "https://gateway-closed.test/reply/accepted", 1, nullptr,
     "Cannot send request to '"},
};

void outcome_benchmark(benchmark::State& state, const OutcomeCase* c) {
  void* list = bench_host_list_new(kFields);
  void* tree = bench_host_tree_new();
  const bench_host_counts before = bench_host_counts_now();
  for (auto _ : state) {
    Payment payment = module_payment(c->url, list, tree);
    const bool status_ok = c->status == nullptr ? bench_host_tree_count(tree) == 0
                                                : status_is(tree, c->status);
    const bool message_ok =
        c->message == nullptr || payment.message.rfind(c->message, 0) == 0;
    if (payment.result != c->result || !status_ok || !message_ok) {
      state.SkipWithError(("unexpected outcome: " + payment.message).c_str());
      break;
    }
  }
  set_allocation_counters(state, before, "payment");
  bench_host_tree_delete(tree);
  bench_host_list_delete(list);
}

// ---- instruction counts -----------------------------------------------

// Under callgrind each case is counted between a reset and a dump named
// after it; bench/report.py reads the dumps.
void count_instructions() {
  const int repeats = 20;
  char error_text[ERROR_TEXT_SIZE];
  void* tree = bench_host_tree_new();
  for (const ReplyCase& c : reply_cases) {
    for (const Implementation* impl : {&library_impl, &literal_impl}) {
      impl->interpret(error_text, c.text.c_str(), tree);  // bind lazily, fault pages in
      bench_host_tree_clear(tree);
      CALLGRIND_ZERO_STATS;
      for (int i = 0; i < repeats; ++i) {
        bench_host_tree_clear(tree);
        impl->interpret(error_text, c.text.c_str(), tree);
      }
      const std::string label = std::string("interpret/") + impl->name + "/" + c.name +
                                " x" + std::to_string(repeats);
      CALLGRIND_DUMP_STATS_AT(label.c_str());
    }
  }
  const ReplyCase& worst = *worst_case;
  for (const Implementation* impl : {&library_impl, &literal_impl}) {
    impl->index_of(worst.text.c_str(), "historyid=");
    CALLGRIND_ZERO_STATS;
    for (int i = 0; i < repeats; ++i) {
      int32_t index = impl->index_of(worst.text.c_str(), "historyid=");
      benchmark::DoNotOptimize(index);
    }
    const std::string label = std::string("search/") + impl->name + "/" + worst.name +
                              " x" + std::to_string(repeats);
    CALLGRIND_DUMP_STATS_AT(label.c_str());
  }
  bench_host_tree_delete(tree);
}

// Takes --name or --name=value from argv, leaving the rest for the
// benchmark library.
bool take_flag(int* argc, char** argv, const char* name, std::string* value) {
  const std::string flag = std::string("--") + name;
  for (int i = 1; i < *argc; ++i) {
    const bool bare = flag == argv[i];
    if (bare || strncmp(argv[i], (flag + "=").c_str(), flag.size() + 1) == 0) {
      *value = bare ? "" : argv[i] + flag.size() + 1;
      for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
      --*argc;
      return true;
    }
  }
  return false;
}

template <typename... Args>
benchmark::internal::Benchmark* add(const std::string& name, Args&&... args) {
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...);
}

}  // namespace

int main(int argc, char** argv) {
  std::string value;
  int payments = 200;
  int parallel_payments = 12;
  bool instructions = take_flag(&argc, argv, "instructions", &value);
  if (take_flag(&argc, argv, "payments", &value)) payments = atoi(value.c_str());
  if (take_flag(&argc, argv, "parallel-payments", &value)) {
    parallel_payments = atoi(value.c_str());
  }

  // libcurl is left for TarvaneLink.so to start, with its own allocation
  // hooks, as in a host that does not use libcurl itself; the libcurl
  // baseline then runs on the same global state.
  void* host = open_module(BENCH_HOST_PATH);
  MivaRegisterLibrary(host);
  void* literal = open_module(BENCH_LITERAL_PATH);
  resolve(literal, "literal_interpret_reply", &literal_impl.interpret);
  resolve(literal, "literal_text_index_of", &literal_impl.index_of);
  void (*register_literal)(void*);
  resolve(literal, "MivaRegisterLibrary", &register_literal);
  register_literal(host);

  reply_cases.push_back({"accepted", read_file(REPLIES_DIR "/accepted.reply")});
  reply_cases.push_back({"declined", read_file(REPLIES_DIR "/declined.reply")});
  reply_cases.push_back({"worst_8191", long_reply("historyid orderid refcode ")});
  reply_cases.push_back({"dots_8191", long_reply(".")});
  worst_case = &reply_cases[2];
  check_baseline();

  if (instructions) {
    count_instructions();
    return 0;
  }

  for (const ReplyCase& c : reply_cases) {
    for (const Implementation* impl : {&library_impl, &literal_impl}) {
      add(std::string("interpret/") + impl->name + "/" + c.name, interpret_benchmark, impl, &c)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  for (const Implementation* impl : {&library_impl, &literal_impl}) {
    add(std::string("search/") + impl->name + "/worst_8191/historyid=", search_benchmark, impl,
        worst_case, "historyid=")
        ->Unit(benchmark::kMicrosecond);
  }
  add("library_only/accepted", library_frame_benchmark, &reply_cases[0])
      ->Unit(benchmark::kMicrosecond);

  const bool hermetic = getenv("TARVANE_HERMETIC") != nullptr;
  if (hermetic) {
    void* module = open_module(TARVANE_MODULE_PATH);
    resolve(module, "miva_commerce_init", &tarvane.init);
    resolve(module, "miva_commerce_cleanup", &tarvane.cleanup);
    resolve(module, "miva_commerce_error", &tarvane.error);
    resolve(module, "MivaRegisterLibrary", &tarvane.register_library);
    tarvane.register_library(host);

    // The process's first payment sets up what later ones share.
    {
      void* list = bench_host_list_new(kFields);
      void* tree = bench_host_tree_new();
      const auto start = std::chrono::steady_clock::now();
      const Payment first = module_payment(kAcceptedUrl, list, tree);
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - start;
      if (first.result != 0) die("the first payment failed: " + first.message);
      char text[32];
      snprintf(text, sizeof text, "%.1f", took.count());
      benchmark::AddCustomContext("first_payment_ms", text);
      bench_host_tree_delete(tree);
      bench_host_list_delete(list);
    }
    check_same_request();
    benchmark::AddCustomContext("libcurl", curl_version());

    auto sequential = [&](benchmark::internal::Benchmark* b) {
      b->Iterations(1)
          ->Repetitions(payments)
          ->ReportAggregatesOnly(true)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond)
          ->ComputeStatistics("p95", p95);
    };
    sequential(add("transaction/TarvaneLink.so", module_transaction_benchmark));
    sequential(add("transaction/curl_hashed_dir", curl_transaction_benchmark, kHashedDirectory));
    sequential(add("transaction/curl_bundle", curl_transaction_benchmark, kBundle));
    if (getenv("TARVANE_TEST_CA") != nullptr) {
      sequential(add("transaction/curl_test_ca_only", curl_transaction_benchmark, kTestCaOnly));
    }

    const struct {
      const char* name;
      Client client;
    } parallel_clients[] = {{"TarvaneLink.so", kTarvaneLink},
                            {"curl_hashed_dir", kCurlHashedDirectory},
                            {"curl_bundle", kCurlBundle}};
    for (const auto& p : parallel_clients) {
      for (int threads : {1, 2, 4, 8}) {
        add(std::string("parallel/") + p.name + "/threads:" + std::to_string(threads),
            parallel_benchmark, p.client, threads, parallel_payments)
            ->Iterations(1)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
      }
    }

    for (const OutcomeCase& c : kOutcomes) {
      add(std::string("outcome/") + c.name, outcome_benchmark, &c)
          ->Iterations(20)
          ->Unit(benchmark::kMillisecond);
    }
  } else {
    fprintf(stderr,
            "tarvane_bench: not inside tests/gateway/hermetic.sh; only the "
            "in-process benchmarks run\n");
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (bench_host_counts_now().live != 0) die("host blocks were left unreleased");
  return 0;
}
