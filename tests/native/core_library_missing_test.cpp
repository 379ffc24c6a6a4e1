// The core-library contract with no core library to bind (this program neither links
// the stand-in nor has one beside it): every operation answers as if the library had
// nothing to give, and asks again each time.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "platform/core_library.h"

namespace {

namespace core = acdc::platform::core;

TEST(CoreLibraryMissing, EveryOperationGivesNothing) {
  ASSERT_EQ(dlopen("libvrel_core.so", RTLD_NOW | RTLD_NOLOAD), nullptr) << "the stand-in is loaded";
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(core::TraceEnabled(core::kWindowsComponent));
    core::Trace("ac-Windows", "ac-Windows", 1, "f", "m");
    char out[16] = "unchanged";
    EXPECT_EQ(core::ToHexString("\x01", 1, true, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    int stream = 0;
    EXPECT_FALSE(core::ZipAddFromMemory(&stream, "x", 1, "filterSet", "ac"));
    std::strcpy(out, "unchanged");
    EXPECT_EQ(core::DomPluginFile(&stream, "ac", "ac.db", out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(core::ProfilerBlockfilter(), nullptr);
    EXPECT_EQ(core::ProfilerRunning(), nullptr);
  }
}

}  // namespace
