// The shared vocabulary of the library: event numbers, reply codes, filter-program
// actions and dispatch results, each defined once here. The module's constant tables,
// the trace's event names, the dispatcher's routes and the compiler's bounds are all
// generated from these lists, so adding an event or a code touches one line.
#pragma once

#include <cstdint>

namespace acdc::event {

// X(number, NAME, log name or kNoLogName, handler or kNoHandler, counter or kNoCounter)
//
// NAME is the constant of the module's `event`/`type` table. The log name is what the
// trace and the events log print; numbers without one print "". The handler (one of
// event/handlers.h) decides the event natively and the counter (one of
// event/counters.h) counts it once the handler has returned; several numbers may share a counter (45 and 47). A number
// without a handler is answered REPLY_ERROR and never reaches Lua. Numbers run from 0
// without gaps: the routing table is indexed by them.
#define ACDC_EVENT_TABLE(X)                                                                                 \
  X(0, EVENT_NULL, "NULL", kNoHandler, kNoCounter)                                                          \
  X(1, TYPE_PROC_START, "AC_TYPE_PROC_START", kNoHandler, kNoCounter)                                       \
  X(2, TYPE_PROC_TERM, "AC_TYPE_PROC_TERM", kNoHandler, kNoCounter)                                         \
  X(3, TYPE_FILE_EXEC, "AC_TYPE_FILE_EXEC", kNoHandler, kNoCounter)                                         \
  X(4, TYPE_CREATE, "AC_TYPE_CREATE", kNoHandler, kNoCounter)                                               \
  X(5, TYPE_RENAME, "AC_TYPE_RENAME", kNoHandler, kNoCounter)                                               \
  X(6, TYPE_UPDATE, "AC_TYPE_UPDATE", kNoHandler, kNoCounter)                                               \
  X(7, TYPE_DELETE, "AC_TYPE_DELETE", kNoHandler, kNoCounter)                                               \
  X(8, EVENT_WRITE_PRE, kNoLogName, kNoHandler, kNoCounter)                                                 \
  X(9, EVENT_WRITE_POST, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(10, EVENT_CREATE_PRE, "AC_EVENT_CREATE_PRE", HandleCreatePre, event_open_pre)                           \
  X(11, EVENT_CREATE_POST, "AC_EVENT_CREATE_POST", HandleCreatePost, event_open_post)                       \
  X(12, EVENT_CLEANUP_PRE, "AC_EVENT_CLEANUP_PRE", HandleCleanupPre, event_close_pre)                       \
  X(13, EVENT_CLEANUP_POST, kNoLogName, kNoHandler, kNoCounter)                                             \
  X(14, EVENT_SETINFO_PRE, "AC_EVENT_SETINFO_PRE", HandleSetInfoPre, event_setinfo_pre)                     \
  X(15, EVENT_SETINFO_POST, "AC_EVENT_SETINFO_POST", HandleSetInfoPost, event_setinfo_post)                 \
  X(16, EVENT_SETSECURITY_PRE, "AC_EVENT_SETSECURITY_PRE", HandleSetSecurityPre, event_setsecurity_pre)     \
  X(17, EVENT_SETSECURITY_POST, "AC_EVENT_SETSECURITY_POST", HandleSetSecurityPost, event_setsecurity_post) \
  X(18, EVENT_EXEC_PRE, "AC_EVENT_EXEC_PRE", HandleExecPre, event_exec_pre)                                 \
  X(19, EVENT_EXEC_POST, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(20, EVENT_LINK_PRE, "AC_EVENT_LINK_PRE", HandleLinkPre, event_link_pre)                                 \
  X(21, EVENT_LINK_POST, "AC_EVENT_LINK_POST", HandleLinkPost, event_link_post)                             \
  X(22, EVENT_DUP_PRE, kNoLogName, kNoHandler, kNoCounter)                                                  \
  X(23, EVENT_DUP_POST, kNoLogName, kNoHandler, kNoCounter)                                                 \
  X(24, EVENT_OPEN_PRE, kNoLogName, kNoHandler, kNoCounter)                                                 \
  X(25, EVENT_OPEN_POST, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(26, EVENT_CHMOD_PRE, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(27, EVENT_CHMOD_POST, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(28, EVENT_FCHMOD_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(29, EVENT_FCHMOD_POST, kNoLogName, kNoHandler, kNoCounter)                                              \
  X(30, EVENT_CLOSE_PRE, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(31, EVENT_CLOSE_POST, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(32, EVENT_EXECVE_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(33, EVENT_EXECVE_POST, kNoLogName, kNoHandler, kNoCounter)                                              \
  X(34, EVENT_RENAME_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(35, EVENT_RENAME_POST, "AC_EVENT_RENAME_POST", HandleRenamePost, event_rename_post)                     \
  X(36, EVENT_CHOWN_PRE, kNoLogName, kNoHandler, kNoCounter)                                                \
  X(37, EVENT_CHOWN_POST, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(38, EVENT_LCHOWN_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(39, EVENT_LCHOWN_POST, kNoLogName, kNoHandler, kNoCounter)                                              \
  X(40, EVENT_FCHOWN_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(41, EVENT_FCHOWN_POST, kNoLogName, kNoHandler, kNoCounter)                                              \
  X(42, EVENT_FCHOWNAT_PRE, kNoLogName, kNoHandler, kNoCounter)                                             \
  X(43, EVENT_FCHOWNAT_POST, kNoLogName, kNoHandler, kNoCounter)                                            \
  X(44, EVENT_UNLINK_PRE, kNoLogName, kNoHandler, kNoCounter)                                               \
  X(45, EVENT_UNLINK_POST, "AC_EVENT_UNLINK_POST", HandleUnlinkPost, event_unlink_post)                     \
  X(46, EVENT_UNLINKAT_PRE, kNoLogName, kNoHandler, kNoCounter)                                             \
  X(47, EVENT_UNLINKAT_POST, "AC_EVENT_UNLINKAT_POST", HandleUnlinkPost, event_unlink_post)                 \
  X(48, EVENT_MMAP_PRE, kNoLogName, kNoHandler, kNoCounter)                                                 \
  X(49, EVENT_MMAP_POST, kNoLogName, kNoHandler, kNoCounter)

// X(NAME, value): the codes of the module's `reply` table, sent to the driver.
#define ACDC_REPLY_CODES(X) \
  X(REPLY_TIMEOUT, 0)       \
  X(REPLY_ERROR, 1)         \
  X(REPLY_ALLOW, 2)         \
  X(REPLY_BLOCK, 3)         \
  X(REPLY_IGNORE, 4)        \
  X(REPLY_TRACKFILE, 5)

// X(NAME, value): the actions that end a procedure of the driver's filter program,
// the module's `action` table.
#define ACDC_ACTIONS(X) \
  X(IGNORE, 0)          \
  X(ALLOW, 1)           \
  X(DENY, 2)            \
  X(ERROR, 3)           \
  X(ADVICE, 4)          \
  X(NOTIFY, 5)

// X(name, value, meaning): what DispatchEvent tells the producer of the records.
#define ACDC_DISPATCH_RESULTS(X)                                                   \
  X(kResultLua, 0, "no reply chosen: Lua decides and replies")                     \
  X(kResultReplied, 1, "reply chosen in AcReply and to be sent; Lua is told")      \
  X(kResultEagain, 11, "reply chosen and to be sent; the event is finished")

// Event numbers run 0 .. kEventCount - 1.
#define ACDC_COUNT_EVENT(number, name, log, handler, counter) +1
constexpr uint32_t kEventCount = 0 ACDC_EVENT_TABLE(ACDC_COUNT_EVENT);
#undef ACDC_COUNT_EVENT
constexpr uint32_t kMaxEventType = kEventCount - 1;

namespace internal {
#define ACDC_EVENT_NUMBER(number, name, log, handler, counter) number,
constexpr uint32_t kEventNumbers[] = {ACDC_EVENT_TABLE(ACDC_EVENT_NUMBER)};
#undef ACDC_EVENT_NUMBER
constexpr bool EventNumbersRunWithoutGaps() {
  for (uint32_t i = 0; i < kEventCount; ++i)
    if (kEventNumbers[i] != i) return false;
  return true;
}
}  // namespace internal
static_assert(internal::EventNumbersRunWithoutGaps(), "event numbers must run 0, 1, 2, ... in order");
static_assert(kEventCount == 50, "the driver's messages and the filter program know 50 event numbers");

// Event numbers by name, for code that sets or tests one (action_type among them).
enum EventType : uint32_t {
#define ACDC_EVENT_ENUM(number, name, log, handler, counter) name = number,
  ACDC_EVENT_TABLE(ACDC_EVENT_ENUM)
#undef ACDC_EVENT_ENUM
};

enum ReplyCode : uint32_t {
#define ACDC_REPLY_ENUM(name, value) name = value,
  ACDC_REPLY_CODES(ACDC_REPLY_ENUM)
#undef ACDC_REPLY_ENUM
};

#define ACDC_COUNT_ACTION(name, value) +1
constexpr uint32_t kActionCount = 0 ACDC_ACTIONS(ACDC_COUNT_ACTION);
#undef ACDC_COUNT_ACTION
constexpr uint32_t kMaxAction = kActionCount - 1;  // the highest action a return may name

namespace internal {
#define ACDC_ACTION_VALUE(name, value) value,
constexpr uint32_t kActionValues[] = {ACDC_ACTIONS(ACDC_ACTION_VALUE)};
#undef ACDC_ACTION_VALUE
constexpr bool ActionsRunWithoutGaps() {
  for (uint32_t i = 0; i < kActionCount; ++i)
    if (kActionValues[i] != i) return false;
  return true;
}
}  // namespace internal
static_assert(internal::ActionsRunWithoutGaps(), "a return encodes its action as a count: 0, 1, 2, ...");

enum DispatchResult : int {
#define ACDC_RESULT_ENUM(name, value, meaning) name = value,
  ACDC_DISPATCH_RESULTS(ACDC_RESULT_ENUM)
#undef ACDC_RESULT_ENUM
};

}  // namespace acdc::event
