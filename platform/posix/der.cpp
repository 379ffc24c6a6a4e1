#include "platform/posix/der.h"

#include <cstdio>

namespace acdc::platform::der {

Status Reader::Next(Element* out) {
  if (left_ == 0) return Status::kEnd;
  if (left_ < 2) return Status::kTruncated;
  const uint8_t* p = data_;
  uint8_t tag = p[0];
  if ((tag & 0x1F) == 0x1F) return Status::kCorrupt;
  size_t header = 2;
  size_t length = p[1];
  if (length & 0x80) {
    size_t octets = length & 0x7F;
    // Indefinite lengths (0x80) are BER, not DER; more than 4 length octets would
    // describe more than any file here holds.
    if (octets == 0 || octets > 4) return Status::kCorrupt;
    if (left_ < 2 + octets) return Status::kTruncated;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | p[2 + i];
    header += octets;
  }
  if (length > left_ - header) return Status::kTruncated;
  out->tag = tag;
  out->content = p + header;
  out->content_size = length;
  out->encoded = p;
  out->encoded_size = header + length;
  data_ += header + length;
  left_ -= header + length;
  return Status::kOk;
}

Status Reader::Expect(uint8_t tag, Element* out) {
  Status s = Next(out);
  if (s == Status::kOk && out->tag != tag) return Status::kCorrupt;
  return s;
}

bool OidToText(const uint8_t* content, size_t size, char* out, size_t cap) {
  if (size == 0 || cap == 0) return false;
  size_t written = 0;
  bool first = true;
  uint64_t value = 0;
  size_t digits = 0;  // base-128 digits of the current arc
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = content[i];
    if (digits == 0 && b == 0x80) return false;  // a leading zero digit is not DER
    if (value > (UINT64_MAX >> 7)) return false;
    value = (value << 7) | (b & 0x7F);
    ++digits;
    if (b & 0x80) continue;
    char arc[48];
    int n;
    if (first) {
      // The first arc pair is packed into one value: 40 * x + y, x at most 2.
      uint64_t x = value < 40 ? 0 : value < 80 ? 1 : 2;
      n = std::snprintf(arc, sizeof arc, "%llu.%llu", static_cast<unsigned long long>(x),
                        static_cast<unsigned long long>(value - 40 * x));
      first = false;
    } else {
      n = std::snprintf(arc, sizeof arc, ".%llu", static_cast<unsigned long long>(value));
    }
    if (n < 0 || written + static_cast<size_t>(n) + 1 > cap) return false;
    for (int k = 0; k < n; ++k) out[written++] = arc[k];
    value = 0;
    digits = 0;
  }
  if (digits != 0) return false;  // the last arc did not end
  out[written] = '\0';
  return true;
}

}  // namespace acdc::platform::der
