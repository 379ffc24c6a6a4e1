// A reader of DER, for the few structures the posix Authenticode backend reads
// itself (names, the publisher information, the indirect data content). It only ever
// looks inside the bytes it was given: every length is checked against what is left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform::der {

// Universal tags used here.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kUtf8String = 0x0C;
constexpr uint8_t kNumericString = 0x12;
constexpr uint8_t kPrintableString = 0x13;
constexpr uint8_t kT61String = 0x14;
constexpr uint8_t kIa5String = 0x16;
constexpr uint8_t kVisibleString = 0x1A;
constexpr uint8_t kUniversalString = 0x1C;
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;

// Context-specific tags: [n] constructed and [n] primitive.
constexpr uint8_t ContextConstructed(uint8_t n) { return static_cast<uint8_t>(0xA0 | n); }
constexpr uint8_t ContextPrimitive(uint8_t n) { return static_cast<uint8_t>(0x80 | n); }

// One element: its tag (one byte; high tag numbers are refused), its content, and
// the whole encoding.
struct Element {
  uint8_t tag;
  const uint8_t* content;
  size_t content_size;
  const uint8_t* encoded;
  size_t encoded_size;
};

enum class Status : uint8_t {
  kOk,
  kEnd,        // nothing left to read
  kTruncated,  // a length runs past the end
  kCorrupt,    // not DER: an indefinite or overlong length, a high tag number
};

// The elements of `size` bytes at `data`, one after another.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  explicit Reader(const Element& constructed) : Reader(constructed.content, constructed.content_size) {}

  Status Next(Element* out);
  // The next element, which must carry `tag`; kCorrupt when it carries another.
  Status Expect(uint8_t tag, Element* out);
  bool AtEnd() const { return left_ == 0; }
  // The tag of the next element without taking it; 0 at the end.
  uint8_t PeekTag() const { return left_ > 0 ? data_[0] : 0; }

 private:
  const uint8_t* data_;
  size_t left_;
};

// The dotted text of an OBJECT IDENTIFIER's content ("2.5.4.3") into `out`
// (capacity `cap`, NUL included); false when the content is malformed or the text
// does not fit.
bool OidToText(const uint8_t* content, size_t size, char* out, size_t cap);

}  // namespace acdc::platform::der
