// The HTTP client operations over libcurl, shaped like the Windows client:
// the connection handle only remembers where to go, the request does all
// network work when it is sent, and the reply body is handed over as it
// arrives. Each request drives its own multi handle, so the idle limits are
// kept here and a reply of any length passes through a small fixed buffer.
#include "platform/http_client.h"

#include <curl/curl.h>
#include <errno.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// Marks each handle kind, so a handle of the wrong kind (or a closed one)
// is refused instead of used.
const uint32_t ROOT_MAGIC = 0x544c5231u;
const uint32_t CONNECTION_MAGIC = 0x544c4331u;
const uint32_t REQUEST_MAGIC = 0x544c5131u;

// The client's own defaults until an option says otherwise.
const DWORD DEFAULT_CONNECT_MS = 60000;
const DWORD DEFAULT_SEND_MS = 30000;
const DWORD DEFAULT_RECEIVE_MS = 30000;

// Longest wait inside one poll, so a stall is noticed close to its limit.
const int POLL_SLICE_MS = 250;

// Body bytes that did not fit the caller's room wait here for the next
// read; libcurl hands over at most CURL_MAX_WRITE_SIZE at a time.
const size_t STASH_BYTES = CURL_MAX_WRITE_SIZE;

const INTERNET_PORT DEFAULT_HTTPS_PORT = 443;

// Certificate verification results (OpenSSL's X509_V_* numbers) that
// libcurl reports behind its single "peer failed verification" code.
const long VERIFY_OK = 0;
const long VERIFY_UNSPECIFIED = 1;
const long VERIFY_UNABLE_TO_GET_ISSUER_CERT = 2;
const long VERIFY_CERT_NOT_YET_VALID = 9;
const long VERIFY_CERT_HAS_EXPIRED = 10;
const long VERIFY_ERROR_IN_CERT_NOT_BEFORE_FIELD = 13;
const long VERIFY_ERROR_IN_CERT_NOT_AFTER_FIELD = 14;
const long VERIFY_DEPTH_ZERO_SELF_SIGNED_CERT = 18;
const long VERIFY_SELF_SIGNED_CERT_IN_CHAIN = 19;
const long VERIFY_UNABLE_TO_GET_ISSUER_CERT_LOCALLY = 20;
const long VERIFY_UNABLE_TO_VERIFY_LEAF_SIGNATURE = 21;
const long VERIFY_CERT_UNTRUSTED = 27;
const long VERIFY_HOSTNAME_MISMATCH = 62;
const long VERIFY_IP_ADDRESS_MISMATCH = 64;
const long VERIFY_INVALID_CA = 79;

struct Limits {
  DWORD connect_ms;
  DWORD send_ms;
  DWORD receive_ms;
};

// Every handle begins with these, so options apply to any kind. A child
// copies its parent's settings when it is made and needs nothing from the
// parent afterwards.
struct HandleHead {
  uint32_t magic;
  Limits limits;
  char* agent;
};

struct Root {
  HandleHead head;
  DWORD flags;
};

struct Connection {
  HandleHead head;
  char* host;
  INTERNET_PORT port;
};

struct Request {
  HandleHead head;
  char* host;
  INTERNET_PORT port;
  char* verb;
  char* object;
  long http_version;
  char* referrer;
  char* accept;  // "Accept: ..." from the accept types, or NULL
  DWORD flags;

  // One transfer, from HttpSendRequestA until the handle is closed or the
  // request is sent again.
  CURL* easy;
  CURLM* multi;
  struct curl_slist* header_list;
  char* url;
  bool sent;
  bool attached;  // easy is in multi
  bool finished;
  DWORD failure;  // 0 when the transfer ended well or goes on
  curl_off_t body_length;

  // Reply head, as seen by the header callback.
  bool expect_status_line;
  long status;
  bool head_done;

  // Progress, for the idle limits.
  bool connected;
  curl_off_t seen_upload;
  curl_off_t seen_download;
  curl_off_t seen_header_bytes;
  long long last_progress_ms;

  // The caller's room during InternetReadFile.
  char* room;
  size_t room_left;
  size_t delivered;
  bool paused;

  char* stash;
  size_t stash_capacity;
  size_t stash_start;
  size_t stash_length;
};

thread_local DWORD last_error = 0;

pthread_once_t curl_once = PTHREAD_ONCE_INIT;
CURLcode curl_init_result = CURLE_FAILED_INIT;

// libcurl keeps its own copies of the request, body and card number
// included, and of the reply, and releases them without clearing them. Its
// blocks come from these, so each is cleared before it goes back. (When the
// host started libcurl before this layer did, its own allocator stays.)
void free_cleared(void* block) {
  if (block != NULL) explicit_bzero(block, malloc_usable_size(block));
  free(block);
}

// A block that moves leaves nothing behind either.
void* realloc_cleared(void* block, size_t size) {
  if (block == NULL) return malloc(size);
  if (size == 0) {
    free_cleared(block);
    return NULL;
  }
  const size_t old_size = malloc_usable_size(block);
  void* moved = malloc(size);
  if (moved == NULL) return NULL;
  memcpy(moved, block, old_size < size ? old_size : size);
  free_cleared(block);
  return moved;
}

void init_curl_once(void) {
  curl_init_result = curl_global_init_mem(CURL_GLOBAL_DEFAULT, malloc,
                                          free_cleared, realloc_cleared,
                                          strdup, calloc);
}

bool curl_ready(void) {
  pthread_once(&curl_once, init_curl_once);
  return curl_init_result == CURLE_OK;
}

// libcurl parses the whole CA bundle for every new connection: its own
// store cache lives in a multi handle, and every request here has its own.
// That parse was most of a payment's time. The same roots, from libcurl's
// own default locations and with the flags libcurl gives a store it loads,
// are parsed once per process instead and shared by every connection, as
// the system's store is on Windows; the checks stay OpenSSL's and
// libcurl's. Without it (a location that does not load), each connection
// loads, and reports, as libcurl does by itself.
pthread_once_t trust_once = PTHREAD_ONCE_INIT;
X509_STORE* shared_trust = NULL;

void load_trust_once(void) {
  CURL* probe = curl_easy_init();
  X509_STORE* store = X509_STORE_new();
  char* bundle = NULL;
  char* directory = NULL;
  bool ok = probe != NULL && store != NULL &&
            curl_easy_getinfo(probe, CURLINFO_CAINFO, &bundle) == CURLE_OK &&
            curl_easy_getinfo(probe, CURLINFO_CAPATH, &directory) == CURLE_OK &&
            (bundle != NULL || directory != NULL) &&
            X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST |
                                            X509_V_FLAG_PARTIAL_CHAIN) == 1;
  if (ok && bundle != NULL) ok = X509_STORE_load_file(store, bundle) == 1;
  if (ok && directory != NULL) ok = X509_STORE_load_path(store, directory) == 1;
  curl_easy_cleanup(probe);
  if (!ok) {
    X509_STORE_free(store);
    // Not this thread's failure to report later.
    ERR_clear_error();
    return;
  }
  shared_trust = store;
}

CURLcode use_shared_trust(CURL* easy, void* ssl_ctx, void* store) {
  (void)easy;
  if (X509_STORE_up_ref((X509_STORE*)store) != 1) return CURLE_OUT_OF_MEMORY;
  SSL_CTX_set_cert_store((SSL_CTX*)ssl_ctx, (X509_STORE*)store);
  return CURLE_OK;
}

bool configure_trust(CURL* e) {
  pthread_once(&trust_once, load_trust_once);
  if (shared_trust == NULL) return true;
  if (curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, use_shared_trust) != CURLE_OK ||
      curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, shared_trust) != CURLE_OK) {
    // A TLS backend without the hook loads the defaults itself.
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, (curl_ssl_ctx_callback)NULL);
    return true;
  }
  return curl_easy_setopt(e, CURLOPT_CAINFO, (char*)NULL) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_CAPATH, (char*)NULL) == CURLE_OK;
}

BOOL fail(DWORD code) {
  last_error = code;
  return 0;
}

HINTERNET fail_handle(DWORD code) {
  last_error = code;
  return NULL;
}

long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

char* copy_text(const char* text) {
  if (text == NULL) text = "";
  size_t n = strlen(text);
  char* copy = (char*)malloc(n + 1);
  if (copy != NULL) memcpy(copy, text, n + 1);
  return copy;
}

bool same_nocase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == *b;
}

HandleHead* as_head(HINTERNET handle) {
  if (handle == NULL) return NULL;
  HandleHead* head = (HandleHead*)handle;
  if (head->magic != ROOT_MAGIC && head->magic != CONNECTION_MAGIC &&
      head->magic != REQUEST_MAGIC)
    return NULL;
  return head;
}

void* as_kind(HINTERNET handle, uint32_t magic) {
  HandleHead* head = as_head(handle);
  return (head != NULL && head->magic == magic) ? head : NULL;
}

// Ends the transfer of a request, if any, and forgets its state.
void end_transfer(Request* r) {
  if (r->attached) curl_multi_remove_handle(r->multi, r->easy);
  if (r->easy != NULL) curl_easy_cleanup(r->easy);
  if (r->multi != NULL) curl_multi_cleanup(r->multi);
  curl_slist_free_all(r->header_list);
  free(r->url);
  r->easy = NULL;
  r->multi = NULL;
  r->header_list = NULL;
  r->url = NULL;
  r->attached = false;
  r->sent = false;
  r->finished = false;
  r->failure = 0;
  r->stash_start = 0;
  r->stash_length = 0;
}

// Stops the transfer by the layer's own decision (a stall) and keeps the
// reason for the caller.
void abandon_transfer(Request* r, DWORD code) {
  if (r->attached) curl_multi_remove_handle(r->multi, r->easy);
  r->attached = false;
  r->finished = true;
  r->failure = code;
}

DWORD certificate_failure(CURL* easy) {
  long verify = VERIFY_OK;
  if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK)
    return ERROR_INTERNET_SEC_INVALID_CERT;
  switch (verify) {
    // The chain passed (libcurl keeps "unspecified" when the handshake
    // succeeded), so what refused the peer was the host-name check.
    case VERIFY_OK:
    case VERIFY_UNSPECIFIED:
    case VERIFY_HOSTNAME_MISMATCH:
    case VERIFY_IP_ADDRESS_MISMATCH:
      return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case VERIFY_CERT_NOT_YET_VALID:
    case VERIFY_CERT_HAS_EXPIRED:
    case VERIFY_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case VERIFY_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case VERIFY_UNABLE_TO_GET_ISSUER_CERT:
    case VERIFY_DEPTH_ZERO_SELF_SIGNED_CERT:
    case VERIFY_SELF_SIGNED_CERT_IN_CHAIN:
    case VERIFY_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case VERIFY_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case VERIFY_CERT_UNTRUSTED:
    case VERIFY_INVALID_CA:
      return ERROR_INTERNET_INVALID_CA;
    default:
      return ERROR_INTERNET_SEC_INVALID_CERT;
  }
}

// After a reset the failing receive sees ECONNRESET, but libcurl's
// closing write (the TLS close) then leaves EPIPE as the last error; both
// mean the peer reset the connection.
DWORD connection_failure(CURL* easy) {
  long os_errno = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
  return (os_errno == ECONNRESET || os_errno == EPIPE)
             ? ERROR_INTERNET_CONNECTION_RESET
             : ERROR_INTERNET_CONNECTION_ABORTED;
}

DWORD transfer_failure(CURL* easy, CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
      return certificate_failure(easy);
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_INTERNET_SEC_INVALID_CERT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return connection_failure(easy);
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

// Hands body bytes to the caller's room; what does not fit waits in the
// stash, and when there is no room at all the transfer pauses, so nothing
// beyond one libcurl chunk is ever held here.
size_t on_body(char* data, size_t size, size_t count, void* user) {
  Request* r = (Request*)user;
  size_t n = size * count;
  if (n == 0) return 0;
  if (r->room_left == 0) {
    r->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  size_t k = n < r->room_left ? n : r->room_left;
  memcpy(r->room, data, k);
  r->room += k;
  r->room_left -= k;
  r->delivered += k;
  size_t rest = n - k;
  if (rest > 0) {
    // The stash is empty here: it is drained before any room is offered.
    if (rest > r->stash_capacity) return 0;
    memcpy(r->stash, data + k, rest);
    r->stash_start = 0;
    r->stash_length = rest;
  }
  r->last_progress_ms = now_ms();
  return n;
}

bool status_digits(const char* line, size_t n, long* status) {
  // "HTTP/x.y NNN ..." or "HTTP/x NNN ..."
  if (n < 5 || memcmp(line, "HTTP/", 5) != 0) return false;
  size_t i = 5;
  while (i < n && line[i] != ' ') ++i;
  while (i < n && line[i] == ' ') ++i;
  long value = 0;
  int digits = 0;
  while (i < n && digits < 3 && line[i] >= '0' && line[i] <= '9') {
    value = value * 10 + (line[i] - '0');
    ++i;
    ++digits;
  }
  if (digits != 3) return false;
  *status = value;
  return true;
}

// Notes the status line and the blank line that ends the head; interim
// (1xx) heads are followed by the real one.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  Request* r = (Request*)user;
  size_t n = size * count;
  if (r->expect_status_line) {
    if (status_digits(data, n, &r->status)) r->expect_status_line = false;
  } else if ((n == 2 && data[0] == '\r' && data[1] == '\n') ||
             (n == 1 && data[0] == '\n')) {
    if (r->status >= 100 && r->status < 200 && r->status != 101)
      r->expect_status_line = true;
    else
      r->head_done = true;
  }
  r->last_progress_ms = now_ms();
  return n;
}

curl_off_t info_off(CURL* easy, CURLINFO info) {
  curl_off_t value = 0;
  curl_easy_getinfo(easy, info, &value);
  return value;
}

void note_progress(Request* r) {
  long long now = now_ms();
  if (!r->connected && info_off(r->easy, CURLINFO_APPCONNECT_TIME_T) > 0) {
    r->connected = true;
    r->last_progress_ms = now;
  }
  curl_off_t up = info_off(r->easy, CURLINFO_SIZE_UPLOAD_T);
  curl_off_t down = info_off(r->easy, CURLINFO_SIZE_DOWNLOAD_T);
  long header_bytes = 0;
  curl_easy_getinfo(r->easy, CURLINFO_HEADER_SIZE, &header_bytes);
  if (up != r->seen_upload || down != r->seen_download ||
      header_bytes != r->seen_header_bytes) {
    r->seen_upload = up;
    r->seen_download = down;
    r->seen_header_bytes = header_bytes;
    r->last_progress_ms = now;
  }
}

bool upload_done(const Request* r) {
  return r->seen_upload >= r->body_length;
}

void collect_messages(Request* r) {
  int left = 0;
  CURLMsg* msg;
  while ((msg = curl_multi_info_read(r->multi, &left)) != NULL) {
    if (msg->msg != CURLMSG_DONE || msg->easy_handle != r->easy) continue;
    r->finished = true;
    r->failure = transfer_failure(r->easy, msg->data.result);
  }
}

enum WaitFor { WAIT_HEAD, WAIT_DATA };

bool satisfied(const Request* r, WaitFor what) {
  if (what == WAIT_HEAD) return r->head_done && upload_done(r);
  return r->delivered > 0;
}

// Runs the transfer until `what` holds or it ends. Connecting is bounded
// by libcurl's connect limit; once connected, a stall longer than the send
// limit (while the request goes out) or the receive limit (afterwards)
// ends it with a time-out.
void drive(Request* r, WaitFor what) {
  r->last_progress_ms = now_ms();
  for (;;) {
    int running = 0;
    if (curl_multi_perform(r->multi, &running) != CURLM_OK) {
      abandon_transfer(r, ERROR_INTERNET_INTERNAL_ERROR);
      return;
    }
    collect_messages(r);
    note_progress(r);
    if (satisfied(r, what) || r->finished) return;

    long long limit = 0;
    if (r->connected)
      limit = (r->head_done || upload_done(r)) ? r->head.limits.receive_ms
                                               : r->head.limits.send_ms;
    long long idle = now_ms() - r->last_progress_ms;
    if (limit > 0 && idle >= limit) {
      abandon_transfer(r, ERROR_INTERNET_TIMEOUT);
      return;
    }
    long long wait = POLL_SLICE_MS;
    if (limit > 0 && limit - idle < wait) wait = limit - idle;
    if (curl_multi_poll(r->multi, NULL, 0, (int)wait, NULL) != CURLM_OK) {
      abandon_transfer(r, ERROR_INTERNET_INTERNAL_ERROR);
      return;
    }
  }
}

// A host name that libcurl would read as more than a name (a port, user
// information, a path) cannot be one; such a name is reported as one that
// does not resolve.
bool plain_host_name(const char* host) {
  size_t n = strlen(host);
  if (n == 0) return false;
  if (host[0] == '[') {
    if (host[n - 1] != ']') return false;
    for (size_t i = 1; i + 1 < n; ++i) {
      char c = host[i];
      bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                (c >= 'A' && c <= 'F') || c == ':' || c == '.';
      if (!ok) return false;
    }
    return n > 2;
  }
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)host[i];
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
              (c >= 'A' && c <= 'Z') || c == '-' || c == '.' || c == '_' ||
              c >= 0x80;
    if (!ok) return false;
  }
  return true;
}

char* build_url(const Request* r) {
  const char* object = r->object;
  const char* slash = object[0] == '/' ? "" : "/";
  size_t n = 8 + strlen(r->host) + 1 + 5 + strlen(slash) + strlen(object) + 1;
  char* url = (char*)malloc(n);
  if (url == NULL) return NULL;
  char* p = url;
  const char* parts[] = {"https://", r->host, ":"};
  for (const char* part : parts) {
    size_t k = strlen(part);
    memcpy(p, part, k);
    p += k;
  }
  char digits[6];
  int d = 0;
  unsigned port = r->port;
  do {
    digits[d++] = (char)('0' + port % 10);
    port /= 10;
  } while (port != 0);
  while (d > 0) *p++ = digits[--d];
  size_t k = strlen(slash);
  memcpy(p, slash, k);
  p += k;
  k = strlen(object);
  memcpy(p, object, k + 1);
  return url;
}

bool append_header(struct curl_slist** list, const char* line) {
  struct curl_slist* grown = curl_slist_append(*list, line);
  if (grown == NULL) return false;
  *list = grown;
  return true;
}

// The caller's headers, one per line, as given; then the entries that keep
// libcurl from adding headers of its own.
bool build_header_list(Request* r, LPCSTR headers, DWORD headers_length) {
  struct curl_slist* list = NULL;
  if (headers != NULL) {
    size_t total =
        headers_length == (DWORD)-1 ? strlen(headers) : headers_length;
    size_t start = 0;
    while (start < total) {
      size_t end = start;
      while (end < total && headers[end] != '\r' && headers[end] != '\n' &&
             headers[end] != '\0')
        ++end;
      if (end > start) {
        char* line = (char*)malloc(end - start + 1);
        if (line == NULL) {
          curl_slist_free_all(list);
          return false;
        }
        memcpy(line, headers + start, end - start);
        line[end - start] = '\0';
        bool ok = append_header(&list, line);
        free(line);
        if (!ok) {
          curl_slist_free_all(list);
          return false;
        }
      }
      if (end < total && headers[end] == '\0') break;
      start = end + 1;
    }
  }
  bool ok = append_header(&list, r->accept != NULL ? r->accept : "Accept:") &&
            append_header(&list, "Expect:");
  if (ok && (r->flags & INTERNET_FLAG_RELOAD) != 0)
    ok = append_header(&list, "Cache-Control: no-cache") &&
         append_header(&list, "Pragma: no-cache");
  if (!ok) {
    curl_slist_free_all(list);
    return false;
  }
  r->header_list = list;
  return true;
}

bool configure(Request* r, LPVOID body, DWORD body_length) {
  CURL* e = r->easy;
  static const char no_body[] = "";
  const char* data = body != NULL ? (const char*)body : no_body;
  curl_off_t size = body != NULL ? (curl_off_t)body_length : 0;
  r->body_length = size;

  bool ok =
      curl_easy_setopt(e, CURLOPT_URL, r->url) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_HTTP_VERSION, r->http_version) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->header_list) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
      // The whole body goes out even when the reply comes early, so the
      // caller's body is never read after the send returns.
      curl_easy_setopt(e, CURLOPT_KEEP_SENDING_ON_ERROR, 1L) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                       (long)r->head.limits.connect_ms) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_WRITEDATA, r) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
      curl_easy_setopt(e, CURLOPT_HEADERDATA, r) == CURLE_OK;
  if (ok && r->head.agent[0] != '\0')
    ok = curl_easy_setopt(e, CURLOPT_USERAGENT, r->head.agent) == CURLE_OK;
  if (ok && r->referrer[0] != '\0')
    ok = curl_easy_setopt(e, CURLOPT_REFERER, r->referrer) == CURLE_OK;
  if (ok) ok = configure_trust(e);
  if (!ok) return false;

  if (same_nocase(r->verb, "POST")) {
    return curl_easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
           curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, size) ==
               CURLE_OK &&
           curl_easy_setopt(e, CURLOPT_POSTFIELDS, data) == CURLE_OK;
  }
  if (same_nocase(r->verb, "GET") && size == 0) {
    r->body_length = 0;
    return curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  }
  if (same_nocase(r->verb, "HEAD") && size == 0) {
    return curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
  }
  ok = curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r->verb) == CURLE_OK;
  if (ok && size > 0)
    ok = curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, size) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_POSTFIELDS, data) == CURLE_OK;
  return ok;
}

char* accept_line(LPCSTR* accept_types) {
  if (accept_types == NULL || accept_types[0] == NULL) return NULL;
  size_t n = strlen("Accept: ") + 1;
  for (size_t i = 0; accept_types[i] != NULL; ++i)
    n += strlen(accept_types[i]) + 2;
  char* line = (char*)malloc(n);
  if (line == NULL) return NULL;
  strcpy(line, "Accept: ");
  for (size_t i = 0; accept_types[i] != NULL; ++i) {
    if (i > 0) strcat(line, ", ");
    strcat(line, accept_types[i]);
  }
  return line;
}

void free_request(Request* r) {
  end_transfer(r);
  free(r->head.agent);
  free(r->host);
  free(r->verb);
  free(r->object);
  free(r->referrer);
  free(r->accept);
  // The reply's bytes, which may echo what was posted.
  if (r->stash != NULL) explicit_bzero(r->stash, r->stash_capacity);
  free(r->stash);
  r->head.magic = 0;
  free(r);
}

}  // namespace

extern "C" {

HINTERNET InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy,
                        LPCSTR proxy_bypass, DWORD flags) {
  // Proxies follow libcurl's reading of the environment, the system's
  // preconfigured setting here.
  (void)access_type;
  (void)proxy;
  (void)proxy_bypass;
  if (!curl_ready()) return fail_handle(ERROR_INTERNET_INTERNAL_ERROR);
  Root* root = (Root*)calloc(1, sizeof(Root));
  char* agent_copy = copy_text(agent);
  if (root == NULL || agent_copy == NULL) {
    free(root);
    free(agent_copy);
    return fail_handle(ERROR_NOT_ENOUGH_MEMORY);
  }
  root->head.magic = ROOT_MAGIC;
  root->head.limits.connect_ms = DEFAULT_CONNECT_MS;
  root->head.limits.send_ms = DEFAULT_SEND_MS;
  root->head.limits.receive_ms = DEFAULT_RECEIVE_MS;
  root->head.agent = agent_copy;
  root->flags = flags;
  return root;
}

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                        DWORD buffer_length) {
  HandleHead* head = as_head(handle);
  if (head == NULL) return fail(ERROR_INVALID_HANDLE);
  DWORD* target;
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      target = &head->limits.connect_ms;
      break;
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_DATA_SEND_TIMEOUT:
      target = &head->limits.send_ms;
      break;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
      target = &head->limits.receive_ms;
      break;
    default:
      return fail(ERROR_INTERNET_INVALID_OPTION);
  }
  if (buffer == NULL || buffer_length != sizeof(DWORD))
    return fail(ERROR_INVALID_PARAMETER);
  memcpy(target, buffer, sizeof(DWORD));
  return 1;
}

HINTERNET InternetConnectA(HINTERNET session, LPCSTR server_name,
                           INTERNET_PORT server_port, LPCSTR user_name,
                           LPCSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context) {
  (void)user_name;
  (void)password;
  (void)flags;
  (void)context;
  Root* root = (Root*)as_kind(session, ROOT_MAGIC);
  if (root == NULL) return fail_handle(ERROR_INVALID_HANDLE);
  if (service != INTERNET_SERVICE_HTTP)
    return fail_handle(ERROR_INVALID_PARAMETER);
  Connection* c = (Connection*)calloc(1, sizeof(Connection));
  char* agent = copy_text(root->head.agent);
  char* host = copy_text(server_name);
  if (c == NULL || agent == NULL || host == NULL) {
    free(c);
    free(agent);
    free(host);
    return fail_handle(ERROR_NOT_ENOUGH_MEMORY);
  }
  c->head = root->head;
  c->head.magic = CONNECTION_MAGIC;
  c->head.agent = agent;
  c->host = host;
  c->port = server_port != 0 ? server_port : DEFAULT_HTTPS_PORT;
  return c;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object,
                           LPCSTR version, LPCSTR referrer,
                           LPCSTR* accept_types, DWORD flags,
                           DWORD_PTR context) {
  (void)context;
  Connection* c = (Connection*)as_kind(connection, CONNECTION_MAGIC);
  if (c == NULL) return fail_handle(ERROR_INVALID_HANDLE);
  Request* r = (Request*)calloc(1, sizeof(Request));
  if (r == NULL) return fail_handle(ERROR_NOT_ENOUGH_MEMORY);
  r->head = c->head;
  r->head.magic = REQUEST_MAGIC;
  r->head.agent = copy_text(c->head.agent);
  r->host = copy_text(c->host);
  r->port = c->port;
  r->verb = copy_text(verb != NULL && verb[0] != '\0' ? verb : "GET");
  r->object = copy_text(object != NULL && object[0] != '\0' ? object : "/");
  r->http_version = (version != NULL && strcmp(version, "HTTP/1.0") == 0)
                        ? CURL_HTTP_VERSION_1_0
                        : CURL_HTTP_VERSION_1_1;
  r->referrer = copy_text(referrer);
  r->accept = accept_line(accept_types);
  r->flags = flags;
  r->stash_capacity = STASH_BYTES;
  r->stash = (char*)malloc(STASH_BYTES);
  bool accept_ok = accept_types == NULL || accept_types[0] == NULL ||
                   r->accept != NULL;
  if (r->head.agent == NULL || r->host == NULL || r->verb == NULL ||
      r->object == NULL || r->referrer == NULL || !accept_ok ||
      r->stash == NULL) {
    free_request(r);
    return fail_handle(ERROR_NOT_ENOUGH_MEMORY);
  }
  return r;
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                      LPVOID optional, DWORD optional_length) {
  Request* r = (Request*)as_kind(request, REQUEST_MAGIC);
  if (r == NULL) return fail(ERROR_INVALID_HANDLE);
  end_transfer(r);
  if (!plain_host_name(r->host)) return fail(ERROR_INTERNET_NAME_NOT_RESOLVED);

  r->url = build_url(r);
  r->easy = curl_easy_init();
  r->multi = curl_multi_init();
  if (r->url == NULL || r->easy == NULL || r->multi == NULL ||
      !build_header_list(r, headers, headers_length)) {
    end_transfer(r);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!configure(r, optional, optional_length)) {
    end_transfer(r);
    return fail(ERROR_INTERNET_INTERNAL_ERROR);
  }
  r->expect_status_line = true;
  r->status = 0;
  r->head_done = false;
  r->connected = false;
  r->seen_upload = 0;
  r->seen_download = 0;
  r->seen_header_bytes = 0;
  r->room = NULL;
  r->room_left = 0;
  r->delivered = 0;
  r->paused = false;
  if (curl_multi_add_handle(r->multi, r->easy) != CURLM_OK) {
    end_transfer(r);
    return fail(ERROR_INTERNET_INTERNAL_ERROR);
  }
  r->attached = true;

  drive(r, WAIT_HEAD);
  bool complete = upload_done(r) || (r->finished && r->failure == 0);
  if (!r->head_done || !complete) {
    DWORD code =
        r->failure != 0 ? r->failure : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    end_transfer(r);
    return fail(code);
  }
  r->sent = true;
  return 1;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read,
                      LPDWORD bytes_read) {
  Request* r = (Request*)as_kind(file, REQUEST_MAGIC);
  if (r == NULL) return fail(ERROR_INVALID_HANDLE);
  if (bytes_read == NULL) return fail(ERROR_INVALID_PARAMETER);
  *bytes_read = 0;
  if (!r->sent) return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (bytes_to_read == 0) return 1;
  if (buffer == NULL) return fail(ERROR_INVALID_PARAMETER);

  if (r->stash_length > 0) {
    size_t k = r->stash_length < bytes_to_read ? r->stash_length : bytes_to_read;
    memcpy(buffer, r->stash + r->stash_start, k);
    r->stash_start += k;
    r->stash_length -= k;
    *bytes_read = (DWORD)k;
    return 1;
  }
  if (r->finished) {
    if (r->failure != 0) return fail(r->failure);
    return 1;
  }

  r->room = (char*)buffer;
  r->room_left = bytes_to_read;
  r->delivered = 0;
  if (r->paused) {
    r->paused = false;
    // Hands over what libcurl held back while paused, at once.
    if (curl_easy_pause(r->easy, CURLPAUSE_CONT) != CURLE_OK)
      abandon_transfer(r, ERROR_INTERNET_INTERNAL_ERROR);
  }
  if (r->delivered == 0 && !r->finished) drive(r, WAIT_DATA);
  size_t delivered = r->delivered;
  r->room = NULL;
  r->room_left = 0;
  r->delivered = 0;

  // Bytes that arrived come first; a failure after them shows on the next
  // read.
  if (delivered > 0) {
    *bytes_read = (DWORD)delivered;
    return 1;
  }
  if (r->finished && r->failure != 0) return fail(r->failure);
  return 1;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  HandleHead* head = as_head(handle);
  if (head == NULL) return fail(ERROR_INVALID_HANDLE);
  switch (head->magic) {
    case REQUEST_MAGIC:
      free_request((Request*)head);
      break;
    case CONNECTION_MAGIC: {
      Connection* c = (Connection*)head;
      free(c->head.agent);
      free(c->host);
      c->head.magic = 0;
      free(c);
      break;
    }
    default: {
      Root* root = (Root*)head;
      free(root->head.agent);
      root->head.magic = 0;
      free(root);
      break;
    }
  }
  return 1;
}

DWORD GetLastError(void) { return last_error; }

}  // extern "C"
