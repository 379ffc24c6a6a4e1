// The core-library contract: the userdata header as callers read it, and each
// operation against the stand-in (linked here, so the contract binds this copy): hex
// rendering, zip entries read back with zlib, the document's plug-in file, the trace
// switch and record, the profiler hooks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "corelib/vrel_core.h"
#include "platform/core_library.h"

namespace {

namespace core = acdc::platform::core;

// ---- The userdata header ----

struct Block {
  core::ObjectHeader header;
  void* object;  // payload
};

int g_object;  // what the blocks carry
int g_base;    // what the converter makes of it

void* PayloadObject(void* block, void* payload) { return *static_cast<void**>(payload); }
void* NoObject(void*, void*) { return nullptr; }
void* ToBase(void* object) { return object == &g_object ? &g_base : nullptr; }

const core::ObjectBase kBases[] = {
    {"SLB.wx.OutputStream", &g_base, ToBase},
    {core::kZipOutputStreamType, &g_base, ToBase},
    {nullptr, nullptr, nullptr},
    {"SLB.Dom", &g_base, ToBase},  // after the end: never looked at
};

Block MakeBlock(const char* type, uint32_t mode = 0) {
  return Block{{mode, core::kStandInMark, type, PayloadObject, kBases}, &g_object};
}

TEST(ObjectHeader, OwnTypeGivesTheAccessorsObjectAndItsMark) {
  Block b = MakeBlock(core::kDomType);
  core::CoreObject o{};
  ASSERT_TRUE(core::FindObject(&b, sizeof b, core::kDomType, &o));
  EXPECT_EQ(o.object, &g_object);
  EXPECT_FALSE(o.constant_access);
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), &g_object);
  // The same text at another address names the same type.
  std::string copy = core::kDomType;
  EXPECT_EQ(core::UsableObject(&b, sizeof b, copy.c_str()), &g_object);
}

TEST(ObjectHeader, ConstantAccessNeedsBothLowBits) {
  for (uint32_t mode : {1u, 2u, 4u, 0x100u}) {
    Block b = MakeBlock(core::kDomType, mode);
    EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), &g_object) << mode;
  }
  for (uint32_t mode : {3u, 7u, 0xFFFFFFFFu}) {
    Block b = MakeBlock(core::kDomType, mode);
    core::CoreObject o{};
    ASSERT_TRUE(core::FindObject(&b, sizeof b, core::kDomType, &o)) << mode;
    EXPECT_EQ(o.object, &g_object);
    EXPECT_TRUE(o.constant_access);
    EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), nullptr) << mode;
  }
}

TEST(ObjectHeader, OtherTypesGoThroughTheBasesUpToTheirEnd) {
  Block b = MakeBlock("SLB.corelib.Archive");
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kZipOutputStreamType), &g_base);
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), nullptr);  // listed only past the end
  b.header.accessor = NoObject;
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kZipOutputStreamType), nullptr);
  b.header.accessor = PayloadObject;
  b.header.bases = nullptr;
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kZipOutputStreamType), nullptr);
}

TEST(ObjectHeader, BlocksThatCannotBeObjectsGiveNone) {
  Block b = MakeBlock(core::kDomType);
  core::CoreObject o{};
  b.header.mark = 0;  // not the stand-in's
  EXPECT_FALSE(core::FindObject(&b, sizeof b, core::kDomType, &o));
  b = MakeBlock(core::kDomType);
  b.header.accessor = nullptr;
  EXPECT_FALSE(core::FindObject(&b, sizeof b, core::kDomType, &o));
  b = MakeBlock(core::kDomType);
  b.object = nullptr;  // closed: found, but nothing to use
  EXPECT_TRUE(core::FindObject(&b, sizeof b, core::kDomType, &o));
  EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), nullptr);
  EXPECT_FALSE(core::FindObject(nullptr, 64, core::kDomType, &o));
  // A block one byte short of the header is not read at all (AddressSanitizer would
  // report a read past its end).
  auto* shortBlock = static_cast<unsigned char*>(std::malloc(core::kObjectPayloadOffset - 1));
  std::memcpy(shortBlock, &b, core::kObjectPayloadOffset - 1);
  EXPECT_FALSE(core::FindObject(shortBlock, core::kObjectPayloadOffset - 1, core::kDomType, &o));
  std::free(shortBlock);
}

// ---- The operations, against the stand-in ----

TEST(CoreLibrary, HexRenderingFollowsTheFlag) {
  const unsigned char bytes[] = {0x01, 0xA2, 0xFF};
  char out[core::HexCapacity(3)];
  EXPECT_EQ(core::ToHexString(bytes, 3, false, out, sizeof out), 8u);
  EXPECT_STREQ(out, "01 a2 ff");
  EXPECT_EQ(core::ToHexString(bytes, 3, true, out, sizeof out), 6u);
  EXPECT_STREQ(out, "01A2FF");
  EXPECT_EQ(core::ToHexString(bytes, 0, false, out, sizeof out), 0u);
  EXPECT_STREQ(out, "");
  // One byte short of room: refused whole, never cut.
  EXPECT_EQ(core::ToHexString(bytes, 3, false, out, 8), 0u);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(core::ToHexString(bytes, 3, true, out, 7), 6u);
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
uint32_t Le16(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

struct ZipEntry {
  std::string name;
  uint32_t method;
  uint32_t crc;
  std::string data;  // as stored, or inflated
};

// The entries of the archive `path`, from its central directory.
std::vector<ZipEntry> ReadZip(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<ZipEntry> entries;
  size_t end = s.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) return entries;
  size_t count = Le16(s, end + 10);
  size_t at = Le32(s, end + 16);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(Le32(s, at), 0x02014b50u);
    ZipEntry e;
    e.method = Le16(s, at + 10);
    e.crc = Le32(s, at + 16);
    uint32_t packed = Le32(s, at + 20), size = Le32(s, at + 24);
    size_t name_len = Le16(s, at + 28), extra = Le16(s, at + 30), comment = Le16(s, at + 32);
    size_t local = Le32(s, at + 42);
    e.name = s.substr(at + 46, name_len);
    size_t data = local + 30 + Le16(s, local + 26) + Le16(s, local + 28);
    e.data.resize(size);
    at += 46 + name_len + extra + comment;
    entries.push_back(e);
    if (e.method == 0) entries.back().data = s.substr(data, size);
    if (e.method != 8) continue;
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(&s[data]);
    z.avail_in = packed;
    z.next_out = reinterpret_cast<Bytef*>(&e.data[0]);
    z.avail_out = size;
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << e.name;
    inflateEnd(&z);
    entries.back().data = e.data;
  }
  return entries;
}

TEST(CoreLibrary, ZipStreamWritesDeflatedEntriesUnderTheSecondName) {
  std::string path = testing::TempDir() + "core_library_test.zip";
  vrel_core::ZipStream* z = vrel_core::OpenZipStream(path.c_str());
  ASSERT_NE(z, nullptr);
  std::string bits(65536, '\0');
  for (size_t i = 0; i < bits.size(); i += 7) bits[i] = static_cast<char>(i * 31);
  EXPECT_TRUE(core::ZipAddFromMemory(z, bits.data(), bits.size(), "filterSet", "ac"));
  EXPECT_TRUE(core::ZipAddFromMemory(z, "12345678", 8, "drift", "ac"));
  EXPECT_TRUE(core::ZipAddFromMemory(z, "", 0, "empty", ""));
  EXPECT_FALSE(core::ZipAddFromMemory(nullptr, "x", 1, "none", "ac"));
  ASSERT_TRUE(vrel_core::CloseZipStream(z));
  std::vector<ZipEntry> entries = ReadZip(path);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "ac/filterSet");
  EXPECT_EQ(entries[0].method, 8u);  // deflated
  EXPECT_EQ(entries[0].data, bits);
  EXPECT_EQ(entries[0].crc, crc32(0, reinterpret_cast<const Bytef*>(bits.data()), bits.size()));
  // Entries that deflate would not shrink are stored.
  EXPECT_EQ(entries[1].name, "ac/drift");
  EXPECT_EQ(entries[1].data, "12345678");
  EXPECT_EQ(entries[2].name, "empty");
  EXPECT_EQ(entries[2].data, "");
  std::remove(path.c_str());
}

TEST(CoreLibrary, DocumentComposesPluginFilesUnderItsRoot) {
  vrel_core::Dom* dom = vrel_core::NewDom("/srv/agent");
  ASSERT_NE(dom, nullptr);
  char path[64];
  EXPECT_EQ(core::DomPluginFile(dom, "ac", "ac.db", path, sizeof path), 19u);
  EXPECT_STREQ(path, "/srv/agent/ac/ac.db");
  EXPECT_EQ(core::DomPluginFile(dom, "ac", "ac.db", path, 19), 0u);  // no room for the NUL
  EXPECT_STREQ(path, "");
  EXPECT_EQ(core::DomPluginFile(nullptr, "ac", "ac.db", path, sizeof path), 0u);
  vrel_core::DeleteDom(dom);
}

TEST(CoreLibrary, TraceIsSwitchedPerComponentAndRecordsAllFiveFields) {
  EXPECT_FALSE(core::TraceEnabled(core::kWindowsComponent));
  vrel_core::SetTraceEnabled(core::kWindowsComponent, true);
  vrel_core::SetTraceCapture(true);
  vrel_core::ClearCapturedTrace();
  EXPECT_TRUE(core::TraceEnabled("ac-Windows"));
  EXPECT_FALSE(core::TraceEnabled("ac"));
  core::Trace("ac-Windows", "ac-Windows", 768, "fileread", "Interrupted oplock");
  ASSERT_EQ(vrel_core::CapturedTraceCount(), 1u);
  vrel_core::TraceRecord r;
  ASSERT_TRUE(vrel_core::CapturedTrace(0, &r));
  EXPECT_STREQ(r.component, "ac-Windows");
  EXPECT_STREQ(r.source, "ac-Windows");
  EXPECT_EQ(r.line, 768);
  EXPECT_STREQ(r.function, "fileread");
  EXPECT_STREQ(r.message, "Interrupted oplock");
  EXPECT_FALSE(r.cut);
  EXPECT_FALSE(vrel_core::CapturedTrace(1, &r));
  vrel_core::SetTraceEnabled(core::kWindowsComponent, false);
  EXPECT_FALSE(core::TraceEnabled("ac-Windows"));
  vrel_core::ClearCapturedTrace();
  vrel_core::SetTraceCapture(false);
}

TEST(CoreLibrary, ProfilerHooksAreTheStandInsFunctions) {
  EXPECT_EQ(core::ProfilerBlockfilter(), &profiler_blockfilter);
  EXPECT_EQ(core::ProfilerRunning(), &profiler_running);
  uint64_t before = vrel_core::ProfilerRunningCalls();
  core::ProfilerRunning()();
  EXPECT_EQ(vrel_core::ProfilerRunningCalls(), before + 1);
}

}  // namespace
