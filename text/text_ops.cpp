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

// The next byte in [from, end) that is `byte`, or null.
static const char* next_byte(const char* from, const char* end, char byte) {
  if (from >= end) return nullptr;
  return static_cast<const char*>(
      memchr(from, byte, static_cast<size_t>(end - from)));
}

// Lowest index at which a needle of at least one byte matches under the
// fold, in a text of known length. Candidates are the places where one
// byte of the needle, its anchor, stands in either case, found with memchr:
// a reply without the anchor costs one pass of the C library's fastest
// scan, not a comparison at every index. The anchor is the needle's first
// byte that is not a letter (one memchr instead of two, and markers end in
// "=", which a reply holds once), else its first byte.
static int32_t first_match(const char* text, int32_t length, const char* needle,
                           int32_t needle_length) {
  if (needle_length > length) return -1;
  int32_t anchor = 0;
  for (int32_t j = 0; j < needle_length; ++j) {
    const unsigned char folded =
        text_fold(static_cast<unsigned char>(needle[j]));
    if (folded < 'a' || folded > 'z') {
      anchor = j;
      break;
    }
  }
  const char lower =
      static_cast<char>(text_fold(static_cast<unsigned char>(needle[anchor])));
  const char upper =
      (lower >= 'a' && lower <= 'z') ? static_cast<char>(lower - 0x20) : lower;
  // The anchor's places for start indexes 0 to length - needle_length.
  const char* begin = text + anchor;
  const char* end = begin + (length - needle_length) + 1;
  const char* next_lower = next_byte(begin, end, lower);
  const char* next_upper =
      upper != lower ? next_byte(begin, end, upper) : nullptr;
  while (next_lower != nullptr || next_upper != nullptr) {
    const bool take_lower = next_upper == nullptr ||
                            (next_lower != nullptr && next_lower < next_upper);
    const char* candidate = take_lower ? next_lower : next_upper;
    if (matches_at(candidate - anchor, needle)) {
      return static_cast<int32_t>(candidate - anchor - text);
    }
    if (take_lower) {
      next_lower = next_byte(candidate + 1, end, lower);
    } else {
      next_upper = next_byte(candidate + 1, end, upper);
    }
  }
  return -1;
}

int32_t text_find_nocase(const char* haystack, const char* needle) {
  // An empty haystack has no start position, not even for an empty needle.
  if (haystack[0] == '\0') return -1;
  const int32_t needle_length = text_length(needle);
  if (needle_length == 0) return 0;
  return first_match(haystack, text_length(haystack), needle, needle_length);
}

int32_t text_index_of(const char* text, const char* needle) {
  const int32_t needle_length = text_length(needle);
  if (needle_length == 0) return -1;
  return first_match(text, text_length(text), needle, needle_length);
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
  // Only reached by a longer marker that is absent, which callers avoid,
  // and by an empty one (-1 + 0), which they never give: either way the
  // slice stays inside the text.
  if (start > length) start = length;
  if (start < 0) start = 0;
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
