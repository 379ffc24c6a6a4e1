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

}  // namespace

size_t CopyText(char* dst, size_t cap, const char* src) {
  size_t n = strnlen(src, cap - 1);
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
  if (buf[0] != '\0') std::memset(buf, 0, strnlen(buf, cap));
}

void SplitPath(char* dir, char* file, const char* source) {
  size_t n = CopyText(dir, kTextCapacity, source);
  size_t cut = n;
  while (cut > 0 && dir[cut - 1] != '\\') --cut;
  // `cut` is one past the last backslash, or 0 when there is none.
  if (cut == 0) {
    CopyText(file, kTextCapacity, dir);
    return;
  }
  CopyText(file, kTextCapacity, dir + cut);
  std::memset(dir + cut, 0, n - cut);
}

void GetExtension(const char* name, char* ext) {
  size_t n = std::strlen(name);
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
