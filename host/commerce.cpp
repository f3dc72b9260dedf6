// The four commerce calls and the frame of one payment transaction.
#include <string.h>

#include "gateway/gateway.h"
#include "host/tarvane.h"
#include "text/text_ops.h"

// Handed to the host in place of a message buffer it could not allocate.
static const char NO_MESSAGE_BUFFER[] =
    "Cannot allocate the message buffer for the transaction.";

TARVANE_EXPORT int miva_commerce_init(void*, void** library_data, void*,
                                      const char* url, host_handle field_list,
                                      host_handle result_tree) {
  char reply_buffer[REPLY_BUFFER_SIZE];
  memset(reply_buffer, 0, sizeof reply_buffer);
  int result = 0;

  char* error_text = static_cast<char*>(miva_alloc(ERROR_TEXT_SIZE));
  if (library_data != nullptr) *library_data = error_text;
  // Without a buffer the outcome could not be told; post nothing.
  if (error_text == nullptr) return 1;
  memset(error_text, 0, ERROR_TEXT_SIZE);
  if (url == nullptr) url = "";

  host_text gateway_host = nullptr;
  host_text gateway_path = nullptr;
  split_gateway_url(url, &gateway_host, &gateway_path);
  host_text body = build_post_body(url, field_list);

  gateway_handles handles = {nullptr, nullptr, nullptr};
  if (gateway_host == nullptr || gateway_path == nullptr || body == nullptr) {
    // A copy the host could not give would send the payment elsewhere or
    // without its fields: nothing goes out.
    set_error_text(error_text, "Cannot send request to '%100s'. Error %d", url,
                   static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    result = 1;
  } else if (!post_to_gateway(url, gateway_host, gateway_path, body,
                              reply_buffer, error_text, &handles)) {
    result = 1;
  } else if (!interpret_reply(error_text, reply_buffer, result_tree)) {
    result = 1;
  }

  miva_free(gateway_host);
  miva_free(gateway_path);
  // The body carries the card number: it goes back to the host blank.
  if (body != nullptr) text_wipe(body, text_length(body));
  miva_free(body);
  close_gateway_handles(&handles);
  text_wipe(reply_buffer, sizeof reply_buffer);
  return result;
}

TARVANE_EXPORT int miva_commerce_loop(void*, void*, void*, void*, void*, void*,
                                      void* repeat) {
  return repeat != nullptr ? 2 : 0;
}

TARVANE_EXPORT const char* miva_commerce_error(void*, void** library_data) {
  if (library_data == nullptr || *library_data == nullptr) {
    return NO_MESSAGE_BUFFER;
  }
  return static_cast<const char*>(*library_data);
}

TARVANE_EXPORT void miva_commerce_cleanup(void*, void** library_data) {
  if (library_data == nullptr) return;
  miva_free(*library_data);
}
