#include "event/dispatcher.h"

#include <cinttypes>
#include <cstring>

#include "event/counters.h"
#include "event/handlers.h"
#include "event/path_fields.h"
#include "event/text.h"
#include "event/process_image.h"
#include "event/trace.h"
#include "platform/services.h"

namespace acdc::event {

namespace {

struct Route {
  Handler handler;  // null: answered as a type without a handler
  Counter counter;  // counted once the handler has returned
};

constexpr Handler kNoHandler = nullptr;
constexpr Counter kNoCounter = kCounterCount;

#define ACDC_ROUTE(number, name, log, handler, counter) Route{handler, counter},
constexpr Route kRoutes[kEventCount] = {ACDC_EVENT_TABLE(ACDC_ROUTE)};
#undef ACDC_ROUTE

inline int Reply(AcEvent* ev, AcReply* reply, const char* line, Counter counter, ReplyCode code,
                 int result) {
  Trace(*ev, "%s", line);
  Count(counter);
  reply->code = code;
  reply->id = static_cast<uint32_t>(ev->evt->id);
  return result;
}

int PrepareFromSource(AcEvent* ev, const char* source) {
  ev->pid = ev->evt->pid;
  if (!GetProcessImagePath(ev->evt->pid, ev->procName)) return 0;
  TakeFileExtension(ev, SplitRlpath(ev, CopyToRlpath(ev, source)));
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
  if (evt.type < kEventCount) {
    const Route& route = kRoutes[evt.type];
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
  const size_t image_len = strnlen(ev->procName, kTextCapacity);
  SplitProcName(ev, image_len);
  const size_t len = CopyToRlpath(ev, ev->evt->name);
  const size_t file_len = SplitRlpath(ev, len);
  CopyTextKnown(ev->realpath, kTextCapacity, ev->rlpath, len);
  LowerCaseN(ev->rlpath, len);
  TakeProcExtension(ev, image_len);
  TakeFileExtension(ev, file_len);
  if (ev->traceFile != nullptr) DumpEvent(*ev);
  return 0;
}

// Renames and unlinks keep the name's case and derive no process fields.
int PrepareFromName(AcEvent* ev) { return PrepareFromSource(ev, ev->evt->name); }
int PrepareFromOldName(AcEvent* ev) { return PrepareFromSource(ev, ev->evt->oldname); }

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
