// The hashing reader's oplock on Windows: FSCTL_REQUEST_OPLOCK for a read-and-handle
// oplock on a handle opened for overlapped reading. The oplock is held while its
// request stays pending; the request completes when another opener breaks it.
//
// Both requests, the oplock's and a read's, write into their OVERLAPPED records when
// they complete, whenever that is. So nothing is closed while one is outstanding:
// CloseOplockFile cancels what is still pending and waits for it first, and the state
// that holds the records lives until then.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <new>

#include "platform/oplock_file.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::platform {

namespace {

// The status an OVERLAPPED's Internal keeps while its request is pending.
constexpr ULONG_PTR kStatusPending = 0x103;

struct LockedFile {
  HANDLE file;            // INVALID_HANDLE_VALUE when closed
  OVERLAPPED oplock;      // the oplock request; its event is manual-reset
  OVERLAPPED read;        // the reads; its own manual-reset event
  bool oplock_pending;    // the oplock request is outstanding
  bool read_pending;      // a read is outstanding
  uint64_t offset;        // of the next read
  REQUEST_OPLOCK_INPUT_BUFFER input;
  REQUEST_OPLOCK_OUTPUT_BUFFER output;
};

static_assert(sizeof(LockedFile) <= sizeof(OplockFile::native), "OplockFile has no room for the state");
static_assert(alignof(LockedFile) <= alignof(OplockFile), "OplockFile is not aligned for the state");
static_assert(sizeof(REQUEST_OPLOCK_INPUT_BUFFER) == 12 && sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER) == 24,
              "the oplock request's buffers");

LockedFile* State(OplockFile* file) { return reinterpret_cast<LockedFile*>(file->native); }

// Read and handle caching: other openers may read, write and delete alongside; a
// conflicting open breaks the oplock and completes the request.
void FillRequest(LockedFile* f) {
  f->input.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
  f->input.StructureLength = sizeof f->input;
  f->input.RequestedOplockLevel = OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE;
  f->input.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
  f->output.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
  f->output.StructureLength = sizeof f->output;
}

void CloseIfOpen(HANDLE* h, HANDLE closed) {
  if (*h == closed) return;
  CloseHandle(*h);
  *h = closed;
}

// The read's final result, once its event is set (or without waiting).
OplockRead ReadResult(LockedFile* f, uint32_t* transferred, Win32Error* error) {
  DWORD got = 0;
  if (!GetOverlappedResult(f->file, &f->read, &got, FALSE)) {
    *error = GetLastError();
    if (*error == ERROR_IO_INCOMPLETE) return OplockRead::kFailed;
    f->read_pending = false;
    return *error == ERROR_HANDLE_EOF ? OplockRead::kEnd : OplockRead::kFailed;
  }
  f->read_pending = false;
  ResetEvent(f->read.hEvent);
  *error = kErrorSuccess;
  if (got == 0) return OplockRead::kEnd;
  f->offset += got;
  *transferred = got;
  return OplockRead::kData;
}

}  // namespace

Win32Error OpenOplockFile(const char* path, size_t len, OplockFile* file) {
  LockedFile* f = new (file->native) LockedFile{};
  f->file = INVALID_HANDLE_VALUE;
  FillRequest(f);
  if (std::memchr(path, '\0', len) != nullptr) return kErrorInvalidName;
  char16_t wide[kMaxPathUnits];
  size_t units = 0;
  Win32Error err = Utf8ToUtf16(path, len, wide, kMaxPathUnits, &units);
  if (err != kErrorSuccess) return err == kErrorInsufficientBuffer ? kErrorFilenameExcedRange : err;
  f->oplock.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  f->read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (f->oplock.hEvent == nullptr || f->read.hEvent == nullptr) {
    err = GetLastError();
    CloseOplockFile(file);
    return err;
  }
  f->file = CreateFileW(reinterpret_cast<const wchar_t*>(wide), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (f->file == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    CloseOplockFile(file);
    return err;
  }
  // Granted only when the request stays pending; one that completes at once (or
  // fails) was refused.
  BOOL done = DeviceIoControl(f->file, FSCTL_REQUEST_OPLOCK, &f->input, sizeof f->input, &f->output,
                              sizeof f->output, nullptr, &f->oplock);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    f->oplock_pending = true;
    return kErrorSuccess;
  }
  CloseOplockFile(file);
  return kErrorSharingViolation;
}

OplockRead ReadOplockFile(OplockFile* file, void* buffer, uint32_t size, uint32_t* transferred, Win32Error* error) {
  LockedFile* f = State(file);
  uint32_t got = 0;
  Win32Error e = ReadChunk(f->file, buffer, size, f->offset, &f->read, &got);
  if (e == kErrorSuccess) {
    // Completed at once: the oplock is not looked at.
    *error = kErrorSuccess;
    if (got == 0) return OplockRead::kEnd;
    f->offset += got;
    *transferred = got;
    return OplockRead::kData;
  }
  *error = e;
  if (e == ERROR_HANDLE_EOF) return OplockRead::kEnd;
  if (e != ERROR_IO_PENDING) return OplockRead::kFailed;
  f->read_pending = true;
  HANDLE events[2] = {f->oplock.hEvent, f->read.hEvent};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_FAILED) {
    *error = GetLastError();
    return OplockRead::kFailed;
  }
  if (f->oplock.Internal != kStatusPending) return OplockRead::kBroken;
  return ReadResult(f, transferred, error);
}

void CloseOplockFile(OplockFile* file) {
  LockedFile* f = State(file);
  if (f->file != INVALID_HANDLE_VALUE && (f->oplock_pending || f->read_pending)) {
    CancelIoEx(f->file, nullptr);
    DWORD ignored = 0;
    if (f->read_pending) GetOverlappedResult(f->file, &f->read, &ignored, TRUE);
    if (f->oplock_pending) GetOverlappedResult(f->file, &f->oplock, &ignored, TRUE);
  }
  f->read_pending = false;
  f->oplock_pending = false;
  CloseIfOpen(&f->read.hEvent, nullptr);
  CloseIfOpen(&f->oplock.hEvent, nullptr);
  // Closing the file ends the oplock.
  CloseIfOpen(&f->file, INVALID_HANDLE_VALUE);
}

Win32Error OsReadFile(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                      uint32_t* transferred) {
  auto* ov = static_cast<OVERLAPPED*>(overlapped);
  ov->Offset = static_cast<DWORD>(offset);
  ov->OffsetHigh = static_cast<DWORD>(offset >> 32);
  if (!::ReadFile(static_cast<HANDLE>(file), buffer, size, nullptr, ov)) return GetLastError();
  DWORD got = 0;
  if (!GetOverlappedResult(static_cast<HANDLE>(file), ov, &got, FALSE)) return GetLastError();
  *transferred = got;
  return kErrorSuccess;
}

}  // namespace acdc::platform
