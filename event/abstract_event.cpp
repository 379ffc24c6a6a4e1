#include "event/abstract_event.h"

#include "event/dispatcher.h"
#include "event/path_fields.h"
#include "event/text.h"

namespace acdc::event {

void FillAbstractEvent(EventRecord* r, const AbstractEventInput& in) {
  ResetEventRecord(r);
  AcEventData& d = r->data;
  AcEvent& e = r->event;
  d.type = in.type;
  d.flags = in.flags;
  d.rc = in.rc;
  d.dirty = in.dirty;
  e.maintenanceMode = in.maintenanceMode;
  e.lockdown = in.lockdown;
  e.basedir = in.basedir;
  e.authorizeStartTime = in.authorizeStartTime;
  d.pid = kAbstractEventPid;
  e.ac_on = 1;
  // Only with both paths: the split of one without the other would describe half
  // an event.
  if (in.rlpath != nullptr && in.procName != nullptr) {
    CopyTextN(d.name, kTextCapacity, in.rlpath, in.rlpath_len);
    CopyTextN(e.rlpath, kTextCapacity, in.rlpath, in.rlpath_len);
    CopyTextN(e.procName, kTextCapacity, in.procName, in.procName_len);
    SplitProcName(&e, in.procName_len);
    // Before lower-casing, so that path and fileName keep the input's case.
    const size_t file_len = SplitRlpath(&e, in.rlpath_len);
    LowerCaseN(e.rlpath, in.rlpath_len);
    TakeProcExtension(&e, in.procName_len);
    TakeFileExtension(&e, file_len);
  }
}

int DispatchAbstractEvent(EventRecord* r, const AbstractEventInput& in) {
  FillAbstractEvent(r, in);
  return DispatchEvent(&r->reply, &r->event);
}

}  // namespace acdc::event
