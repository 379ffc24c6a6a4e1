// The event records: the reset that reuses them, and the exact set of fields each
// producer and preparation step writes. Both walk the records' own field lists, so a
// field added to a record is covered without touching these tests.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "event/abstract_event.h"
#include "event/dispatcher.h"
#include "event/driver_message.h"
#include "event/records.h"
#include "event/text.h"
#include "event_test_support.h"
#include "platform/services.h"

namespace acdc::event {
namespace {

using test_support::FakeImage;
using test_support::Field;
using test_support::FieldBytes;
using test_support::RecordFields;

std::unique_ptr<EventRecord> NewRecord() {
  auto r = std::make_unique<EventRecord>();
  ClearEventRecord(r.get());
  return r;
}

// Writes a value into every field that no zeroing leaves in place: text buffers full
// (keeping the text invariant), everything else all 0xA5 bytes, pointers included.
void DirtyEveryField(EventRecord* r) {
  for (const Field& f : RecordFields()) {
    unsigned char* p = FieldBytes(r, f);
    if (f.text) {
      std::memset(p, 'x', f.size - 1);
      p[f.size - 1] = '\0';
    } else {
      std::memset(p, 0xA5, f.size);
    }
  }
}

// Names of the fields whose bytes differ between two records.
std::set<std::string> ChangedFields(const EventRecord& a, const EventRecord& b) {
  std::set<std::string> changed;
  for (const Field& f : RecordFields()) {
    if (std::memcmp(FieldBytes(const_cast<EventRecord*>(&a), f), FieldBytes(const_cast<EventRecord*>(&b), f),
                    f.size) != 0)
      changed.insert(f.name);
  }
  return changed;
}

TEST(EventRecord, ResetOfEveryFieldEqualsAFullClear) {
  auto r = NewRecord();
  DirtyEveryField(r.get());
  ResetEventRecord(r.get());
  auto cleared = std::make_unique<EventRecord>();
  std::memcpy(static_cast<void*>(cleared.get()), r.get(), sizeof(EventRecord));
  ClearEventRecord(cleared.get());
  cleared->event.evt = &r->data;  // the same record's own data block
  EXPECT_EQ(ChangedFields(*r, *cleared), std::set<std::string>{});
  EXPECT_EQ(std::memcmp(r.get(), cleared.get(), sizeof(EventRecord)), 0) << "padding or an unlisted field";
  EXPECT_EQ(r->event.evt, &r->data);
  EXPECT_STREQ(r->event.basedir, "");
}

// One producer or preparation step, applied to a record whose every field holds a
// value the step would not write, with the inputs the step reads set up first.
struct Step {
  const char* name;
  void (*setup)(EventRecord* r);  // after dirtying: the inputs
  void (*run)(EventRecord* r);
  std::set<std::string> writes;
};

void SetupDriverEvent(EventRecord* r) {
  r->data.pid = 42;
  r->event.evt = &r->data;
  r->event.traceFile = nullptr;
  CopyText(r->data.name, kTextCapacity, "C:\\Dir\\File.TXT");
  CopyText(r->data.oldname, kTextCapacity, "C:\\Old\\Was.Tmp");
}

const std::set<std::string> kExecWrites = {
    "event.pid",  "event.procName", "event.procPath", "event.procFileName", "event.rlpath",
    "event.path", "event.fileName", "event.realpath", "event.procExtension", "event.fileExtension",
};
const std::set<std::string> kFromNameWrites = {
    "event.pid", "event.procName", "event.rlpath", "event.path", "event.fileName", "event.fileExtension",
};

TEST(PreparationSteps, EachWritesExactlyItsFields) {
  platform::Services saved = platform::g_services;
  platform::g_services.query_process_image = FakeImage;
  const Step steps[] = {
      {"PrepareExecEvent", SetupDriverEvent, [](EventRecord* r) { PrepareExecEvent(&r->event); }, kExecWrites},
      {"PrepareFromName", SetupDriverEvent, [](EventRecord* r) { PrepareFromName(&r->event); }, kFromNameWrites},
      {"PrepareFromOldName", SetupDriverEvent, [](EventRecord* r) { PrepareFromOldName(&r->event); },
       kFromNameWrites},
  };
  for (const Step& s : steps) {
    // A process that cannot be looked up (pid 43) leaves everything but the pid copy.
    for (uint64_t pid : {42u, 43u}) {
      auto r = NewRecord();
      DirtyEveryField(r.get());
      s.setup(r.get());
      r->data.pid = pid;
      auto before = std::make_unique<EventRecord>();
      std::memcpy(static_cast<void*>(before.get()), r.get(), sizeof(EventRecord));
      s.run(r.get());
      EXPECT_EQ(ChangedFields(*before, *r), pid == 42 ? s.writes : std::set<std::string>{"event.pid"}) << s.name;
    }
  }
  platform::g_services = saved;
}

// The producers start from a reset: after them, exactly these fields are non-zero.
std::set<std::string> NonZeroFields(EventRecord* r) {
  std::set<std::string> set;
  for (const Field& f : RecordFields()) {
    const unsigned char* p = FieldBytes(r, f);
    for (size_t i = 0; i < f.size; ++i) {
      if (p[i] != 0) {
        set.insert(f.name);
        break;
      }
    }
  }
  return set;
}

TEST(Producers, AbstractEventFillsItsFieldsOnly) {
  auto r = NewRecord();
  DirtyEveryField(r.get());
  // type, flags, rc, dirty, maintenanceMode, lockdown, authorizeStartTime, basedir, rlpath, procName.
  AbstractEventInput in = {18, 3, 4, 5, 6, 7, 8, "C:\\base", "C:\\Dir\\File.TXT", 15, "C:\\P\\Tool.EXE", 13};
  FillAbstractEvent(r.get(), in);
  EXPECT_EQ(NonZeroFields(r.get()),
            (std::set<std::string>{"data.type", "data.pid", "data.rc", "data.dirty", "data.flags", "data.name",
                                   "event.evt", "event.procName", "event.procExtension", "event.procPath",
                                   "event.path", "event.procFileName", "event.fileName", "event.fileExtension",
                                   "event.rlpath", "event.ac_on", "event.lockdown", "event.basedir",
                                   "event.maintenanceMode", "event.authorizeStartTime"}));
  EXPECT_EQ(r->data.pid, 555u);
  EXPECT_EQ(r->event.ac_on, 1u);
  EXPECT_STREQ(r->event.rlpath, "c:\\dir\\file.txt");
  EXPECT_STREQ(r->event.path, "C:\\Dir\\");
  EXPECT_STREQ(r->event.procExtension, "exe");
  EXPECT_STREQ(r->event.fileExtension, "TXT");
  EXPECT_EQ(r->event.realpath[0], '\0');

  // Without procName no path field is derived, not even from rlpath.
  in.procName = nullptr;
  FillAbstractEvent(r.get(), in);
  std::set<std::string> set = NonZeroFields(r.get());
  EXPECT_EQ(set.count("data.name") + set.count("event.rlpath") + set.count("event.path"), 0u);
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

TEST(Producers, DriverMessageFillsItsFieldsOnlyAndKeepsTheMessageId) {
  auto r = NewRecord();
  DirtyEveryField(r.get());
  Message m;
  m.U64(msg::kMessageId, 0x1122334455667788ull);
  // kMissed is passed to Lua from the message, never through the record.
  for (auto [at, v] : {std::pair<size_t, uint32_t>{msg::kType, 35}, {msg::kId, 0xFFFFFFF0u}, {msg::kMissed, 77},
                       {msg::kPid, 4242}, {msg::kPpid, 4}, {msg::kRc, static_cast<uint32_t>(-5)}, {msg::kFd, 9},
                       {msg::kDelete, 1}, {msg::kDirty, 1}, {msg::kMode, 0x80000001u}, {msg::kFlags, 0x80000000u}})
    m.U32(at, v);
  std::u16string name = u"C:\\Users\\\u00c9t\u00e9\\a.txt";
  m.Name(msg::kNameSize, msg::kName, name, static_cast<uint32_t>(name.size() * 2 + 1));  // odd: last byte ignored
  m.Name(msg::kOldNameSize, msg::kOldName, std::u16string(600, u'x'), 5000);               // clamped to the field
  FILE* trace = reinterpret_cast<FILE*>(0x10);  // only stored, never written here
  DecodeInputs in = {1, 2, "C:\\base", 3, 1234, trace};
  FillEventRecord(m.bytes, in, r.get());
  EXPECT_EQ(NonZeroFields(r.get()),
            (std::set<std::string>{"data.type", "data.pid", "data.id", "data.rc", "data.fd", "data.dirty",
                                   "data.flags", "data.mode", "data.name", "data.oldname", "event.evt",
                                   "event.cache_type", "event.ac_on", "event.lockdown", "event.basedir",
                                   "event.maintenanceMode", "event.authorizeStartTime", "event.traceFile",
                                   "messageId"}));
  // The values as decoded reach the event table and the logs, checked end to end with the decoder; here
  // what those do not show: the full 64-bit message id and the decode inputs.
  EXPECT_EQ(r->messageId, 0x1122334455667788ull);
  EXPECT_EQ(r->data.flags, 0xFFFFFFFF80000000ull);
  EXPECT_EQ(std::strlen(r->data.oldname), 512u);
  EXPECT_EQ(r->event.cache_type, -1);
  EXPECT_EQ(r->event.evt, &r->data);
  EXPECT_STREQ(r->event.basedir, "C:\\base");
  EXPECT_EQ(r->event.lockdown, 2u);
  EXPECT_EQ(r->event.maintenanceMode, 3u);
  EXPECT_EQ(r->event.authorizeStartTime, 1234u);
  EXPECT_TRUE(EventRecordTextsAreClean(*r));

  // The next, shorter message leaves no trace of the first.
  Message m2;
  m2.U32(msg::kType, 13);
  m2.Name(msg::kNameSize, msg::kName, u"C:\\b", 8);
  in.traceFile = nullptr;
  FillEventRecord(m2.bytes, in, r.get());
  EXPECT_STREQ(r->data.name, "C:\\b");
  EXPECT_EQ(r->data.oldname[0], '\0');
  EXPECT_EQ(r->data.rc, 0);
  EXPECT_EQ(r->messageId, 0u);
  EXPECT_TRUE(EventRecordTextsAreClean(*r));
}

}  // namespace
}  // namespace acdc::event
