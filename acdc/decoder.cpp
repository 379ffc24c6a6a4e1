#include "acdc/decoder.h"

#include <cstdio>
#include <cstring>

#include "acdc/channel.h"
#include "event/dispatcher.h"
#include "event/driver_message.h"
#include "event/event_table.h"
#include "event/text.h"
#include "event/trace.h"
#include "platform/log_file.h"

namespace acdc::decoder {

Dispatch g_dispatch = event::DispatchEvent;

namespace {

namespace msg = event::msg;
using event::EventTypeName;
using event::LoadI32;
using event::LoadU32;
using event::LoadU64;

// The events log prints its "%lu" fields as Windows does, where long is 32 bits: the
// low 32 bits of each value.
inline unsigned Low32(uint64_t v) { return static_cast<unsigned>(v & 0xFFFFFFFFu); }

inline const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

void WriteOutOfRange(uint32_t type) {
  std::FILE* events = platform::OpenAppendStream(event::kEventsLogPath);
  if (events == nullptr) return;
  std::fprintf(events, "{\"error\":\"OUT_OF_RANGE\",\"event\":\"%s\",\"event_num\":%d\n}", EventTypeName(type),
               static_cast<int>(type));
  std::fclose(events);
}

void WriteEventRecord(const uint8_t* message, event::EventRecord* r) {
  std::FILE* events = platform::OpenAppendStream(event::kEventsLogPath);
  if (events == nullptr) return;
  event::AcEvent& e = r->event;
  const event::AcEventData& d = r->data;
  e.eventsFile = events;
  std::fputs("{", events);
  std::fprintf(events,
               "\"event\":\"%s\",\"name\":\"%s\",\"oldname\":\"%s\",\"realpath\":\"%s\",\"path\":\"%s\","
               "\"fileName\":\"%s\",\"fileExtension\":\"%s\",",
               EventTypeName(d.type), d.name, d.oldname, e.realpath, e.path, e.fileName, e.fileExtension);
  std::fprintf(events,
               "\"size\":%u,\"bind_action\":%d,\"cache_type\":%d,\"isdrift\":%d,\"newfilter\":%d,"
               "\"processTypeIndex\":%u,",
               Low32(e.size), e.bind_action, e.cache_type, static_cast<int>(e.isdrift), static_cast<int>(e.newfilter),
               Low32(e.processTypeIndex));
  std::fprintf(events,
               "\"action_type\":\"%s\",\"action_type_str\":\"%s\",\"operationType\":\"%s\",\"newExtension\":\"%s\","
               "\"previousMode\":%u,\"ruleset\":\"%s\",",
               EventTypeName(static_cast<uint32_t>(d.action_type)), OrNull(d.action_type_str), OrNull(d.operationType),
               d.newExtension, Low32(d.previousMode), e.ruleset);
  std::fprintf(events, "\"pid\":%d,\"dirty\":%d,\"rc\":%u,\"fd\":%d,\"flags\":%d,\"mode\":%d",
               LoadI32(message + msg::kPid), LoadI32(message + msg::kDirty), LoadU32(message + msg::kRc),
               LoadI32(message + msg::kFd), LoadI32(message + msg::kFlags), LoadI32(message + msg::kMode));
  std::fputs("}\n", events);
  e.eventsFile = nullptr;
  std::fclose(events);
}

// A subtype whose first and last bytes are both set is not NUL-terminated.
bool SubtypeIsMalformed(const uint8_t* message) {
  return message[msg::kSubtype] != 0 && message[msg::kSubtype + msg::kSubtypeSize - 1] != 0;
}

void FormatSubtypeError(const uint8_t* message, char (&error)[kErrorCapacity]) {
  const uint8_t* subtype = message + msg::kSubtype;
  char hex[msg::kSubtypeSize * 3];
  for (size_t i = 0; i < msg::kSubtypeSize; ++i)
    std::snprintf(hex + 3 * i, 4, i + 1 < msg::kSubtypeSize ? "%02X:" : "%02X", subtype[i]);
  std::snprintf(error, sizeof error, "Subtype is not null-terminated: '%.*s' hex %s\n",
                static_cast<int>(msg::kSubtypeSize), reinterpret_cast<const char*>(subtype), hex);
}

}  // namespace

Outcome Decide(const uint8_t* message, const Inputs& in, event::EventRecord* r, char (&error)[kErrorCapacity]) {
  uint32_t type = LoadU32(message + msg::kType);
  std::FILE* trace = nullptr;
  if (in.trace != 0) {
    trace = platform::OpenAppendStream(event::kTraceLogPath);
    if (trace != nullptr) {
      std::fputs("==EVENT==\n", trace);
      std::fprintf(trace, "ac_on=%d, lockdown=%d, maintenanceMode=%d, basedir=%s, Event=%s=%d\n",
                   static_cast<int>(in.ac_on), static_cast<int>(in.lockdown), static_cast<int>(in.maintenanceMode),
                   in.basedir, EventTypeName(type), static_cast<int>(type));
      std::fflush(trace);
    }
  }

  // Outside 1 to 49 nothing is dispatched and nothing counted; the driver still gets
  // its answer rather than waiting out its own time-out.
  if (type == 0 || type > event::kMaxEventType) {
    if (in.trace != 0) WriteOutOfRange(type);
    if (trace != nullptr) std::fclose(trace);
    channel::SendReply(LoadU64(message + msg::kMessageId), event::REPLY_ERROR, LoadU32(message + msg::kId), 0, 0);
    return Outcome::kConsumed;
  }

  event::DecodeInputs fill = {in.ac_on, in.lockdown, in.basedir, in.maintenanceMode, in.authorizeStartTime, trace};
  event::FillEventRecord(message, fill, r);
  event::AcEvent& e = r->event;
  int result = g_dispatch(&r->reply, &e);
  if (e.realpath[0] == '\0') event::CopyText(e.realpath, event::kTextCapacity, e.rlpath);
  if (in.trace != 0) WriteEventRecord(message, r);
  if (result != event::kResultLua) {
    channel::SendReply(r->messageId, r->reply.code, r->reply.id, 0, 0);
    e.bind_action = static_cast<int32_t>(r->reply.code);
  }

  const event::AcEventData& d = r->data;
  if (result == event::kResultEagain) {
    if (trace != nullptr) {
      std::fprintf(trace, "Replying EAGAIN for id %d type %d name %s realpath %s\n\n", static_cast<int>(d.id),
                   static_cast<int>(d.type), d.name, e.rlpath);
      std::fclose(trace);
      e.traceFile = nullptr;
    }
    return Outcome::kConsumed;
  }
  if (trace != nullptr) {
    std::fprintf(trace, "LUA fall through for id %d type %d name %s realpath %s\n", static_cast<int>(d.id),
                 static_cast<int>(d.type), d.name, e.rlpath);
    std::fflush(trace);
  }
  if (SubtypeIsMalformed(message)) {
    if (trace != nullptr) std::fclose(trace);
    e.traceFile = nullptr;
    FormatSubtypeError(message, error);
    // Lua will never see this event, so it would never be answered: answer it here,
    // unless the fast path has already.
    if (result == event::kResultLua) channel::SendReply(r->messageId, event::REPLY_ERROR, LoadU32(message + msg::kId), 0, 0);
    return Outcome::kSubtypeError;
  }
  if (trace != nullptr) {
    std::fputs("EXIT\n\n", trace);
    std::fclose(trace);
  }
  e.traceFile = nullptr;
  return Outcome::kTable;
}

namespace {

void SetInteger(lua_State* L, const char* key, lua_Integer v) {
  lua_pushinteger(L, v);
  lua_setfield(L, -2, key);
}

void SetString(lua_State* L, const char* key, const char* text, size_t len) {
  lua_pushlstring(L, text, len);
  lua_setfield(L, -2, key);
}

void SetText(lua_State* L, const char* key, const char* text) { SetString(L, key, text, std::strlen(text)); }

}  // namespace

void PushEventTable(lua_State* L, const uint8_t* message, const event::EventRecord& r) {
  const event::AcEvent& e = r.event;
  const event::AcEventData& d = r.data;
  lua_createtable(L, 0, 32);
  SetInteger(L, "id", LoadU32(message + msg::kId));
  SetInteger(L, "pid", LoadU32(message + msg::kPid));
  SetInteger(L, "ppid", LoadU32(message + msg::kPpid));
  SetInteger(L, "type", LoadU32(message + msg::kType));
  SetInteger(L, "missed", LoadU32(message + msg::kMissed));
  SetInteger(L, "MessageId", Low32(LoadU64(message + msg::kMessageId)));
  SetInteger(L, "flags", LoadU32(message + msg::kFlags));
  SetInteger(L, "mode", LoadU32(message + msg::kMode));
  SetInteger(L, "rc", LoadI32(message + msg::kRc));
  SetInteger(L, "fd", LoadI32(message + msg::kFd));
  SetInteger(L, "dirty", LoadI32(message + msg::kDirty));
  SetInteger(L, "delete", LoadI32(message + msg::kDelete));
  if (message[msg::kSubtype] != 0)
    SetText(L, "subtype", reinterpret_cast<const char*>(message + msg::kSubtype));  // NUL-terminated: checked
  if (size_t n = std::strlen(d.name)) {
    SetString(L, "name", d.name, n);
    SetInteger(L, "namesize", static_cast<lua_Integer>(n));
  }
  if (size_t n = std::strlen(d.oldname)) {
    SetString(L, "oldname", d.oldname, n);
    SetInteger(L, "oldnamesize", static_cast<lua_Integer>(n));
  }
  // Clamped to the field, as the names are.
  if (uint32_t sidsize = LoadU32(message + msg::kSidSize)) {
    size_t n = sidsize < msg::kNameCapacity ? sidsize : msg::kNameCapacity;
    SetString(L, "sid", reinterpret_cast<const char*>(message + msg::kSid), n);
    SetInteger(L, "sidsize", static_cast<lua_Integer>(n));
  }
  SetText(L, "processName", e.procName);
  SetText(L, "realpath", e.realpath);
  SetText(L, "path", e.path);
  SetText(L, "fileName", e.fileName);
  SetText(L, "fileExtension", e.fileExtension);
  SetText(L, "ruleset", e.ruleset);
  if (e.size != 0) SetInteger(L, "size", static_cast<lua_Integer>(e.size));
  if (e.bind_action != 0) SetInteger(L, "bind_action", e.bind_action);
  if (e.cache_type >= 0) SetInteger(L, "cache_type", e.cache_type);
  if (e.isdrift != 0) {
    lua_pushboolean(L, 1);
    lua_setfield(L, -2, "isdrift");
  }
  if (e.isexec != 0) {
    lua_pushboolean(L, 1);
    lua_setfield(L, -2, "isexec");
  }
  if (d.action_type >= 1) SetInteger(L, "action_type", d.action_type);
  else if (d.action_type_str != nullptr) SetText(L, "action_type", d.action_type_str);
  if (d.operationType != nullptr) SetText(L, "operationType", d.operationType);
}

}  // namespace acdc::decoder
