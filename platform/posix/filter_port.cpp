// The Filter Manager emulation: the library's side of the protocol that any driver
// may implement (sim/ plays one, tests/conformance/ has a second in Python).
//
// - Transport: abstract Unix-domain sockets (names start with a NUL byte) of type
//   SOCK_SEQPACKET; one packet is one message; integers little-endian.
// - Filter endpoint "\0fltmgr/filter/<name>": a connection carries one request, the
//   4 bytes "load" or the 6 bytes "unload", and the driver answers one packet, an
//   int32 HRESULT. A driver that is loaded already answers "load" with 0x80070420.
// - Port endpoint "\0fltmgr/port/<port name without its backslash>": connecting sends
//   the connection context as one packet (possibly empty), the driver answers an int32
//   HRESULT, and on 0 the socket is the port handle. A driver listens there only while
//   it is loaded.
// - Driver to library on a port: a message is the 16-byte header (u32 reply length,
//   u32 padding, u64 message id) and the body (received in completion_port.cpp).
// - Library to driver: a reply is one packet, the 16-byte reply header (i32 status,
//   u32 padding, u64 message id) and the body. A command is one packet, a u32
//   output-buffer size and the input bytes; the driver answers one packet, an int32
//   HRESULT and at most that many output bytes.
// - Nobody listening on an endpoint is 0x80070002. A connection whose peer is gone is
//   ERROR_BROKEN_PIPE (0x8007006D); sends use MSG_NOSIGNAL, so it is never a signal.
//
// Abstract names can be taken by any user, so every connection checks its peer with
// SO_PEERCRED: a driver running as root or as the host's own user is accepted, any
// other is refused with ERROR_ACCESS_DENIED.
#include "platform/filter_port.h"

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix/errno_map.h"
#include "platform/posix/port_table.h"

namespace acdc::platform {

namespace {

using posix::PortSlot;
using posix::PortUse;

std::atomic<int> g_exchange_timeout_ms{kDefaultFltExchangeTimeoutMs};

constexpr HResult kHrNotFound = HResultFromWin32(kErrorFileNotFound);
constexpr HResult kHrInvalidHandle = HResultFromWin32(kErrorInvalidHandle);
constexpr HResult kHrInvalidData = HResultFromWin32(kErrorInvalidData);
constexpr HResult kHrExchangeTimeout = HResultFromWin32(kErrorTimeout);

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A failed socket call as Windows would report it: a peer that has gone is a broken
// pipe, whatever the call.
HResult SocketFailure(int err) {
  if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) return kHrBrokenPort;
  return HResultFromWin32(TranslateErrno(err));
}

// Waits until `fd` has `events` or hangs up, at most the exchange time-out. Returns
// 0, kHrExchangeTimeout or the broken-port status; *hung_up tells whether the peer
// has gone, since a read then returns 0 just as it does for an empty packet.
HResult AwaitSocket(int fd, short events, bool* hung_up = nullptr) {
  int64_t deadline = NowMs() + g_exchange_timeout_ms.load(std::memory_order_relaxed);
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left < 0) left = 0;
    struct pollfd p = {fd, static_cast<short>(events | POLLRDHUP), 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SocketFailure(errno);
    if (n == 0) return kHrExchangeTimeout;
    if (hung_up != nullptr) *hung_up = (p.revents & (POLLHUP | POLLRDHUP)) != 0;
    // Readable data is taken even from a peer that has gone since: its answer counts.
    if ((p.revents & events) != 0) return kHrOk;
    return kHrBrokenPort;
  }
}

// Sends one packet, waiting (bounded) while the peer's queue is full.
HResult SendPacket(int fd, const struct iovec* iov, int iovcnt) {
  struct msghdr msg = {};
  msg.msg_iov = const_cast<struct iovec*>(iov);
  msg.msg_iovlen = static_cast<size_t>(iovcnt);
  for (;;) {
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return kHrOk;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return SocketFailure(errno);
    HResult hr = AwaitSocket(fd, POLLOUT);
    if (hr != kHrOk) return hr;
  }
}

// Receives the answer to an exchange: an int32 HRESULT and up to `out_size` bytes.
// *returned is the length beyond the HRESULT, the real one even where it exceeds
// `out_size`. An answer too short for an HRESULT is ERROR_INVALID_DATA; none within
// the time-out is ERROR_TIMEOUT.
HResult ReceiveAnswer(int fd, void* out, uint32_t out_size, uint32_t* returned) {
  *returned = 0;
  bool hung_up = false;
  HResult hr = AwaitSocket(fd, POLLIN, &hung_up);
  if (hr != kHrOk) return hr;
  int32_t status = 0;
  struct iovec iov[2] = {{&status, sizeof status}, {out, out_size}};
  struct msghdr msg = {};
  msg.msg_iov = iov;
  msg.msg_iovlen = out_size > 0 ? 2 : 1;
  ssize_t n;
  do {
    n = recvmsg(fd, &msg, MSG_TRUNC | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return SocketFailure(errno);
  if (n == 0 && hung_up) return kHrBrokenPort;
  if (n < static_cast<ssize_t>(sizeof status)) return kHrInvalidData;
  *returned = static_cast<uint32_t>(n - static_cast<ssize_t>(sizeof status));
  return status;
}

// The peer of a connected endpoint must be root or the host's own user.
bool PeerIsTrusted(int fd) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == 0 || cred.uid == geteuid();
}

// Connects to the abstract endpoint "fltmgr/<kind>/<name>". Returns the socket, or -1
// with *hr set.
int ConnectEndpoint(const char* kind, const char* name, HResult* hr) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  // sun_path[0] stays NUL: the abstract namespace.
  size_t room = sizeof addr.sun_path - 1;
  size_t kind_len = std::strlen(kind), name_len = std::strlen(name);
  static const char kPrefix[] = "fltmgr/";
  size_t prefix_len = sizeof kPrefix - 1;
  if (prefix_len + kind_len + 1 + name_len > room) {
    *hr = HResultFromWin32(kErrorFilenameExcedRange);
    return -1;
  }
  char* p = addr.sun_path + 1;
  std::memcpy(p, kPrefix, prefix_len);
  std::memcpy(p + prefix_len, kind, kind_len);
  p[prefix_len + kind_len] = '/';
  std::memcpy(p + prefix_len + kind_len + 1, name, name_len);
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + prefix_len + kind_len + 1 + name_len);

  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *hr = HResultFromWin32(TranslateErrno(errno));
    return -1;
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    close(fd);
    *hr = (err == ECONNREFUSED || err == ENOENT) ? kHrNotFound : HResultFromWin32(TranslateErrno(err));
    return -1;
  }
  if (!PeerIsTrusted(fd)) {
    close(fd);
    *hr = HResultFromWin32(kErrorAccessDenied);
    return -1;
  }
  *hr = kHrOk;
  return fd;
}

// One request on a fresh connection to an endpoint and its HRESULT; the socket is
// returned (not closed) when `keep` is given and the answer is 0.
HResult Request(const char* kind, const char* name, const void* body, size_t size, int* keep) {
  HResult hr;
  int fd = ConnectEndpoint(kind, name, &hr);
  if (fd < 0) return hr;
  struct iovec iov = {const_cast<void*>(body), size};
  hr = SendPacket(fd, &iov, 1);
  uint32_t extra = 0;
  if (hr == kHrOk) hr = ReceiveAnswer(fd, nullptr, 0, &extra);
  if (hr == kHrOk && keep != nullptr) {
    *keep = fd;
    return hr;
  }
  close(fd);
  return hr;
}

}  // namespace

void SetFltExchangeTimeout(int milliseconds) { g_exchange_timeout_ms.store(milliseconds, std::memory_order_relaxed); }

HResult FltLoad(const char* name) { return Request("filter", name, "load", 4, nullptr); }

HResult FltUnload(const char* name) { return Request("filter", name, "unload", 6, nullptr); }

HResult FltConnectPort(const char* port_name, const void* context, uint16_t context_size, OsHandle* port) {
  *port = nullptr;
  if (port_name[0] == '\\') ++port_name;
  int fd = -1;
  HResult hr = Request("port", port_name, context, context_size, &fd);
  if (hr != kHrOk) return hr;
  Win32Error err = posix::RegisterPort(fd, port);
  if (err != kErrorSuccess) {
    close(fd);
    return HResultFromWin32(err);
  }
  return kHrOk;
}

HResult FltReplyMessage(OsHandle port, const void* reply, uint32_t size) {
  PortUse use(port);
  if (use.get() == nullptr) return kHrInvalidHandle;
  struct iovec iov = {const_cast<void*>(reply), size};
  return SendPacket(use.get()->fd, &iov, 1);
}

HResult FltSendMessage(OsHandle port, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned) {
  *returned = 0;
  PortUse use(port);
  PortSlot* slot = use.get();
  if (slot == nullptr) return kHrInvalidHandle;
  std::lock_guard<std::mutex> exchange(slot->exchange);
  struct iovec iov[2] = {{&out_size, sizeof out_size}, {const_cast<void*>(in), in_size}};
  HResult hr = SendPacket(slot->fd, iov, 2);
  if (hr != kHrOk) return hr;
  hr = ReceiveAnswer(slot->fd, out, out_size, returned);
  // The driver may still answer after we gave up, and that answer would be read as
  // the next command's: the connection is no longer usable.
  if (hr == kHrExchangeTimeout) shutdown(slot->fd, SHUT_RDWR);
  return hr;
}

Win32Error FltClosePort(OsHandle port) { return posix::ClosePort(port); }

}  // namespace acdc::platform
