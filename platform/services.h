// The operating-system services the portable core calls, behind one table of
// function pointers (as SQLite's aSyscall), so that native tests can substitute a
// process lookup, a file status or a clock. The library itself only ever uses the
// real implementations that the table starts with.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/file_status.h"
#include "platform/oplock_file.h"
#include "platform/process.h"

namespace acdc::platform {

struct Services {
  uint32_t (*current_process_id)();
  Win32Error (*query_process_image)(uint32_t pid, char16_t* out, uint32_t* len, ImageQueryStep* step);
  bool (*is_process_running)(uint32_t pid);
  Win32Error (*file_status)(const char* path, FileStatus* out);
  uint64_t (*now_ms)();
  size_t (*system_message)(Win32Error code, char16_t* out, size_t cap);
  Win32Error (*descriptor_name)(uint32_t pid, int32_t fd, char* out, size_t cap);
  void* (*allocate)(size_t size);  // memory that std::free releases; nullptr when there is none
  // The digest's two steps that can fail: making a context (an allocation) and
  // hashing with it.
  void* (*new_digest_context)();
  bool (*sha256)(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len);
  Win32Error (*file_system_type)(const char* path, uint64_t* type);  // statfs's f_type (POSIX drives)
  // One chunk of a file being hashed (OsReadFile); tests pause the reader with it.
  Win32Error (*read_file)(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                          uint32_t* transferred);
  // Whether OpenSSL keeps to FIPS implementations; Debian ships no FIPS provider, so
  // tests answer it themselves.
  bool (*fips_mode)();
};

// The table in use. Tests replace entries and put the saved table back.
extern Services g_services;

// std::malloc, the one allocator of the few heap blocks the core keeps.
void* OsAllocate(size_t size);

// The real implementations, for tests that restore them.
constexpr Services kOsServices = {OsCurrentProcessId, OsQueryProcessImage, OsIsProcessRunning,
                                  OsFileStatus, OsNowMilliseconds,  OsSystemMessage,
                                  OsDescriptorName,   OsAllocate,
                                  OsNewDigestContext, OsSha256,
                                  OsFileSystemType,   OsReadFile,
                                  OsFipsMode};

inline uint32_t CurrentProcessId() { return g_services.current_process_id(); }
inline Win32Error QueryProcessImage(uint32_t pid, char16_t* out, uint32_t* len, ImageQueryStep* step) {
  return g_services.query_process_image(pid, out, len, step);
}
inline bool IsProcessRunning(uint32_t pid) { return g_services.is_process_running(pid); }
inline Win32Error GetFileStatus(const char* path, FileStatus* out) { return g_services.file_status(path, out); }
inline uint64_t NowMilliseconds() { return g_services.now_ms(); }
inline size_t SystemMessage(Win32Error code, char16_t* out, size_t cap) { return g_services.system_message(code, out, cap); }
inline Win32Error DescriptorName(uint32_t pid, int32_t fd, char* out, size_t cap) {
  return g_services.descriptor_name(pid, fd, out, cap);
}
inline void* Allocate(size_t size) { return g_services.allocate(size); }
inline void* NewDigestContext() { return g_services.new_digest_context(); }
inline bool Sha256(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len) {
  return g_services.sha256(ctx, data, size, out, out_len);
}

inline Win32Error FileSystemType(const char* path, uint64_t* type) { return g_services.file_system_type(path, type); }
inline Win32Error ReadChunk(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                            uint32_t* transferred) {
  return g_services.read_file(file, buffer, size, offset, overlapped, transferred);
}
inline bool FipsMode() { return g_services.fips_mode(); }

}  // namespace acdc::platform
