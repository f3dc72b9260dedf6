#include <string.h>

#include "gateway/gateway.h"
#include "text/text_ops.h"

void split_gateway_url(const char* url, host_text* gateway_host,
                       host_text* gateway_path) {
  const int32_t url_length = text_length(url);
  // A scheme is only a scheme at the start: "http://" further on, in a
  // query, must not cut the host name away.
  host_text copied_rest = nullptr;
  const char* rest = url;
  if (text_find_nocase(url, "http://") == 0) {
    copied_rest = text_slice(url, 7, url_length - 7);
    rest = copied_rest;
  } else if (text_find_nocase(url, "https://") == 0) {
    copied_rest = text_slice(url, 8, url_length - 8);
    rest = copied_rest;
  }
  // Without the copy there is no host to name: an empty one must not be
  // taken for the gateway.
  if (rest == nullptr) {
    *gateway_host = nullptr;
    *gateway_path = nullptr;
    return;
  }

  const int32_t rest_length = text_length(rest);
  const int32_t slash = text_index_of(rest, "/");
  if (slash < 0) {
    *gateway_host = text_slice(rest, 0, rest_length);
    *gateway_path = text_slice("/", 0, 1);
  } else {
    *gateway_host = text_slice(rest, 0, slash);
    *gateway_path = text_slice(rest, slash, rest_length - slash);
  }
  miva_free(copied_rest);
}

host_text build_post_body(const char* url, host_handle field_list) {
  // The host owns this rendering; the library only reads it.
  const char* full = miva_variablelist_to_url(url, field_list);
  // A host that cannot render the fields gives an empty body.
  return text_after(full != nullptr ? full : "", "?");
}

bool post_to_gateway(const char* url, const char* gateway_host,
                     const char* gateway_path, const char* body,
                     char* reply_buffer, char* error_text,
                     gateway_handles* handles) {
  handles->root = InternetOpenA(GATEWAY_AGENT, INTERNET_OPEN_TYPE_PRECONFIG,
                                nullptr, nullptr, REQUEST_FLAGS);
  if (handles->root == nullptr) {
    set_error_text(error_text,
                   "Cannot initialize secure session object. Error %d",
                   static_cast<int>(GetLastError()));
    return false;
  }

  DWORD timeout_ms = GATEWAY_TIMEOUT_MS;
  const DWORD timeout_options[] = {
      INTERNET_OPTION_CONNECT_TIMEOUT,   INTERNET_OPTION_RECEIVE_TIMEOUT,
      INTERNET_OPTION_SEND_TIMEOUT,      INTERNET_OPTION_DATA_RECEIVE_TIMEOUT,
      INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
      INTERNET_OPTION_SEND_TIMEOUT,
  };
  for (DWORD option : timeout_options) {
    InternetSetOptionA(handles->root, option, &timeout_ms, sizeof timeout_ms);
  }

  handles->connection =
      InternetConnectA(handles->root, gateway_host, GATEWAY_PORT, nullptr,
                       nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (handles->connection == nullptr) {
    set_error_text(error_text, "Cannot connect to '%100s'. Error %d", url,
                   static_cast<int>(GetLastError()));
    return false;
  }

  handles->request =
      HttpOpenRequestA(handles->connection, "POST", gateway_path, "HTTP/1.0",
                       "", nullptr, REQUEST_FLAGS, 0);
  if (handles->request == nullptr) {
    set_error_text(error_text, "Cannot create request object. Error %d",
                   static_cast<int>(GetLastError()));
    return false;
  }

  if (!HttpSendRequestA(handles->request, GATEWAY_CONTENT_TYPE_HEADER,
                        sizeof GATEWAY_CONTENT_TYPE_HEADER - 1,
                        const_cast<char*>(body),
                        static_cast<DWORD>(text_length(body)))) {
    set_error_text(error_text, "Cannot send request to '%100s'. Error %d", url,
                   static_cast<int>(GetLastError()));
    return false;
  }

  // A failed read ends the reply like its end; what arrived stays.
  DWORD filled = 0;
  DWORD room = REPLY_BUFFER_SIZE - 1;
  for (;;) {
    DWORD count = 0;
    if (!InternetReadFile(handles->request, reply_buffer + filled, room,
                          &count) ||
        count == 0 || count > room) {
      break;
    }
    filled += count;
    room -= count;
  }
  return true;
}

void close_gateway_handles(gateway_handles* handles) {
  if (handles->request != nullptr) InternetCloseHandle(handles->request);
  if (handles->connection != nullptr) InternetCloseHandle(handles->connection);
  if (handles->root != nullptr) InternetCloseHandle(handles->root);
}
