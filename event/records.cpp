#include "event/records.h"

#include <cstring>

#include "event/text.h"

namespace acdc::event {

namespace {

// Every text buffer of a record, so that reset and check cannot miss one.
template <typename Record, typename Fn>
void ForEachText(Record& r, Fn fn) {
  fn(r.data.name, kTextCapacity);
  fn(r.data.oldname, kTextCapacity);
  fn(r.data.newExtension, kExtensionCapacity);
  fn(r.event.ruleset, kTextCapacity);
  fn(r.event.procName, kTextCapacity);
  fn(r.event.procExtension, kExtensionCapacity);
  fn(r.event.procPath, kTextCapacity);
  fn(r.event.path, kTextCapacity);
  fn(r.event.procFileName, kTextCapacity);
  fn(r.event.fileName, kTextCapacity);
  fn(r.event.fileExtension, kExtensionCapacity);
  fn(r.event.rlpath, kTextCapacity);
  fn(r.event.realpath, kTextCapacity);
}

}  // namespace

void ResetEventRecord(EventRecord* r) {
  ForEachText(*r, [](char* buf, size_t cap) { ClearText(buf, cap); });
  r->reply = AcReply{};

  AcEventData& d = r->data;
  d.type = 0;
  d.pid = 0;
  d.id = 0;
  d.rc = 0;
  d.fd = 0;
  d.dirty = 0;
  d.flags = 0;
  d.mode = 0;
  d.previousMode = 0;
  d.action_type = 0;
  d.action_type_str = nullptr;
  d.operationType = nullptr;

  AcEvent& e = r->event;
  e.evt = &r->data;
  e.pid = 0;
  e.size = 0;
  e.processTypeIndex = 0;
  e.skipProcessCache = 0;
  e.isexec = 0;
  e.cache_type = 0;
  e.bind_action = 0;
  e.ac_on = 0;
  e.lockdown = 0;
  e.basedir = "";
  e.maintenanceMode = 0;
  e.authorizeStartTime = 0;
  e.isdrift = 0;
  e.newfilter = 0;
  e.traceFile = nullptr;
  e.eventsFile = nullptr;
}

void ClearEventRecord(EventRecord* r) {
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->event.evt = &r->data;
  r->event.basedir = "";
}

bool EventRecordTextsAreClean(const EventRecord& r) {
  bool clean = true;
  ForEachText(r, [&clean](const char* buf, size_t cap) {
    size_t n = strnlen(buf, cap);
    if (n == cap) {
      clean = false;
      return;
    }
    for (size_t i = n; i < cap; ++i)
      if (buf[i] != '\0') clean = false;
  });
  return clean;
}

}  // namespace acdc::event
