#include "event/dispatcher.h"

#include <cinttypes>

#include "event/counters.h"
#include "event/text.h"
#include "event/trace.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::event {

namespace {

struct Route {
  Handler handler;  // null: answered as a type without a handler
  Counter counter;  // counted once the handler has returned
};

// Routing by event number. The handlers of the execution, open, cleanup and
// file-change events take their places here as they are written; until then those
// numbers are answered like any other number without a handler.
constexpr Route kNoRoute = {nullptr, kCounterCount};

struct RouteTable {
  Route routes[kMaxEventType + 1];
  constexpr RouteTable() : routes() {
    for (Route& r : routes) r = kNoRoute;
    routes[10] = {nullptr, event_open_pre};        // EVENT_CREATE_PRE: HandleCreatePre
    routes[11] = {nullptr, event_open_post};       // EVENT_CREATE_POST: HandleCreatePost
    routes[12] = {nullptr, event_close_pre};       // EVENT_CLEANUP_PRE: HandleCleanupPre
    routes[14] = {nullptr, event_setinfo_pre};     // EVENT_SETINFO_PRE: HandleSetInfoPre
    routes[15] = {nullptr, event_setinfo_post};    // EVENT_SETINFO_POST: HandleSetInfoPost
    routes[16] = {nullptr, event_setsecurity_pre};   // EVENT_SETSECURITY_PRE: HandleSetSecurityPre
    routes[17] = {nullptr, event_setsecurity_post};  // EVENT_SETSECURITY_POST: HandleSetSecurityPost
    routes[18] = {nullptr, event_exec_pre};        // EVENT_EXEC_PRE: HandleExecPre
    routes[20] = {nullptr, event_link_pre};        // EVENT_LINK_PRE: HandleLinkPre
    routes[21] = {nullptr, event_link_post};       // EVENT_LINK_POST: HandleLinkPost
    routes[35] = {nullptr, event_rename_post};     // EVENT_RENAME_POST: HandleRenamePost
    routes[45] = {nullptr, event_unlink_post};     // EVENT_UNLINK_POST: HandleUnlinkPost
    routes[47] = {nullptr, event_unlink_post};     // EVENT_UNLINKAT_POST: HandleUnlinkPost
  }
};

constexpr RouteTable kRouteTable;

inline int Reply(AcEvent* ev, AcReply* reply, const char* line, Counter counter, ReplyCode code,
                 int result) {
  Trace(*ev, "%s", line);
  Count(counter);
  reply->code = code;
  reply->id = static_cast<uint32_t>(ev->evt->id);
  return result;
}

// Windows file times from _stat64 are seconds, but other sources give milliseconds
// or microseconds; the rule goes by magnitude. Times before 1970 count as 0.
uint64_t ToMilliseconds(int64_t t) {
  if (t <= 0) return 0;
  uint64_t v = static_cast<uint64_t>(t);
  if (v >= 10000000000000ull) return v / 1000;
  if (v < 10000000000ull) return v * 1000;
  return v;
}

int PrepareFromSource(AcEvent* ev, const char* source) {
  ev->pid = ev->evt->pid;
  if (!GetProcessImagePath(ev->evt->pid, ev->procName)) return 0;
  CopyText(ev->rlpath, kTextCapacity, source);
  SplitPath(ev->path, ev->fileName, ev->rlpath);
  GetExtension(ev->fileName, ev->fileExtension);
  if (ev->traceFile != nullptr) DumpEvent(*ev);
  return 0;
}

}  // namespace

int DispatchEvent(AcReply* reply, AcEvent* ev) {
  const AcEventData& evt = *ev->evt;
  if (evt.pid == platform::CurrentProcessId()) {
    Trace(*ev, "Filtering out own event\n");
    return ReplyIgnoreEagain(ev, reply);
  }
  if (evt.type <= kMaxEventType) {
    const Route& route = kRouteTable.routes[evt.type];
    if (route.handler != nullptr) {
      int result = route.handler(ev, reply);
      Count(route.counter);
      CountDispatchResult(result);
      return result;
    }
  }
  Count(event_not_handled);
  Count(total_events);
  Trace(*ev, "Type %d not supported by C event abstraction\n", static_cast<int>(evt.type));
  return ReplyError(ev, reply);
}

int ReplyIgnoreEagain(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_IGNORE_EAGAIN\n", ac_ignore, REPLY_IGNORE, kResultEagain);
}
int ReplyIgnoreLua(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_IGNORE_LUA\n", ac_ignore, REPLY_IGNORE, kResultReplied);
}
int ReplyAllowEagain(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_ALLOW\n", ac_allow, REPLY_ALLOW, kResultEagain);
}
int ReplyAllowLua(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_ALLOW\n", ac_allow, REPLY_ALLOW, kResultReplied);
}
// A native block is always passed on to Lua as well.
int ReplyBlockLua(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_BLOCK\n", ac_block, REPLY_BLOCK, kResultReplied);
}
int ReplyError(AcEvent* ev, AcReply* reply) {
  return Reply(ev, reply, "REPLY_ERROR\n", ac_error, REPLY_ERROR, kResultEagain);
}

void CountDispatchResult(int result) {
  Count(result == kResultEagain ? eagain_return : lua_return);
  Count(total_events);
}

int PrepareExecEvent(AcEvent* ev) {
  ev->pid = ev->evt->pid;
  if (!GetProcessImagePath(ev->evt->pid, ev->procName)) return 0;
  SplitPath(ev->procPath, ev->procFileName, ev->procName);
  CopyText(ev->rlpath, kTextCapacity, ev->evt->name);
  SplitPath(ev->path, ev->fileName, ev->rlpath);
  CopyText(ev->realpath, kTextCapacity, ev->rlpath);
  LowerCase(ev->rlpath);
  GetExtension(ev->procName, ev->procExtension);
  LowerCase(ev->procExtension);
  GetExtension(ev->fileName, ev->fileExtension);
  if (ev->traceFile != nullptr) DumpEvent(*ev);
  return 0;
}

int PrepareFromName(AcEvent* ev) { return PrepareFromSource(ev, ev->evt->name); }
int PrepareFromOldName(AcEvent* ev) { return PrepareFromSource(ev, ev->evt->oldname); }

int CheckAutoAuthorize(AcEvent* ev) {
  if (ev->maintenanceMode != 1) return 0;
  Trace(*ev, "Maintenance mode set, check for auto-authorize\n");
  platform::FileStatus st;
  if (platform::GetFileStatus(ev->rlpath, &st) != platform::kErrorSuccess) {
    Trace(*ev, "Error getting attributes of path '%s': Failed stat\n", ev->rlpath);
    return 0;
  }
  uint64_t now = platform::NowMilliseconds();
  uint64_t created = ToMilliseconds(st.creation_time);
  uint64_t modified = ToMilliseconds(st.modification_time);
  // Full 64-bit values: a trace of millisecond times cut to 32 bits would be unreadable.
  Trace(*ev, "Time Vals: startTime=%" PRIu64 ", time=%" PRIu64 ", createTime=%" PRIu64 ", modifiedTime=%" PRIu64 "\n",
        ev->authorizeStartTime, now, created, modified);
  if (!(now > created && now > modified)) return 0;
  if (created > ev->authorizeStartTime || modified > ev->authorizeStartTime) {
    Count(RunAllowedAutoAuthorize);
    Trace(*ev, "Unrecognized process %s approved because create/modified time is after authorize start time\n",
          ev->rlpath);
    return 1;
  }
  return 0;
}

platform::Win32Error LookupProcessImage(uint32_t pid, char* out, platform::ImageQueryStep* step) {
  char16_t wide[kTextCapacity];
  uint32_t len = kTextCapacity;
  platform::Win32Error err = platform::QueryProcessImage(pid, wide, &len, step);
  if (err != platform::kErrorSuccess) return err;
  char utf8[kTextCapacity];
  size_t written = 0;
  err = platform::Utf16ToUtf8(wide, len, utf8, sizeof utf8, &written);
  if (err != platform::kErrorSuccess) {
    *step = platform::ImageQueryStep::kQueryImageName;
    return err;
  }
  CopyTextN(out, kTextCapacity, utf8, written);
  return platform::kErrorSuccess;
}

int GetProcessImagePath(uint32_t pid, char* out) {
  platform::ImageQueryStep step;
  return LookupProcessImage(pid, out, &step) == platform::kErrorSuccess ? 1 : 0;
}

void DumpEvent(const AcEvent& ev) {
  if (ev.traceFile == nullptr) return;
  Trace(ev, "PID: %" PRIu64 "\n", ev.pid);
  Trace(ev, "TYPE: %d\n", static_cast<int>(ev.evt->type));
  Trace(ev, "RLPATH: %s\n", ev.realpath);
  Trace(ev, "ProcName: %s\n", ev.procName);
  Trace(ev, "ProcExtension: %s\n", ev.procExtension);
  Trace(ev, "PATH: %s\n", ev.procPath);
  Trace(ev, "FileName: %s\n", ev.procFileName);
  Trace(ev, "Extension: %s\n", ev.fileExtension);
  TraceFlush(ev);
}

}  // namespace acdc::event
