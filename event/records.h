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
//
// Each record is declared from its field list, so that the reset and the tests that
// check it walk the same fields as the declaration and cannot miss one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace acdc::event {

constexpr size_t kTextCapacity = 4096;      // 4095 bytes of text and the NUL
constexpr size_t kExtensionCapacity = 8;    // 7 characters and the NUL

// X(type, name, array extent or nothing), in declaration order.
#define ACDC_AC_EVENT_DATA_FIELDS(X)                                                                 \
  X(uint32_t, type, )                        /* event number, the module's `type` table */            \
  X(uint32_t, pid, )                         /* acting process */                                     \
  X(uint64_t, id, )                          /* the driver's event id; replies carry its low 32 bits */ \
  X(int32_t, rc, )                           /* the operation's result (post events: 0 = succeeded) */ \
  X(int32_t, fd, )                           /* the driver's handle number, passed to Lua only */     \
  X(int32_t, dirty, )                        /* non-zero: written through this open */                \
  X(uint64_t, flags, )                       /* operation flags as the driver reports them */         \
  X(int64_t, mode, )                         /* open mode / access as the driver reports it */        \
  X(uint64_t, previousMode, )                /* never set on this platform */                         \
  X(char, name, [kTextCapacity])             /* the file's path, as the driver names it */            \
  X(char, oldname, [kTextCapacity])          /* renames: the path before */                           \
  X(int32_t, action_type, )                  /* 0 nothing said, 1 TYPE_PROC_START, 4 TYPE_CREATE */   \
  X(const char*, action_type_str, )          /* constant text or null ("SCRIPT_EXECUTION") */         \
  X(const char*, operationType, )            /* constant text or null ("update", "rename") */         \
  X(char, newExtension, [kExtensionCapacity]) /* extension of `name` (rename, unlink) */

struct AcEventData;

#define ACDC_AC_EVENT_FIELDS(X)                                                                      \
  X(AcEventData*, evt, )                     /* never null during a dispatch */                       \
  X(uint64_t, pid, )                         /* copy of evt->pid made by the preparation steps */     \
  X(uint64_t, size, )                        /* file size in bytes (execution-cache lookup) */        \
  X(uint64_t, processTypeIndex, )            /* row of the process-type table; 0 undetermined */      \
  X(uint32_t, skipProcessCache, )            /* non-zero: do not store the type in the process cache */ \
  X(uint32_t, isexec, )                      /* 1 when the cache lookup recorded `size` */            \
  X(int32_t, cache_type, )                   /* 0 not cached, 1 approved, 2 unrecognized, 3 blocked; -1 not looked up */ \
  X(char, ruleset, [kTextCapacity])          /* blocked files: "ruleset-%d-%d-%d-%d" */               \
  X(int32_t, bind_action, )                  /* reply code sent natively */                           \
  X(char, procName, [kTextCapacity])         /* full image path of the acting process */              \
  X(char, procExtension, [kExtensionCapacity]) /* extension of procName, lower case */                \
  X(char, procPath, [kTextCapacity])         /* directory of procName, with its final backslash */    \
  X(char, path, [kTextCapacity])             /* directory of the event's file, with its final backslash */ \
  X(char, procFileName, [kTextCapacity])     /* file-name part of procName */                         \
  X(char, fileName, [kTextCapacity])         /* file-name part of the event's file */                 \
  X(char, fileExtension, [kExtensionCapacity]) /* extension of fileName, case kept */                 \
  X(char, rlpath, [kTextCapacity])           /* the file's full path as the handlers work on it */    \
  X(char, realpath, [kTextCapacity])         /* the file's full path, case unchanged */               \
  X(uint32_t, ac_on, )                       /* application control on */                             \
  X(uint32_t, lockdown, )                    /* 1: unauthorized software is blocked */                \
  X(const char*, basedir, )                  /* ';'-separated base folders; borrowed, never null */   \
  X(uint32_t, maintenanceMode, )             /* 1: changes in the authorize window are approved */    \
  X(uint64_t, authorizeStartTime, )          /* ms since 1970 UTC */                                  \
  X(uint32_t, isdrift, )                     /* never set on this platform */                         \
  X(uint32_t, newfilter, )                   /* never set on this platform */                         \
  X(FILE*, traceFile, )                      /* trace log; null: no trace */                          \
  X(FILE*, eventsFile, )                     /* file-system event log; null: none */

#define ACDC_AC_REPLY_FIELDS(X)                                                                      \
  X(uint32_t, code, )                        /* a `reply` code; 0 also means none chosen */           \
  X(uint32_t, id, )                          /* low 32 bits of evt->id */

#define ACDC_DECLARE_FIELD(type, name, extent) type name extent;

struct AcEventData {
  ACDC_AC_EVENT_DATA_FIELDS(ACDC_DECLARE_FIELD)
};

struct AcEvent {
  ACDC_AC_EVENT_FIELDS(ACDC_DECLARE_FIELD)
};

struct AcReply {
  ACDC_AC_REPLY_FIELDS(ACDC_DECLARE_FIELD)
};
static_assert(sizeof(AcReply) == 8, "AcReply is the first 8 bytes of a reply body");

// The three records of one dispatch, kept together so that they can be reused, and the
// driver's message id, which a native reply carries ahead of AcReply: the records
// themselves have no room for it (AcReply is the reply body, evt.id the event's own id).
#define ACDC_EVENT_RECORD_FIELDS(X)                                                                  \
  X(AcReply, reply, )                                                                                \
  X(AcEventData, data, )                                                                             \
  X(AcEvent, event, )                                                                                \
  X(uint64_t, messageId, )                   /* the driver message's 64-bit MessageId; 0 for AbstractEvent */

struct EventRecord {
  ACDC_EVENT_RECORD_FIELDS(ACDC_DECLARE_FIELD)
};

// Records live in Lua userdata and in frames where Lua may raise with longjmp, which
// runs no destructor: they must not need one.
static_assert(std::is_trivially_destructible_v<EventRecord>, "records are plain data");
static_assert(std::is_standard_layout_v<EventRecord>, "records are plain data");

// The text every empty `basedir` points to.
extern const char kEmptyText[1];

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
