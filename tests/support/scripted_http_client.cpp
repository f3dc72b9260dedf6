#include "tests/support/scripted_http_client.h"

#include <stdio.h>
#include <string.h>

#include <map>

#include "tests/support/test_host.h"

namespace {

HINTERNET const kRoot = reinterpret_cast<HINTERNET>(0x1001);
HINTERNET const kConnection = reinterpret_cast<HINTERNET>(0x2002);
HINTERNET const kRequest = reinterpret_cast<HINTERNET>(0x3003);

struct Script {
  std::map<std::string, DWORD> failures;
  std::string reply;
  size_t chunk = 4096;
  size_t delivered = 0;
  int reads = 0;
  int failing_read = 0;
  DWORD read_error = 0;
  std::vector<std::string> calls;
  std::vector<size_t> live_at_close;
};

Script& script() {
  static Script s;
  return s;
}

thread_local DWORD last_error = 0;

std::string handle_name(HINTERNET handle) {
  if (handle == kRoot) return "root";
  if (handle == kConnection) return "connection";
  if (handle == kRequest) return "request";
  return handle == nullptr ? "null" : "unknown";
}

std::string quoted(const char* text) {
  return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

std::string number(unsigned long value, bool hex = false) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, hex ? "0x%08lX" : "%lu", value);
  return buffer;
}

// Records the call; true when the script makes it fail.
bool record(const std::string& operation, const std::string& arguments) {
  script().calls.push_back(operation + "(" + arguments + ")");
  auto it = script().failures.find(operation);
  if (it == script().failures.end()) return false;
  last_error = it->second;
  return true;
}

}  // namespace

void scripted_reset() { script() = Script(); }

void scripted_fail(const std::string& operation, DWORD error) {
  script().failures[operation] = error;
}

void scripted_reply(const std::string& body, size_t chunk, int failing_read,
                    DWORD read_error) {
  script().reply = body;
  script().chunk = chunk;
  script().failing_read = failing_read;
  script().read_error = read_error;
}

const std::vector<std::string>& scripted_calls() { return script().calls; }

size_t scripted_bytes_delivered() { return script().delivered; }

const std::vector<size_t>& scripted_live_blocks_at_close() {
  return script().live_at_close;
}

extern "C" {

HINTERNET InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy,
                        LPCSTR proxy_bypass, DWORD flags) {
  if (record("InternetOpenA", quoted(agent) + ", " + number(access_type) +
                                  ", " + quoted(proxy) + ", " +
                                  quoted(proxy_bypass) + ", " +
                                  number(flags, true))) {
    return nullptr;
  }
  return kRoot;
}

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                        DWORD buffer_length) {
  DWORD value = 0;
  if (buffer != nullptr && buffer_length == sizeof value) {
    memcpy(&value, buffer, sizeof value);
  }
  return !record("InternetSetOptionA", handle_name(handle) + ", " +
                                           number(option) + ", " +
                                           number(value) + ", " +
                                           number(buffer_length));
}

HINTERNET InternetConnectA(HINTERNET session, LPCSTR server_name,
                           INTERNET_PORT server_port, LPCSTR user_name,
                           LPCSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context) {
  if (record("InternetConnectA",
             handle_name(session) + ", " + quoted(server_name) + ", " +
                 number(server_port) + ", " + quoted(user_name) + ", " +
                 quoted(password) + ", " + number(service) + ", " +
                 number(flags) + ", " + number(context))) {
    return nullptr;
  }
  return kConnection;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object,
                           LPCSTR version, LPCSTR referrer,
                           LPCSTR* accept_types, DWORD flags,
                           DWORD_PTR context) {
  if (record("HttpOpenRequestA",
             handle_name(connection) + ", " + quoted(verb) + ", " +
                 quoted(object) + ", " + quoted(version) + ", " +
                 quoted(referrer) + ", " +
                 (accept_types == nullptr ? "null" : "types") + ", " +
                 number(flags, true) + ", " + number(context))) {
    return nullptr;
  }
  return kRequest;
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                      LPVOID optional, DWORD optional_length) {
  std::string body = optional == nullptr
                         ? "null"
                         : "\"" +
                               std::string(static_cast<const char*>(optional),
                                           optional_length) +
                               "\"";
  return !record("HttpSendRequestA",
                 handle_name(request) + ", " + quoted(headers) + ", " +
                     number(headers_length) + ", " + body + ", " +
                     number(optional_length));
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read,
                      LPDWORD bytes_read) {
  Script& s = script();
  *bytes_read = 0;
  if (record("InternetReadFile",
             handle_name(file) + ", " + number(bytes_to_read))) {
    return FALSE;
  }
  if (s.failing_read != 0 && s.reads == s.failing_read) {
    last_error = s.read_error;
    return FALSE;
  }
  ++s.reads;
  size_t count = s.reply.size() - s.delivered;
  if (count > s.chunk) count = s.chunk;
  if (count > bytes_to_read) count = bytes_to_read;
  memcpy(buffer, s.reply.data() + s.delivered, count);
  s.delivered += count;
  *bytes_read = static_cast<DWORD>(count);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  script().live_at_close.push_back(test_host_live_blocks());
  return !record("InternetCloseHandle", handle_name(handle));
}

DWORD GetLastError(void) { return last_error; }

}  // extern "C"
