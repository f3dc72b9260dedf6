#include "text/text_ops.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int32_t text_length(const char* text) {
  return static_cast<int32_t>(strlen(text));
}

// True when every byte of `needle` matches the bytes at `at` under the fold;
// stops at the first NUL of either text.
static bool matches_at(const char* at, const char* needle) {
  int32_t j = 0;
  while (needle[j] != '\0') {
    if (at[j] == '\0') return false;
    if (text_fold(static_cast<unsigned char>(at[j])) !=
        text_fold(static_cast<unsigned char>(needle[j]))) {
      return false;
    }
    ++j;
  }
  return true;
}

int32_t text_find_nocase(const char* haystack, const char* needle) {
  for (int32_t start = 0; haystack[start] != '\0'; ++start) {
    if (matches_at(haystack + start, needle)) return start;
  }
  return -1;
}

int32_t text_index_of(const char* text, const char* needle) {
  const int32_t needle_length = text_length(needle);
  if (needle_length == 0) return -1;
  // Bounded by the needle's length, so a needle longer than the text is
  // answered without reading past the text's NUL.
  int32_t text_len = 0;
  while (text_len < needle_length && text[text_len] != '\0') ++text_len;
  if (text_len < needle_length) return -1;
  text_len += text_length(text + text_len);
  for (int32_t index = 0; index <= text_len - needle_length; ++index) {
    if (matches_at(text + index, needle)) return index;
  }
  return -1;
}

host_text text_slice(const char* text, int32_t start, int32_t count) {
  host_text copy = static_cast<host_text>(miva_alloc(count + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text + start, static_cast<size_t>(count));
  copy[count] = '\0';
  return copy;
}

host_text text_after(const char* text, const char* marker) {
  const int32_t index = text_index_of(text, marker);
  const int32_t length = text_length(text);
  int32_t start = index + text_length(marker);
  // Only reached by a longer marker that is absent, which callers avoid.
  if (start > length) start = length;
  return text_slice(text, start, length - start);
}

void text_cut_at(host_text text, const char* marker) {
  if (text == nullptr) return;
  const int32_t index = text_index_of(text, marker);
  if (index < 0) return;
  host_text prefix = text_slice(text, 0, index);
  if (prefix == nullptr) {
    // The prefix copy only carries the bytes that are already in place.
    text[index] = '\0';
    return;
  }
  strcpy(text, prefix);
  miva_free(prefix);
}

void set_error_text(char* error_text, const char* format, ...) {
  if (error_text == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(error_text, ERROR_TEXT_SIZE, format, arguments);
  va_end(arguments);
  // Some C runtimes leave a cut message without its NUL.
  error_text[ERROR_TEXT_SIZE - 1] = '\0';
}

void text_wipe(void* block, int32_t size) {
  if (block == nullptr || size <= 0) return;
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(block);
  for (int32_t i = 0; i < size; ++i) bytes[i] = 0;
}
