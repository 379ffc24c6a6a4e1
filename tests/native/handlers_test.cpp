// The execution, open and cleanup handlers and the file-change handlers, run
// through DispatchEvent with the process lookup and the file status substituted
// (the auto-authorize case uses a real file under drive C).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "cache/execution_cache.h"
#include "cache/process_cache.h"
#include "event/abstract_event.h"
#include "event/counters.h"
#include "event/dispatcher.h"
#include "event/event_table.h"
#include "event/records.h"
#include "event/text.h"
#include "event_test_support.h"
#include "platform/services.h"

namespace acdc::event {
namespace {

using test_support::CapturedTrace;
using test_support::CounterDelta;

constexpr uint32_t kPid = 42;

// The image of process kPid; empty: no such process.
std::string g_image;

platform::Win32Error Image(uint32_t pid, char16_t* out, uint32_t* len, platform::ImageQueryStep* step) {
  *step = platform::ImageQueryStep::kOpenProcess;
  if (pid != kPid || g_image.empty()) return platform::kErrorInvalidParameter;
  for (size_t i = 0; i < g_image.size(); ++i) out[i] = static_cast<char16_t>(g_image[i]);
  *len = static_cast<uint32_t>(g_image.size());
  return platform::kErrorSuccess;
}

// Files by lower-cased path, found in any case as the POSIX personality finds them.
std::map<std::string, platform::FileStatus> g_files;

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return s;
}

platform::Win32Error Status(const char* path, platform::FileStatus* out) {
  auto it = g_files.find(Lower(path));
  if (it == g_files.end()) return platform::kErrorFileNotFound;
  *out = it->second;
  return platform::kErrorSuccess;
}

class Handlers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::g_services;
    platform::g_services.query_process_image = Image;
    platform::g_services.file_status = Status;
    g_image = "C:\\Program Files\\Tool\\tool.exe";
    g_files.clear();
    cache::ClearCache();
    cache::ClearProcessCache();
    record_ = std::make_unique<EventRecord>();
    ClearEventRecord(record_.get());
  }
  void TearDown() override { platform::g_services = saved_; }

  AcEvent& ev() { return record_->event; }
  AcEventData& evt() { return record_->data; }
  AcReply& reply() { return record_->reply; }

  // A driver event of process kPid on `name`; the record is reset first.
  void Prepare(uint32_t type, const std::string& name, int32_t dirty = 0) {
    ResetEventRecord(record_.get());
    evt().pid = kPid;
    evt().type = type;
    evt().id = 9;
    evt().dirty = dirty;
    ev().ac_on = 1;
    ev().cache_type = -1;
    CopyText(evt().name, kTextCapacity, name.c_str());
  }
  int Dispatch() { return DispatchEvent(&record_->reply, &record_->event); }
  int Run(uint32_t type, const std::string& name, int32_t dirty = 0) {
    Prepare(type, name, dirty);
    return Dispatch();
  }
  // Dispatches the prepared record with a trace; the trace it wrote.
  std::string DispatchTraced(int expected_result) {
    CapturedTrace trace;
    ev().traceFile = trace.file;
    EXPECT_EQ(Dispatch(), expected_result);
    ev().traceFile = nullptr;
    return trace.Take();
  }
  static void File(const std::string& path, uint64_t size = 10) {
    g_files[Lower(path)] = {size, platform::FileType::kRegular, 0, 0};
  }
  static void Cache(const std::string& lower_path, int64_t type, const char* ruleset = nullptr) {
    cache::AddToCache(lower_path.c_str(), lower_path.size(), type, ruleset);
  }

  platform::Services saved_;
  std::unique_ptr<EventRecord> record_;
};

// ---- Executions ----

TEST_F(Handlers, AnIniFileIsAllowedBeforeAnythingElse) {
  Cache("c:\\x\\setup.ini", cache::kBlock);
  for (const char* name : {"C:\\x\\setup.INI", "C:\\x\\setup.ini"}) {
    CounterDelta d;
    Prepare(EVENT_EXEC_PRE, name);
    std::string t = DispatchTraced(kResultEagain);
    EXPECT_EQ(reply().code, REPLY_ALLOW);
    EXPECT_EQ(d(exec_pre_eagain) + d(exec_pre_handoff) + d(run_program), 0u);
    EXPECT_EQ(d(ac_allow), 1u);
    EXPECT_EQ(evt().action_type, 0);
    EXPECT_NE(t.find("INI file with execute bit set; Allow 'c:\\x\\setup.ini' through\nREPLY_ALLOW\n"),
              std::string::npos)
        << t;
  }
  // Only "ini" whole: "ini2" and "in" go on to the cache.
  for (const char* name : {"C:\\x\\setup.ini2", "C:\\x\\setup.in"}) {
    CounterDelta d;
    EXPECT_EQ(Run(EVENT_EXEC_PRE, name), kResultEagain) << name;  // no such file
    EXPECT_EQ(reply().code, REPLY_IGNORE) << name;
    EXPECT_EQ(d(exec_pre_eagain), 1u) << name;
  }
}

TEST_F(Handlers, ATrustedPlaceWinsOverACachedBlock) {
  g_image = "C:\\Windows\\System32\\msiexec.exe";  // type 25, trusted under \windows\ .
  Cache("c:\\windows\\installer\\x.exe", cache::kBlock, "ruleset-1-2-3-4");
  CounterDelta d;
  EXPECT_EQ(Run(EVENT_EXEC_PRE, "C:\\Windows\\Installer\\x.exe"), kResultEagain);
  EXPECT_EQ(reply().code, REPLY_ALLOW);
  EXPECT_EQ(d(run_allowed_trusted_path), 1u);
  EXPECT_EQ(d(exec_pre_eagain), 1u);
  EXPECT_EQ(d(run_program), 0u);
  EXPECT_EQ(ev().cache_type, -1);  // the cache was not asked
  EXPECT_EQ(ev().processTypeIndex, 25u);
  EXPECT_EQ(evt().action_type, static_cast<int32_t>(TYPE_PROC_START));
}

TEST_F(Handlers, ExecutionsByCacheTypeAndLockdown) {
  const struct {
    int64_t cached;  // 0: not cached
    uint32_t lockdown;
    int result;
    uint32_t code;
    Counter counted;
  } cases[] = {
      {cache::kApproved, 0, kResultEagain, REPLY_ALLOW, exec_pre_eagain},
      {cache::kApproved, 1, kResultEagain, REPLY_ALLOW, exec_pre_eagain},
      {cache::kUnrecognized, 0, kResultReplied, REPLY_ALLOW, exec_pre_handoff},
      {cache::kUnrecognized, 2, kResultReplied, REPLY_ALLOW, exec_pre_handoff},
      {cache::kUnrecognized, 1, kResultReplied, REPLY_BLOCK, exec_pre_handoff},
      {cache::kBlock, 0, kResultReplied, REPLY_BLOCK, exec_pre_handoff},
      {0, 1, kResultLua, 0, exec_pre_handoff},
  };
  File("C:\\Apps\\Thing.exe", 1234);
  for (const auto& c : cases) {
    cache::ClearCache();
    // A block carries its rule set into the record, its last field as signed.
    const bool block = c.cached == cache::kBlock;
    if (c.cached != 0) Cache("c:\\apps\\thing.exe", c.cached, block ? "ruleset-7-0-0-65535" : nullptr);
    CounterDelta d;
    Prepare(EVENT_EXEC_PRE, "C:\\Apps\\Thing.exe");
    ev().lockdown = c.lockdown;
    EXPECT_EQ(Dispatch(), c.result) << c.cached << " " << c.lockdown;
    EXPECT_EQ(reply().code, c.code) << c.cached << " " << c.lockdown;
    EXPECT_EQ(d(c.counted), 1u) << c.cached << " " << c.lockdown;
    EXPECT_EQ(d(exec_pre_eagain) + d(exec_pre_handoff), 1u);
    EXPECT_EQ(d(run_program), 1u);
    EXPECT_EQ(ev().cache_type, c.cached);
    EXPECT_EQ(ev().size, c.cached == 0 ? 1234u : 0u);  // a cached file is not examined
    EXPECT_EQ(ev().isexec, c.cached == 0 ? 1u : 0u);
    EXPECT_STREQ(ev().ruleset, block ? "ruleset-7-0-0--1" : "");
    EXPECT_TRUE(EventRecordTextsAreClean(*record_));
  }
  // Neither cached nor found: nothing to judge, ignored.
  CounterDelta d;
  Prepare(EVENT_EXEC_PRE, "C:\\Apps\\Missing.exe");
  std::string t = DispatchTraced(kResultEagain);
  EXPECT_EQ(reply().code, REPLY_IGNORE);
  EXPECT_EQ(d(exec_pre_eagain), 1u);
  EXPECT_EQ(d(run_program), 0u);
  EXPECT_NE(t.find("Error: Failed to stat file c:\\apps\\missing.exe\nREPLY_IGNORE_EAGAIN\n"), std::string::npos) << t;
}

// The event dump before these lines is the preparation's, checked with it.
TEST_F(Handlers, AnExecutionTracesItsCacheStepsAndTheSecondFindsTheProcessType) {
  g_image = "C:\\Windows\\System32\\cmd.exe";
  File("C:\\Apps\\Thing.exe", 77);
  for (const char* expected : {"Add ProcessTypeIndex 9 to cache under cmd.exe for c:\\apps\\thing.exe\n"
                               "Retrieve cache type 0 with size 77 and isexec 1 for c:\\apps\\thing.exe\n",
                               "Retrieve ProcessTypeIndex 9 from cache under cmd.exe for c:\\apps\\thing.exe\n"}) {
    Prepare(EVENT_EXEC_PRE, "C:\\Apps\\Thing.exe");
    std::string t = DispatchTraced(kResultLua);
    EXPECT_NE(t.find(std::string("Extension: exe\n") + expected), std::string::npos) << t;
  }
  // A process already cached under its pid is a prelink hit.
  g_image = "C:\\x\\app.exe";
  cache::AddProcess(kPid, 12, "app.exe");
  CounterDelta d;
  Run(EVENT_EXEC_PRE, "C:\\Apps\\Thing.exe");
  EXPECT_EQ(d(run_prelink), 1u);
  EXPECT_EQ(ev().processTypeIndex, 12u);
}

TEST_F(Handlers, OnlyLowerCaseImageNamesAreFoundInTheProcessCache) {
  for (auto [image, lower] : {std::pair<const char*, bool>{"C:\\Windows\\WindowsPowerShell\\PowerShell.exe", false},
                              {"C:\\Windows\\WindowsPowerShell\\powershell.exe", true}}) {
    cache::ClearProcessCache();
    g_image = image;
    const cache::ProcCacheCounters before = cache::ProcCacheStats();
    Run(EVENT_EXEC_PRE, "C:\\Apps\\Thing.exe");
    Run(EVENT_EXEC_PRE, "C:\\Apps\\Thing.exe");
    const cache::ProcCacheCounters after = cache::ProcCacheStats();
    EXPECT_EQ(after.prochit - before.prochit, lower ? 1u : 0u) << image;
    EXPECT_EQ(after.procadd - before.procadd, lower ? 1u : 2u) << image;
    EXPECT_EQ(ev().processTypeIndex, 8u) << image;
  }
}

// The rule itself is tested on its own; here, that executions and scripts opened by
// their interpreter both reach it, with a real file under drive C.
TEST_F(Handlers, AutoAuthorizeApprovesAFileChangedInTheWindow) {
  platform::g_services.file_status = saved_.file_status;
  const std::string dir = std::string(ACDC_DRIVE_C) + "/handlers";
  mkdir(ACDC_DRIVE_C, 0755);
  mkdir(dir.c_str(), 0755);
  for (auto [type, name] : {std::pair<uint32_t, const char*>{EVENT_EXEC_PRE, "Fresh.exe"}, {EVENT_CREATE_PRE, "fresh.py"}}) {
    g_image = type == EVENT_EXEC_PRE ? "C:\\x\\tool.exe" : "C:\\Python\\python.exe";
    std::ofstream(dir + "/" + name) << "MZ fresh";
    // Its birth time is now and cannot be set back, so the window opens before it or after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const uint64_t now = platform::OsNowMilliseconds();
    Cache(Lower(std::string("c:\\handlers\\") + name), cache::kUnrecognized);
    for (uint64_t start : {now - 60000, now + 60000}) {
      CounterDelta d;
      Prepare(type, std::string("C:\\handlers\\") + name);
      ev().lockdown = 1;
      ev().maintenanceMode = 1;
      ev().authorizeStartTime = start;
      bool approved = start < now;
      EXPECT_EQ(Dispatch(), approved ? kResultEagain : kResultReplied) << name;
      EXPECT_EQ(reply().code, approved ? REPLY_ALLOW : REPLY_BLOCK) << name;
      EXPECT_EQ(d(RunAllowedAutoAuthorize), approved ? 1u : 0u) << name;
      EXPECT_EQ(d(type == EVENT_EXEC_PRE ? (approved ? exec_pre_eagain : exec_pre_handoff)
                                         : (approved ? open_pre_eagain : open_pre_handoff)), 1u) << name;
    }
  }
}

// ---- Opens ----

TEST_F(Handlers, AnInterpreterOpeningItsScriptIsAnExecution) {
  g_image = "C:\\Python39\\python.exe";
  File("C:\\s\\run.py");
  File("C:\\s\\notes.txt");
  File("C:\\s\\RUN.PY");
  Cache("c:\\s\\run.py", cache::kApproved);
  Cache("c:\\s\\notes.txt", cache::kApproved);
  CounterDelta d;
  Prepare(EVENT_CREATE_PRE, "C:\\s\\run.py");
  std::string t = DispatchTraced(kResultEagain);
  EXPECT_EQ(reply().code, REPLY_ALLOW);
  EXPECT_EQ(d(script_execution), 1u);
  EXPECT_EQ(d(open_pre_eagain), 1u);
  EXPECT_STREQ(evt().action_type_str, "SCRIPT_EXECUTION");
  EXPECT_NE(t.find("Retrieve cache type 1 with size 0 and isexec 0 for c:\\s\\run.py\n"
                   "SCRIPT_EXECUTION | Found in allow cache\nREPLY_ALLOW\n"),
            std::string::npos)
      << t;
  for (const char* name : {"C:\\s\\notes.txt", "C:\\s\\RUN.PY"}) {  // extensions compared as they are
    CounterDelta d;
    const cache::ExecCacheCounters before = cache::CacheStats();
    EXPECT_EQ(Run(EVENT_CREATE_PRE, name), kResultEagain) << name;
    EXPECT_EQ(reply().code, REPLY_IGNORE) << name;
    EXPECT_EQ(d(script_execution), 0u) << name;
    EXPECT_EQ(cache::CacheStats().hit_approved + cache::CacheStats().miss, before.hit_approved + before.miss);
    EXPECT_EQ(evt().action_type_str, nullptr);
  }
}

TEST_F(Handlers, ScriptOpensByCacheTypeAndPlace) {
  g_image = "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";  // type 8, trusted under \temp\ .
  const struct {
    const char* name;
    int64_t cached;
    uint32_t lockdown;
    int result;
    uint32_t code;
    uint64_t scripts, trusted;
  } cases[] = {
      {"C:\\Users\\A\\s.ps1", cache::kUnrecognized, 0, kResultReplied, REPLY_ALLOW, 1, 0},
      {"C:\\Users\\A\\s.ps1", cache::kUnrecognized, 1, kResultReplied, REPLY_BLOCK, 1, 0},
      {"C:\\Users\\A\\s.ps1", cache::kBlock, 0, kResultReplied, REPLY_BLOCK, 0, 0},
      {"C:\\Temp\\s.ps1", cache::kBlock, 0, kResultReplied, REPLY_BLOCK, 0, 0},  // the cache comes first here
      {"C:\\Temp\\s.ps1", 0, 0, kResultEagain, REPLY_ALLOW, 1, 1},
      {"C:\\Users\\A\\s.ps1", 0, 0, kResultLua, 0, 1, 0},
  };
  for (const auto& c : cases) {
    cache::ClearCache();
    File(c.name);
    if (c.cached != 0) Cache(Lower(c.name), c.cached);
    CounterDelta d;
    Prepare(EVENT_CREATE_PRE, c.name);
    ev().lockdown = c.lockdown;
    EXPECT_EQ(Dispatch(), c.result) << c.name << " " << c.cached;
    EXPECT_EQ(reply().code, c.code) << c.name << " " << c.cached;
    EXPECT_EQ(d(script_execution), c.scripts) << c.name << " " << c.cached;
    EXPECT_EQ(d(run_allowed_trusted_path), c.trusted) << c.name << " " << c.cached;
    EXPECT_EQ(d(open_pre_eagain) + d(open_pre_handoff), 1u);
    EXPECT_EQ(d(c.result == kResultEagain ? open_pre_eagain : open_pre_handoff), 1u);
  }
}

TEST_F(Handlers, AnOpenNotFoundAnywhereIsTracedAndGoesToLua) {
  g_image = "C:\\Windows\\System32\\cmd.exe";
  File("C:\\b\\go.bat", 3);
  Prepare(EVENT_CREATE_PRE, "C:\\b\\go.bat");
  evt().mode = -1;
  evt().flags = 0x8000000000000001ull;
  std::string t = DispatchTraced(kResultLua);
  EXPECT_NE(t.find("Extension: bat\n"
                   "EVENT_OPEN_PRE for c:\\b\\go.bat\nEvent 9 mode=18446744073709551615, flags=9223372036854775809\n"
                   "Process cache miss under cmd.exe for c:\\b\\go.bat\n"
                   "Determined processTypeIndex 9 under cmd.exe for c:\\b\\go.bat\n"
                   "Add ProcessTypeIndex 9 to cache under cmd.exe for c:\\b\\go.bat\n"
                   "Retrieve cache type 0 with size 3 and isexec 1 for c:\\b\\go.bat\n"
                   "SCRIPT_EXECUTION | Not found in reply cache\n"),
            std::string::npos)
      << t;
}

// ---- Closes ----

TEST_F(Handlers, CleanCloseAndDataStreamsAreIgnored) {
  for (auto [name, dirty] : {std::pair<const char*, int>{"C:\\dir\\file.txt", 0}, {"C:\\dir\\file.txt:stream", 1},
                             {"C:\\dir\\file.txt:Zone.Identifier:$DATA", 1}}) {
    CounterDelta d;
    EXPECT_EQ(Run(EVENT_CLEANUP_PRE, name, dirty), kResultEagain) << name;
    EXPECT_EQ(reply().code, REPLY_IGNORE) << name;
    EXPECT_EQ(d(close_pre_eagain), 1u) << name;
    EXPECT_EQ(evt().action_type, 0) << name;
  }
  // The drive's colon is before the first backslash, so it is no stream.
  EXPECT_EQ(Run(EVENT_CLEANUP_PRE, "C:\\dir\\file.txt", 1), kResultReplied);
}

TEST_F(Handlers, AWrittenScriptIsDriftUnlessItsInterpreterWroteItInATrustedPlace) {
  for (auto [image, trusted] : {std::pair<const char*, bool>{"C:\\W\\powershell.exe", true},
                                {"C:\\W\\cmd.exe", false}, {"C:\\W\\notepad.exe", false}}) {
    g_image = image;
    CounterDelta d;
    Prepare(EVENT_CLEANUP_PRE, "C:\\Users\\A\\AppData\\Local\\Temp\\Job.ps1", 1);
    std::string t = DispatchTraced(trusted ? kResultEagain : kResultReplied);
    EXPECT_EQ(reply().code, trusted ? REPLY_ALLOW : REPLY_IGNORE) << image;
    EXPECT_EQ(d(trusted_drift), trusted ? 1u : 0u) << image;
    EXPECT_EQ(d(trusted ? close_pre_eagain : close_pre_handoff), 1u) << image;
    EXPECT_EQ(evt().action_type, trusted ? 0 : static_cast<int32_t>(TYPE_CREATE)) << image;
    EXPECT_STREQ(ev().rlpath, "C:\\Users\\A\\AppData\\Local\\Temp\\Job.ps1");  // case kept
    EXPECT_STREQ(ev().fileName, "Job.ps1");
    EXPECT_STREQ(ev().fileExtension, "ps1");
    EXPECT_NE(t.find("EVENT_CLEANUP_PRE evt.dirty = 1, name = Users\\A\\AppData\\Local\\Temp\\Job.ps1\n"),
              std::string::npos);
  }
}

// ---- File changes ----

TEST_F(Handlers, CreatePostHandsOnlyWrittenFilesToLua) {
  CounterDelta clean;
  EXPECT_EQ(Run(EVENT_CREATE_POST, "C:\\t\\new.txt", 0), kResultEagain);  // its reply: with the pathless events
  EXPECT_EQ(clean(open_post_eagain), 1u);
  CounterDelta d;
  Prepare(EVENT_CREATE_POST, "C:\\t\\New.txt", 1);
  evt().mode = 0x80000000;
  EXPECT_EQ(DispatchTraced(kResultReplied), "EVENT_CREATE_POST\nFor C:\\t\\New.txt mode=2147483648 flags=0\nREPLY_IGNORE_LUA\n");
  EXPECT_EQ(reply().code, REPLY_IGNORE);
  EXPECT_EQ(d(open_post_handoff), 1u);
  EXPECT_STREQ(evt().operationType, "update");
  EXPECT_EQ(evt().action_type, static_cast<int32_t>(TYPE_CREATE));
  EXPECT_STREQ(ev().rlpath, "C:\\t\\New.txt");
  EXPECT_STREQ(ev().path, "");
  EXPECT_STREQ(ev().fileName, "");
  EXPECT_STREQ(ev().procName, "");  // the process is not looked up
}

TEST_F(Handlers, RenamesPassTheQuickFilterByTheirNewExtension) {
  const struct {
    const char* name;
    uint32_t ac_on;
    int result;
  } cases[] = {
      {"C:\\t\\a.exe", 1, kResultLua}, {"C:\\t\\a.EXE", 1, kResultLua}, {"C:\\t\\a.Ps1", 1, kResultLua},
      {"C:\\t\\a.exe", 0, kResultEagain}, {"C:\\t\\a.TXT", 1, kResultEagain}, {"C:\\t\\noext", 1, kResultEagain},
  };
  for (const auto& c : cases) {
    CounterDelta d;
    Prepare(EVENT_RENAME_POST, c.name);
    CopyText(evt().oldname, kTextCapacity, "C:\\t\\a.txt");
    ev().ac_on = c.ac_on;
    EXPECT_EQ(Dispatch(), c.result) << c.name << " " << c.ac_on;
    bool passed = c.result == kResultLua;
    EXPECT_EQ(reply().code, passed ? 0u : REPLY_IGNORE) << c.name;
    EXPECT_EQ(d(quick_drift_filter), passed ? 1u : 0u) << c.name;
    EXPECT_EQ(d(quick_filter_filter), passed ? 0u : 1u) << c.name;
    EXPECT_EQ(d(passed ? rename_post_handoff : rename_post_eagain), 1u) << c.name;
    EXPECT_STREQ(evt().operationType, passed ? "rename" : nullptr) << c.name;
    EXPECT_STREQ(evt().oldname, "C:\\t\\a.txt");
    EXPECT_STREQ(ev().rlpath, c.name);
  }
  Run(EVENT_RENAME_POST, "C:\\t\\a.exe");
  EXPECT_STREQ(evt().newExtension, "exe");
  EXPECT_STREQ(ev().fileName, "a.exe");
  EXPECT_STREQ(ev().path, "C:\\t\\");
}

TEST_F(Handlers, AFailedRenameIsIgnoredAndTracedLineByLine) {
  CounterDelta d;
  Prepare(EVENT_RENAME_POST, "C:\\t\\a.exe");
  evt().rc = -5;
  EXPECT_EQ(DispatchTraced(kResultEagain), "EVENT_RENAME_POST with evt.rc -5\nREPLY_IGNORE_EAGAIN\n");
  EXPECT_EQ(d(rename_post_eagain), 1u);
  EXPECT_EQ(d(quick_drift_filter) + d(quick_filter_filter), 0u);
  EXPECT_STREQ(evt().newExtension, "");

  Prepare(EVENT_RENAME_POST, "C:\\t\\b.txt");
  CopyText(evt().oldname, kTextCapacity, "C:\\t\\B.EXE");
  std::string t = DispatchTraced(kResultEagain);
  EXPECT_NE(t.find("Oldname=C:\\t\\B.EXE Newname=C:\\t\\b.txt\n"
                   "RENAME_POST Drift filtered by quick filter for C:\\t\\b.txt\nREPLY_IGNORE_EAGAIN\n"),
            std::string::npos)
      << t;
}

TEST_F(Handlers, DeletionsAreAlwaysIgnored) {
  for (uint32_t type : {EVENT_UNLINK_POST, EVENT_UNLINKAT_POST}) {
    for (int32_t rc : {0, 2}) {
      CounterDelta d;
      Prepare(type, "C:\\t\\gone.DLL");
      evt().rc = rc;
      EXPECT_EQ(Dispatch(), kResultEagain);
      EXPECT_EQ(reply().code, REPLY_IGNORE);
      EXPECT_EQ(d(event_unlink_post), 1u);
      EXPECT_EQ(d(unlink_post_eagain), 1u);
      EXPECT_STREQ(evt().newExtension, rc == 0 ? "DLL" : "");
      EXPECT_STREQ(ev().fileName, rc == 0 ? "gone.DLL" : "");
    }
  }
}

TEST_F(Handlers, AttributeSecurityAndLinkEvents) {
  const struct {
    uint32_t type;
    int result;
    uint32_t code;
    Counter counter;
    const char* operation;
    const char* line;
  } cases[] = {
      {EVENT_SETINFO_PRE, kResultEagain, REPLY_IGNORE, setinfo_pre_handoff, nullptr,
       "Windows EVENT_SETINFO_PRE\nREPLY_IGNORE_EAGAIN\n"},
      {EVENT_SETSECURITY_PRE, kResultEagain, REPLY_IGNORE, setsecurity_pre_handoff, nullptr,
       "Windows EVENT_SETSECURITY_PRE for C:\\t\\f.txt\nREPLY_IGNORE_EAGAIN\n"},
      {EVENT_LINK_PRE, kResultEagain, REPLY_IGNORE, link_pre_handoff, nullptr,
       "Windows EVENT_LINK_PRE\nREPLY_IGNORE_EAGAIN\n"},
      {EVENT_SETINFO_POST, kResultLua, 0, setinfo_post_handoff, "update",
       "Windows EVENT_SETINFO_POST for C:\\t\\f.txt mode=4294967296 flags=3\n"},
      {EVENT_SETSECURITY_POST, kResultReplied, REPLY_IGNORE, setsecurity_post_handoff, "update",
       "Windows EVENT_SETSECURITY_POST for C:\\t\\f.txt mode=4294967296 flags=3\nREPLY_IGNORE_LUA\n"},
      {EVENT_LINK_POST, kResultLua, 0, link_post_handoff, nullptr, "Windows EVENT_LINK_POST\n"},
  };
  for (const auto& c : cases) {
    CounterDelta d;
    Prepare(c.type, "C:\\t\\f.txt");
    evt().mode = int64_t{1} << 32;
    evt().flags = 3;
    EXPECT_EQ(DispatchTraced(c.result), c.line) << c.type;
    EXPECT_EQ(reply().code, c.code) << c.type;
    EXPECT_EQ(d(c.counter), 1u) << c.type;
    EXPECT_STREQ(evt().operationType, c.operation) << c.type;
    EXPECT_EQ(evt().action_type, c.operation != nullptr ? static_cast<int32_t>(TYPE_CREATE) : 0) << c.type;
    EXPECT_STREQ(ev().procName, "C:\\Program Files\\Tool\\tool.exe") << c.type;
    bool post = c.type == EVENT_SETINFO_POST || c.type == EVENT_SETSECURITY_POST || c.type == EVENT_LINK_POST;
    EXPECT_STREQ(ev().fileExtension, post ? "txt" : "") << c.type;
  }
}

// ---- Events without paths ----

// AbstractEvent without rlpath or procName, for a process that does not exist:
// each handler decides on empty names.
TEST_F(Handlers, EventsWithoutPathsThroughEachHandler) {
  const struct {
    uint32_t type;
    int32_t dirty;
    int result;
    uint32_t code;
  } cases[] = {
      {EVENT_CREATE_PRE, 0, kResultEagain, REPLY_IGNORE},      {EVENT_CREATE_POST, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_CREATE_POST, 1, kResultReplied, REPLY_IGNORE},    {EVENT_CLEANUP_PRE, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_CLEANUP_PRE, 1, kResultReplied, REPLY_IGNORE},    {EVENT_SETINFO_PRE, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_SETINFO_POST, 0, kResultLua, 0},                  {EVENT_SETSECURITY_PRE, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_SETSECURITY_POST, 0, kResultReplied, REPLY_IGNORE}, {EVENT_EXEC_PRE, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_LINK_PRE, 0, kResultEagain, REPLY_IGNORE},        {EVENT_LINK_POST, 0, kResultLua, 0},
      {EVENT_RENAME_POST, 0, kResultEagain, REPLY_IGNORE},     {EVENT_UNLINK_POST, 0, kResultEagain, REPLY_IGNORE},
      {EVENT_UNLINKAT_POST, 0, kResultEagain, REPLY_IGNORE},
  };
  g_image.clear();
  for (const auto& c : cases) {
    AbstractEventInput in = {};
    in.type = c.type;
    in.dirty = c.dirty;
    in.basedir = "";
    EXPECT_EQ(DispatchAbstractEvent(record_.get(), in), c.result) << c.type << " " << c.dirty;
    EXPECT_EQ(reply().code, c.code) << c.type << " " << c.dirty;
    EXPECT_TRUE(EventRecordTextsAreClean(*record_)) << c.type;
  }
}

}  // namespace
}  // namespace acdc::event
