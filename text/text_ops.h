// Text operations on 8-bit, NUL-terminated texts. Every search ignores
// letter case by one fixed rule that no locale changes. Every text made
// here is a host text from miva_alloc; a copy the host cannot allocate
// comes back as null, which callers treat as the empty text.
#ifndef TARVANE_TEXT_TEXT_OPS_H
#define TARVANE_TEXT_TEXT_OPS_H

#include <stdint.h>

#include "host/tarvane.h"

enum { ERROR_TEXT_SIZE = 2048 };

// A to Z fold to a to z; every other byte, 0x80 to 0xFF included, to itself.
inline unsigned char text_fold(unsigned char byte) {
  return (byte >= 0x41 && byte <= 0x5A)
             ? static_cast<unsigned char>(byte + 0x20)
             : byte;
}

int32_t text_length(const char* text);

// Position at which the first match of `needle` begins, or -1. An empty
// haystack yields -1 whatever the needle; an empty needle matches at 0 of
// any other haystack.
int32_t text_find_nocase(const char* haystack, const char* needle);

// Lowest index at which `needle` occurs, or -1; -1 for an empty needle or
// one longer than the text. Compares in place: nothing is allocated.
int32_t text_index_of(const char* text, const char* needle);

// New host text of `count` bytes of `text` from `start`. The caller keeps
// start >= 0, count >= 0 and start + count <= length of text.
host_text text_slice(const char* text, int32_t start, int32_t count);

// New host text of everything after the first `marker`; for a one-byte
// marker that does not occur, a copy of the whole text.
host_text text_after(const char* text, const char* marker);

// Shortens `text` in place to the bytes before its first `marker`.
void text_cut_at(host_text text, const char* marker);

// Replaces the message in the 2048-byte `error_text`. A message longer than
// 2047 bytes is cut there, always with its NUL.
void set_error_text(char* error_text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Overwrites `size` bytes at `block` in a way the compiler may not drop,
// for buffers that held card data.
void text_wipe(void* block, int32_t size);

#endif  // TARVANE_TEXT_TEXT_OPS_H
