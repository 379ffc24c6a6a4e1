// The completion port of the Filter Manager emulation, without threads of its own:
// the threads that wait do the I/O.
//
// Design. There is one process-wide port (the library creates one per load), a mutex
// and a condition variable. Of the threads waiting on it, one at a time leads: it
// polls the event connection, the exit channels bound to the port and the port's own
// wake descriptor with its own remaining time (recomputed after EINTR), and receives
// a message straight into its own receiver's buffer. The others wait on the
// condition variable for a completion or for the lead. Leadership passes on whenever
// the leader leaves: with a message, with an exit signal, on time-out or when the
// port breaks, it wakes one follower, which becomes the next leader.
//
// - Messages. Only the leader reads, into the buffer of the handle it waits for, so
//   a message goes into exactly one buffer and to exactly one waiter, nothing is
//   copied between handles, and a receive is armed only while its waiter leads: no
//   receive outlives its wait, and a handle that is collected has none to cancel.
// - Exit signals. An eventfd read of value n is n signals, each byte of a pipe one.
//   The leader reads what is pending and turns it into queued completions; it takes
//   one itself (its handle stops) unless it also received a message, and wakes the
//   followers to take the rest: each signal stops the one handle whose waiter takes
//   it. Signals that nobody waits for stay queued, in the channel or in the port,
//   until a wait takes them. A pipe whose writers are all gone ends its channel: it is
//   no longer polled and signals nothing.
// - Breaking. A hang-up or reset of the event connection (POLLHUP, POLLRDHUP,
//   ECONNRESET; an empty packet without them is a message of 0 bytes), closing the
//   port, or closing the connection (unload) marks the port broken and wakes
//   everyone: every waiter returns 0x8007006D at once, and so does every later wait
//   on that port. The leader holds a reference to the connection while it polls it,
//   so unload shuts the socket down (which wakes the poll) but its descriptor is
//   closed only after the leader has let go: never a reused descriptor.
// - Exit descriptors. A receiver keeps its own duplicate of the host's exit channel.
//   Binding (before every wait, as on Windows) links the receiver into the port's
//   list and wakes the leader so that its next poll includes the channel. Releasing a
//   receiver while the leader is inside its poll only retires it; the leader closes
//   the duplicate and frees the receiver when it comes out, so a descriptor in a
//   running poll is never closed.
// - Generations. Each port that is created gets a new generation and the handle
//   carries it: a wait on a closed port, or started before the port it named was
//   replaced, ends as broken, and bindings of an earlier port are made again.
//
// Lock order: the port mutex, then (briefly, inside it) a connection reference of
// port_table.h, which takes no lock. No Lua call, I/O wait or allocation happens
// under the mutex except the close() of retired duplicates.
#include "platform/completion_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/posix/errno_map.h"
#include "platform/posix/port_table.h"

namespace acdc::platform {

namespace {

enum class ExitKind : uint8_t { kNone, kEventfd, kPipe };

// Exit channels one poll watches; a binding beyond them fails, which a wait ignores
// as it ignores a failed binding on Windows.
constexpr size_t kMaxBoundExits = 256;

}  // namespace

struct Receiver {
  uint8_t buffer[kReceiveBufferSize];
  int exit_fd = -1;                  // our duplicate of the host's exit channel; -1 none
  ExitKind exit_kind = ExitKind::kNone;
  std::atomic<bool> exit_ended{false};  // a pipe without writers: no longer polled
  // Under the port mutex:
  uint32_t bound_generation = 0;     // the port generation it is bound to; 0 none
  Receiver* prev = nullptr;          // the port's list of bound receivers
  Receiver* next = nullptr;
  Receiver* next_retired = nullptr;  // released during a poll: freed by the leader
};

namespace {

struct Port {
  std::mutex mu;
  std::condition_variable cv;
  uint32_t generation = 0;     // of the current port; handles carry it
  bool open = false;
  bool broken = false;         // the event connection broke: every wait ends
  OsHandle event_port = nullptr;
  bool leader = false;         // a waiter polls
  bool in_io = false;          // the leader is inside poll/recv/read with the descriptors it took
  uint64_t pending_exits = 0;  // exit signals read and not yet taken
  int wake_fd = -1;            // eventfd that interrupts the leader's poll; made once, kept
  Receiver* bound = nullptr;
  Receiver* retired = nullptr;
};

Port g_port;

// Completion port handles end in 0xFF, which no connection handle does.
OsHandle MakeHandle(uint32_t generation) {
  return reinterpret_cast<OsHandle>((static_cast<uintptr_t>(generation) << 8) | 0xFF);
}

bool HandleGeneration(OsHandle h, uint32_t* generation) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if ((v & 0xFF) != 0xFF) return false;
  *generation = static_cast<uint32_t>(v >> 8);
  return true;
}

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void WakeLeaderLocked() {
  if (!g_port.leader) return;
  uint64_t one = 1;
  ssize_t n = write(g_port.wake_fd, &one, sizeof one);
  (void)n;  // a full counter already wakes the poll
}

void UnbindAllLocked() {
  for (Receiver* r = g_port.bound; r != nullptr;) {
    Receiver* next = r->next;
    r->prev = r->next = nullptr;
    r->bound_generation = 0;
    r = next;
  }
  g_port.bound = nullptr;
}

void UnlinkLocked(Receiver* r) {
  if (r->prev != nullptr) r->prev->next = r->next;
  else if (g_port.bound == r) g_port.bound = r->next;
  if (r->next != nullptr) r->next->prev = r->prev;
  r->prev = r->next = nullptr;
  r->bound_generation = 0;
}

void FreeReceiver(Receiver* r) {
  if (r->exit_fd >= 0) close(r->exit_fd);
  delete r;
}

void BindLocked(Receiver* r) {
  if (r->exit_fd < 0 || r->exit_ended || r->bound_generation == g_port.generation) return;
  if (r->bound_generation != 0) UnlinkLocked(r);
  r->bound_generation = g_port.generation;
  r->next = g_port.bound;
  if (g_port.bound != nullptr) g_port.bound->prev = r;
  g_port.bound = r;
  WakeLeaderLocked();
}

// Reads the signals pending on one exit channel the poll reported. Re-polls first:
// the descriptor may be blocking (it shares the host's file description), and only a
// channel that is readable right now may be read.
uint64_t ReadSignals(Receiver* r) {
  struct pollfd p = {r->exit_fd, POLLIN, 0};
  if (poll(&p, 1, 0) != 1) return 0;
  if (r->exit_kind == ExitKind::kEventfd) {
    uint64_t value = 0;
    ssize_t n = read(r->exit_fd, &value, sizeof value);
    return n == static_cast<ssize_t>(sizeof value) ? value : 0;
  }
  char bytes[64];
  ssize_t n = read(r->exit_fd, bytes, sizeof bytes);
  if (n == 0) r->exit_ended = true;  // every writer has gone
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

// What one round of polling found.
struct Round {
  bool message = false;
  uint32_t bytes = 0;
  bool broken = false;
  bool timed_out = false;
  uint64_t signals = 0;
};

// The leader's I/O, outside the mutex: the descriptors it polls stay open because it
// holds the connection's reference and no duplicate is closed while in_io is set.
void PollOnce(int conn_fd, Receiver* const* exits, size_t exit_count, int64_t deadline, Receiver* self,
              Round* out) {
  struct pollfd fds[2 + kMaxBoundExits];
  fds[0] = {g_port.wake_fd, POLLIN, 0};
  fds[1] = {conn_fd, POLLIN | POLLRDHUP, 0};
  for (size_t i = 0; i < exit_count; ++i) fds[2 + i] = {exits[i]->exit_fd, POLLIN, 0};
  nfds_t count = static_cast<nfds_t>(2 + exit_count);
  int n;
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMs();
      timeout = left > 0 ? static_cast<int>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF) : 0;
    }
    n = poll(fds, count, timeout);
    if (n >= 0 || errno != EINTR) break;
  }
  if (n < 0) {
    out->broken = true;
    return;
  }
  if (n == 0) {
    out->timed_out = deadline >= 0 && NowMs() >= deadline;
    return;
  }
  if (fds[0].revents & POLLIN) {
    uint64_t drained;
    ssize_t r = read(g_port.wake_fd, &drained, sizeof drained);
    (void)r;
  }
  short ev = fds[1].revents;
  if (ev & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) {
    out->broken = true;
  } else if (ev & POLLIN) {
    ssize_t got;
    do {
      got = recv(conn_fd, self->buffer, kReceiveBufferSize, MSG_DONTWAIT | MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got >= 0) {
      out->message = true;
      out->bytes = static_cast<uint32_t>(got);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      out->broken = true;
    }
  }
  for (size_t i = 0; i < exit_count; ++i)
    if (fds[2 + i].revents != 0) out->signals += ReadSignals(exits[i]);
}

}  // namespace

Win32Error CreateCompletionPort(OsHandle event_port, OsHandle* out) {
  *out = nullptr;
  {
    posix::PortUse use(event_port);
    if (use.get() == nullptr) return kErrorInvalidHandle;
  }
  std::lock_guard<std::mutex> lock(g_port.mu);
  if (g_port.wake_fd < 0) {
    g_port.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_port.wake_fd < 0) return TranslateErrno(errno);
  }
  // A port still open is replaced: its waiters see a generation that is gone.
  if (++g_port.generation == 0) g_port.generation = 1;
  UnbindAllLocked();
  g_port.open = true;
  g_port.broken = false;
  g_port.pending_exits = 0;
  g_port.event_port = event_port;
  WakeLeaderLocked();
  g_port.cv.notify_all();
  *out = MakeHandle(g_port.generation);
  return kErrorSuccess;
}

void CloseCompletionPort(OsHandle port) {
  uint32_t generation;
  if (!HandleGeneration(port, &generation)) return;
  std::lock_guard<std::mutex> lock(g_port.mu);
  if (!g_port.open || generation != g_port.generation) return;
  g_port.open = false;
  g_port.event_port = nullptr;
  g_port.pending_exits = 0;
  UnbindAllLocked();
  WakeLeaderLocked();
  g_port.cv.notify_all();
}

Win32Error NewReceiver(OsHandle exit, Receiver** out) {
  *out = nullptr;
  int exit_fd = -1;
  ExitKind kind = ExitKind::kNone;
  if (exit != nullptr) {
    int host_fd = static_cast<int>(reinterpret_cast<intptr_t>(exit));
    struct stat st;
    if (fstat(host_fd, &st) != 0) return kErrorInvalidHandle;
    if (S_ISFIFO(st.st_mode)) {
      kind = ExitKind::kPipe;
    } else {
      char link[64], target[32];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", host_fd);
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n < 0) return kErrorInvalidHandle;
      target[n] = '\0';
      if (std::strcmp(target, "anon_inode:[eventfd]") != 0) return kErrorInvalidHandle;
      kind = ExitKind::kEventfd;
    }
    exit_fd = fcntl(host_fd, F_DUPFD_CLOEXEC, 0);
    if (exit_fd < 0) return TranslateErrno(errno);
  }
  Receiver* r = new (std::nothrow) Receiver;
  if (r == nullptr) {
    if (exit_fd >= 0) close(exit_fd);
    return kErrorNotEnoughMemory;
  }
  r->exit_fd = exit_fd;
  r->exit_kind = kind;
  *out = r;
  return kErrorSuccess;
}

void ReleaseReceiver(Receiver* r) {
  if (r == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_port.mu);
    if (r->bound_generation != 0) UnlinkLocked(r);
    if (g_port.in_io) {
      r->next_retired = g_port.retired;
      g_port.retired = r;
      WakeLeaderLocked();
      return;
    }
  }
  FreeReceiver(r);
}

uint8_t* ReceiverBuffer(Receiver* r) { return r->buffer; }

HResult WaitForMessage(OsHandle completion_port, OsHandle /*event_port: bound at creation*/, Receiver* r,
                       int32_t timeout_ms, uint32_t* bytes) {
  *bytes = 0;
  int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  uint32_t generation;
  if (!HandleGeneration(completion_port, &generation)) return HResultFromWin32(kErrorInvalidHandle);
  std::unique_lock<std::mutex> lock(g_port.mu);
  if (!g_port.open || generation != g_port.generation) return HResultFromWin32(kErrorInvalidHandle);
  BindLocked(r);
  for (;;) {
    if (!g_port.open || generation != g_port.generation || g_port.broken) return kHrBrokenPort;
    if (g_port.pending_exits > 0) {
      --g_port.pending_exits;
      return kHrStop;
    }
    if (g_port.leader) {
      if (deadline < 0) {
        g_port.cv.wait(lock);
      } else {
        int64_t left = deadline - NowMs();
        if (left <= 0) return kHrTimeout;
        g_port.cv.wait_for(lock, std::chrono::milliseconds(left));
      }
      continue;
    }

    // Lead one round.
    posix::PortSlot* conn = posix::AcquirePort(g_port.event_port);
    if (conn == nullptr) {
      g_port.broken = true;
      g_port.cv.notify_all();
      return kHrBrokenPort;
    }
    Receiver* exits[kMaxBoundExits];
    size_t exit_count = 0;
    for (Receiver* b = g_port.bound; b != nullptr && exit_count < kMaxBoundExits; b = b->next)
      if (!b->exit_ended) exits[exit_count++] = b;
    g_port.leader = true;
    g_port.in_io = true;
    lock.unlock();

    Round round;
    PollOnce(conn->fd, exits, exit_count, deadline, r, &round);

    lock.lock();
    posix::ReleasePort(conn);
    g_port.in_io = false;
    g_port.leader = false;
    for (Receiver* d = g_port.retired; d != nullptr;) {
      Receiver* next = d->next_retired;
      FreeReceiver(d);
      d = next;
    }
    g_port.retired = nullptr;
    bool current = g_port.open && generation == g_port.generation;
    if (current) {
      g_port.pending_exits += round.signals;
      if (round.broken) g_port.broken = true;
    }
    if (round.broken || round.signals > 0) g_port.cv.notify_all();
    else g_port.cv.notify_one();
    if (round.message) {
      *bytes = round.bytes;
      return kHrOk;
    }
    if (round.timed_out && current && !g_port.broken && g_port.pending_exits == 0) return kHrTimeout;
  }
}

}  // namespace acdc::platform
