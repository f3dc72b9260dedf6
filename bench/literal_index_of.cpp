// The baseline: text_index_of as the literal algorithm reads, copying the
// window at every candidate index into a new host text and testing it with
// text_find_nocase. The library compares in place instead.
//
// This file is linked first into tarvane_bench_literal together with the
// library's own text_ops.cpp and reply_interpretation.cpp, built as
// interposable code with -z muldefs: every call to text_index_of in them
// (text_after, text_cut_at, the reply interpretation) binds to this
// definition. The benchmark checks that it did, by the allocations it sees.
#include "gateway/gateway.h"
#include "text/text_ops.h"

int32_t text_index_of(const char* text, const char* needle) {
  const int32_t needle_length = text_length(needle);
  // No candidate for a needle longer than the text, found without reading
  // past the text's NUL.
  int32_t text_len = 0;
  while (text_len < needle_length && text[text_len] != '\0') ++text_len;
  if (text_len < needle_length) return -1;
  text_len += text_length(text + text_len);
  for (int32_t index = 0; index <= text_len - needle_length; ++index) {
    host_text window = text_slice(text, index, needle_length);
    const bool passes = window != nullptr && text_find_nocase(window, needle) == 0;
    miva_free(window);
    if (passes) return index;
  }
  return -1;
}

extern "C" __attribute__((visibility("default"))) int32_t literal_text_index_of(
    const char* text, const char* needle) {
  return text_index_of(text, needle);
}

extern "C" __attribute__((visibility("default"))) bool literal_interpret_reply(
    char* error_text, const char* reply, host_handle result_tree) {
  return interpret_reply(error_text, reply, result_tree);
}
