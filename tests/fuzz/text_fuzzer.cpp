// The text operations against a plain reference written here. Input:
//   byte 0  operation (low 3 bits); bit 7 makes the operation's first host
//           allocation fail
//   byte 1, 2  parameters (slice start and count, error number)
//   byte 3  needle length L (taken modulo what is left)
//   then L bytes of needle, then the text.
// Needle and text each end at their first NUL, as host texts do; both live
// in blocks of their exact size, so a read past either is caught.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "text/text_ops.h"

namespace {

unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool same_at(const std::string& text, size_t at, const std::string& needle) {
  if (at + needle.size() > text.size()) return false;
  for (size_t j = 0; j < needle.size(); ++j) {
    if (fold(text[at + j]) != fold(needle[j])) return false;
  }
  return true;
}

// First start whose bytes match the whole needle; none for an empty text.
int32_t find_reference(const std::string& text, const std::string& needle) {
  for (size_t start = 0; start < text.size(); ++start) {
    if (same_at(text, start, needle)) return static_cast<int32_t>(start);
  }
  return -1;
}

int32_t index_reference(const std::string& text, const std::string& needle) {
  if (needle.empty()) return -1;
  return find_reference(text, needle);
}

// A host-text-like copy in a block of exactly its size.
char* exact_copy(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

const char* const kFormats[] = {
    "Cannot connect to '%100s'. Error %d",
    "Cannot send request to '%100s'. Error %d",
};

void fail_next_allocation() {
  test_host_fail_allocation(test_host_allocation_count() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_register_test_host();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const unsigned op = data[0] & 7;
  const bool failing = (data[0] & 0x80) != 0;
  const unsigned a = data[1], b = data[2];
  const size_t rest = size - 4;
  const size_t needle_size = rest == 0 ? 0 : data[3] % (rest + 1);
  const char* raw = reinterpret_cast<const char*>(data + 4);
  const std::string needle(raw, strnlen(raw, needle_size));
  const std::string text(raw + needle_size,
                         strnlen(raw + needle_size, rest - needle_size));

  test_host_reset();
  char* t = exact_copy(text);
  char* n = exact_copy(needle);
  const int32_t length = static_cast<int32_t>(text.size());

  switch (op) {
    case 0:
      FUZZ_CHECK(text_find_nocase(t, n) == find_reference(text, needle));
      FUZZ_CHECK(text_length(t) == length);
      break;
    case 1:
      FUZZ_CHECK(text_index_of(t, n) == index_reference(text, needle));
      break;
    case 2: {
      const int32_t start = static_cast<int32_t>(a % (text.size() + 1));
      const int32_t count = static_cast<int32_t>(b % (text.size() - start + 1));
      if (failing) fail_next_allocation();
      host_text slice = text_slice(t, start, count);
      if (failing) {
        FUZZ_CHECK(slice == nullptr);
        break;
      }
      FUZZ_CHECK(test_host_block_size(slice) == count + 1);
      FUZZ_CHECK(std::string(slice, count + 1) ==
                 text.substr(start, count) + '\0');
      miva_free(slice);
      break;
    }
    case 3: {
      const int32_t at = index_reference(text, needle);
      if (failing) fail_next_allocation();
      host_text after = text_after(t, n);
      if (failing) {
        FUZZ_CHECK(after == nullptr);
        break;
      }
      FUZZ_CHECK(after != nullptr);
      const std::string got = after;
      FUZZ_CHECK(test_host_block_size(after) ==
                 static_cast<long>(got.size() + 1));
      if (at >= 0) {
        FUZZ_CHECK(got == text.substr(at + needle.size()));
      } else if (needle.size() == 1) {
        FUZZ_CHECK(got == text);
      } else {
        // Callers never ask for an absent longer marker; it must still
        // yield some end of the text, inside it.
        FUZZ_CHECK(got.size() <= text.size() &&
                   text.compare(text.size() - got.size(), got.size(), got) ==
                       0);
      }
      miva_free(after);
      break;
    }
    case 4: {
      host_text copy = text_slice(t, 0, length);
      FUZZ_CHECK(copy != nullptr);
      const int32_t at = index_reference(text, needle);
      // The prefix copy failing must not change the result.
      if (failing) fail_next_allocation();
      text_cut_at(copy, n);
      FUZZ_CHECK(test_host_is_live(copy));
      FUZZ_CHECK(test_host_block_size(copy) == length + 1);
      FUZZ_CHECK(std::string(copy) == (at >= 0 ? text.substr(0, at) : text));
      miva_free(copy);
      break;
    }
    case 5: {
      char* error_text = static_cast<char*>(miva_alloc(ERROR_TEXT_SIZE));
      // Any 32-bit number, negative ones included.
      const int number = static_cast<int>(
          static_cast<uint32_t>((a << 8 | b) * 1000003u - (1u << 20)));
      set_error_text(error_text, kFormats[a & 1], t, number);
      // "%100s" pads to 100 and never cuts; the whole message is cut to
      // what the 2048-byte buffer holds with its NUL.
      std::string expected =
          (a & 1) ? "Cannot send request to '" : "Cannot connect to '";
      if (text.size() < 100) expected.append(100 - text.size(), ' ');
      expected += text + "'. Error " + std::to_string(number);
      if (expected.size() > ERROR_TEXT_SIZE - 1) {
        expected.resize(ERROR_TEXT_SIZE - 1);
      }
      FUZZ_CHECK(std::string(error_text) == expected);
      miva_free(error_text);  // the guards are checked here
      break;
    }
    case 6: {
      host_text copy = text_slice(t, 0, length);
      text_wipe(copy, length + 1);
      for (int32_t i = 0; i <= length; ++i) FUZZ_CHECK(copy[i] == '\0');
      miva_free(copy);
      break;
    }
    default: {
      // The searches agree with each other on every pair.
      const int32_t found = text_find_nocase(t, n);
      const int32_t index = text_index_of(t, n);
      FUZZ_CHECK(needle.empty() ? index == -1 : index == found);
      break;
    }
  }

  free(t);
  free(n);
  fuzz_require_clean_host();
  return 0;
}
