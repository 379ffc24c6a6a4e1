// The library's two rules for taking a system message text, with the system's lookup
// replaced by texts of our choosing: the same cases on both systems.
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/services.h"

namespace acdc::platform {
namespace {

std::string Message(Win32Error code, MessageLimit limit = MessageLimit::k128Units) {
  char buf[kMessage128Utf8Capacity];
  size_t n = ErrorMessage(code, limit, buf, sizeof buf);
  EXPECT_EQ(n, std::strlen(buf)) << "code " << code;
  return buf;
}

TEST(ErrorMessage, CodeWithoutTextGivesEmpty) {
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(ErrorMessage(0xFFFFFFFFu, MessageLimit::k128Units, buf, sizeof buf), 0u);
  EXPECT_EQ(buf[0], '\0');
}

// The system's lookup substituted with a text of our choosing, as the system message
// table would hold it ("\r\n" at the end).
std::u16string g_injected;
size_t InjectedMessage(Win32Error, char16_t* out, size_t cap) {
  if (g_injected.size() + 1 > cap) return 0;  // FormatMessageW refuses a short buffer
  std::copy(g_injected.begin(), g_injected.end(), out);
  out[g_injected.size()] = u'\0';
  return g_injected.size();
}

class InjectedText : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_services;
    g_services.system_message = InjectedMessage;
  }
  void TearDown() override { g_services = saved_; }
  Services saved_;
};

// 128 units hold 125 visible characters, "\r\n" and the NUL; one more and the text is
// empty, never cut.
TEST_F(InjectedText, AcdcRuleKeeps125CharactersAndEmpties126) {
  for (size_t visible : {size_t{125}, size_t{126}}) {
    g_injected = std::u16string(visible, u'a') + u"\r\n";
    EXPECT_EQ(Message(kErrorGenFailure), visible == 125 ? std::string(125, 'a') : "") << visible;
    EXPECT_EQ(Message(kErrorGenFailure, MessageLimit::kWhole), std::string(visible, 'a')) << visible;
  }
}

TEST_F(InjectedText, AcdcRuleKeepsAFittingNonAsciiTextWhole) {
  // 125 units that take 3 bytes each in UTF-8, and surrogate pairs (2 units, 4 bytes).
  g_injected = std::u16string(125, u'\u20ac') + u"\r\n";
  std::string euro;
  for (int i = 0; i < 125; ++i) euro += "\xE2\x82\xAC";
  EXPECT_EQ(Message(kErrorGenFailure), euro);
  g_injected = u"";
  for (int i = 0; i < 62; ++i) g_injected += u"\U0001F600";
  g_injected += u"x\r\n";
  EXPECT_EQ(Message(kErrorGenFailure).size(), 62u * 4 + 1);
}

TEST_F(InjectedText, WholeRuleTakesLongTexts) {
  g_injected = std::u16string(3000, u'b') + u"\r\n";
  char buf[4096];
  EXPECT_EQ(ErrorMessage(kErrorGenFailure, MessageLimit::kWhole, buf, sizeof buf), 3000u);
  // A buffer that cannot take it whole gets nothing rather than a cut text.
  char small[100];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(ErrorMessage(kErrorGenFailure, MessageLimit::kWhole, small, sizeof small), 0u);
  EXPECT_EQ(small[0], '\0');
}

}  // namespace
}  // namespace acdc::platform
