// Executions, script opens and written closes, decided natively where the process
// type, a trusted location or a cached verdict allows.
#include <cinttypes>
#include <cstring>

#include "cache/classification.h"
#include "cache/execution_cache.h"
#include "cache/process_cache.h"
#include "event/auto_authorize.h"
#include "event/counters.h"
#include "event/dispatcher.h"
#include "event/event_table.h"
#include "event/handlers.h"
#include "event/text.h"
#include "event/trace.h"

namespace acdc::event {

namespace {

using cache::kApproved;
using cache::kBlock;
using cache::kUnrecognized;

// Whether the type runs scripts and `ext` is one of them. Types from the cache may be
// anything Lua stored, so the row is looked at only for an index that is one.
bool IsScriptOfType(uint64_t type, const char* ext) {
  return type >= 1 && type < cache::kProcessTypeCount && cache::kProcessTypeTable[type].interpreted &&
         cache::IsExtensionInterpreted(type, ext);
}

void TraceCacheType(const AcEvent& ev) {
  Trace(ev, "Retrieve cache type %d with size %" PRIu64 " and isexec %d for %s\n", static_cast<int>(ev.cache_type),
        ev.size, static_cast<int>(ev.isexec), ev.rlpath);
}

}  // namespace

int IsCachedForEvent(AcEvent* ev) {
  char text[cache::kRulesetTextCapacity] = {};
  // The key is the lower-cased rlpath, but the file is asked for under realpath
  // first: PrepareExecEvent keeps the driver's own spelling there, in the record
  // this lookup writes its findings to, and that spelling costs one system call
  // where a lower-cased one needs a case-insensitive search.
  int rc = cache::IsCached(ev->rlpath, std::strlen(ev->rlpath), &ev->cache_type, text, sizeof text, &ev->size,
                           &ev->isexec, ev->realpath);
  if (text[0] != '\0') CopyText(ev->ruleset, kTextCapacity, text);
  return rc;
}

uint64_t GetProcessTypeIndex(AcEvent* ev) {
  ev->processTypeIndex = cache::GetProcess(ev->pid, ev->procFileName);
  if (ev->processTypeIndex == 0) {
    Trace(*ev, "Process cache miss under %s for %s\n", ev->procFileName, ev->rlpath);
  } else {
    Trace(*ev, "Retrieve ProcessTypeIndex %" PRIu64 " from cache under %s for %s\n", ev->processTypeIndex,
          ev->procFileName, ev->rlpath);
    return ev->processTypeIndex;
  }
  uint64_t type = cache::ClassifyProcess(ev);
  if (type <= cache::kNormalType) {
    Trace(*ev, "%s miss on interpreter table\n", ev->rlpath);
    return type;
  }
  ev->processTypeIndex = type;
  Trace(*ev, "Determined processTypeIndex %" PRIu64 " under %s for %s\n", type, ev->procFileName, ev->rlpath);
  if (ev->skipProcessCache == 0) {
    cache::AddProcess(ev->pid, type, ev->procFileName);
    Trace(*ev, "Add ProcessTypeIndex %" PRIu64 " to cache under %s for %s\n", type, ev->procFileName, ev->rlpath);
  }
  return type;
}

int HandleExecPre(AcEvent* ev, AcReply* reply) {
  Trace(*ev, "EVENT_EXEC_PRE\n");
  PrepareExecEvent(ev);
  char ext[kExtensionCapacity];
  std::memcpy(ext, ev->fileExtension, sizeof ext);
  LowerCase(ext);
  if (std::strcmp(ext, "ini") == 0) {
    Trace(*ev, "INI file with execute bit set; Allow '%s' through\n", ev->rlpath);
    return ReplyAllowEagain(ev, reply);
  }
  ev->evt->action_type = TYPE_PROC_START;

  // GetProcessTypeIndex with fewer trace lines.
  uint64_t type = cache::GetProcess(ev->pid, ev->procFileName);
  ev->processTypeIndex = type;
  if (type != 0) {
    Trace(*ev, "Retrieve ProcessTypeIndex %" PRIu64 " from cache under %s for %s\n", type, ev->procFileName,
          ev->rlpath);
  } else {
    type = cache::ClassifyProcess(ev);
    if (type > cache::kNormalType) {
      ev->processTypeIndex = type;
      if (ev->skipProcessCache == 0) {
        cache::AddProcess(ev->pid, type, ev->procFileName);
        Trace(*ev, "Add ProcessTypeIndex %" PRIu64 " to cache under %s for %s\n", type, ev->procFileName,
              ev->rlpath);
      }
    }
  }
  if (type == cache::kPrelinkType) Count(run_prelink);

  // A trusted location wins even over a cached block, so it is asked first.
  if (cache::IsTrustedPath(type, ev->path, ev->traceFile)) {
    Count(run_allowed_trusted_path);
    Count(exec_pre_eagain);
    return ReplyAllowEagain(ev, reply);
  }
  if (IsCachedForEvent(ev) == cache::kCacheCannotJudge) {
    Trace(*ev, "Error: Failed to stat file %s\n", ev->rlpath);
    Count(exec_pre_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  Count(run_program);
  TraceCacheType(*ev);
  switch (ev->cache_type) {
    case kApproved:
      Count(exec_pre_eagain);
      return ReplyAllowEagain(ev, reply);
    case kUnrecognized:
      if (ev->lockdown != 1) {
        Count(exec_pre_handoff);
        return ReplyAllowLua(ev, reply);
      }
      if (CheckAutoAuthorize(ev) == 1) {
        Count(exec_pre_eagain);
        return ReplyAllowEagain(ev, reply);
      }
      Count(exec_pre_handoff);
      return ReplyBlockLua(ev, reply);
    case kBlock:
      Count(exec_pre_handoff);
      return ReplyBlockLua(ev, reply);
    default:
      Count(exec_pre_handoff);
      return kResultLua;
  }
}

int HandleCreatePre(AcEvent* ev, AcReply* reply) {
  PrepareExecEvent(ev);
  Trace(*ev, "EVENT_OPEN_PRE for %s\nEvent %" PRIu64 " mode=%" PRIu64 ", flags=%" PRIu64 "\n", ev->rlpath, ev->evt->id,
        static_cast<uint64_t>(ev->evt->mode), ev->evt->flags);
  const uint64_t type = GetProcessTypeIndex(ev);
  // Only an interpreter opening one of its own scripts is an execution; every other
  // open ends here.
  if (!IsScriptOfType(type, ev->fileExtension)) {
    Count(open_pre_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  if (IsCachedForEvent(ev) == cache::kCacheCannotJudge) {
    Count(open_pre_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  ev->evt->action_type_str = "SCRIPT_EXECUTION";
  TraceCacheType(*ev);
  switch (ev->cache_type) {
    case kApproved:
      Count(script_execution);
      Trace(*ev, "SCRIPT_EXECUTION | Found in allow cache\n");
      Count(open_pre_eagain);
      return ReplyAllowEagain(ev, reply);
    case kUnrecognized:
      Count(script_execution);
      if (ev->lockdown != 1) {
        Count(open_pre_handoff);
        return ReplyAllowLua(ev, reply);
      }
      if (CheckAutoAuthorize(ev) == 1) {
        Count(open_pre_eagain);
        return ReplyAllowEagain(ev, reply);
      }
      Count(open_pre_handoff);
      return ReplyBlockLua(ev, reply);
    case kBlock:
      Count(open_pre_handoff);
      return ReplyBlockLua(ev, reply);
    default:
      // Unlike an execution, a script is trusted by its place only when the cache
      // knows nothing of it.
      Count(script_execution);
      if (cache::IsTrustedPath(type, ev->path, ev->traceFile)) {
        Count(run_allowed_trusted_path);
        Count(open_pre_eagain);
        return ReplyAllowEagain(ev, reply);
      }
      Count(open_pre_handoff);
      Trace(*ev, "SCRIPT_EXECUTION | Not found in reply cache\n");
      return kResultLua;
  }
}

int HandleCleanupPre(AcEvent* ev, AcReply* reply) {
  PrepareExecEvent(ev);
  const char* slash = std::strchr(ev->evt->name, '\\');
  const char* tail = slash != nullptr ? slash + 1 : "";
  Trace(*ev, "EVENT_CLEANUP_PRE evt.dirty = %d, name = %s\n", static_cast<int>(ev->evt->dirty), tail);
  // A named data stream ("file.txt:stream") is no file of its own.
  if (ev->evt->dirty == 0 || std::strchr(tail, ':') != nullptr) {
    Count(close_pre_eagain);
    return ReplyIgnoreEagain(ev, reply);
  }
  CopyText(ev->rlpath, kTextCapacity, ev->evt->name);
  SplitPath(ev->path, ev->fileName, ev->evt->name);
  GetExtension(ev->fileName, ev->fileExtension);
  const uint64_t type = GetProcessTypeIndex(ev);
  if (IsScriptOfType(type, ev->fileExtension) && cache::IsTrustedPath(type, ev->path, ev->traceFile)) {
    Count(trusted_drift);
    Count(close_pre_eagain);
    return ReplyAllowEagain(ev, reply);
  }
  Count(close_pre_handoff);
  ev->evt->action_type = TYPE_CREATE;
  return ReplyIgnoreLua(ev, reply);
}

}  // namespace acdc::event
