// A file opened for hashing: read once, from its start, under an opportunistic lock
// that lets the reader step aside as soon as another program wants the file.
//
// Windows: the file is opened for overlapped, shared reading (read, write and delete
// sharing, sequential scan, backup semantics) and a read-and-handle oplock is
// requested with FSCTL_REQUEST_OPLOCK; the oplock is held while that request stays
// pending. A read that pends is waited for together with the oplock request, and a
// request that completes meanwhile is a break. A read that completes at once does
// not look at the oplock.
//
// POSIX: the oplock is a read lease. It cannot be taken while any process (this one
// included) holds the file open for writing, on anything but a regular file (a
// directory, FIFO, device, or a /proc file), or, without CAP_LEASE, on a file the
// process does not own. It breaks when another process opens the file for writing or
// truncates it; unlike an oplock, not on a rename or a delete. Linux reads complete
// at once, so every read counts as one that pended: the lease is looked at after each.
//
// A file that cannot be locked is never read: its open fails with 32
// (ERROR_SHARING_VIOLATION), so a FIFO never blocks the reader and a device never
// feeds it forever.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// The backend's state, built in place: the file, the oplock request (Windows), the
// offset of the next read.
struct OplockFile {
  alignas(8) unsigned char native[192];
};

// Opens the file at the Win32 path `path` (UTF-8, `len` bytes, NUL-terminated) and
// takes the oplock. kErrorSuccess: the file is open and locked until
// CloseOplockFile. Otherwise nothing is left open and the result is the open's code
// (2 for a missing file, 3 when a folder of the path is missing, 123 for a path with
// a NUL inside, ...) or 32 when the oplock cannot be had.
Win32Error OpenOplockFile(const char* path, size_t len, OplockFile* file);

enum class OplockRead : uint8_t {
  kData,    // `*transferred` bytes, at least one, are in the buffer
  kEnd,     // the end of the file; `*error` is 0 or 38 (ERROR_HANDLE_EOF)
  kBroken,  // another program wants the file: the oplock is breaking
  kFailed,  // the read failed with `*error`
};

// Reads the next `size` bytes into `buffer`. After kEnd, kBroken or kFailed the
// caller closes the file; the bytes of a read that saw a break are not handed over.
OplockRead ReadOplockFile(OplockFile* file, void* buffer, uint32_t size, uint32_t* transferred, Win32Error* error);

// Releases the oplock and closes the file; a file already closed (or never opened)
// is left alone.
void CloseOplockFile(OplockFile* file);

// The read of one chunk, as ReadFile starts it: `size` bytes at `offset` of the open
// `file` (a HANDLE; on POSIX the descriptor as the pointer value). kErrorSuccess
// with `*transferred` (0 at the end of the file) when it completed at once;
// kErrorIoPending when it goes on in the background on `overlapped`, an OVERLAPPED
// whose event the caller set (Windows); else the failure's code, 38 at the end of
// the file on Windows. On POSIX every read completes at once and `overlapped` is
// unused. The hashing reader calls it through the services table.
Win32Error OsReadFile(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                      uint32_t* transferred);

}  // namespace acdc::platform
