// The libcurl-backed HTTP client, driven through its seven operations
// against the local TLS test gateways (run under tests/gateway/hermetic.sh).
// Where a test needs one exact transport fault (a reset or a stall at a
// chosen byte, a peer that is not TLS) a small TCP relay in front of the
// trusted gateway forces it.
#include "platform/http_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/gateway_record.h"

// Every heap block of the process is counted here, libcurl's and
// OpenSSL's included, so a test sees the live total and its high-water
// mark between two points, spikes between samples included. Under a
// sanitizer its allocator reports the blocks; otherwise the allocation
// functions are wrapped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVANE_SANITIZED 1
#endif
#endif

namespace {
std::atomic<long long> heap_live{0};
std::atomic<long long> heap_peak{0};

void heap_add_bytes(size_t n) {
  long long now = heap_live += (long long)n;
  long long peak = heap_peak.load();
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
  }
}
void heap_remove_bytes(size_t n) { heap_live -= (long long)n; }

long long heap_in_use() { return heap_live.load(); }
// Starts a new high-water mark from what is live now.
void heap_peak_reset() { heap_peak = heap_live.load(); }
long long heap_peak_since_reset() { return heap_peak.load(); }
}  // namespace

#ifdef TARVANE_SANITIZED

// The sanitizer runtime's allocator interface (its header comes with
// clang only).
extern "C" {
int __sanitizer_get_ownership(const volatile void* p);
size_t __sanitizer_get_allocated_size(const volatile void* p);
int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t),
    void (*free_hook)(const volatile void*));
}

namespace {
void on_malloc(const volatile void*, size_t n) { heap_add_bytes(n); }
void on_free(const volatile void* p) {
  if (p != nullptr && __sanitizer_get_ownership(p))
    heap_remove_bytes(__sanitizer_get_allocated_size(p));
}
[[maybe_unused]] const int hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
}  // namespace

#else

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

static void count_block(void* p) {
  if (p != nullptr) heap_add_bytes(malloc_usable_size(p));
}

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  count_block(p);
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  count_block(p);
  return p;
}
void* realloc(void* old, size_t n) {
  size_t before = old != nullptr ? malloc_usable_size(old) : 0;
  void* p = __libc_realloc(old, n);
  if (p != nullptr || n == 0) heap_remove_bytes(before);
  count_block(p);
  return p;
}
void free(void* p) {
  if (p != nullptr) heap_remove_bytes(malloc_usable_size(p));
  __libc_free(p);
}
void* memalign(size_t alignment, size_t n) {
  void* p = __libc_memalign(alignment, n);
  count_block(p);
  return p;
}
void* aligned_alloc(size_t alignment, size_t n) {
  return memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  void* p = memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}  // extern "C"

#endif  // TARVANE_SANITIZED

namespace {

const DWORD REQUEST_FLAGS = 0x84A00000u;
const char FORM_HEADER[] = "Content-Type: application/x-www-form-urlencoded";
static_assert(sizeof(FORM_HEADER) - 1 == 47, "the library passes length 47");
const char AGENT[] = "TarvaneLink";
const char TRUSTED[] = "localhost";

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       start)
      .count();
}

std::string canned_reply(const std::string& name) {
  std::ifstream in(std::string(REPLIES_DIR) + "/" + name + ".reply",
                   std::ios::binary);
  EXPECT_TRUE(in.good()) << "no canned reply " << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---------------------------------------------------------------------------
// The gateway's record (tests/support/gateway_record.h).

typedef nlohmann::json Record;

std::string field(const Record& r, const char* name) {
  return r.value(name, std::string());
}

// A path nobody else asked for, so its record is found again.
std::string tagged(const std::string& path) {
  static int counter = 0;
  return path + (path.find('?') == std::string::npos ? "?" : "&") +
         "probe=" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter);
}

typedef std::vector<std::pair<std::string, std::string>> HeaderList;

HeaderList headers_of(const Record& record) {
  HeaderList out;
  for (const Record& h : record.at("headers"))
    out.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
  return out;
}

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::vector<std::string> header_names_lower(const HeaderList& headers) {
  std::vector<std::string> out;
  for (const auto& h : headers) {
    std::string name = h.first;
    for (char& c : name) c = static_cast<char>(std::tolower(c));
    out.push_back(name);
  }
  return out;
}

// ---------------------------------------------------------------------------
// One exchange through the seven operations, as the library makes it.

struct Limits {
  DWORD connect_ms = 20000;
  DWORD send_ms = 20000;
  DWORD receive_ms = 20000;
};

struct Exchange {
  std::string host = TRUSTED;
  INTERNET_PORT port = 443;
  std::string path = "/reply/accepted";
  Limits limits;
  DWORD flags = REQUEST_FLAGS;
  const char* headers = FORM_HEADER;
  DWORD headers_length = 47;
  std::string body = "a=1&b=2";
  bool send_body = true;
  DWORD room = 8191;  // bytes offered to each read
};

struct Outcome {
  bool sent = false;
  DWORD send_error = 0;
  double send_seconds = 0;
  std::string reply;
  std::vector<size_t> chunks;
  bool read_failed = false;
  DWORD read_error = 0;
  double seconds = 0;  // from the start of the send to the last read
  bool closed = false;
};

// The three handles of one exchange, closed request first, root last.
struct Handles {
  HINTERNET root = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;

  bool open(const Exchange& x) {
    root = InternetOpenA(AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                         nullptr, x.flags);
    if (root == nullptr) return false;
    const struct {
      DWORD option;
      DWORD value;
    } options[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, x.limits.connect_ms},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, x.limits.receive_ms},
        {INTERNET_OPTION_SEND_TIMEOUT, x.limits.send_ms},
        {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, x.limits.receive_ms},
        {INTERNET_OPTION_DATA_SEND_TIMEOUT, x.limits.send_ms},
    };
    for (const auto& o : options) {
      DWORD value = o.value;
      if (!InternetSetOptionA(root, o.option, &value, sizeof value))
        return false;
    }
    connection = InternetConnectA(root, x.host.c_str(), x.port, nullptr,
                                  nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) return false;
    request = HttpOpenRequestA(connection, "POST", x.path.c_str(), "HTTP/1.0",
                               "", nullptr, x.flags, 0);
    return request != nullptr;
  }

  bool close() {
    bool ok = true;
    if (request != nullptr) ok = InternetCloseHandle(request) && ok;
    if (connection != nullptr) ok = InternetCloseHandle(connection) && ok;
    if (root != nullptr) ok = InternetCloseHandle(root) && ok;
    request = connection = root = nullptr;
    return ok;
  }

  ~Handles() { close(); }
};

// Reads until the end of data or a failed read.
void read_all(HINTERNET request, DWORD room, Outcome* out) {
  std::vector<char> buffer(room + 16);
  for (int guard = 0; guard < 20000000; ++guard) {
    DWORD got = 12345;
    if (!InternetReadFile(request, buffer.data(), room, &got)) {
      out->read_failed = true;
      out->read_error = GetLastError();
      return;
    }
    if (got == 0) return;
    if (got > room) {
      ADD_FAILURE() << "read " << got << " bytes into a room of " << room;
      return;
    }
    out->chunks.push_back(got);
    out->reply.append(buffer.data(), got);
  }
  ADD_FAILURE() << "the reply never ended";
}

Outcome run(const Exchange& x) {
  Outcome out;
  Handles h;
  if (!h.open(x)) {
    ADD_FAILURE() << "opening handles failed with " << GetLastError();
    return out;
  }
  auto start = std::chrono::steady_clock::now();
  std::vector<char> body(x.body.begin(), x.body.end());
  body.push_back('\0');  // never a null pointer, even for no bytes
  out.sent = HttpSendRequestA(h.request, x.headers, x.headers_length,
                              x.send_body ? body.data() : nullptr,
                              x.send_body ? (DWORD)x.body.size() : 0);
  out.send_seconds = seconds_since(start);
  if (!out.sent) {
    out.send_error = GetLastError();
  } else {
    read_all(h.request, x.room, &out);
  }
  out.seconds = seconds_since(start);
  out.closed = h.close();
  return out;
}

// ---------------------------------------------------------------------------
// A TCP relay in front of the trusted gateway (127.0.0.1:443) that forces
// one fault, or a peer that is not a TLS server at all, or a tunnelling
// proxy.

enum class Fault {
  PASS_THROUGH,    // relay everything
  CONNECT_PROXY,   // take a CONNECT request, then relay everything
  RESET_AFTER,     // pass `bytes` of reply, wait `ms`, then reset the client
  STALL_AFTER,     // pass `bytes` of reply, then nothing more
  STALL_UPLOAD,    // pass `bytes` of the request, then stop taking any
  CLOSE_AFTER,     // `ms` after the connection came, close it (FIN)
  NEVER_ANSWER,    // a TCP peer that reads and never writes
  PLAIN_HTTP,      // a peer that answers in plain text, without TLS
};

class FaultServer {
 public:
  FaultServer(Fault fault, size_t bytes, int ms)
      : fault_(fault), bytes_(bytes), ms_(ms) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, (sockaddr*)&a, sizeof a) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, (sockaddr*)&a, &len) != 0) {
      ADD_FAILURE() << "fault server: cannot listen: " << std::strerror(errno);
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { accept_loop(); });
  }

  ~FaultServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  INTERNET_PORT port() const { return port_; }
  size_t request_bytes() const { return up_total_; }
  std::string proxy_request() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxy_request_;
  }

 private:
  bool stopping() const { return stop_.load(); }

  void accept_loop() {
    while (!stopping()) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      serve(client);
      ::close(client);
    }
  }

  static int connect_gateway() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(443);
    if (fd >= 0 && ::connect(fd, (sockaddr*)&a, sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }

  static void reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

  void sleep_ms(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // Reads the proxy request's head and grants the tunnel.
  bool grant_tunnel(int client) {
    std::string head;
    char c;
    auto start = std::chrono::steady_clock::now();
    while (head.size() < 8192 && seconds_since(start) < 5 &&
           head.find("\r\n\r\n") == std::string::npos) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (::read(client, &c, 1) != 1) return false;
      head += c;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      proxy_request_ = head;
    }
    static const char granted[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    return ::write(client, granted, sizeof granted - 1) ==
           (ssize_t)(sizeof granted - 1);
  }

  void serve(int client) {
    auto start = std::chrono::steady_clock::now();
    char buf[16384];
    if (fault_ == Fault::CONNECT_PROXY && !grant_tunnel(client)) return;
    if (fault_ == Fault::PLAIN_HTTP) {
      static const char reply[] =
          "HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\nAccepted";
      (void)!::write(client, reply, sizeof reply - 1);
    }
    int upstream = -1;
    if (fault_ != Fault::NEVER_ANSWER && fault_ != Fault::PLAIN_HTTP) {
      upstream = connect_gateway();
      if (upstream < 0) {
        ADD_FAILURE() << "fault server: gateway unreachable";
        return;
      }
    }
    size_t down = 0;
    bool client_open = true;
    // Bounded: the test ends the server when it is done with it, and no
    // case needs more than a minute.
    while (!stopping() && client_open && seconds_since(start) < 60) {
      if (fault_ == Fault::CLOSE_AFTER && seconds_since(start) * 1000 >= ms_) {
        ::shutdown(client, SHUT_WR);
        break;
      }
      bool take_request =
          !(fault_ == Fault::STALL_UPLOAD && up_total_ >= bytes_);
      bool pass_reply =
          upstream >= 0 &&
          !((fault_ == Fault::STALL_AFTER || fault_ == Fault::RESET_AFTER) &&
            down >= bytes_);
      pollfd p[2] = {{client, (short)(take_request ? POLLIN : 0), 0},
                     {upstream, (short)(pass_reply ? POLLIN : 0), 0}};
      if (::poll(p, upstream >= 0 ? 2 : 1, 20) < 0) break;
      if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        size_t want = sizeof buf;
        if (fault_ == Fault::STALL_UPLOAD && bytes_ - up_total_ < want)
          want = bytes_ - up_total_;
        ssize_t n = ::read(client, buf, want);
        if (n <= 0) {
          client_open = false;
        } else {
          up_total_ += n;
          if (upstream >= 0 && ::write(upstream, buf, n) != n) break;
        }
      }
      if (upstream >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        size_t want = sizeof buf;
        if ((fault_ == Fault::STALL_AFTER || fault_ == Fault::RESET_AFTER) &&
            bytes_ - down < want)
          want = bytes_ - down;
        ssize_t n = ::read(upstream, buf, want);
        if (n <= 0) {
          ::shutdown(client, SHUT_WR);
          ::close(upstream);
          upstream = -1;
        } else {
          down += n;
          if (::write(client, buf, n) != n) break;
        }
      }
      if (fault_ == Fault::RESET_AFTER && down >= bytes_) {
        sleep_ms(ms_);
        reset(client);
        break;
      }
    }
    if (upstream >= 0) ::close(upstream);
  }

  Fault fault_;
  size_t bytes_;
  int ms_;
  int listener_ = -1;
  INTERNET_PORT port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> up_total_{0};
  mutable std::mutex mutex_;
  std::string proxy_request_;
  std::thread thread_;
};


// The tests choose their proxy themselves.
class NoProxyEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      ::unsetenv(name);
  }
};
[[maybe_unused]] ::testing::Environment* const no_proxy_environment =
    ::testing::AddGlobalTestEnvironment(new NoProxyEnvironment);

// ===========================================================================
// What goes on the wire.

TEST(HttpRequestShape, PostIsExactlyTheLibrarysRequest) {
  Exchange x;
  x.path = tagged("/reply/accepted");
  x.body = "amount=12.50&card=4111111111111111&name=J%20Doe";
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));

  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  const Record& r = seen[0];
  EXPECT_EQ(field(r, "method"), "POST");
  EXPECT_EQ(field(r, "version"), "HTTP/1.0");
  EXPECT_EQ(field(r, "sni"), "localhost");
  EXPECT_TRUE(r.value("complete", false));
  EXPECT_EQ(field(r, "body"), x.body);
  HeaderList expected = {
      {"Host", "localhost"},
      {"User-Agent", "TarvaneLink"},
      {"Content-Type", "application/x-www-form-urlencoded"},
      {"Cache-Control", "no-cache"},
      {"Pragma", "no-cache"},
      {"Content-Length", std::to_string(x.body.size())},
  };
  HeaderList got = headers_of(r);
  std::sort(expected.begin(), expected.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected) << field(r, "raw_head");
}

TEST(HttpRequestShape, NoHeaderOfTheClientsOwnChoosing) {
  Exchange x;
  x.path = tagged("/reply/accepted");
  x.flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;
  ASSERT_TRUE(run(x).sent);
  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  std::vector<std::string> names = header_names_lower(headers_of(seen[0]));
  for (const char* unwanted :
       {"accept", "expect", "accept-encoding", "cookie", "referer",
        "connection", "cache-control", "pragma", "transfer-encoding"})
    EXPECT_EQ(std::count(names.begin(), names.end(), unwanted), 0)
        << unwanted << " in " << field(seen[0], "raw_head");
}

// Header text given by length or NUL-terminated, one header or several.
struct HeaderCase {
  const char* name;
  const char* text;
  DWORD length;
  HeaderList expected;  // the caller's headers as they arrive
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class HttpRequestShapeHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HttpRequestShapeHeaders, CallersHeadersArriveAsGiven) {
  const HeaderCase& c = GetParam();
  Exchange x;
  x.path = tagged("/reply/declined");
  x.headers = c.text;
  x.headers_length = c.length;
  ASSERT_TRUE(run(x).sent);
  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  HeaderList caller;
  for (const auto& h : headers_of(seen[0]))
    if (h.first != "Host" && h.first != "User-Agent" &&
        h.first != "Content-Length" && h.first != "Cache-Control" &&
        h.first != "Pragma")
      caller.push_back(h);
  EXPECT_EQ(caller, c.expected) << field(seen[0], "raw_head");
}

const char TWO_HEADERS[] =
    "Content-Type: application/x-www-form-urlencoded\r\nX-Tarvane-Test: 7\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestShapeHeaders,
    ::testing::Values(
        HeaderCase{"by_length", FORM_HEADER, 47,
                   {{"Content-Type", "application/x-www-form-urlencoded"}}},
        HeaderCase{"nul_terminated", FORM_HEADER, (DWORD)-1,
                   {{"Content-Type", "application/x-www-form-urlencoded"}}},
        // A length shorter than the text ends the headers there.
        HeaderCase{"length_cuts", TWO_HEADERS, 47,
                   {{"Content-Type", "application/x-www-form-urlencoded"}}},
        HeaderCase{"two_lines", TWO_HEADERS, (DWORD)-1,
                   {{"Content-Type", "application/x-www-form-urlencoded"},
                    {"X-Tarvane-Test", "7"}}}),
    [](const ::testing::TestParamInfo<HeaderCase>& i) {
      return std::string(i.param.name);
    });

// The body is the bytes given, whatever they are and however many.
struct BodyCase {
  const char* name;
  std::string body;
  bool send_body;
};

void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

class HttpRequestShapeBodies : public ::testing::TestWithParam<BodyCase> {};

TEST_P(HttpRequestShapeBodies, BodyArrivesWhole) {
  const BodyCase& c = GetParam();
  Exchange x;
  x.path = tagged("/reply/accepted");
  x.body = c.body;
  x.send_body = c.send_body;
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));
  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].value("complete", false));
  std::string got;
  for (const auto& h : headers_of(seen[0]))
    if (h.first == "Content-Length") got = h.second;
  EXPECT_EQ(got, std::to_string(c.body.size()));
  EXPECT_EQ(field(seen[0], "body_hex"), hex_of(c.body));
}

std::string patterned(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7) % 26);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestShapeBodies,
    ::testing::Values(
        BodyCase{"none", "", false}, BodyCase{"empty", "", true},
        BodyCase{"binary", std::string("a=\0\x01\xff&b=\r\n", 10), true},
        // Past the size a client may copy into its first write.
        BodyCase{"quarter_megabyte", patterned(256 * 1024), true}),
    [](const ::testing::TestParamInfo<BodyCase>& i) {
      return std::string(i.param.name);
    });

TEST(HttpRequestShape, ObjectKeepsItsQueryAndPortGoesToTheConnection) {
  FaultServer relay(Fault::PASS_THROUGH, 0, 0);
  Exchange x;
  x.port = relay.port();
  x.path = tagged("/reply/accepted?merchant=M1&lang=en");
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));
  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_GT(relay.request_bytes(), 0u);
  HeaderList headers = headers_of(seen[0]);
  EXPECT_TRUE(std::find(headers.begin(), headers.end(),
                        std::make_pair(std::string("Host"),
                                       "localhost:" +
                                           std::to_string(x.port))) !=
              headers.end())
      << field(seen[0], "raw_head");
}

TEST(HttpRequestShape, RedirectIsNotFollowed) {
  size_t before = gateway_requests().size();
  Exchange x;
  x.path = tagged("/redirect/declined");
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("declined"));
  std::vector<Record> all = gateway_requests();
  ASSERT_EQ(all.size(), before + 1) << "a second request was made";
  EXPECT_EQ(field(all.back(), "path"), x.path);
}

// The system's proxy setting, here the environment's, is followed.
TEST(HttpRequestShape, ProxyFromTheEnvironmentIsUsed) {
  FaultServer proxy(Fault::CONNECT_PROXY, 0, 0);
  std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
  ASSERT_EQ(::setenv("https_proxy", address.c_str(), 1), 0);
  Exchange x;
  x.path = tagged("/reply/accepted");
  Outcome out = run(x);
  ::unsetenv("https_proxy");
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));
  EXPECT_EQ(proxy.proxy_request().rfind("CONNECT localhost:443 HTTP/", 0), 0u)
      << proxy.proxy_request();
  std::vector<Record> seen = gateway_requests_for(x.path);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(field(seen[0], "version"), "HTTP/1.0");
}

// ===========================================================================
// Reading the reply.

struct RoomCase {
  const char* name;
  std::string path;
  std::string expected;
  DWORD room;
};

void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.name; }

class HttpReplyReadingRooms : public ::testing::TestWithParam<RoomCase> {};

TEST_P(HttpReplyReadingRooms, BodyHandedOverWholeInPiecesThatFit) {
  const RoomCase& c = GetParam();
  Exchange x;
  x.path = c.path;
  x.room = c.room;
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_FALSE(out.read_failed) << out.read_error;
  EXPECT_EQ(out.reply.size(), c.expected.size());
  EXPECT_TRUE(out.reply == c.expected);
  size_t largest = 0;
  for (size_t n : out.chunks) largest = std::max(largest, n);
  EXPECT_LE(largest, (size_t)c.room);
  if (c.expected.size() > c.room) {
    EXPECT_GE(out.chunks.size(), c.expected.size() / c.room);
  }
  EXPECT_TRUE(out.closed);
}

std::string long_body(size_t n) {
  std::string prefix = "Accepted=LONGAUTH\r\n";
  return prefix + std::string(n - prefix.size(), '.');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpReplyReadingRooms,
    ::testing::Values(
        RoomCase{"canned_room_1", "/reply/accepted", canned_reply("accepted"), 1},
        RoomCase{"canned_room_7", "/reply/accepted", canned_reply("accepted"), 7},
        RoomCase{"canned_room_8191", "/reply/accepted",
                 canned_reply("accepted"), 8191},
        RoomCase{"nul_inside", "/hostile/nul",
                 std::string("Accepted=A1\r\n\0historyid=H\r\n", 27), 8191},
        RoomCase{"error_status_body", "/status/500/declined",
                 canned_reply("declined"), 8191},
        RoomCase{"long_room_100", "/long/50000", long_body(50000), 100},
        RoomCase{"long_room_8191", "/long/50000", long_body(50000), 8191},
        RoomCase{"long_room_larger_than_reply", "/long/50000",
                 long_body(50000), 200000}),
    [](const ::testing::TestParamInfo<RoomCase>& i) {
      return std::string(i.param.name);
    });

TEST(HttpReplyReading, BytesAreHandedOverAsTheyArrive) {
  // One byte per write, 10 ms apart: a read must not wait for its room to
  // fill.
  Exchange x;
  x.path = "/hostile/dribble/accepted";
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_FALSE(out.read_failed) << out.read_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));
  EXPECT_GT(out.chunks.size(), out.reply.size() / 4) << "reads waited to fill";
}

TEST(HttpReplyReading, ZeroRoomReadsNothingAndEndStaysEnd) {
  Exchange x;
  Handles h;
  ASSERT_TRUE(h.open(x));
  ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
  char buf[8192];
  DWORD got = 99;
  ASSERT_TRUE(InternetReadFile(h.request, buf, 0, &got));
  EXPECT_EQ(got, 0u);
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(InternetReadFile(h.request, buf, sizeof buf, &got));
    if (got == 0) break;
    reply.append(buf, got);
  }
  EXPECT_EQ(reply, canned_reply("accepted"));
  for (int i = 0; i < 2; ++i) {
    got = 99;
    EXPECT_TRUE(InternetReadFile(h.request, buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
  }
  EXPECT_TRUE(h.close());
}

TEST(HttpReplyReading, MegabyteReadInSmallPiecesStaysWithinASmallBound) {
  const long long BOUND = 64 * 1024;
  const size_t MEGABYTE = 1048576;
  std::string expected = "Accepted=MEG\r\n";
  expected.append(MEGABYTE - expected.size(), '.');
  long long before_buffer = heap_in_use();
  std::vector<char> reply(MEGABYTE + 100);  // made before measuring
  ASSERT_GE(heap_in_use() - before_buffer, (long long)MEGABYTE)
      << "the heap count does not see allocations";

  // The heap held once the head of a shorter reply, still arriving, is
  // in: what a live transfer costs whatever the length.
  long long small_after_send;
  {
    Exchange x;
    x.path = "/long/100000";
    Handles h;
    ASSERT_TRUE(h.open(x));
    ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
    small_after_send = heap_in_use();
  }

  Exchange x;
  x.path = "/hostile/megabyte";
  Handles h;
  ASSERT_TRUE(h.open(x));
  ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
  // The whole reply is on its way; give it time to pile up if anything
  // were taking it in unasked.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long long after_send = heap_in_use();
  EXPECT_LE(after_send, small_after_send + BOUND)
      << "the send held " << (after_send - small_after_send) << " bytes more";

  size_t fill = 0, reads = 0;
  DWORD got = 0;
  heap_peak_reset();
  while (fill + 100 <= reply.size() &&
         InternetReadFile(h.request, reply.data() + fill, 100, &got) &&
         got > 0) {
    fill += got;
    ++reads;
  }
  long long peak = heap_peak_since_reset();
  EXPECT_EQ(fill, MEGABYTE);
  EXPECT_TRUE(std::string(reply.data(), fill) == expected);
  EXPECT_GE(reads, MEGABYTE / 100);
  EXPECT_LE(peak, after_send + BOUND)
      << "reading held " << (peak - after_send) << " bytes more";
  EXPECT_TRUE(h.close());
}

TEST(HttpReplyReading, ClosingMidReplyEndsTheTransfer) {
  Exchange x;
  x.path = "/long/5000000";
  Handles h;
  ASSERT_TRUE(h.open(x));
  ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
  char buf[1000];
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(h.request, buf, sizeof buf, &got));
  EXPECT_GT(got, 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(h.close());
  EXPECT_LT(seconds_since(start), 1.0);
}

TEST(HttpReplyReading, ReplyCutShortFailsTheReadAfterWhatArrived) {
  // Head with the full length, half the body, then a close without TLS
  // close_notify.
  Exchange x;
  x.path = "/hostile/close-mid/accepted";
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  std::string whole = canned_reply("accepted");
  EXPECT_EQ(out.reply, whole.substr(0, whole.size() / 2));
  EXPECT_TRUE(out.read_failed);
  EXPECT_EQ(out.read_error, ERROR_INTERNET_CONNECTION_ABORTED);
}

// ===========================================================================
// Failures of the send, with the client's error numbers.

struct FailureCase {
  const char* name;
  const char* host;
  const char* path;
  Limits limits;
  DWORD error;
  double min_seconds;  // a limit must not end it early
  double max_seconds;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

Limits make_limits(DWORD connect_ms, DWORD send_ms, DWORD receive_ms) {
  Limits l;
  l.connect_ms = connect_ms;
  l.send_ms = send_ms;
  l.receive_ms = receive_ms;
  return l;
}

class HttpFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HttpFailures, SendFailsWithItsNumber) {
  const FailureCase& c = GetParam();
  Exchange x;
  x.host = c.host;
  x.path = c.path;
  x.limits = c.limits;
  Handles h;
  ASSERT_TRUE(h.open(x)) << "connecting must do no network work";
  auto start = std::chrono::steady_clock::now();
  BOOL sent = HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3);
  DWORD error = GetLastError();
  double took = seconds_since(start);
  EXPECT_FALSE(sent);
  EXPECT_EQ(error, c.error);
  EXPECT_GE(took, c.min_seconds);
  EXPECT_LE(took, c.max_seconds);
  char buf[16];
  DWORD got = 7;
  EXPECT_FALSE(InternetReadFile(h.request, buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(h.close());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpFailures,
    ::testing::Values(
        FailureCase{"name_not_resolved", "no-such-gateway.invalid",
                    "/reply/accepted", Limits(),
                    ERROR_INTERNET_NAME_NOT_RESOLVED, 0, 10},
        FailureCase{"empty_host", "", "/reply/accepted", Limits(),
                    ERROR_INTERNET_NAME_NOT_RESOLVED, 0, 1},
        FailureCase{"port_inside_host_name", "localhost:443",
                    "/reply/accepted", Limits(),
                    ERROR_INTERNET_NAME_NOT_RESOLVED, 0, 1},
        FailureCase{"nothing_listens", "gateway-closed.test",
                    "/reply/accepted", Limits(),
                    ERROR_INTERNET_CANNOT_CONNECT, 0, 10},
        FailureCase{"untrusted_ca", "gateway-untrusted.test",
                    "/reply/accepted", Limits(), ERROR_INTERNET_INVALID_CA, 0,
                    10},
        FailureCase{"self_signed", "gateway-selfsigned.test",
                    "/reply/accepted", Limits(), ERROR_INTERNET_INVALID_CA, 0,
                    10},
        FailureCase{"name_mismatch", "gateway-wrongname.test",
                    "/reply/accepted", Limits(),
                    ERROR_INTERNET_SEC_CERT_CN_INVALID, 0, 10},
        FailureCase{"expired", "gateway-expired.test", "/reply/accepted",
                    Limits(), ERROR_INTERNET_SEC_CERT_DATE_INVALID, 0, 10},
        FailureCase{"not_http", TRUSTED, "/hostile/garbage", Limits(),
                    ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, 10},
        FailureCase{"reset_before_reply", TRUSTED, "/hostile/reset", Limits(),
                    ERROR_INTERNET_CONNECTION_RESET, 0, 10},
        // The receive limit, not the send limit, governs waiting for the
        // reply.
        FailureCase{"silent_server", TRUSTED, "/hostile/silent",
                    make_limits(20000, 20000, 1500), ERROR_INTERNET_TIMEOUT, 1.4,
                    4},
        FailureCase{"reply_later_than_limit", TRUSTED,
                    "/delay/6000/accepted", make_limits(20000, 20000, 1500),
                    ERROR_INTERNET_TIMEOUT, 1.4, 4}),
    [](const ::testing::TestParamInfo<FailureCase>& i) {
      return std::string(i.param.name);
    });

TEST(HttpLimits, ReplyBeforeTheLimitIsNoFailure) {
  Exchange x;
  x.path = "/delay/700/accepted";
  x.limits = make_limits(20000, 20000, 3000);
  Outcome out = run(x);
  ASSERT_TRUE(out.sent) << out.send_error;
  EXPECT_EQ(out.reply, canned_reply("accepted"));
}

// ===========================================================================
// Faults forced at one point of the exchange.

struct FaultCase {
  const char* name;
  Fault fault;
  size_t bytes;
  int ms;
  std::string path;
  size_t body_bytes;
  Limits limits;
  bool sent;          // the send succeeds, the fault shows in a read
  DWORD error;
  double min_seconds;
  double max_seconds;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class HttpFaultInjection : public ::testing::TestWithParam<FaultCase> {};

TEST_P(HttpFaultInjection, FaultGivesItsNumber) {
  const FaultCase& c = GetParam();
  FaultServer server(c.fault, c.bytes, c.ms);
  Exchange x;
  x.port = server.port();
  x.path = c.path;
  x.limits = c.limits;
  x.body = patterned(c.body_bytes);
  Outcome out = run(x);
  EXPECT_EQ(out.sent, c.sent) << out.send_error;
  if (c.sent) {
    EXPECT_GT(out.reply.size(), 0u) << "nothing was read before the fault";
    EXPECT_TRUE(out.read_failed);
    EXPECT_EQ(out.read_error, c.error);
    // What arrived before the fault is the reply's own beginning.
    EXPECT_EQ(out.reply.substr(0, 19), "Accepted=LONGAUTH\r\n");
  } else {
    EXPECT_EQ(out.send_error, c.error);
  }
  double took = c.sent ? out.seconds : out.send_seconds;
  EXPECT_GE(took, c.min_seconds);
  EXPECT_LE(took, c.max_seconds);
  EXPECT_TRUE(out.closed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpFaultInjection,
    ::testing::Values(
        FaultCase{"reset_while_reading", Fault::RESET_AFTER, 60000, 300,
                  "/long/400000", 8, Limits(), true,
                  ERROR_INTERNET_CONNECTION_RESET, 0, 10},
        FaultCase{"stall_while_reading", Fault::STALL_AFTER, 60000, 0,
                  "/long/400000", 8, make_limits(20000, 20000, 1500), true,
                  ERROR_INTERNET_TIMEOUT, 1.4, 5},
        // A peer that stops taking the request: the send limit ends it.
        FaultCase{"stall_while_sending", Fault::STALL_UPLOAD, 100000, 0,
                  "/reply/accepted", 64 * 1024 * 1024,
                  make_limits(20000, 1500, 20000), false, ERROR_INTERNET_TIMEOUT,
                  1.4, 8},
        // The connect limit covers the TLS handshake.
        FaultCase{"no_handshake", Fault::NEVER_ANSWER, 0, 0,
                  "/reply/accepted", 8, make_limits(1000, 20000, 20000), false,
                  ERROR_INTERNET_TIMEOUT, 0.9, 4},
        FaultCase{"closed_without_reply", Fault::CLOSE_AFTER, 0, 500,
                  "/hostile/silent", 8, Limits(), false,
                  ERROR_INTERNET_CONNECTION_ABORTED, 0.4, 5},
        FaultCase{"peer_is_not_tls", Fault::PLAIN_HTTP, 0, 0,
                  "/reply/accepted", 8, Limits(), false,
                  ERROR_INTERNET_SECURITY_CHANNEL_ERROR, 0, 5}),
    [](const ::testing::TestParamInfo<FaultCase>& i) {
      return std::string(i.param.name);
    });

// ===========================================================================
// Transactions on different threads at once.

TEST(HttpConcurrency, TwoExchangesRunAtOnceEachWithItsOwnReply) {
  Exchange a, b;
  a.path = tagged("/delay/1000/accepted");
  b.path = tagged("/delay/1000/declined");
  b.room = 3;
  Outcome out_a, out_b;
  auto start = std::chrono::steady_clock::now();
  std::thread ta([&] { out_a = run(a); });
  std::thread tb([&] { out_b = run(b); });
  ta.join();
  tb.join();
  double took = seconds_since(start);
  ASSERT_TRUE(out_a.sent) << out_a.send_error;
  ASSERT_TRUE(out_b.sent) << out_b.send_error;
  EXPECT_EQ(out_a.reply, canned_reply("accepted"));
  EXPECT_EQ(out_b.reply, canned_reply("declined"));
  EXPECT_LT(took, 1.9) << "the exchanges ran one after the other";
  EXPECT_EQ(gateway_requests_for(a.path).size(), 1u);
  EXPECT_EQ(gateway_requests_for(b.path).size(), 1u);
}

TEST(HttpConcurrency, LastErrorBelongsToEachThread) {
  // Each thread fails, waits while the other fails differently, and still
  // reads its own number.
  auto fail_send = [](const char* host, const char* path) -> DWORD {
    Exchange x;
    x.host = host;
    x.path = path;
    x.limits = make_limits(20000, 20000, 1500);
    Handles h;
    if (!h.open(x)) return 0;
    if (HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3))
      return 0;
    return GetLastError();
  };
  auto at = [](std::chrono::steady_clock::time_point t) {
    std::this_thread::sleep_until(t);
  };
  auto start = std::chrono::steady_clock::now();
  auto ms = [&](int n) { return start + std::chrono::milliseconds(n); };
  DWORD slow = 0, slow_later = 0, fast = 0, fast_later = 0, fast_second = 0;
  std::thread ts([&] {
    slow = fail_send(TRUSTED, "/hostile/silent");  // ends at about 1.5 s
    at(ms(3000));
    slow_later = GetLastError();
  });
  std::thread tf([&] {
    fast = fail_send("gateway-closed.test", "/reply/accepted");
    at(ms(2300));
    fast_later = GetLastError();
    fast_second = fail_send("", "/reply/accepted");
  });
  ts.join();
  tf.join();
  EXPECT_EQ(slow, ERROR_INTERNET_TIMEOUT);
  EXPECT_EQ(slow_later, ERROR_INTERNET_TIMEOUT);
  EXPECT_EQ(fast, ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(fast_later, ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(fast_second, ERROR_INTERNET_NAME_NOT_RESOLVED);
}

// ===========================================================================
// Handles and arguments.

TEST(HttpHandles, HandlesOfTheWrongKindAreRefused) {
  HINTERNET root = InternetOpenA(AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                 nullptr, REQUEST_FLAGS);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(HttpOpenRequestA(root, "POST", "/", "HTTP/1.0", "", nullptr,
                             REQUEST_FLAGS, 0),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HINTERNET conn = InternetConnectA(root, TRUSTED, 443, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(InternetConnectA(conn, TRUSTED, 443, nullptr, nullptr,
                             INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  char buf[4];
  DWORD got = 9;
  EXPECT_FALSE(InternetReadFile(conn, buf, sizeof buf, &got));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(HttpSendRequestA(root, FORM_HEADER, 47, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(InternetCloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(InternetCloseHandle(conn));
  EXPECT_TRUE(InternetCloseHandle(root));
}

TEST(HttpHandles, OptionsTakeFourByteValuesOnly) {
  HINTERNET root = InternetOpenA(AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                 nullptr, REQUEST_FLAGS);
  ASSERT_NE(root, nullptr);
  DWORD value = 75000;
  for (DWORD option : {2u, 6u, 5u, 8u, 7u, 6u, 5u})
    EXPECT_TRUE(InternetSetOptionA(root, option, &value, 4)) << option;
  EXPECT_FALSE(InternetSetOptionA(root, 2, &value, 2));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(InternetSetOptionA(root, 2, nullptr, 4));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(InternetSetOptionA(root, 31, &value, 4));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
  EXPECT_TRUE(InternetCloseHandle(root));
}

TEST(HttpHandles, ReadBeforeSendIsRefusedAndConnectingDoesNoNetworkWork) {
  Exchange x;
  x.host = "no-such-gateway.invalid";
  Handles h;
  ASSERT_TRUE(h.open(x));
  char buf[4];
  DWORD got = 9;
  EXPECT_FALSE(InternetReadFile(h.request, buf, sizeof buf, &got));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(h.close());
}

TEST(HttpHandles, RequestSentAgainMakesAFreshExchange) {
  Exchange x;
  x.path = tagged("/reply/accepted");
  Handles h;
  ASSERT_TRUE(h.open(x));
  char buf[8192];
  DWORD got = 0;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
    std::string reply;
    while (InternetReadFile(h.request, buf, sizeof buf, &got) && got > 0)
      reply.append(buf, got);
    EXPECT_EQ(reply, canned_reply("accepted"));
  }
  EXPECT_EQ(gateway_requests_for(x.path).size(), 2u);
  EXPECT_TRUE(h.close());
}

TEST(HttpHandles, ChildrenOutliveTheirParents) {
  Exchange x;
  Handles h;
  ASSERT_TRUE(h.open(x));
  // Closed out of the library's order: what a child needs is its own.
  EXPECT_TRUE(InternetCloseHandle(h.root));
  EXPECT_TRUE(InternetCloseHandle(h.connection));
  h.root = h.connection = nullptr;
  ASSERT_TRUE(HttpSendRequestA(h.request, FORM_HEADER, 47, (void*)"a=1", 3));
  char buf[8192];
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(h.request, buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), canned_reply("accepted"));
  EXPECT_TRUE(h.close());
}

}  // namespace
