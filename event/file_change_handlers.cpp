// Files created, renamed, deleted, re-attributed, re-secured and linked. Nothing here
// blocks: an event is answered REPLY_IGNORE at once, or prepared and handed to Lua
// as a changed file.
#include <cinttypes>

#include "cache/classification.h"
#include "event/counters.h"
#include "event/dispatcher.h"
#include "event/event_table.h"
#include "event/handlers.h"
#include "event/process_image.h"
#include "event/text.h"
#include "event/trace.h"

namespace acdc::event {

namespace {

// rlpath, path, fileName and fileExtension from the event's name, case kept.
void TakeFileFieldsFromName(AcEvent* ev) {
  CopyText(ev->rlpath, kTextCapacity, ev->evt->name);
  SplitPath(ev->path, ev->fileName, ev->evt->name);
  GetExtension(ev->fileName, ev->fileExtension);
}

// The set-info, set-security and link pre-events: the process is looked up for
// what Lua might read, and the driver is told to ignore. They count in their
// handoff counters although they answer natively.
int IgnorePre(AcEvent* ev, AcReply* reply, Counter counter) {
  GetProcessImagePath(ev->evt->pid, ev->procName);
  Count(counter);
  return ReplyIgnoreEagain(ev, reply);
}

// The post-events' common preparation: the process, then the file's fields.
void PreparePost(AcEvent* ev, Counter counter) {
  GetProcessImagePath(ev->evt->pid, ev->procName);
  TakeFileFieldsFromName(ev);
  Count(counter);
}

// `mode` is the driver's open mode: a bit mask, printed as such.
inline uint64_t ModeBits(const AcEvent& ev) { return static_cast<uint64_t>(ev.evt->mode); }

}  // namespace

int HandleCreatePost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "EVENT_CREATE_POST\n");
  if (ev->evt->dirty == 0) {
    Count(open_post_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  // The process is not looked up, and path, fileName and fileExtension stay empty.
  CopyText(ev->rlpath, kTextCapacity, ev->evt->name);
  ev->evt->action_type = TYPE_CREATE;
  ev->evt->operationType = "update";
  Trace(*ev, "For %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->evt->name, ModeBits(*ev), ev->evt->flags);
  Count(open_post_handoff);
  return ReplyIgnoreLua(ev, reply);
}

int HandleRenamePost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "EVENT_RENAME_POST with evt.rc %d\n", static_cast<int>(ev->evt->rc));
  TraceFlush(*ev);
  if (ev->evt->rc != 0) {
    Count(rename_post_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  GetExtension(ev->evt->name, ev->evt->newExtension);
  PrepareFromOldName(ev);
  CopyText(ev->evt->oldname, kTextCapacity, ev->rlpath);
  PrepareFromName(ev);
  Trace(*ev, "Oldname=%s Newname=%s\n", ev->evt->oldname, ev->rlpath);
  TraceFlush(*ev);
  // Only renames that produce an executable or a script are drift worth Lua's time.
  if (ev->ac_on != 0 && cache::QuickDriftFilter(ev->fileExtension)) {
    Trace(*ev, "Pass Drift Filter\n");
    TraceFlush(*ev);
    Count(quick_drift_filter);
    Count(rename_post_handoff);
    ev->evt->action_type = TYPE_CREATE;
    ev->evt->operationType = "rename";
    return kResultLua;
  }
  Trace(*ev, "RENAME_POST Drift filtered by quick filter for %s\n", ev->rlpath);
  TraceFlush(*ev);
  Count(quick_filter_filter);
  Count(rename_post_eagain);
  return ReplyIgnoreEagain(ev, reply);
}

int HandleUnlinkPost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "EVENT_UNLINK_POST with evt.rc %d\n", static_cast<int>(ev->evt->rc));
  if (ev->evt->rc == 0) {
    GetExtension(ev->evt->name, ev->evt->newExtension);
    PrepareFromName(ev);
  }
  // Deletions never reach Lua through this path.
  Count(unlink_post_eagain);
  return ReplyIgnoreEagain(ev, reply);
}

int HandleSetInfoPre(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_SETINFO_PRE\n");
  return IgnorePre(ev, reply, setinfo_pre_handoff);
}

int HandleSetSecurityPre(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_SETSECURITY_PRE for %s\n", ev->evt->name);
  return IgnorePre(ev, reply, setsecurity_pre_handoff);
}

int HandleLinkPre(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_LINK_PRE\n");
  return IgnorePre(ev, reply, link_pre_handoff);
}

int HandleSetInfoPost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_SETINFO_POST for %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->evt->name, ModeBits(*ev),
        ev->evt->flags);
  PreparePost(ev, setinfo_post_handoff);
  ev->evt->action_type = TYPE_CREATE;
  ev->evt->operationType = "update";
  return kResultLua;
}

int HandleSetSecurityPost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_SETSECURITY_POST for %s mode=%" PRIu64 " flags=%" PRIu64 "\n", ev->evt->name,
        ModeBits(*ev), ev->evt->flags);
  PreparePost(ev, setsecurity_post_handoff);
  ev->evt->action_type = TYPE_CREATE;
  ev->evt->operationType = "update";
  return ReplyIgnoreLua(ev, reply);
}

int HandleLinkPost(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "Windows EVENT_LINK_POST\n");
  PreparePost(ev, link_post_handoff);
  return kResultLua;
}

}  // namespace acdc::event
