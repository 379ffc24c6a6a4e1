// The core-library contract: the userdata header as callers read it, and each
// operation against the stand-in (linked here, so the contract binds this copy): hex
// rendering, zip entries, the document's plug-in file, the trace switch, the
// profiler hooks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

TEST(ObjectHeader, OwnTypeGivesTheObjectUnlessBothConstantBitsAreSet) {
  Block b = MakeBlock(core::kDomType);
  core::CoreObject o{};
  ASSERT_TRUE(core::FindObject(&b, sizeof b, core::kDomType, &o));
  EXPECT_EQ(o.object, &g_object);
  EXPECT_FALSE(o.constant_access);
  // The same text at another address names the same type.
  std::string copy = core::kDomType;
  EXPECT_EQ(core::UsableObject(&b, sizeof b, copy.c_str()), &g_object);
  for (uint32_t mode : {1u, 2u, 4u, 0x100u, 3u, 7u, 0xFFFFFFFFu}) {
    bool constant = (mode & 3) == 3;
    b = MakeBlock(core::kDomType, mode);
    ASSERT_TRUE(core::FindObject(&b, sizeof b, core::kDomType, &o)) << mode;
    EXPECT_EQ(o.object, &g_object);
    EXPECT_EQ(o.constant_access, constant) << mode;
    EXPECT_EQ(core::UsableObject(&b, sizeof b, core::kDomType), constant ? nullptr : &g_object) << mode;
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
  core::CoreObject o{};
  Block no_mark = MakeBlock(core::kDomType), no_accessor = no_mark, closed = no_mark;
  no_mark.header.mark = 0;  // not the stand-in's
  no_accessor.header.accessor = nullptr;
  closed.object = nullptr;  // found, but nothing to use
  EXPECT_FALSE(core::FindObject(&no_mark, sizeof no_mark, core::kDomType, &o));
  EXPECT_FALSE(core::FindObject(&no_accessor, sizeof no_accessor, core::kDomType, &o));
  EXPECT_TRUE(core::FindObject(&closed, sizeof closed, core::kDomType, &o));
  EXPECT_EQ(core::UsableObject(&closed, sizeof closed, core::kDomType), nullptr);
  EXPECT_FALSE(core::FindObject(nullptr, 64, core::kDomType, &o));
  // A block one byte short of the header is not read at all (AddressSanitizer would
  // report a read past its end).
  auto* shortBlock = static_cast<unsigned char*>(std::malloc(core::kObjectPayloadOffset - 1));
  std::memcpy(shortBlock, &closed, core::kObjectPayloadOffset - 1);
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

// What the entries hold is read back with Python's zipfile by the Lua tests of the
// two dumps; here, only what those cannot reach.
TEST(CoreLibrary, ZipStreamTakesEntriesButNoStreamTakesNone) {
  std::string path = testing::TempDir() + "core_library_test.zip";
  vrel_core::ZipStream* z = vrel_core::OpenZipStream(path.c_str());
  ASSERT_NE(z, nullptr);
  EXPECT_TRUE(core::ZipAddFromMemory(z, "12345678", 8, "drift", "ac"));
  EXPECT_TRUE(core::ZipAddFromMemory(z, "", 0, "empty", ""));
  EXPECT_FALSE(core::ZipAddFromMemory(nullptr, "x", 1, "none", "ac"));
  EXPECT_TRUE(vrel_core::CloseZipStream(z));
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

// The record's fields are checked end to end by the lease-break test.
TEST(CoreLibrary, TraceIsSwitchedPerComponent) {
  EXPECT_FALSE(core::TraceEnabled(core::kWindowsComponent));
  vrel_core::SetTraceEnabled(core::kWindowsComponent, true);
  vrel_core::SetTraceCapture(true);
  vrel_core::ClearCapturedTrace();
  EXPECT_TRUE(core::TraceEnabled("ac-Windows"));
  EXPECT_FALSE(core::TraceEnabled("ac"));
  core::Trace("ac-Windows", "ac-Windows", 768, "fileread", "Interrupted oplock");
  EXPECT_EQ(vrel_core::CapturedTraceCount(), 1u);
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
