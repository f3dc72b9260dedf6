#include "text/text_ops.h"

#include <locale.h>
#include <string.h>

#include <string>

#include "tests/support/host_fixture.h"

namespace {

class TextOps : public HostFixture {};

TEST(LetterCaseFold, EachLetterMatchesItsOtherCaseOnly) {
  for (int upper = 'A'; upper <= 'Z'; ++upper) {
    const int lower = upper + 0x20;
    EXPECT_EQ(text_fold(upper), lower);
    EXPECT_EQ(text_fold(lower), lower);
  }
}

TEST(LetterCaseFold, NeighboursOfTheLetterRangesAndHighBytesFoldToThemselves) {
  // 0x40/0x60 and 0x5B/0x7B sit next to the letter ranges; 0xC9/0xE9 are
  // the two cases of one accented letter in common code pages.
  struct Pair {
    unsigned char a, b;
  } pairs[] = {{0x40, 0x60}, {0x5B, 0x7B}, {0xC9, 0xE9}};
  // A locale with accented letters must not change the fold.
  const char* locales[] = {"C", "C.UTF-8", "en_US.ISO-8859-1", "de_DE"};
  for (const char* locale : locales) {
    setlocale(LC_ALL, locale);
    for (const Pair& p : pairs) {
      EXPECT_EQ(text_fold(p.a), p.a);
      EXPECT_EQ(text_fold(p.b), p.b);
      const char haystack[] = {static_cast<char>(p.a), 0};
      const char needle[] = {static_cast<char>(p.b), 0};
      EXPECT_EQ(text_find_nocase(haystack, needle), -1) << locale;
      EXPECT_EQ(text_index_of(haystack, needle), -1) << locale;
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      EXPECT_EQ(text_fold(static_cast<unsigned char>(byte)), byte);
    }
  }
  setlocale(LC_ALL, "C");
}

struct SearchCase {
  const char* haystack;
  const char* needle;
  int32_t find_nocase;
  int32_t index_of;
};

TEST_F(TextOps, SearchesAtTheirBoundaries) {
  const SearchCase cases[] = {
      {"xyACCEPTED", "Accepted", 2, 2},
      {"Accepte", "Accepted", -1, -1},   // seven letters of eight
      {"isaccepted", "ACCEPTED", 2, 2},  // ends at the haystack's end
      {"abc", "", 0, -1},                // empty needle
      {"", "", -1, -1},                  // empty haystack
      {"", "a", -1, -1},
      {"8 bytes!", "historyid=", -1, -1},  // needle longer than text
      {"a=b=c", "=", 1, 1},                // first of two
      {"HISTORYID=7", "historyid=", 0, 0},
      {"aaab", "aab", 1, 1},  // restart after a near miss
      {"@", "`", -1, -1},
  };
  for (const SearchCase& c : cases) {
    EXPECT_EQ(text_find_nocase(c.haystack, c.needle), c.find_nocase)
        << c.haystack << " / " << c.needle;
    EXPECT_EQ(text_index_of(c.haystack, c.needle), c.index_of)
        << c.haystack << " / " << c.needle;
  }
  EXPECT_EQ(test_host_allocation_count(), 0) << "searches must not allocate";
}

// The search skips to the places where the needle's first byte stands;
// it must find what a comparison at every index finds.
TEST(TextSearch, AgreesWithAComparisonAtEveryIndex) {
  const char alphabet[] = {'a', 'A', 'b', 'B', '=', '\r', '@', '`', '\xC9'};
  auto reference = [](const std::string& text, const std::string& needle) {
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
      bool match = true;
      for (size_t j = 0; j < needle.size() && match; ++j) {
        match = text_fold(text[i + j]) == text_fold(needle[j]);
      }
      if (match) return static_cast<int32_t>(i);
    }
    return -1;
  };
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 20000; ++round) {
    std::string text, needle;
    for (size_t n = next() % 24; n > 0; --n) text += alphabet[next() % 9];
    for (size_t n = 1 + next() % 5; n > 0; --n) needle += alphabet[next() % 9];
    const int32_t expected = reference(text, needle);
    ASSERT_EQ(text_index_of(text.c_str(), needle.c_str()), expected)
        << "text '" << text << "' needle '" << needle << "'";
    ASSERT_EQ(text_find_nocase(text.c_str(), needle.c_str()), expected);
  }
}

TEST_F(TextOps, IndexOfReadsNothingBeyondAShortText) {
  // The text sits at the very end of a guarded host block: reading past its
  // NUL would damage nothing but is caught by the sanitizer builds.
  char* text = static_cast<char*>(miva_alloc(9));
  memcpy(text, "8 bytes!", 9);
  EXPECT_EQ(text_index_of(text, "historyid="), -1);
  miva_free(text);
}

TEST_F(TextOps, SliceCopiesExactlyIntoABlockOfCountPlusOne) {
  host_text empty = text_slice("abc", 1, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(test_host_block_size(empty), 1);
  host_text middle = text_slice("abcdef", 2, 3);
  EXPECT_STREQ(middle, "cde");
  EXPECT_EQ(test_host_block_size(middle), 4);
  host_text whole = text_slice("abcdef", 0, 6);
  EXPECT_STREQ(whole, "abcdef");
  miva_free(empty);
  miva_free(middle);
  miva_free(whole);
}

TEST_F(TextOps, AfterAndCutAt) {
  struct Case {
    const char* text;
    const char* marker;
    const char* after;
  } after_cases[] = {
      {"no equals sign", "=", "no equals sign"},
      {"ends with=", "=", ""},
      {"a=b=c", "=", "b=c"},
      {"x HistoryId=H1\r\n", "historyid=", "H1\r\n"},
  };
  for (const Case& c : after_cases) {
    host_text after = text_after(c.text, c.marker);
    EXPECT_STREQ(after, c.after) << c.text;
    miva_free(after);
  }

  struct CutCase {
    const char* text;
    const char* marker;
    const char* cut;
  } cut_cases[] = {
      {"A1\r\n", "\r", "A1"},
      {"\rrest", "\r", ""},
      {"no line end", "\r", "no line end"},
      {"A\nB\r\n", "\r", "A\nB"},
  };
  for (const CutCase& c : cut_cases) {
    host_text text =
        text_slice(c.text, 0, static_cast<int32_t>(strlen(c.text)));
    const long size = test_host_block_size(text);
    text_cut_at(text, c.marker);
    EXPECT_STREQ(text, c.cut) << c.text;
    EXPECT_EQ(test_host_block_size(text), size) << "keeps its block";
    miva_free(text);
  }
}

TEST(ErrorText, MessageFormats) {
  char error_text[ERROR_TEXT_SIZE];
  const std::string url20(20, 'u');
  set_error_text(error_text, "Cannot connect to '%100s'. Error %d",
                 url20.c_str(), 12029);
  EXPECT_EQ(strlen(error_text), 133u);
  EXPECT_EQ(
      std::string(error_text),
      "Cannot connect to '" + std::string(80, ' ') + url20 + "'. Error 12029");

  const std::string url30 = "https://localhost/reply/accept";
  ASSERT_EQ(url30.size(), 30u);
  set_error_text(error_text, "Cannot send request to '%100s'. Error %d",
                 url30.c_str(), -5);
  EXPECT_EQ(std::string(error_text), "Cannot send request to '" +
                                         std::string(70, ' ') + url30 +
                                         "'. Error -5");

  const std::string url150(150, 'l');
  set_error_text(error_text, "Cannot connect to '%100s'. Error %d",
                 url150.c_str(), 12007);
  EXPECT_EQ(std::string(error_text),
            "Cannot connect to '" + url150 + "'. Error 12007");

  set_error_text(error_text,
                 "Invalid Tarvane response. Could not get result codes.");
  EXPECT_STREQ(error_text,
               "Invalid Tarvane response. Could not get result codes.");
}

TEST(ErrorText, AnOverlongMessageIsCutInsideTheBlock) {
  // The buffer sits between two guard regions that must stay untouched.
  struct {
    char before[64];
    char error_text[ERROR_TEXT_SIZE];
    char after[64];
  } guarded;
  memset(&guarded, 0x5A, sizeof guarded);
  const std::string url(5000, 'v');
  set_error_text(guarded.error_text, "Cannot send request to '%100s'. Error %d",
                 url.c_str(), 12002);
  EXPECT_EQ(strlen(guarded.error_text), 2047u);
  EXPECT_EQ(std::string(guarded.error_text, 24), "Cannot send request to '");
  for (char c : guarded.before) EXPECT_EQ(c, 0x5A);
  for (char c : guarded.after) EXPECT_EQ(c, 0x5A);
}

}  // namespace
