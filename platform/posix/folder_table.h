// Case-insensitive lookup of host paths through a fixed table of remembered
// folders. Internal to the posix backend (file status and the drive mapping); tests
// and benchmarks read its counters.
//
// The fast path lower-cases paths before it asks for a file's status, while the
// files keep the spelling they were created with. A lookup that ignores case must
// read folders; the table remembers the folders read (their real spelling and
// their names) so that the next lookup in the same folder costs one status call to
// validate it instead of a read of the whole folder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

enum class CaseLookup : uint8_t {
  kResolved,       // the path now holds the real spelling of an existing name
  kNameMissing,    // every folder exists; the last name does not
  kFolderMissing,  // a folder on the way does not exist or is no folder
  kUnresolved,     // nothing to resolve, or a folder could not be read: the caller
                   // reports what the exact spelling gives
};

// Rewrites the host path `path` (NUL-terminated, shorter than 4096 bytes) to the
// real spelling of the names it designates, ignoring ASCII case in every component
// after the first `root` bytes (the drive's folder, exact by construction). Where
// names of one folder differ only by case, the one spelled exactly as asked wins,
// else the bytewise smallest. `path` is unchanged unless the result is kResolved.
CaseLookup ResolveCase(char* path, size_t root);

struct FolderTableCounts {
  uint64_t hits;    // folders answered by the table and found unchanged
  uint64_t misses;  // folders read: not remembered, changed, or too recently changed to trust
};
FolderTableCounts ReadFolderTableCounts();

// Forgets every folder; tests and benchmarks start cold with it.
void ClearFolderTable();

}  // namespace acdc::platform
