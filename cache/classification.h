// What kind of program acts, and what it may do: the process-type table, the
// interpreter rules that map an image to a type, and the quick-filter extensions,
// with the operations that read them. All constant, read without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "event/records.h"

namespace acdc::cache {

constexpr uint32_t kProcessTypeCount = 34;
constexpr uint64_t kNormalType = 1;   // an executable of no listed type
constexpr uint64_t kPrelinkType = 12;

struct ProcessType {
  const char* name;
  bool interpreted;                  // runs scripts: `extensions` means something
  bool trustedPathsEnabled;          // trusted-path tests apply
  bool skipProcessCache;             // never stored in ProcCache
  const char* const* extensions;     // lower case, no dot; null-terminated list
  const char* const* trustedPaths;   // lower-case fragments; null-terminated list
};

// Indexed by processTypeIndex, 0 to 33.
extern const ProcessType kProcessTypeTable[kProcessTypeCount];

// The image's type from procExtension, procPath and procFileName: 0 when the
// extension is not exactly "exe" (traced), 1 for no listed type, else 2 to 33.
// Lower-cases procPath and procFileName in place and sets skipProcessCache from the
// matched row.
uint64_t ClassifyProcess(event::AcEvent* ev);

// Whether `ext` equals, whole and case-sensitively, a script extension of the type.
// False for indexes outside 1 to 33.
bool IsExtensionInterpreted(uint64_t typeIndex, const char* ext);

// Whether the lower-cased `path` (shorter than kTextCapacity) contains one of the
// type's trusted fragments. Each step is traced to `trace` when it is not null.
bool IsTrustedPath(uint64_t typeIndex, const char* path, FILE* trace);

// Whether the lower-cased extension is one of the quick-filter extensions; an empty
// one never is.
bool QuickDriftFilter(const char* ext);

// QuickDriftFilter of `ext`, or `path` beginning with one of the ';'-separated
// prefixes of `prefixList` (byte-exact; empty pieces skipped).
bool QuickIMFilter(const char* ext, const char* path, const char* prefixList);

// GetProcessInterpreterType: classifies the image path (shorter than
// kTextCapacity) in `scratch`, a record zeroed once (ClearEventRecord) and reset
// here. A type of 1, or above 1 unless its row says otherwise, is stored in
// ProcCache under `pid` and the lower-cased file name. Returns the type and sets
// `*skip` to the row's skipProcessCache.
uint64_t ClassifyImage(event::EventRecord* scratch, uint64_t pid, const char* image, size_t len, bool* skip);

}  // namespace acdc::cache
