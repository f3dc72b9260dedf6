// One gateway transaction: the URL split, the request body, the HTTPS
// exchange through the platform's HTTP client, and the reading of the
// gateway's reply into result variables.
#ifndef TARVANE_GATEWAY_GATEWAY_H
#define TARVANE_GATEWAY_GATEWAY_H

#include <stdint.h>

#include "host/tarvane.h"
#include "platform/http_client.h"

enum {
  GATEWAY_PORT = 443,
  GATEWAY_TIMEOUT_MS = 75000,
  REPLY_BUFFER_SIZE = 8192,
};

#define REQUEST_FLAGS 0x84A00000u
#define GATEWAY_AGENT "TarvaneLink"
#define GATEWAY_CONTENT_TYPE_HEADER \
  "Content-Type: application/x-www-form-urlencoded"

// The client handles of one transaction; null until opened.
struct gateway_handles {
  HINTERNET root;
  HINTERNET connection;
  HINTERNET request;
};

// Splits `url` into host and path. The scheme counts only at the start;
// a URL with no "/" after its host gets the path "/". A copy the host
// cannot allocate leaves its text null.
void split_gateway_url(const char* url, host_text* gateway_host,
                       host_text* gateway_path);

// Everything after the first "?" of the host's rendering of the fields,
// or the whole rendering when it has none.
host_text build_post_body(const char* url, host_handle field_list);

// Posts `body` and reads at most 8191 bytes of reply into `reply_buffer`.
// The host, path and body are texts, never null: the frame posts nothing
// when a copy could not be made.
// On failure writes the step's message into `error_text`. Opened handles
// stay open for close_gateway_handles.
bool post_to_gateway(const char* url, const char* gateway_host,
                     const char* gateway_path, const char* body,
                     char* reply_buffer, char* error_text,
                     gateway_handles* handles);

// Closes request, connection and root, each only when it was opened.
void close_gateway_handles(gateway_handles* handles);

// Sets tv_status and the result variables in `result_tree`. True for an
// accepted or declined payment; false, with a message, for an error.
bool interpret_reply(char* error_text, const char* reply,
                     host_handle result_tree);

#endif  // TARVANE_GATEWAY_GATEWAY_H
