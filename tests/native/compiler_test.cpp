#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "compiler/crc32.h"
#include "compiler/program.h"
#include "compiler/sieve.h"

namespace acdc::compiler {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Snapshot() {
  Bytes image(kImageSize);
  CopyImage(image.data());
  return image;
}

void Put32(Bytes* b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// Names the first differing offset, so a layout slip reads as the field it hit.
void ExpectSameBytes(const Bytes& want, const Bytes& got) {
  ASSERT_EQ(want.size(), got.size());
  auto [w, g] = std::mismatch(want.begin(), want.end(), got.begin());
  EXPECT_TRUE(w == want.end()) << "first difference at offset 0x" << std::hex << (w - want.begin()) << ": want 0x"
                               << int(*w) << ", got 0x" << int(*g);
}

Bytes BuildSieve(SieveEnd end, int64_t width, std::vector<std::string> strings) {
  SieveBuilder b;
  BeginSieve(&b, end, width);
  for (const std::string& s : strings) AddToSieve(&b, s.data(), s.size());
  Bytes out(kMaxSieveSize);
  out.resize(FinishSieve(&b, out.data()));
  return out;
}

std::vector<uint32_t> Words(const Bytes& b) {
  std::vector<uint32_t> w;
  for (size_t i = 0; i + 4 <= b.size(); i += 4) w.push_back(Get32(b.data() + i));
  return w;
}

TEST(Crc32, AgreesWithZlib) {
  EXPECT_EQ(Crc32(0, reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
  std::mt19937 rng(20240601);
  Bytes data(kImageSize);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(rng());
  for (size_t len : {size_t{0}, size_t{1}, size_t{7}, size_t{256}, size_t{1023}, kImageSize}) {
    uint32_t want = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(len)));
    EXPECT_EQ(Crc32(0, data.data(), len), want) << "length " << len;
    size_t half = len / 2;
    EXPECT_EQ(Crc32(Crc32(0, data.data(), half), data.data() + half, len - half), want) << "chained, length " << len;
  }
}

// One program through every builder call, checked against a layout written out with
// literal offsets rather than the header's constants.
TEST(ProgramImage, LayoutFieldByField) {
  Clear();
  WriteDefaultProcedure();
  EXPECT_EQ(Constant(7).value, 8);
  EXPECT_EQ(Constant(0xDEADBEEF).value, 9);
  EXPECT_EQ(Constant(7).value, 8);
  const char kExe[] = ".exe\0.com";  // 10 bytes with the terminator
  EXPECT_EQ(SuffixList(kExe, sizeof kExe).value, 0);
  EXPECT_EQ(SuffixList(".exe", 4).value, 0) << "the start of a stored list is that list";
  EXPECT_EQ(SuffixList(".bat", 4).value, 1);
  Bytes sieve = BuildSieve(SieveEnd::kPrefix, 0, {"ab"});
  EXPECT_EQ(NewSieve(reinterpret_cast<const char*>(sieve.data()), sieve.size()).value, 0);
  EXPECT_EQ(Procedure(3).value, 2);
  EXPECT_EQ(NewCode(0x7F, 0x12, 0x34, true, 0x56).status, Status::kOk);
  EXPECT_EQ(NewJump(1).status, Status::kOk);
  EXPECT_EQ(NewReturn(2).status, Status::kOk);
  EXPECT_EQ(Procedure(1).value, 6);
  EXPECT_EQ(NewReturn(0).status, Status::kOk);
  EXPECT_EQ(Link(18, 2).status, Status::kOk);
  EXPECT_EQ(Link(49, 6).status, Status::kOk);
  Bytes unsigned_image = Snapshot();
  Sign();

  Bytes want(0x2500);
  std::memcpy(want.data(), "\"program\"", 9);
  uint32_t crc = static_cast<uint32_t>(crc32(0, unsigned_image.data(), 0x2500));
  for (size_t guid : {size_t{0x10}, size_t{0x24F0}}) {
    want[guid] = 0xAC;
    Put32(&want, guid + 11, crc);
  }
  Put32(&want, 0x20, 8);   // codeCount
  Put32(&want, 0x24, 10);  // constantCount
  Put32(&want, 0x28, 2);   // suffixListCount
  Put32(&want, 0x2C, 1);   // sieveCount
  Put32(&want, 0x30 + 4 * 8, 7);
  Put32(&want, 0x30 + 4 * 9, 0xDEADBEEF);
  std::memcpy(&want[0x430], kExe, sizeof kExe);
  std::memcpy(&want[0x430 + 1024], ".bat", 4);
  std::memcpy(&want[0x1030], sieve.data(), sieve.size());
  Put32(&want, 0x1438 + 4 * 18, 2);
  Put32(&want, 0x1438 + 4 * 49, 6);
  const uint32_t code[] = {1, 0x400, 3, 0x563412FF, 0x100, 0x200, 1, 0};
  for (size_t i = 0; i < 8; ++i) Put32(&want, 0x1500 + 4 * i, code[i]);
  ExpectSameBytes(want, Snapshot());

  uint8_t guid[16];
  CopyGuid(guid);
  EXPECT_EQ(0, std::memcmp(guid, &want[0x10], 16));
  Sign();
  CopyGuid(guid);
  EXPECT_NE(Get32(guid + 11), crc) << "a second stamp covers the first";

  // Clearing keeps only the magic and the driver's eight constant slots.
  Clear();
  std::fill(want.begin() + 9, want.end(), 0);
  want[0x24] = 8;
  ExpectSameBytes(want, Snapshot());
}

TEST(ProgramImage, BodyWordPacking) {
  const struct {
    uint32_t op, a, b;
    bool flag;
    uint32_t c, word;
  } cases[] = {
      {0x80, 0, 0, false, 0, 0x80},        // op spills into the flag
      {0, 0x100, 0, false, 0, 0x10000},    // a spills into b
      {1, 0, 0, false, 0x100, 1},          // c spills off the top
  };
  for (const auto& c : cases) {
    Clear();
    Procedure(1);
    NewCode(c.op, c.a, c.b, c.flag, c.c);
    EXPECT_EQ(Get32(Snapshot().data() + kCodeOffset + 4), c.word) << std::hex << c.word;
  }
  Clear();
  Procedure(2);
  NewReturn(5);
  NewReturn(5);
  Bytes image = Snapshot();
  EXPECT_EQ(Get32(&image[kCodeOffset + 4]), 0x600u);
  EXPECT_EQ(Get32(&image[kCodeOffset + 8]), 0x500u);
}

// Each limit: fill up to it (the last accepted call is the boundary), then the
// refused call must name the right reason and leave every byte as it was.
TEST(ProgramImage, EveryLimitRefusedWithImageUnchanged) {
  static const char kBig[1025] = {};
  const struct {
    const char* limit;
    std::function<void()> fill;
    std::function<Outcome()> refused;
    Status status;
    int32_t value;
  } cases[] = {
      {"instructions", [] { Procedure(2); NewJump(0); NewReturn(1); }, [] { return NewCode(0, 0, 0, false, 0); },
       Status::kMaxInstructions, 2},
      {"negative budget", [] { Procedure(0xFFFFFFFF); }, [] { return NewReturn(0); }, Status::kMaxInstructions, -1},
      {"code area, body", [] { Procedure(5000); for (int i = 3; i < 1020; ++i) NewJump(0); },
       [] { return NewJump(0); }, Status::kCodeFull, 1020},
      {"code area, header", [] { for (int i = 2; i < 1020; ++i) Procedure(0); }, [] { return Procedure(0); },
       Status::kCodeFull, 1020},
      {"constants", [] { for (uint32_t i = 0; i < 248; ++i) EXPECT_EQ(Constant(100 + i).value, int32_t(8 + i)); },
       [] { return Constant(1); }, Status::kMaxConstants, 0},
      {"suffix list size", [] { EXPECT_EQ(SuffixList(kBig, 1024).status, Status::kOk); },
       [] { return SuffixList(kBig, 1025); }, Status::kSuffixListTooLarge, 0},
      {"suffix lists", [] { SuffixList("a", 1); SuffixList("b", 1); SuffixList("c", 1); },
       [] { return SuffixList("d", 1); }, Status::kMaxSuffixLists, 0},
      {"sieve size", [] { EXPECT_EQ(NewSieve(kBig, 516).status, Status::kOk); },
       [] { return NewSieve(kBig, 517); }, Status::kSieveTooLarge, 0},
      {"sieves", [] { NewSieve("a", 1); NewSieve("b", 1); }, [] { return NewSieve("c", 1); }, Status::kMaxSieves, 0},
      {"jump range", [] { Procedure(2); NewJump(4095); }, [] { return NewJump(4096); }, Status::kJumpOutOfRange, 4096},
      {"jump range, negative", [] { Procedure(1); }, [] { return NewJump(0xFFFFFFFF); }, Status::kJumpOutOfRange, -1},
      {"jump range before budget", [] { Procedure(0); }, [] { return NewJump(4096); }, Status::kJumpOutOfRange, 4096},
      {"actions", [] { Procedure(2); NewReturn(5); }, [] { return NewReturn(6); }, Status::kInvalidAction, 6},
      {"action range before budget", [] { Procedure(1); NewReturn(0); }, [] { return NewReturn(6); },
       Status::kInvalidAction, 6},
      {"event code", [] { EXPECT_EQ(Link(49, 1).status, Status::kOk); }, [] { return Link(50, 0); },
       Status::kEventUnsupported, 0},
      {"event code, negative", [] {}, [] { return Link(-1, 0); }, Status::kEventUnsupported, 0},
      {"procedure index", [] {}, [] { return Link(0, 2); }, Status::kProcedureUnsupported, 0},
      {"procedure index, wide", [] {}, [] { return Link(0, uint64_t{1} << 32); }, Status::kProcedureUnsupported, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    Clear();
    WriteDefaultProcedure();
    c.fill();
    Bytes before = Snapshot();
    Outcome o = c.refused();
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.value, c.value);
    ExpectSameBytes(before, Snapshot());
  }
}

// The driver owns constant slots 0-7, which hold zeros, so interning 0 must not find
// them. Suffix lists and sieves match a stored slot by the new string's length only:
// the start of a stored entry is that entry, whatever follows it in the slot.
TEST(ProgramImage, InterningFindsTheFirstMatchOfItsOwnPool) {
  Clear();
  EXPECT_EQ(Constant(0).value, 8);
  EXPECT_EQ(Constant(0).value, 8);
  EXPECT_EQ(Constant(1).value, 9);
  const struct {
    const char* pool;
    Outcome (*intern)(const char*, size_t);
  } pools[] = {{"suffix lists", SuffixList}, {"sieves", NewSieve}};
  // "ab" after "abd": both stored entries start with it, and the first one wins.
  const std::pair<const char*, int32_t> cases[] = {{"abc", 0}, {"ab", 0}, {"a", 0}, {"abd", 1}, {"ab", 0}, {"abd", 1}};
  for (const auto& p : pools) {
    Clear();
    for (const auto& [bytes, index] : cases)
      EXPECT_EQ(p.intern(bytes, std::strlen(bytes)).value, index) << p.pool << ", " << bytes;
  }
}

TEST(Sieve, BuildRule) {
  const uint32_t kAll = 0xFFFFFFFF;
  const struct {
    const char* name;
    SieveEnd end;
    int64_t width;
    std::vector<std::string> strings;
    std::vector<uint32_t> words;  // width, open masks, seen masks
  } cases[] = {
      {"empty list", SieveEnd::kPrefix, 5, {}, {0}},
      {"ab", SieveEnd::kPrefix, 0, {"ab"}, {2, kAll, ~4u, 2, 4}},
      {"AB shares the classes of ab", SieveEnd::kPrefix, 0, {"AB"}, {2, kAll, ~4u, 2, 4}},
      {"suffix keeps the last bytes", SieveEnd::kSuffix, 2, {"xab"}, {2, kAll, ~2u, 4, 2}},
      {"stops where a shorter string ends", SieveEnd::kPrefix, 0, {"a", "ab"}, {1, ~2u, 2}},
      {"longer first is not stopped", SieveEnd::kPrefix, 0, {"ab", "a"}, {2, ~2u, ~4u, 2, 4}},
      {"a stopped string records no end", SieveEnd::kPrefix, 0, {"ab", "a", "ac"}, {2, ~2u, ~4u, 2, 4}},
      {"class is the low five bits", SieveEnd::kPrefix, 0, {"p"}, {1, ~0x10000u, 0x10000}},
      {"cut to the width", SieveEnd::kPrefix, 1, {"abc"}, {1, ~2u, 2}},
  };
  for (const auto& c : cases) EXPECT_EQ(Words(BuildSieve(c.end, c.width, c.strings)), c.words) << c.name;
  // A width outside 1-64 means 64.
  for (int64_t width : {int64_t{0}, int64_t{-1}, int64_t{64}, int64_t{65}})
    EXPECT_EQ(BuildSieve(SieveEnd::kPrefix, width, {std::string(70, 'a')}).size(), kMaxSieveSize) << width;
}

}  // namespace
}  // namespace acdc::compiler
