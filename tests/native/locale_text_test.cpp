// Text from the current locale's encoding to UTF-16, as driver installation reads
// its path: under C.UTF-8, under C, and at the limits of the buffer.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/locale_text.h"

namespace {

using acdc::platform::LocaleToUtf16;

std::u16string Convert(const std::string& in, size_t cap = 64) {
  std::u16string out(cap, u'#');
  size_t written = 99;
  if (LocaleToUtf16(in.data(), in.size(), &out[0], cap, &written) != 0)
    return out[0] == u'\0' ? u"<refused, empty>" : u"<refused, not empty>";
  EXPECT_EQ(out[written], u'\0');
  return out.substr(0, written);
}

class LocaleText : public testing::Test {
 protected:
  void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
};

TEST_F(LocaleText, Utf8LocaleDecodesAndReplacesInvalidBytes) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  EXPECT_EQ(Convert("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(Convert("\xF0\x9F\x98\x80!"), u"\U0001F600!");  // beyond the BMP: a surrogate pair
  EXPECT_EQ(Convert("a\xE9z"), u"a\uFFFDz");                // a lone lead byte
  EXPECT_EQ(Convert("a\xC3"), u"a\uFFFD");                  // cut off at the end
  EXPECT_EQ(Convert("\xE2\x82"), u"\uFFFD\uFFFD");          // each byte of a cut sequence
  EXPECT_EQ(Convert(std::string("ab\0cd", 5)), u"ab");      // the text ends at its NUL
}

TEST_F(LocaleText, CLocaleTakesOnlyAscii) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_EQ(Convert("C:\\drv\\x.inf"), u"C:\\drv\\x.inf");
  EXPECT_EQ(Convert("caf\xC3\xA9"), u"caf\uFFFD\uFFFD");
}

TEST_F(LocaleText, TextThatDoesNotFitIsRefusedWhole) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  EXPECT_EQ(Convert("abc", 4), u"abc");
  EXPECT_EQ(Convert("abcd", 4), u"<refused, empty>");
  EXPECT_EQ(Convert("\xF0\x9F\x98\x80", 3), u"\U0001F600");
  EXPECT_EQ(Convert("\xF0\x9F\x98\x80", 2), u"<refused, empty>");
  EXPECT_EQ(Convert("", 1), u"");
}

}  // namespace
