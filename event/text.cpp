#include "event/text.h"

#include <cstdint>
#include <cstring>

namespace acdc::event {

namespace {

// Clears the old text that follows position `from`: under the invariant it runs up
// to the first zero byte.
inline void ClearTail(char* buf, size_t from, size_t cap) {
  for (size_t i = from; i < cap && buf[i] != '\0'; ++i) buf[i] = '\0';
}

// One past the last `c` in the first `n` bytes of `s`, or 0 when there is none.
// Eight bytes at a time while none of them is `c`: a path's last backslash is
// usually far from its end.
inline size_t AfterLastByte(const char* s, size_t n, char c) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t pattern = kOnes * static_cast<unsigned char>(c);
  size_t i = n;
  for (; i >= 8; i -= 8) {
    uint64_t w;
    std::memcpy(&w, s + i - 8, 8);
    uint64_t x = w ^ pattern;  // a zero byte where `c` is
    if (((x - kOnes) & ~x & (kOnes * 0x80)) != 0) break;
  }
  while (i > 0 && s[i - 1] != c) --i;
  return i;
}

}  // namespace

size_t CopyText(char* dst, size_t cap, const char* src) {
  size_t n = strnlen(src, cap - 1);
  std::memmove(dst, src, n);
  dst[n] = '\0';
  ClearTail(dst, n + 1, cap);
  return n;
}

size_t CopyTextKnown(char* dst, size_t cap, const char* src, size_t n) {
  std::memmove(dst, src, n);
  dst[n] = '\0';
  ClearTail(dst, n + 1, cap);
  return n;
}

bool CopyTextN(char* dst, size_t cap, const char* src, size_t n) {
  // Text ends at its first NUL; copying what follows would leave bytes behind the
  // terminator that no reset clears.
  n = strnlen(src, n);
  if (n >= cap) {
    ClearText(dst, cap);
    return false;
  }
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  ClearTail(dst, n + 1, cap);
  return true;
}

void ClearText(char* buf, size_t cap) {
  // Most buffers of a record stay empty for most events: one load settles those.
  if (buf[0] == '\0') return;
  // The others are short: zero them a word at a time, through the word that holds
  // the NUL (under the invariant all after it is zero), instead of measuring the
  // text first and clearing it after.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  size_t i = 0;
  for (; i + 8 <= cap; i += 8) {
    uint64_t w;
    std::memcpy(&w, buf + i, 8);
    std::memset(buf + i, 0, 8);
    if (((w - kOnes) & ~w & (kOnes * 0x80)) != 0) return;
  }
  for (; i < cap; ++i) buf[i] = '\0';
}

void SplitPath(char* dir, char* file, const char* source) {
  SplitPathN(dir, file, source, strnlen(source, kTextCapacity - 1));
}

size_t SplitPathN(char* dir, char* file, const char* source, size_t n) {
  CopyTextKnown(dir, kTextCapacity, source, n);
  size_t cut = AfterLastByte(dir, n, '\\');
  if (cut == 0) return CopyTextKnown(file, kTextCapacity, dir, n);
  size_t len = CopyTextKnown(file, kTextCapacity, dir + cut, n - cut);
  std::memset(dir + cut, 0, n - cut);
  return len;
}

void GetExtension(const char* name, char* ext) { GetExtensionN(name, std::strlen(name), ext); }

void GetExtensionN(const char* name, size_t n, char* ext) {
  size_t dot = n;
  while (dot > 0 && name[dot - 1] != '.') --dot;
  // `dot` is now one past the last '.', or 0 when there is none.
  size_t len = 0;
  if (dot > 1) {
    len = n - dot;
    if (len > kExtensionCapacity - 1) len = kExtensionCapacity - 1;
  }
  std::memcpy(ext, name + dot, len);
  std::memset(ext + len, 0, kExtensionCapacity - len);
}

void LowerCase(char* text) { LowerCaseN(text, std::strlen(text)); }

void LowerCaseN(char* text, size_t n) {
  // Eight bytes at a time: a byte's high bit in `upper` marks an ASCII capital, and
  // adding 0x20 there cannot carry into the next byte.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    uint64_t ascii = ~w & (kOnes * 0x80);
    uint64_t low7 = w & (kOnes * 0x7F);
    uint64_t at_least_a = low7 + kOnes * (0x80 - 'A');
    uint64_t above_z = low7 + kOnes * (0x80 - 'Z' - 1);
    uint64_t upper = ascii & at_least_a & ~above_z & (kOnes * 0x80);
    w += upper >> 2;
    std::memcpy(text + i, &w, 8);
  }
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (static_cast<unsigned>(c - 'A') < 26u) text[i] = static_cast<char>(c + ('a' - 'A'));
  }
}

}  // namespace acdc::event
