// UTF-16 <-> UTF-8 with WideCharToMultiByte / MultiByteToWideChar semantics:
// ill-formed input becomes U+FFFD; output that does not fit is refused whole.
#include "platform/text.h"

#include <cstring>

namespace acdc::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

inline size_t Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

inline size_t PutUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// Decodes one UTF-8 sequence at in[*i] (n bytes in all), advancing *i. A byte that
// does not start a well-formed sequence yields U+FFFD and is skipped alone, as
// MultiByteToWideChar does.
char32_t NextUtf8(const unsigned char* in, size_t n, size_t* i) {
  unsigned char b = in[*i];
  if (b < 0x80) {
    ++*i;
    return b;
  }
  size_t need;
  char32_t c, min;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1; c = b & 0x1F; min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2; c = b & 0x0F; min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3; c = b & 0x07; min = 0x10000;
  } else {
    ++*i;
    return kReplacement;
  }
  if (*i + need >= n) {  // truncated sequence
    ++*i;
    return kReplacement;
  }
  for (size_t k = 1; k <= need; ++k) {
    unsigned char t = in[*i + k];
    if ((t & 0xC0) != 0x80) {
      ++*i;
      return kReplacement;
    }
    c = (c << 6) | (t & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++*i;
    return kReplacement;
  }
  *i += need + 1;
  return c;
}

}  // namespace

Win32Error Utf16ToUtf8(const char16_t* in, size_t n, char* out, size_t cap, size_t* written) {
  size_t o = 0;
  size_t i = 0;
  // Paths are mostly ASCII: four code units at a time while they are.
  while (i + 4 <= n && o + 4 < cap && ((in[i] | in[i + 1] | in[i + 2] | in[i + 3]) & 0xFF80) == 0) {
    out[o] = static_cast<char>(in[i]);
    out[o + 1] = static_cast<char>(in[i + 1]);
    out[o + 2] = static_cast<char>(in[i + 2]);
    out[o + 3] = static_cast<char>(in[i + 3]);
    o += 4;
    i += 4;
  }
  for (; i < n; ++i) {
    char32_t c = in[i];
    if (c < 0x80 && o + 1 < cap) {
      out[o++] = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    if (o + Utf8Length(c) + 1 > cap) {
      std::memset(out, 0, o);
      if (cap > 0) out[0] = '\0';
      *written = 0;
      return kErrorInsufficientBuffer;
    }
    o += PutUtf8(c, out + o);
  }
  if (o + 1 > cap) {
    std::memset(out, 0, o);
    *written = 0;
    return kErrorInsufficientBuffer;
  }
  out[o] = '\0';
  *written = o;
  return kErrorSuccess;
}

Win32Error Utf8ToUtf16(const char* in, size_t n, char16_t* out, size_t cap, size_t* written) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
  size_t o = 0;
  for (size_t i = 0; i < n;) {
    char32_t c = NextUtf8(bytes, n, &i);
    size_t units = c >= 0x10000 ? 2 : 1;
    if (o + units + 1 > cap) {
      std::memset(out, 0, o * sizeof *out);
      if (cap > 0) out[0] = 0;
      *written = 0;
      return kErrorInsufficientBuffer;
    }
    if (units == 2) {
      c -= 0x10000;
      out[o++] = static_cast<char16_t>(0xD800 + (c >> 10));
      out[o++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[o++] = static_cast<char16_t>(c);
    }
  }
  if (o + 1 > cap) {
    *written = 0;
    return kErrorInsufficientBuffer;
  }
  out[o] = 0;
  *written = o;
  return kErrorSuccess;
}

}  // namespace acdc::platform
