// The handlers that decide events natively, one per event kind, routed by the
// handler column of event/event_table.h. Each takes the filled records and returns a
// DispatchResult: 0 Lua decides, 1 replied and Lua is told, 11 replied and finished.
#pragma once

#include <cstdint>

#include "event/records.h"

namespace acdc::event {

// Executions, opens and closes: process classification, trusted paths, the
// execution cache, lockdown and auto-authorize (execution_handlers.cpp).
int HandleExecPre(AcEvent* ev, AcReply* reply);     // EVENT_EXEC_PRE
int HandleCreatePre(AcEvent* ev, AcReply* reply);   // EVENT_CREATE_PRE, an open
int HandleCleanupPre(AcEvent* ev, AcReply* reply);  // EVENT_CLEANUP_PRE, the last handle closes

// File changes: answered at once or handed to Lua as drift (file_change_handlers.cpp).
int HandleCreatePost(AcEvent* ev, AcReply* reply);
int HandleRenamePost(AcEvent* ev, AcReply* reply);
int HandleUnlinkPost(AcEvent* ev, AcReply* reply);  // EVENT_UNLINK_POST and EVENT_UNLINKAT_POST
int HandleSetInfoPre(AcEvent* ev, AcReply* reply);
int HandleSetInfoPost(AcEvent* ev, AcReply* reply);
int HandleSetSecurityPre(AcEvent* ev, AcReply* reply);
int HandleSetSecurityPost(AcEvent* ev, AcReply* reply);
int HandleLinkPre(AcEvent* ev, AcReply* reply);
int HandleLinkPost(AcEvent* ev, AcReply* reply);

// The acting process's type: from ProcCache, else classified and, when above 1 and
// its row allows, stored there. Sets processTypeIndex (0 for types 0 and 1).
uint64_t GetProcessTypeIndex(AcEvent* ev);

// The execution cache's verdict on the event's file, into cache_type, ruleset,
// size and isexec. Returns what IsCached returns (1, -1, or -2: cannot judge).
int IsCachedForEvent(AcEvent* ev);

}  // namespace acdc::event
