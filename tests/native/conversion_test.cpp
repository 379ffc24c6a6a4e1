// UTF-16 <-> UTF-8 conversion, as the system converters do it on Windows: the same
// cases run against the posix converter and, under Wine, against the win32 one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/text.h"

namespace acdc::platform {
namespace {

TEST(Utf16ToUtf8, ReplacesLoneSurrogatesAndRefusesWhatDoesNotFit) {
  char out[16];
  size_t n;
  const char16_t pair[] = {u'a', 0xD83D, 0xDE00, 0xD800, u'b'};
  ASSERT_EQ(Utf16ToUtf8(pair, 5, out, sizeof out, &n), kErrorSuccess);
  EXPECT_STREQ(out, "a\xF0\x9F\x98\x80\xEF\xBF\xBD" "b");
  EXPECT_EQ(n, 9u);
  char small[4] = {'x', 'x', 'x', 'x'};
  const char16_t abcd[] = {u'a', u'b', u'c', u'd'};
  EXPECT_EQ(Utf16ToUtf8(abcd, 4, small, sizeof small, &n), kErrorInsufficientBuffer);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[1], '\0');  // what was written before the refusal is cleared
}

TEST(Utf8ToUtf16, ReplacesEachInvalidByteAndRoundTripsValidText) {
  char16_t out[32];
  size_t n;
  const char bad[] = "a\xC3" "b\xE2\x82\xED\xA0\x80\xF4\x90\x80\x80";
  ASSERT_EQ(Utf8ToUtf16(bad, sizeof bad - 1, out, 32, &n), kErrorSuccess);
  EXPECT_EQ(out[0], u'a');
  EXPECT_EQ(out[1], 0xFFFD);
  EXPECT_EQ(out[2], u'b');
  for (size_t i = 3; i < n; ++i) EXPECT_EQ(out[i], 0xFFFD) << i;
  const char good[] = "C:\\\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  ASSERT_EQ(Utf8ToUtf16(good, sizeof good - 1, out, 32, &n), kErrorSuccess);
  char back[32];
  size_t m;
  ASSERT_EQ(Utf16ToUtf8(out, n, back, sizeof back, &m), kErrorSuccess);
  EXPECT_STREQ(back, good);
}

// Every plane boundary a pair can encode, both ways. A pair is one code point of four
// UTF-8 bytes; its halves taken alone or in the wrong order are not.
TEST(SurrogatePairs, EncodeAsOneFourByteCodePointBothWays) {
  const struct {
    char16_t high, low;
    const char* utf8;
  } cases[] = {
      {0xD800, 0xDC00, "\xF0\x90\x80\x80"},  // U+10000, the first
      {0xD83D, 0xDE00, "\xF0\x9F\x98\x80"},  // U+1F600
      {0xD800, 0xDFFF, "\xF0\x90\x8F\xBF"},  // U+103FF
      {0xDBC0, 0xDC00, "\xF4\x80\x80\x80"},  // U+100000
      {0xDBFF, 0xDFFF, "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    const char16_t text[] = {u'x', c.high, c.low, u'y'};
    char out[16];
    size_t n = 0;
    ASSERT_EQ(Utf16ToUtf8(text, 4, out, sizeof out, &n), kErrorSuccess);
    EXPECT_EQ(std::string(out, n), std::string("x") + c.utf8 + "y");
    char16_t back[8];
    size_t m = 0;
    ASSERT_EQ(Utf8ToUtf16(out, n, back, 8, &m), kErrorSuccess);
    ASSERT_EQ(m, 4u);
    EXPECT_EQ(std::u16string(back, m), std::u16string(text, 4));
    EXPECT_EQ(back[4], u'\0');
  }
}

TEST(SurrogatePairs, HalvesAloneOrReversedBecomeOneReplacementEach) {
  const struct {
    std::u16string in;
    const char* utf8;
  } cases[] = {
      {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {{u'a', 0xD83D}, "a\xEF\xBF\xBD"},
      {{0xDE00, u'a'}, "\xEF\xBF\xBD" "a"},
      {{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    char out[16];
    size_t n = 0;
    ASSERT_EQ(Utf16ToUtf8(c.in.data(), c.in.size(), out, sizeof out, &n), kErrorSuccess);
    EXPECT_EQ(std::string(out, n), c.utf8);
  }
  // An encoded surrogate (CESU-8) is invalid UTF-8, never half of a pair. How many
  // replacements its bytes give differs between converters.
  const char cesu[] = "\xED\xA0\xBD\xED\xB8\x80";
  char16_t out[8];
  size_t m = 0;
  ASSERT_EQ(Utf8ToUtf16(cesu, 6, out, 8, &m), kErrorSuccess);
  EXPECT_GE(m, 2u);
  EXPECT_LE(m, 6u);
  for (size_t i = 0; i < m; ++i) EXPECT_EQ(out[i], 0xFFFD) << i;
}

// The output must hold the text and its NUL; one unit short and nothing is written.
TEST(Conversion, FitsExactlyOrIsRefusedWhole) {
  const char16_t pair[] = {0xD83D, 0xDE00};
  char out[5];
  size_t n = 99;
  ASSERT_EQ(Utf16ToUtf8(pair, 2, out, 5, &n), kErrorSuccess);
  EXPECT_EQ(n, 4u);
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(Utf16ToUtf8(pair, 2, out, 4, &n), kErrorInsufficientBuffer);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out[0], '\0');
  char16_t wide[3];
  size_t m = 99;
  ASSERT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80", 4, wide, 3, &m), kErrorSuccess);
  EXPECT_EQ(m, 2u);
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80", 4, wide, 2, &m), kErrorInsufficientBuffer);
  EXPECT_EQ(m, 0u);
  EXPECT_EQ(wide[0], u'\0');
  EXPECT_EQ(Utf8ToUtf16("", 0, wide, 1, &m), kErrorSuccess);
  EXPECT_EQ(m, 0u);
}

}  // namespace
}  // namespace acdc::platform
