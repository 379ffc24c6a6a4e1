// DispatchEvent, the reply steps, the event table, the exec preparation's dump and
// the image lookup, with the platform services substituted where a test needs a process,
// a file or a clock of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event/counters.h"
#include "event/dispatcher.h"
#include "event/process_image.h"
#include "event/records.h"
#include "event/text.h"
#include "event/trace.h"
#include "event_test_support.h"
#include "platform/services.h"

namespace acdc::event {
namespace {

using test_support::CapturedTrace;
using test_support::CounterDelta;
using test_support::FakeImage;

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

// Each handled type reaches its handler and is counted under its own kind once the
// handler has returned, then by its result; every other number, in range or not, has
// no handler and gets an error without reaching Lua.
TEST_F(Dispatcher, TypesAreRoutedByKindOrAnsweredWithAnError) {
  platform::g_services.query_process_image = FakeImage;
  const std::map<uint32_t, Counter> routes = {
      {10, event_open_pre},         {11, event_open_post},    {12, event_close_pre},   {14, event_setinfo_pre},
      {15, event_setinfo_post},     {16, event_setsecurity_pre}, {17, event_setsecurity_post},
      {18, event_exec_pre},         {20, event_link_pre},     {21, event_link_post},   {35, event_rename_post},
      {45, event_unlink_post},      {47, event_unlink_post}};
  std::vector<uint32_t> types = {50u, 99u, 0xFFFFFFFFu};
  for (uint32_t t = 0; t < kEventCount; ++t) types.push_back(t);
  size_t unhandled = 0;
  for (uint32_t type : types) {
    CounterDelta delta;
    ResetEventRecord(record_.get());
    evt().pid = 42;
    evt().type = type;
    evt().id = 7;
    CapturedTrace trace;
    ev().traceFile = trace.file;
    int result = Dispatch();
    std::string text = trace.Take();
    EXPECT_EQ(delta(total_events), 1u) << type;
    auto route = routes.find(type);
    if (route != routes.end()) {
      EXPECT_EQ(delta(route->second), 1u) << type;
      EXPECT_EQ(delta(event_not_handled), 0u) << type;
      EXPECT_EQ(delta(result == kResultEagain ? eagain_return : lua_return), 1u) << type;
      continue;
    }
    ++unhandled;
    EXPECT_EQ(result, kResultEagain) << type;
    EXPECT_EQ(reply().code, REPLY_ERROR) << type;
    EXPECT_EQ(reply().id, 7u);
    EXPECT_EQ(delta(event_not_handled), 1u);
    EXPECT_EQ(delta(ac_error), 1u);
    EXPECT_EQ(delta.Total(), 3u) << type;
    EXPECT_EQ(text, "Type " + std::to_string(static_cast<int>(type)) +
                        " not supported by C event abstraction\nREPLY_ERROR\n");
  }
  EXPECT_EQ(unhandled, 40u);
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

TEST_F(Dispatcher, PrepareExecEventFillsPathFieldsAndDumps) {
  platform::g_services.query_process_image = FakeImage;
  evt().pid = 42;
  evt().type = 18;
  CopyText(evt().name, kTextCapacity, "C:\\Users\\USER\\Setup.MSI");
  CapturedTrace trace;
  ev().traceFile = trace.file;
  EXPECT_EQ(PrepareExecEvent(&ev()), 0);
  // The process fields and the extension show in the dump.
  EXPECT_STREQ(ev().rlpath, "c:\\users\\user\\setup.msi");
  EXPECT_STREQ(ev().realpath, "C:\\Users\\USER\\Setup.MSI");
  EXPECT_STREQ(ev().path, "C:\\Users\\USER\\");
  EXPECT_STREQ(ev().fileName, "Setup.MSI");
  EXPECT_EQ(trace.Take(),
            "PID: 42\nTYPE: 18\nRLPATH: C:\\Users\\USER\\Setup.MSI\nProcName: C:\\Program Files\\Tool\\App.EXE\n"
            "ProcExtension: exe\nPATH: C:\\Program Files\\Tool\\\nFileName: App.EXE\nExtension: MSI\n");
  // The rename step derives the names from the old name, case kept, and leaves realpath.
  ev().traceFile = nullptr;  // closed by Take
  CopyText(evt().oldname, kTextCapacity, "C:\\Old\\Was.Tmp");
  PrepareFromOldName(&ev());
  EXPECT_STREQ(ev().rlpath, "C:\\Old\\Was.Tmp");
  EXPECT_STREQ(ev().fileExtension, "Tmp");
  EXPECT_STREQ(ev().realpath, "C:\\Users\\USER\\Setup.MSI");
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

}  // namespace
}  // namespace acdc::event
