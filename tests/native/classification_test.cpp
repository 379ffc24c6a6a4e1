// The classification tables and their tests: interpreter rules, script extensions,
// trusted paths and the quick filters.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cache/classification.h"
#include "cache/process_cache.h"
#include "event/text.h"
#include "event_test_support.h"

namespace acdc::cache {
namespace {

using event::EventRecord;
using event::test_support::CapturedTrace;

class Classify : public ::testing::Test {
 protected:
  void SetUp() override {
    record_ = std::make_unique<EventRecord>();
    event::ClearEventRecord(record_.get());
  }
  // What GetProcessInterpreterType computes for an image; `skip` is reset first so
  // that a test sees what the classification set.
  uint64_t Image(const std::string& image, uint64_t pid = 0) {
    bool skip = true;
    uint64_t type = ClassifyImage(record_.get(), pid, image.c_str(), image.size(), &skip);
    skip_ = skip;
    return type;
  }
  event::AcEvent& ev() { return record_->event; }

  std::unique_ptr<EventRecord> record_;
  bool skip_ = false;
};

TEST_F(Classify, ImagesByRuleOrderAndCase) {
  const struct {
    const char* image;
    uint64_t type;
  } cases[] = {
      {"C:\\Windows\\System32\\WindowsPowerShell\\PowerShell.exe", 8},  // lowered before rule 1
      {"C:\\Tools\\CMD.EXE", 0},                                        // "EXE" is no "exe" here
      {"C:\\Tools\\cmd.exe", 9},
      {"C:\\Python39\\python3.exe", 3},                                 // stem python3
      {"C:\\x\\javaw.exe", 2},
      {"C:\\x\\notepad.exe", 1},
      {"C:\\x\\Windows6.1-KB2901983-x64.exe", 28},
      {"C:\\x\\RemoteFXvGPUDisablement.exe", 24},                       // rule name with capitals
      {"C:\\x\\TrustedInstaller.exe", 24},
      {"C:\\x\\phpython.exe", 3},                                       // python's rule comes before php's
      {"C:\\x\\tool.bash.exe", 7},                                      // the stem keeps its inner dots
      {"C:\\x\\.exe", 0},                                               // a leading dot is no extension
      {"C:\\x\\sh", 0},                                                 // rule 26 needs an "exe" first
      {"/usr/sbin/prelink", 0},                                         // so does rule 49
      {"C:\\x\\csc.exe.bak", 0},
      {"python.exe", 3},                                                // no backslash: all of it is the name
  };
  for (const auto& c : cases) EXPECT_EQ(Image(c.image), c.type) << c.image;
}

TEST_F(Classify, MatchLowersPathAndNameAndSetsSkipFromTheRow) {
  event::CopyText(ev().procExtension, event::kExtensionCapacity, "exe");
  event::CopyText(ev().procPath, event::kTextCapacity, "C:\\Program Files\\PS\\");
  event::CopyText(ev().procFileName, event::kTextCapacity, "PowerShell_ISE.exe");
  ev().skipProcessCache = 1;
  EXPECT_EQ(ClassifyProcess(&ev()), 8u);
  EXPECT_STREQ(ev().procPath, "c:\\program files\\ps\\");
  EXPECT_STREQ(ev().procFileName, "powershell_ise.exe");
  EXPECT_EQ(ev().skipProcessCache, 0u);
  // No rule: "normal", and skipProcessCache is left as it was.
  event::CopyText(ev().procFileName, event::kTextCapacity, "Notepad.exe");
  ev().skipProcessCache = 1;
  EXPECT_EQ(ClassifyProcess(&ev()), 1u);
  EXPECT_EQ(ev().skipProcessCache, 1u);
  EXPECT_STREQ(ev().procFileName, "notepad.exe");
}

TEST_F(Classify, ImageWithoutExeIsTracedWithTheFullEventId) {
  CapturedTrace trace;
  ev().traceFile = trace.file;
  record_->data.id = 0x123456789ull;
  event::CopyText(ev().procName, event::kTextCapacity, "C:\\x\\Tool.EXE");
  event::CopyText(ev().procFileName, event::kTextCapacity, "Tool.EXE");
  event::CopyText(ev().procExtension, event::kExtensionCapacity, "EXE");
  EXPECT_EQ(ClassifyProcess(&ev()), 0u);
  EXPECT_EQ(trace.Take(),
            "ERROR: Process C:\\x\\Tool.EXE for event 4886718345 does not have an 'exe' extension under Windows\n");
  EXPECT_STREQ(ev().procFileName, "Tool.EXE");  // untouched
}

TEST_F(Classify, ImagesOfTypeOneAndAboveAreRemembered) {
  ClearProcessCache();
  EXPECT_EQ(Image("C:\\Windows\\PowerShell.exe", 4101), 8u);
  EXPECT_FALSE(skip_);
  EXPECT_EQ(GetProcess(4101, "powershell.exe"), 8u);
  EXPECT_EQ(Image("C:\\x\\Notepad.exe", 4102), 1u);
  EXPECT_EQ(GetProcess(4102, "notepad.exe"), 1u);
  EXPECT_EQ(Image("C:\\x\\PYTHON.EXE", 4103), 0u);
  EXPECT_EQ(GetProcess(4103, ""), 0u);  // the slot stayed empty
  EXPECT_FALSE(RemoveProcess(4103));
}

TEST(ExtensionInterpreted, IsExactAndNeedsARow) {
  const struct {
    uint64_t index;
    const char* ext;
    bool interpreted;
  } cases[] = {{9, "cmd", true},   {9, "CMD", false}, {9, "cm", false},  {9, "cmdx", false},
               {10, "wsf", true},  {5, "pyd", true},  {3, "pyd", false}, {0, "", false},
               {1, "exe", false},  {34, "cmd", false}, {(uint64_t{1} << 32) + 9, "cmd", false}};
  for (const auto& c : cases) EXPECT_EQ(IsExtensionInterpreted(c.index, c.ext), c.interpreted) << c.index << c.ext;
}

TEST(TrustedPath, FindsFragmentsInTheLoweredPathAndTracesEachStep) {
  CapturedTrace trace;
  EXPECT_TRUE(IsTrustedPath(8, "C:\\Users\\A\\AppData\\Local\\Temp\\x.ps1", trace.file));
  EXPECT_EQ(trace.Take(),
            "Checking if path is trusted location\nPath 'c:\\users\\a\\appdata\\local\\temp\\x.ps1' is trusted\n");

  CapturedTrace miss;
  EXPECT_FALSE(IsTrustedPath(13, "C:\\Windows\\System32\\", miss.file));
  EXPECT_EQ(miss.Take(),
            "Checking if path is trusted location\n"
            "\tPath 'c:\\windows\\system32\\' does not match trusted path option '\\temp\\' | Try next trusted option\n"
            "\tPath 'c:\\windows\\system32\\' does not match trusted path option '\\windows\\assembly' | Try next "
            "trusted option\n"
            "Path 'c:\\windows\\system32\\' is not trusted\n");

  CapturedTrace empty_list;  // prelink: tests enabled, nothing listed
  EXPECT_FALSE(IsTrustedPath(12, "C:\\Temp\\", empty_list.file));
  EXPECT_EQ(empty_list.Take(), "Checking if path is trusted location\n");
}

TEST(TrustedPath, SaysNothingWithoutARowAnEnabledTypeOrAPath) {
  for (uint64_t index : {uint64_t{0}, uint64_t{1}, uint64_t{3}, uint64_t{34}, (uint64_t{1} << 32) + 8}) {
    CapturedTrace trace;
    EXPECT_FALSE(IsTrustedPath(index, "C:\\Temp\\x", trace.file)) << index;
    EXPECT_EQ(trace.Take(), "") << index;
  }
  CapturedTrace trace;
  EXPECT_FALSE(IsTrustedPath(8, "", trace.file));
  EXPECT_EQ(trace.Take(), "");
  EXPECT_TRUE(IsTrustedPath(25, "C:\\WINDOWS\\x", nullptr));
  EXPECT_FALSE(IsTrustedPath(25, "C:\\windowsx\\x", nullptr));
  // The fragment has capitals and the path is lowered: java's first fragment never matches.
  EXPECT_FALSE(IsTrustedPath(2, "/opt/IBM/WebSphere/AppServer/profiles/x", nullptr));
}

TEST(QuickFilters, LowerTheExtensionAndCompareItWhole) {
  for (const char* ext : {"exe", "EXE", "Ps1", "manifest", "MANIFEST", "vbscript", "so", "init"})
    EXPECT_TRUE(QuickDriftFilter(ext)) << ext;
  for (const char* ext : {"", "txt", "ex", "exe2", "manifests", "manifes", "vbscrip"})
    EXPECT_FALSE(QuickDriftFilter(ext)) << ext;
}

TEST(QuickFilters, ImFilterTriesTheExtensionThenEachPrefix) {
  const struct {
    const char *ext, *path, *prefixes;
    bool passes;
  } cases[] = {
      {"txt", "C:\\data\\x.txt", "C:\\data;D:\\", true}, {"txt", "D:\\x.txt", "C:\\data;D:\\", true},
      {"txt", "C:\\data\\x.txt", "", false},             {"DLL", "C:\\data\\x.txt", "", true},
      {"", "C:\\data\\x", ";;C:\\data;", true},
      {"", "c:\\data\\x", "C:\\data", false},  // prefixes keep case
      {"", "C:\\dat", "C:\\data", false},        // a piece longer than the path
      {"", "C:\\data\\x", ";", false},
  };
  for (const auto& c : cases) EXPECT_EQ(QuickIMFilter(c.ext, c.path, c.prefixes), c.passes) << c.path << " " << c.prefixes;
}

}  // namespace
}  // namespace acdc::cache
