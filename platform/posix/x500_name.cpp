#include "platform/posix/x500_name.h"

#include <cstring>

#include "platform/posix/der.h"

namespace acdc::platform {

namespace {

// Windows' X.500 key names by object identifier.
struct Key {
  const char* oid;
  const char* name;
};

constexpr Key kKeys[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.46", "dnQualifier"},
    {"1.2.840.113549.1.9.2", "UnstructuredName"},
    {"1.2.840.113549.1.9.8", "UnstructuredAddress"},
};

// Writes units into the caller's buffer while they fit (one unit kept for the NUL)
// and counts them all.
class Output {
 public:
  Output(char16_t* out, size_t cap) : out_(out), cap_(cap) {}
  void Put(char16_t u) {
    if (out_ != nullptr && count_ + 1 < cap_) out_[count_] = u;
    ++count_;
  }
  void PutAscii(const char* s) {
    while (*s != '\0') Put(static_cast<char16_t>(static_cast<unsigned char>(*s++)));
  }
  void PutCodePoint(uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x10000) {
      Put(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      Put(static_cast<char16_t>(0xD800 | (cp >> 10)));
      Put(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
  }
  size_t count() const { return count_; }
  // Ends the text: the NUL after what fitted. Returns the units needed with it.
  size_t Finish() {
    if (out_ != nullptr && cap_ > 0) out_[count_ + 1 < cap_ ? count_ : cap_ - 1] = u'\0';
    return count_ + 1;
  }

 private:
  char16_t* out_;
  size_t cap_;
  size_t count_ = 0;
};

// Decodes one UTF-8 sequence at `p` (of `n` bytes); 0 consumed when it is not a
// well-formed sequence.
size_t DecodeUtf8(const uint8_t* p, size_t n, uint32_t* cp) {
  uint8_t b = p[0];
  size_t len;
  uint32_t v;
  uint32_t min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, v = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, v = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, v = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

bool IsUtf8(const uint8_t* p, size_t n) {
  uint32_t cp;
  for (size_t i = 0; i < n;) {
    size_t k = DecodeUtf8(p + i, n - i, &cp);
    if (k == 0) return false;
    i += k;
  }
  return true;
}

enum class Form : uint8_t { kUtf8, kLatin1, kBmp, kUniversal, kHexContent, kHexEncoded };

Form FormOf(uint8_t tag, const uint8_t* content, size_t size) {
  switch (tag) {
    case der::kUtf8String: return Form::kUtf8;
    case der::kT61String: return IsUtf8(content, size) ? Form::kUtf8 : Form::kLatin1;
    case der::kPrintableString:
    case der::kIa5String:
    case der::kNumericString:
    case der::kVisibleString: return Form::kLatin1;
    case der::kBmpString: return Form::kBmp;
    case der::kUniversalString: return Form::kUniversal;
    case der::kOctetString: return Form::kHexContent;
    default: return Form::kHexEncoded;
  }
}

// Calls `emit(code point)` for each character of a string value.
template <typename Emit>
void ForEachCodePoint(Form form, const uint8_t* p, size_t n, Emit emit) {
  switch (form) {
    case Form::kUtf8:
      for (size_t i = 0; i < n;) {
        uint32_t cp;
        size_t k = DecodeUtf8(p + i, n - i, &cp);
        if (k == 0) {
          cp = 0xFFFD;
          k = 1;
        }
        emit(cp);
        i += k;
      }
      break;
    case Form::kLatin1:
      for (size_t i = 0; i < n; ++i) emit(p[i]);
      break;
    case Form::kBmp:
      // Units as they are, surrogate pairs included; an odd last byte is dropped.
      for (size_t i = 0; i + 1 < n; i += 2) emit(static_cast<uint32_t>(p[i] << 8 | p[i + 1]) | 0x80000000u);
      break;
    case Form::kUniversal:
      for (size_t i = 0; i + 3 < n; i += 4)
        emit(static_cast<uint32_t>(p[i]) << 24 | p[i + 1] << 16 | p[i + 2] << 8 | p[i + 3]);
      break;
    default:
      break;
  }
}

bool IsWhite(uint32_t cp) { return cp == ' ' || cp == '\t' || cp == '\r' || cp == '\n'; }

bool NeedsQuotes(Form form, const uint8_t* p, size_t n) {
  bool any = false, special = false;
  uint32_t first = 0, last = 0;
  ForEachCodePoint(form, p, n, [&](uint32_t cp) {
    cp &= 0x7FFFFFFF;
    if (!any) first = cp;
    any = true;
    last = cp;
    switch (cp) {
      case ',': case '+': case '=': case '"': case '<': case '>': case '#': case ';': case '\r': case '\n':
        special = true;
        break;
      default:
        break;
    }
  });
  return !any || special || IsWhite(first) || IsWhite(last);
}

void PutHex(Output* o, const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  o->Put(u'#');
  for (size_t i = 0; i < n; ++i) {
    o->Put(static_cast<char16_t>(kDigits[p[i] >> 4]));
    o->Put(static_cast<char16_t>(kDigits[p[i] & 0xF]));
  }
}

void PutValue(Output* o, const der::Element& value) {
  Form form = FormOf(value.tag, value.content, value.content_size);
  if (form == Form::kHexContent) return PutHex(o, value.content, value.content_size);
  if (form == Form::kHexEncoded) return PutHex(o, value.encoded, value.encoded_size);
  bool quoted = NeedsQuotes(form, value.content, value.content_size);
  if (quoted) o->Put(u'"');
  ForEachCodePoint(form, value.content, value.content_size, [&](uint32_t cp) {
    if (cp & 0x80000000u) {
      o->Put(static_cast<char16_t>(cp & 0xFFFF));  // a BMPString unit, as it is
      return;
    }
    if (quoted && cp == '"') o->Put(u'"');
    o->PutCodePoint(cp);
  });
  if (quoted) o->Put(u'"');
}

// "KEY=" for the attribute type whose OBJECT IDENTIFIER content is given.
void PutKey(Output* o, const der::Element& type) {
  char dotted[256];
  if (!der::OidToText(type.content, type.content_size, dotted, sizeof dotted)) {
    o->PutAscii("OID.");
    o->Put(u'=');
    return;
  }
  for (const Key& k : kKeys) {
    if (std::strcmp(k.oid, dotted) == 0) {
      o->PutAscii(k.name);
      o->Put(u'=');
      return;
    }
  }
  o->PutAscii("OID.");
  o->PutAscii(dotted);
  o->Put(u'=');
}

}  // namespace

size_t X500NameToString(const uint8_t* data, size_t size, char16_t* out, size_t cap) {
  Output o(out, cap);
  der::Reader top(data, size);
  der::Element name;
  if (top.Expect(der::kSequence, &name) != der::Status::kOk) return o.Finish();
  der::Reader rdns(name);
  der::Element rdn;
  bool first_rdn = true;
  while (rdns.Expect(der::kSet, &rdn) == der::Status::kOk) {
    der::Reader avas(rdn);
    der::Element ava;
    bool first_ava = true;
    while (avas.Expect(der::kSequence, &ava) == der::Status::kOk) {
      der::Reader parts(ava);
      der::Element type, value;
      if (parts.Expect(der::kOid, &type) != der::Status::kOk || parts.Next(&value) != der::Status::kOk)
        return o.Finish();
      if (!first_rdn || !first_ava) o.PutAscii(first_ava ? ", " : " + ");
      PutKey(&o, type);
      PutValue(&o, value);
      first_ava = false;
    }
    first_rdn = false;
  }
  return o.Finish();
}

}  // namespace acdc::platform
