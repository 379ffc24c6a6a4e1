// The Filter Manager's user-mode library, called as it is.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fltuser.h>

#include "platform/filter_port.h"

namespace acdc::platform {

namespace {

// Filter and port names are short ASCII constants; a longer one is refused.
constexpr size_t kNameCapacity = 64;

bool Widen(const char* name, wchar_t (&out)[kNameCapacity]) {
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i + 1 >= kNameCapacity) return false;
    out[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
  }
  out[i] = L'\0';
  return true;
}

constexpr HResult kHrNameTooLong = HResultFromWin32(kErrorFilenameExcedRange);

}  // namespace

static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16, "the message header is 16 bytes");
static_assert(sizeof(FILTER_REPLY_HEADER) == 16, "the reply header is 16 bytes");

void SetFltExchangeTimeout(int) {}

HResult FltLoad(const char* name) {
  wchar_t wide[kNameCapacity];
  if (!Widen(name, wide)) return kHrNameTooLong;
  return FilterLoad(wide);
}

HResult FltUnload(const char* name) {
  wchar_t wide[kNameCapacity];
  if (!Widen(name, wide)) return kHrNameTooLong;
  return FilterUnload(wide);
}

HResult FltConnectPort(const char* port_name, const void* context, uint16_t context_size, OsHandle* port) {
  *port = nullptr;
  wchar_t wide[kNameCapacity];
  if (!Widen(port_name, wide)) return kHrNameTooLong;
  HANDLE h = nullptr;
  HRESULT hr = FilterConnectCommunicationPort(wide, 0, context, context_size, nullptr, &h);
  if (SUCCEEDED(hr)) *port = h;
  return hr;
}

HResult FltReplyMessage(OsHandle port, const void* reply, uint32_t size) {
  return FilterReplyMessage(port, static_cast<PFILTER_REPLY_HEADER>(const_cast<void*>(reply)), size);
}

HResult FltSendMessage(OsHandle port, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned) {
  DWORD n = 0;
  HRESULT hr = FilterSendMessage(port, const_cast<void*>(in), in_size, out, out_size, &n);
  *returned = n;
  return hr;
}

Win32Error FltClosePort(OsHandle port) { return CloseHandle(port) ? kErrorSuccess : GetLastError(); }

}  // namespace acdc::platform
