// An HTTP client that does no network work and answers every request with
// one canned reply, linked with the library's core so that a whole
// miva_commerce_init measures the library's own share of a payment: the
// URL split, the body, the frame and the reply interpretation.
#include "bench/null_http_client.h"

#include <string.h>

namespace {

char root_handle;
char connection_handle;
char request_handle;

const char* canned_reply = "";
thread_local size_t reply_offset = 0;

}  // namespace

void null_http_client_reply(const char* reply) { canned_reply = reply; }

extern "C" {

HINTERNET InternetOpenA(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) {
  return &root_handle;
}

BOOL InternetSetOptionA(HINTERNET, DWORD, LPVOID, DWORD) { return TRUE; }

HINTERNET InternetConnectA(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR,
                           DWORD, DWORD, DWORD_PTR) {
  return &connection_handle;
}

HINTERNET HttpOpenRequestA(HINTERNET, LPCSTR, LPCSTR, LPCSTR, LPCSTR, LPCSTR*,
                           DWORD, DWORD_PTR) {
  reply_offset = 0;
  return &request_handle;
}

BOOL HttpSendRequestA(HINTERNET, LPCSTR, DWORD, LPVOID, DWORD) { return TRUE; }

BOOL InternetReadFile(HINTERNET, LPVOID buffer, DWORD bytes_to_read,
                      LPDWORD bytes_read) {
  const size_t left = strlen(canned_reply + reply_offset);
  const size_t n = left < bytes_to_read ? left : bytes_to_read;
  memcpy(buffer, canned_reply + reply_offset, n);
  reply_offset += n;
  *bytes_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET) { return TRUE; }

DWORD GetLastError(void) { return 0; }

}  // extern "C"
