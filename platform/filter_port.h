// The Filter Manager's user-mode interface (FLTLIB), in its own terms: load and
// unload a filter by name, connect to its communication port, answer a message,
// send a message and read the answer.
//
// Windows calls FLTLIB. POSIX talks to whatever plays the driver over abstract
// SOCK_SEQPACKET sockets (the protocol is in platform/posix/filter_port.cpp), with the
// same results: HRESULTs, 0x80070002 when nobody listens, 0x8007006D once a
// connection has broken. Receiving event messages goes through the completion port
// (platform/completion_port.h), as overlapped FilterGetMessage does on Windows.
#pragma once

#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// An operating-system handle as FLTLIB returns it and as the Lua host hands it over:
// a HANDLE on Windows; on POSIX a port of the emulation, or a descriptor number used
// as the pointer value.
using OsHandle = void*;

// A COM-style result: negative is a failure.
using HResult = int32_t;

constexpr HResult kHrOk = 0;

// HRESULT_FROM_WIN32: 0 stays 0, any other code becomes 0x8007xxxx.
constexpr HResult HResultFromWin32(Win32Error code) {
  return code == kErrorSuccess ? kHrOk : static_cast<HResult>(0x80070000u | (code & 0xFFFFu));
}

constexpr HResult kHrIoPending = HResultFromWin32(kErrorIoPending);
constexpr HResult kHrBrokenPort = HResultFromWin32(kErrorBrokenPipe);
constexpr HResult kHrStop = HResultFromWin32(kErrorSystemShutdown);
constexpr HResult kHrTimeout = HResultFromWin32(kWaitTimeout);

// FilterLoad / FilterUnload of the filter `name` (ASCII).
HResult FltLoad(const char* name);
HResult FltUnload(const char* name);

// FilterConnectCommunicationPort to `port_name` (ASCII, with its leading backslash)
// with the connection context of `context_size` bytes, options 0 and no security
// attributes. On success *port is the connection.
HResult FltConnectPort(const char* port_name, const void* context, uint16_t context_size, OsHandle* port);

// FilterReplyMessage: `reply` starts with the 16-byte reply header (status, padding,
// message id) and `size` counts the header.
HResult FltReplyMessage(OsHandle port, const void* reply, uint32_t size);

// FilterSendMessage: sends `in_size` bytes and waits for the driver's answer of at
// most `out_size` bytes into `out`. *returned is the answer's length; on POSIX a
// driver that answers with more than `out_size` bytes gets its real length reported
// (the excess is not stored), so that the caller can refuse it. One exchange at a
// time per connection. A driver that does not answer within the exchange time-out
// (SetFltExchangeTimeout) gives 0x800705B4; that connection then breaks, because a
// late answer could otherwise be taken for the answer to the next command.
HResult FltSendMessage(OsHandle port, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned);

// CloseHandle on a port.
Win32Error FltClosePort(OsHandle port);

// How long a POSIX exchange with the driver (load, unload, connect, command) waits for
// its answer, in milliseconds; 10,000 unless a test sets another bound. Windows
// leaves the bound to the driver.
constexpr int kDefaultFltExchangeTimeoutMs = 10000;
void SetFltExchangeTimeout(int milliseconds);

}  // namespace acdc::platform
