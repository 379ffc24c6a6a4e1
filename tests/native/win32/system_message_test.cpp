// The library's message lookup against the system's own answer, FormatMessageW with a
// buffer it allocates (no size limit), over every code in the system message table.
// The texts are the system's: Wine's differ from Windows', so no text is written here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace acdc::platform {
namespace {

// The whole text of `code` as the system holds it, trailing line break included; empty
// when it has none.
std::wstring SystemText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                           reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring whole(text ? text : L"", n);
  LocalFree(text);
  return whole;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string Lookup(Win32Error code, MessageLimit limit) {
  char buf[kMessageWholeUnits * 3];
  size_t n = ErrorMessage(code, limit, buf, sizeof buf);
  EXPECT_EQ(n, std::strlen(buf)) << code;
  return std::string(buf, n);
}

constexpr DWORD kLastCode = 16000;  // past the last Win32 code the table holds

// Every code that has a text, with the text as the system holds it.
std::vector<std::pair<DWORD, std::wstring>> CodesWithText() {
  std::vector<std::pair<DWORD, std::wstring>> all;
  for (DWORD code = 0; code <= kLastCode; ++code) {
    std::wstring raw = SystemText(code);
    if (!raw.empty()) all.emplace_back(code, raw);
  }
  return all;
}

// Module ac takes the whole text; module acdc takes it when it fits 128 units with its
// NUL and is otherwise empty, never cut. Both drop the trailing line break.
TEST(SystemMessage, EveryCodeReadsAsFormatMessageWGivesIt) {
  int with_text = 0;
  for (DWORD code = 0; code <= kLastCode; ++code) {
    std::wstring raw = SystemText(code);
    std::wstring trimmed = raw;
    while (!trimmed.empty() && (trimmed.back() == L'\r' || trimmed.back() == L'\n' || trimmed.back() == L' '))
      trimmed.pop_back();
    const std::string whole = Utf8(trimmed);
    ASSERT_EQ(Lookup(code, MessageLimit::kWhole), whole) << "code " << code;
    ASSERT_EQ(Lookup(code, MessageLimit::k128Units), raw.size() + 1 <= 128 ? whole : "") << "code " << code;
    with_text += !raw.empty();
  }
  EXPECT_GT(with_text, 500);  // the table was there to read
}

// The system's lookup with a caller's buffer: a text that does not fit with its NUL
// gives nothing, never its first part; the limits of both rules stand on this. (Wine's
// texts all fit 128 units, so the 128-unit rule itself meets no long text here.)
TEST(SystemMessage, LookupRefusesABufferOneUnitShort) {
  const auto all = CodesWithText();
  ASSERT_GT(all.size(), 500u);
  for (const auto& [code, raw] : all) {
    std::u16string out(raw.size() + 1, u'#');
    ASSERT_EQ(OsSystemMessage(code, out.data(), raw.size()), 0u) << "code " << code;
    ASSERT_EQ(OsSystemMessage(code, out.data(), raw.size() + 1), raw.size()) << "code " << code;
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(out.data()), raw.size()), raw) << "code " << code;
  }
}

TEST(SystemMessage, CodeWithoutTextIsEmpty) {
  char16_t out[16] = {u'#'};
  EXPECT_EQ(OsSystemMessage(0xFFFFFFF0u, out, 16), 0u);
  EXPECT_EQ(Lookup(0xFFFFFFF0u, MessageLimit::kWhole), "");
}

}  // namespace
}  // namespace acdc::platform
