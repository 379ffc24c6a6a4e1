// DispatchEvent, the reply steps, the preparation steps, CheckAutoAuthorize and
// DumpEvent, with the platform services substituted where a test needs a process,
// a file or a clock of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event/counters.h"
#include "event/dispatcher.h"
#include "event/driver_message.h"
#include "event/records.h"
#include "event/text.h"
#include "event/trace.h"
#include "platform/services.h"

namespace acdc::event {
namespace {

// Counters are process-wide and never reset: tests compare before and after.
struct CounterDelta {
  uint64_t before[kCounterCount];
  CounterDelta() { SnapshotCounters(before); }
  uint64_t operator()(Counter c) const { return CounterValue(c) - before[c]; }
  uint64_t Total() const {
    uint64_t sum = 0;
    for (uint32_t c = 0; c < kCounterCount; ++c) sum += CounterValue(static_cast<Counter>(c)) - before[c];
    return sum;
  }
};

// A trace captured in memory.
struct CapturedTrace {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  std::string Take() {
    std::fclose(file);
    file = nullptr;
    std::string s(text, size);
    std::free(text);
    text = nullptr;
    return s;
  }
  ~CapturedTrace() {
    if (file) std::fclose(file);
    std::free(text);
  }
};

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::g_services;
    record_ = std::make_unique<EventRecord>();
    ClearEventRecord(record_.get());
  }
  void TearDown() override { platform::g_services = saved_; }

  AcEvent& ev() { return record_->event; }
  AcEventData& evt() { return record_->data; }
  AcReply& reply() { return record_->reply; }
  int Dispatch() { return DispatchEvent(&record_->reply, &record_->event); }

  platform::Services saved_;
  std::unique_ptr<EventRecord> record_;
};

// Process 42 runs C:\Program Files\Tool\App.EXE; any other id does not exist.
platform::Win32Error FakeImage(uint32_t pid, char16_t* out, uint32_t* len, platform::ImageQueryStep* step) {
  *step = platform::ImageQueryStep::kOpenProcess;
  if (pid != 42) return platform::kErrorInvalidParameter;
  const char* image = "C:\\Program Files\\Tool\\App.EXE";
  uint32_t n = 0;
  for (; image[n] != '\0'; ++n) out[n] = static_cast<char16_t>(image[n]);
  *len = n;
  return platform::kErrorSuccess;
}

TEST_F(Dispatcher, OwnEventIsIgnoredAndCountsOnlyAcIgnore) {
  CounterDelta delta;
  evt().pid = platform::CurrentProcessId();
  evt().type = 18;
  evt().id = 0x1234567890ull;
  CapturedTrace trace;
  ev().traceFile = trace.file;
  EXPECT_EQ(Dispatch(), kResultEagain);
  EXPECT_EQ(reply().code, REPLY_IGNORE);
  EXPECT_EQ(reply().id, 0x34567890u);
  EXPECT_EQ(delta(ac_ignore), 1u);
  EXPECT_EQ(delta.Total(), 1u);
  EXPECT_EQ(trace.Take(), "Filtering out own event\nREPLY_IGNORE_EAGAIN\n");
}

TEST_F(Dispatcher, TypesWithoutHandlerGetErrorAndNeverReachLua) {
  // 13 has no handler by design; 10 and 18 have none yet; 99 and 0 are out of range.
  for (uint32_t type : {13u, 0u, 10u, 18u, 45u, 49u, 50u, 99u, 0xFFFFFFFFu}) {
    CounterDelta delta;
    ResetEventRecord(record_.get());
    evt().pid = 42;
    evt().type = type;
    evt().id = 7;
    CapturedTrace trace;
    ev().traceFile = trace.file;
    EXPECT_EQ(Dispatch(), kResultEagain) << type;
    EXPECT_EQ(reply().code, REPLY_ERROR) << type;
    EXPECT_EQ(reply().id, 7u);
    EXPECT_EQ(delta(event_not_handled), 1u);
    EXPECT_EQ(delta(total_events), 1u);
    EXPECT_EQ(delta(ac_error), 1u);
    EXPECT_EQ(delta.Total(), 3u) << type;
    EXPECT_EQ(trace.Take(), "Type " + std::to_string(static_cast<int>(type)) +
                                " not supported by C event abstraction\nREPLY_ERROR\n");
  }
}

TEST_F(Dispatcher, ReplyStepsSetCodeIdCounterAndResult) {
  struct Step {
    int (*fn)(AcEvent*, AcReply*);
    const char* line;
    Counter counter;
    uint32_t code;
    int result;
  };
  const Step steps[] = {
      {ReplyIgnoreEagain, "REPLY_IGNORE_EAGAIN\n", ac_ignore, REPLY_IGNORE, kResultEagain},
      {ReplyIgnoreLua, "REPLY_IGNORE_LUA\n", ac_ignore, REPLY_IGNORE, kResultReplied},
      {ReplyAllowEagain, "REPLY_ALLOW\n", ac_allow, REPLY_ALLOW, kResultEagain},
      {ReplyAllowLua, "REPLY_ALLOW\n", ac_allow, REPLY_ALLOW, kResultReplied},
      {ReplyBlockLua, "REPLY_BLOCK\n", ac_block, REPLY_BLOCK, kResultReplied},
      {ReplyError, "REPLY_ERROR\n", ac_error, REPLY_ERROR, kResultEagain},
  };
  for (const Step& s : steps) {
    CounterDelta delta;
    reply() = {};
    evt().id = 0xFFFFFFFF00000005ull;
    CapturedTrace trace;
    ev().traceFile = trace.file;
    EXPECT_EQ(s.fn(&ev(), &reply()), s.result) << s.line;
    EXPECT_EQ(reply().code, s.code) << s.line;
    EXPECT_EQ(reply().id, 5u) << s.line;
    EXPECT_EQ(delta(s.counter), 1u) << s.line;
    EXPECT_EQ(delta.Total(), 1u) << s.line;
    EXPECT_EQ(trace.Take(), s.line);
  }
}

TEST_F(Dispatcher, CountDispatchResultSplitsLuaFromEagain) {
  for (int result : {kResultLua, kResultReplied, kResultEagain}) {
    CounterDelta delta;
    CountDispatchResult(result);
    EXPECT_EQ(delta(lua_return), result == kResultEagain ? 0u : 1u);
    EXPECT_EQ(delta(eagain_return), result == kResultEagain ? 1u : 0u);
    EXPECT_EQ(delta(total_events), 1u);
  }
}

TEST_F(Dispatcher, PrepareExecEventFillsPathFieldsAndDumps) {
  platform::g_services.query_process_image = FakeImage;
  evt().pid = 42;
  evt().type = 18;
  CopyText(evt().name, kTextCapacity, "C:\\Users\\USER\\Setup.MSI");
  CapturedTrace trace;
  ev().traceFile = trace.file;
  EXPECT_EQ(PrepareExecEvent(&ev()), 0);
  EXPECT_EQ(ev().pid, 42u);
  EXPECT_STREQ(ev().procName, "C:\\Program Files\\Tool\\App.EXE");
  EXPECT_STREQ(ev().procPath, "C:\\Program Files\\Tool\\");
  EXPECT_STREQ(ev().procFileName, "App.EXE");
  EXPECT_STREQ(ev().procExtension, "exe");
  EXPECT_STREQ(ev().rlpath, "c:\\users\\user\\setup.msi");
  EXPECT_STREQ(ev().realpath, "C:\\Users\\USER\\Setup.MSI");
  EXPECT_STREQ(ev().path, "C:\\Users\\USER\\");
  EXPECT_STREQ(ev().fileName, "Setup.MSI");
  EXPECT_STREQ(ev().fileExtension, "MSI");
  EXPECT_EQ(trace.Take(),
            "PID: 42\nTYPE: 18\nRLPATH: C:\\Users\\USER\\Setup.MSI\nProcName: C:\\Program Files\\Tool\\App.EXE\n"
            "ProcExtension: exe\nPATH: C:\\Program Files\\Tool\\\nFileName: App.EXE\nExtension: MSI\n");
  EXPECT_TRUE(EventRecordTextsAreClean(*record_));
}

TEST_F(Dispatcher, FailedProcessLookupLeavesFieldsUntouched) {
  platform::g_services.query_process_image = FakeImage;
  evt().pid = 43;
  CopyText(evt().name, kTextCapacity, "C:\\f.txt");
  CopyText(ev().procName, kTextCapacity, "kept");
  for (int (*prepare)(AcEvent*) : {PrepareExecEvent, PrepareFromName, PrepareFromOldName}) {
    EXPECT_EQ(prepare(&ev()), 0);
    EXPECT_EQ(ev().pid, 43u);
    EXPECT_STREQ(ev().procName, "kept");
    EXPECT_EQ(ev().rlpath[0], '\0');
    EXPECT_EQ(ev().path[0], '\0');
  }
}

TEST_F(Dispatcher, PrepareFromNameAndOldNameKeepCaseAndSkipProcessSplit) {
  platform::g_services.query_process_image = FakeImage;
  evt().pid = 42;
  CopyText(evt().name, kTextCapacity, "C:\\New\\Name.PS1");
  CopyText(evt().oldname, kTextCapacity, "C:\\Old\\Was.TMP");
  PrepareFromOldName(&ev());
  EXPECT_STREQ(ev().rlpath, "C:\\Old\\Was.TMP");
  EXPECT_STREQ(ev().fileExtension, "TMP");
  PrepareFromName(&ev());
  EXPECT_STREQ(ev().rlpath, "C:\\New\\Name.PS1");
  EXPECT_STREQ(ev().path, "C:\\New\\");
  EXPECT_STREQ(ev().fileName, "Name.PS1");
  EXPECT_STREQ(ev().fileExtension, "PS1");
  EXPECT_STREQ(ev().procName, "C:\\Program Files\\Tool\\App.EXE");
  EXPECT_EQ(ev().procPath[0], '\0');
  EXPECT_EQ(ev().procExtension[0], '\0');
  EXPECT_EQ(ev().realpath[0], '\0');
  EXPECT_TRUE(EventRecordTextsAreClean(*record_));
}

TEST_F(Dispatcher, ImagePathThatDoesNotFitIsRefusedNotCut) {
  platform::g_services.query_process_image = [](uint32_t, char16_t* out, uint32_t* len,
                                                platform::ImageQueryStep*) -> platform::Win32Error {
    // 2000 units of U+00E9 need 4000 bytes, plus the prefix: more than 4095.
    out[0] = u'C';
    out[1] = u':';
    out[2] = u'\\';
    for (uint32_t i = 3; i < 2100; ++i) out[i] = u'\u00e9';
    *len = 2100;
    return platform::kErrorSuccess;
  };
  char out[kTextCapacity] = "unchanged";
  platform::ImageQueryStep step;
  EXPECT_EQ(LookupProcessImage(42, out, &step), platform::kErrorInsufficientBuffer);
  EXPECT_EQ(step, platform::ImageQueryStep::kQueryImageName);
  EXPECT_EQ(GetProcessImagePath(42, out), 0);
  EXPECT_STREQ(out, "unchanged");
}

// File times and the clock for CheckAutoAuthorize.
platform::FileStatus g_status;
platform::Win32Error g_status_error;
uint64_t g_now;

class AutoAuthorize : public Dispatcher {
 protected:
  void SetUp() override {
    Dispatcher::SetUp();
    g_status = {100, platform::FileType::kRegular, 0, 0};
    g_status_error = platform::kErrorSuccess;
    g_now = 2'000'000'000'000ull;  // ms, 2033
    platform::g_services.file_status = [](const char*, platform::FileStatus* out) {
      *out = g_status;
      return g_status_error;
    };
    platform::g_services.now_ms = [] { return g_now; };
    ev().maintenanceMode = 1;
    CopyText(ev().rlpath, kTextCapacity, "c:\\x\\setup.exe");
  }
};

TEST_F(AutoAuthorize, OnlyMaintenanceModeOneLooksAtTheFile) {
  platform::g_services.file_status = [](const char*, platform::FileStatus*) -> platform::Win32Error {
    ADD_FAILURE() << "file status queried";
    return platform::kErrorFileNotFound;
  };
  for (uint32_t mode : {0u, 2u, 0xFFFFFFFFu}) {
    ev().maintenanceMode = mode;
    EXPECT_EQ(CheckAutoAuthorize(&ev()), 0);
  }
}

TEST_F(AutoAuthorize, ApprovesFilesChangedAfterTheWindowOpened) {
  struct Case {
    int64_t created, modified;  // as the file status gives them
    uint64_t start;             // authorizeStartTime, ms
    int expected;
  };
  const Case cases[] = {
      {1'900'000'000, 1'500'000'000, 1'800'000'000'000ull, 1},          // seconds, created after start
      {1'500'000'000, 1'900'000'000, 1'800'000'000'000ull, 1},          // seconds, modified after start
      {1'500'000'000, 1'600'000'000, 1'800'000'000'000ull, 0},          // both before start
      {1'800'000'000, 1'800'000'000, 1'800'000'000'000ull, 0},          // equal is not later
      {1'900'000'000'000, 0, 1'800'000'000'000ull, 1},                  // already milliseconds
      {1'900'000'000'000'000, 0, 1'800'000'000'000ull, 1},              // microseconds
      {2'100'000'000, 1'500'000'000, 1'800'000'000'000ull, 0},          // created in the future
      {1'500'000'000, 2'000'000'000, 1'800'000'000'000ull, 0},          // modified == now: not earlier
  };
  for (const Case& c : cases) {
    CounterDelta delta;
    g_status.creation_time = c.created;
    g_status.modification_time = c.modified;
    ev().authorizeStartTime = c.start;
    EXPECT_EQ(CheckAutoAuthorize(&ev()), c.expected) << c.created << " " << c.modified;
    EXPECT_EQ(delta(RunAllowedAutoAuthorize), static_cast<uint64_t>(c.expected));
  }
}

TEST_F(AutoAuthorize, FailedStatDeniesAndTraces) {
  g_status_error = platform::kErrorFileNotFound;
  CapturedTrace trace;
  ev().traceFile = trace.file;
  EXPECT_EQ(CheckAutoAuthorize(&ev()), 0);
  EXPECT_EQ(trace.Take(),
            "Maintenance mode set, check for auto-authorize\n"
            "Error getting attributes of path 'c:\\x\\setup.exe': Failed stat\n");
}

TEST_F(AutoAuthorize, TracesTimesAndApproval) {
  g_status.creation_time = 1'900'000'000;
  g_status.modification_time = 1'850'000'000;
  ev().authorizeStartTime = 1'800'000'000'000ull;
  CapturedTrace trace;
  ev().traceFile = trace.file;
  EXPECT_EQ(CheckAutoAuthorize(&ev()), 1);
  EXPECT_EQ(trace.Take(),
            "Maintenance mode set, check for auto-authorize\n"
            "Time Vals: startTime=1800000000000, time=2000000000000, createTime=1900000000000, "
            "modifiedTime=1850000000000\n"
            "Unrecognized process c:\\x\\setup.exe approved because create/modified time is after authorize "
            "start time\n");
}

// Dispatches on several threads share nothing but the counters: every thread gets
// its own answers, and the counters lose at most what concurrent increments may.
TEST(DispatchThreads, EachThreadGetsItsOwnAnswers) {
  constexpr int kThreads = 4, kEvents = 20000;
  CounterDelta delta;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      auto r = std::make_unique<EventRecord>();
      ClearEventRecord(r.get());
      for (int i = 0; i < kEvents; ++i) {
        ResetEventRecord(r.get());
        bool own = (i + t) % 3 == 0;
        r->data.pid = own ? platform::CurrentProcessId() : 4;
        r->data.type = 13;
        r->data.id = static_cast<uint64_t>(t) << 32 | static_cast<uint32_t>(i);
        int result = DispatchEvent(&r->reply, &r->event);
        if (result != kResultEagain || r->reply.code != (own ? REPLY_IGNORE : REPLY_ERROR) ||
            r->reply.id != static_cast<uint32_t>(i))
          ++wrong[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << t;
  uint64_t answered = delta(ac_ignore) + delta(ac_error);
  EXPECT_LE(answered, uint64_t{kThreads} * kEvents);
  EXPECT_GE(answered, uint64_t{kEvents});
}

TEST(EventTypeName, NamesOnlyTheLoggedNumbers) {
  EXPECT_STREQ(EventTypeName(0), "NULL");
  EXPECT_STREQ(EventTypeName(18), "AC_EVENT_EXEC_PRE");
  EXPECT_STREQ(EventTypeName(47), "AC_EVENT_UNLINKAT_POST");
  for (uint32_t type : {8u, 9u, 13u, 19u, 48u, 49u, 50u, 0xFFFFFFFFu}) EXPECT_STREQ(EventTypeName(type), "") << type;
}

// A driver message as the decoder receives it.
struct Message {
  uint8_t bytes[kDriverEventMessageSize] = {};
  void U32(size_t at, uint32_t v) { std::memcpy(bytes + at, &v, 4); }
  void U64(size_t at, uint64_t v) { std::memcpy(bytes + at, &v, 8); }
  void Name(size_t size_at, size_t at, const std::u16string& s, uint32_t size_bytes) {
    std::memcpy(bytes + at, s.data(), s.size() * 2);
    U32(size_at, size_bytes);
  }
};

TEST(FillEventRecord, CopiesFieldsWidensAndConvertsNames) {
  auto r = std::make_unique<EventRecord>();
  ClearEventRecord(r.get());
  Message m;
  m.U64(msg::kMessageId, 0x1122334455667788ull);
  m.U32(msg::kType, 35);
  m.U32(msg::kId, 0xFFFFFFF0u);
  m.U32(msg::kPid, 4242);
  m.U32(msg::kRc, static_cast<uint32_t>(-5));
  m.U32(msg::kFd, 9);
  m.U32(msg::kDirty, 1);
  m.U32(msg::kMode, 0x80000001u);
  m.U32(msg::kFlags, 0x80000000u);
  std::u16string name = u"C:\\Users\\\u00c9t\u00e9\\a.txt";
  m.Name(msg::kNameSize, msg::kName, name, static_cast<uint32_t>(name.size() * 2 + 1));  // odd: last byte ignored
  m.Name(msg::kOldNameSize, msg::kOldName, std::u16string(600, u'x'), 5000);               // clamped to the field
  DecodeInputs in = {1, 1, "C:\\base", 1, 1234, nullptr};
  FillEventRecord(m.bytes, in, r.get());
  const AcEventData& d = r->data;
  EXPECT_EQ(d.type, 35u);
  EXPECT_EQ(d.id, 0xFFFFFFF0ull);
  EXPECT_EQ(d.pid, 4242u);
  EXPECT_EQ(d.rc, -5);
  EXPECT_EQ(d.fd, 9);
  EXPECT_EQ(d.dirty, 1);
  EXPECT_EQ(d.mode, static_cast<int64_t>(static_cast<int32_t>(0x80000001u)));
  EXPECT_EQ(d.flags, 0xFFFFFFFF80000000ull);
  EXPECT_STREQ(d.name, "C:\\Users\\\xC3\x89t\xC3\xA9\\a.txt");
  EXPECT_EQ(std::strlen(d.oldname), 512u);
  EXPECT_EQ(r->event.cache_type, -1);
  EXPECT_EQ(r->event.evt, &r->data);
  EXPECT_STREQ(r->event.basedir, "C:\\base");
  EXPECT_EQ(r->event.authorizeStartTime, 1234u);
  EXPECT_TRUE(EventRecordTextsAreClean(*r));

  // The next, shorter message leaves no trace of the first.
  Message m2;
  m2.U32(msg::kType, 13);
  m2.Name(msg::kNameSize, msg::kName, u"C:\\b", 8);
  FillEventRecord(m2.bytes, in, r.get());
  EXPECT_STREQ(r->data.name, "C:\\b");
  EXPECT_EQ(r->data.oldname[0], '\0');
  EXPECT_EQ(r->data.rc, 0);
  EXPECT_TRUE(EventRecordTextsAreClean(*r));
}

}  // namespace
}  // namespace acdc::event
