// The per-event working records of the fast path.
//
// AcEventData holds what the driver reported, AcEvent what the fast path works out,
// AcReply the answer. Producers fill them and hand them to DispatchEvent; nothing in
// them is owned, so they can live on a stack or in reused storage.
//
// Text buffers hold NUL-terminated UTF-8. Every writer keeps one invariant: a buffer
// is its text followed by zero bytes only (see event/text.h). That is what lets a
// reused record be reset by clearing just the text it held (ResetEventRecord) while it
// still reads as zeroed everywhere it was not written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace acdc::event {

constexpr size_t kTextCapacity = 4096;      // 4095 bytes of text and the NUL
constexpr size_t kExtensionCapacity = 8;    // 7 characters and the NUL

struct AcEventData {
  uint32_t type;                      // event number, the module's `type` table
  uint32_t pid;                       // acting process
  uint64_t id;                        // the driver's event id; replies carry its low 32 bits
  int32_t rc;                         // the operation's result (post events: 0 = succeeded)
  int32_t fd;                         // the driver's handle number, passed to Lua only
  int32_t dirty;                      // non-zero: written through this open
  uint64_t flags;                     // operation flags as the driver reports them
  int64_t mode;                       // open mode / access as the driver reports it
  uint64_t previousMode;              // never set on this platform
  char name[kTextCapacity];           // the file's path, as the driver names it
  char oldname[kTextCapacity];        // renames: the path before
  int32_t action_type;                // 0 nothing said, 1 TYPE_PROC_START, 4 TYPE_CREATE
  const char* action_type_str;        // constant text or null ("SCRIPT_EXECUTION")
  const char* operationType;          // constant text or null ("update", "rename")
  char newExtension[kExtensionCapacity];  // extension of `name` (rename, unlink)
};

struct AcEvent {
  AcEventData* evt;                   // never null during a dispatch
  uint64_t pid;                       // copy of evt->pid made by the preparation steps
  uint64_t size;                      // file size in bytes (execution-cache lookup)
  uint64_t processTypeIndex;          // row of the process-type table; 0 undetermined
  uint32_t skipProcessCache;          // non-zero: do not store the type in the process cache
  uint32_t isexec;                    // 1 when the cache lookup recorded `size`
  int32_t cache_type;                 // 0 not cached, 1 approved, 2 unrecognized, 3 blocked; -1 not looked up
  char ruleset[kTextCapacity];        // blocked files: "ruleset-%d-%d-%d-%d"
  int32_t bind_action;                // reply code sent natively
  char procName[kTextCapacity];       // full image path of the acting process
  char procExtension[kExtensionCapacity];  // extension of procName, lower case
  char procPath[kTextCapacity];       // directory of procName, with its final backslash
  char path[kTextCapacity];           // directory of the event's file, with its final backslash
  char procFileName[kTextCapacity];   // file-name part of procName
  char fileName[kTextCapacity];       // file-name part of the event's file
  char fileExtension[kExtensionCapacity];  // extension of fileName, case kept
  char rlpath[kTextCapacity];         // the file's full path as the handlers work on it
  char realpath[kTextCapacity];       // the file's full path, case unchanged
  uint32_t ac_on;                     // application control on
  uint32_t lockdown;                  // 1: unauthorized software is blocked
  const char* basedir;                // ';'-separated base folders; borrowed, never null
  uint32_t maintenanceMode;           // 1: changes in the authorize window are approved
  uint64_t authorizeStartTime;        // ms since 1970 UTC
  uint32_t isdrift;                   // never set on this platform
  uint32_t newfilter;                 // never set on this platform
  FILE* traceFile;                    // trace log; null: no trace
  FILE* eventsFile;                   // file-system event log; null: none
};

struct AcReply {
  uint32_t code;                      // a `reply` code; 0 also means none chosen
  uint32_t id;                        // low 32 bits of evt->id
};
static_assert(sizeof(AcReply) == 8, "AcReply is the first 8 bytes of a reply body");

// The three records of one dispatch, kept together so that they can be reused.
struct EventRecord {
  AcReply reply;
  AcEventData data;
  AcEvent event;
};

// Brings a record to the all-zero state with evt pointing at its data block and
// basedir at an empty text. Costs what the previous event wrote, not the record's
// size; relies on the text invariant above and on the record having been zeroed
// once (ClearEventRecord) before its first use.
void ResetEventRecord(EventRecord* r);

// Zeroes the whole record. For new storage; per event, ResetEventRecord.
void ClearEventRecord(EventRecord* r);

// True when every text buffer of the record is its text followed by zeros only.
// For tests and debug checks.
bool EventRecordTextsAreClean(const EventRecord& r);

}  // namespace acdc::event
