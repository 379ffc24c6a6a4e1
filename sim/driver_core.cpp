#include "sim/driver_core.h"

#include <poll.h>
#include <stddef.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace acdc::sim {

namespace {

// Offsets of the message, as the driver writes it.
constexpr size_t kType = 20, kId = 24, kMissed = 28, kPid = 32, kPpid = 36, kSubtype = 40, kRc = 56, kFd = 60,
                 kDelete = 64, kMode = 68, kFlags = 72, kDirty = 76, kNameSize = 92, kOldNameSize = 96,
                 kSidSize = 100, kName = 104, kOldName = 1128, kSid = 2152, kField = 1024;

const char kBeworker[] = "\"beworker\"";
const char kProgram[] = "\"program\"";
const char kGetFileFilter[] = "\"getfilefilter\"";
const char kSetFileFilter[] = "\"setfilefilter\"";

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Binds a listening SOCK_SEQPACKET socket at the abstract name "fltmgr/<path>".
int ListenAt(const std::string& path, int* err) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string name = "fltmgr/" + path;
  if (name.size() + 1 > sizeof addr.sun_path) {
    *err = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 || listen(fd, 64) != 0) {
    *err = errno;
    close(fd);
    return -1;
  }
  *err = 0;
  return fd;
}

bool SendPacketFd(int fd, const void* bytes, size_t size) {
  for (;;) {
    ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    struct pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 5000) <= 0 || (p.revents & (POLLERR | POLLHUP))) return false;
  }
}

void AnswerHr(int fd, int32_t hr) { SendPacketFd(fd, &hr, sizeof hr); }

}  // namespace

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Utf8ToUtf16Le(const std::string& text) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  while (i < n) {
    uint32_t c = s[i], cp = 0xFFFD;
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) {
      ++i;
    } else {
      cp = len == 1 ? c : c & (0x7F >> len);
      bool ok = true;
      for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      i += ok ? len : 1;
      if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 | (cp >> 10));
      unit(0xDC00 | (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

void BuildEventMessage(const EventFields& f, uint64_t message_id, uint8_t* out) {
  std::memset(out, 0, kEventMessageSize);
  Put32(out, static_cast<uint32_t>(kReplyMessageSize));
  Put64(out + 8, message_id);
  Put32(out + kType, f.type);
  Put32(out + kId, f.id);
  Put32(out + kMissed, f.missed);
  Put32(out + kPid, f.pid);
  Put32(out + kPpid, f.ppid);
  std::memcpy(out + kSubtype, f.subtype.data(), std::min<size_t>(f.subtype.size(), 16));
  Put32(out + kRc, static_cast<uint32_t>(f.rc));
  Put32(out + kFd, static_cast<uint32_t>(f.fd));
  Put32(out + kDelete, static_cast<uint32_t>(f.del));
  Put32(out + kMode, f.mode);
  Put32(out + kFlags, f.flags);
  Put32(out + kDirty, static_cast<uint32_t>(f.dirty));
  auto field = [out](size_t size_at, size_t at, const std::string& bytes, const std::optional<uint32_t>& size) {
    size_t n = std::min<size_t>(bytes.size(), kField);
    std::memcpy(out + at, bytes.data(), n);
    Put32(out + size_at, size ? *size : static_cast<uint32_t>(n));
  };
  field(kNameSize, kName, Utf8ToUtf16Le(f.name), f.namesize);
  field(kOldNameSize, kOldName, Utf8ToUtf16Le(f.oldname), f.oldnamesize);
  field(kSidSize, kSid, f.sid, f.sidsize);
}

Reply ParseReply(const uint8_t* bytes, size_t size) {
  uint8_t full[kReplyMessageSize] = {};
  std::memcpy(full, bytes, std::min(size, kReplyMessageSize));
  Reply r;
  r.size = static_cast<uint32_t>(size);
  r.status = static_cast<int32_t>(Get32(full));
  r.message_id = Get64(full + 8);
  r.code = Get32(full + 16);
  r.id = Get32(full + 20);
  r.eta = Get32(full + 24);
  r.error = Get32(full + 28);
  return r;
}

struct DriverCore::Conn {
  int fd = -1;
  uint32_t kind = 0;  // 0 until its context arrived
  uint32_t pid = 0;
  ~Conn() {
    if (fd >= 0) close(fd);
  }
};

DriverCore::DriverCore(Options options) : options_(std::move(options)) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DriverCore::~DriverCore() {
  StopThread();
  std::lock_guard<std::mutex> lock(mu_);
  CloseConnectionsLocked();
  if (filter_fd_ >= 0) close(filter_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

int DriverCore::Listen() {
  std::lock_guard<std::mutex> lock(mu_);
  if (filter_fd_ >= 0) return 0;
  int err;
  filter_fd_ = ListenAt("filter/" + options_.filter, &err);
  return filter_fd_ >= 0 ? 0 : err;
}

void DriverCore::CloseConnectionsLocked() {
  conns_.clear();
  for (int fd : pending_filter_) close(fd);
  pending_filter_.clear();
  if (port_fd_ >= 0) close(port_fd_);
  port_fd_ = -1;
}

void DriverCore::Crash() {
  std::lock_guard<std::mutex> lock(mu_);
  CloseConnectionsLocked();
  if (filter_fd_ >= 0) close(filter_fd_);
  filter_fd_ = -1;
  loaded_ = false;
  changed_.notify_all();
}

void DriverCore::OpenPortLocked() {
  int err;
  port_fd_ = ListenAt("port/" + options_.port, &err);
}

bool DriverCore::loaded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loaded_;
}

size_t DriverCore::event_connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->kind == kEventConnection; });
}

size_t DriverCore::control_connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->kind == kControlConnection; });
}

std::vector<uint32_t> DriverCore::workers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return workers_;
}

void DriverCore::StartThread() {
  if (running_.exchange(true)) return;
  thread_ = std::thread([this] {
    while (running_.load()) Poll(100);
  });
}

void DriverCore::StopThread() {
  if (!running_.exchange(false)) return;
  uint64_t one = 1;
  ssize_t n = write(wake_fd_, &one, sizeof one);
  (void)n;
  if (thread_.joinable()) thread_.join();
}

void DriverCore::Poll(int timeout_ms) {
  std::vector<struct pollfd> fds;
  std::vector<std::shared_ptr<Conn>> polled;
  size_t filter_at = SIZE_MAX, port_at = SIZE_MAX, pending_at, pending_count;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ExpireLocked(NowNs());
    fds.push_back({wake_fd_, POLLIN, 0});
    if (filter_fd_ >= 0) {
      filter_at = fds.size();
      fds.push_back({filter_fd_, POLLIN, 0});
    }
    if (port_fd_ >= 0) {
      port_at = fds.size();
      fds.push_back({port_fd_, POLLIN, 0});
    }
    pending_at = fds.size();
    pending_count = pending_filter_.size();
    for (int fd : pending_filter_) fds.push_back({fd, POLLIN, 0});
    for (const auto& c : conns_) {
      fds.push_back({c->fd, POLLIN, 0});
      polled.push_back(c);
    }
  }
  // Held messages expire while nothing else happens.
  int wait = timeout_ms < 0 || timeout_ms > 50 ? 50 : timeout_ms;
  int n = poll(fds.data(), fds.size(), wait);
  if (n <= 0) return;
  if (fds[0].revents & POLLIN) {
    uint64_t v;
    ssize_t r = read(wake_fd_, &v, sizeof v);
    (void)r;
  }
  if (filter_at != SIZE_MAX && (fds[filter_at].revents & POLLIN)) AcceptFilter();
  if (port_at != SIZE_MAX && (fds[port_at].revents & POLLIN)) AcceptPort();
  size_t conn_at = pending_at + pending_count;
  {
    std::vector<int> ready;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = pending_at; i < conn_at; ++i)
        if (fds[i].revents != 0) ready.push_back(fds[i].fd);
      for (int fd : ready) pending_filter_.erase(std::find(pending_filter_.begin(), pending_filter_.end(), fd));
    }
    for (int fd : ready) ServeFilterRequest(fd);
  }
  for (size_t k = 0; k < polled.size(); ++k) {
    const struct pollfd& p = fds[conn_at + k];
    if (p.revents == 0) continue;
    const auto& c = polled[k];
    if (c->kind == 0) {
      ServeContext(c);
    } else if (c->kind == kControlConnection) {
      ServeCommand(c);
    } else {
      TakeReplies(c);
    }
  }
}

void DriverCore::AcceptFilter() {
  int fd = accept4(filter_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  pending_filter_.push_back(fd);
}

void DriverCore::ServeFilterRequest(int fd) {
  char request[16];
  ssize_t n = recv(fd, request, sizeof request, MSG_DONTWAIT);
  if (n == 4 && std::memcmp(request, "load", 4) == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    int32_t hr = loaded_ ? kHrAlreadyLoaded : options_.load_result;
    if (hr == 0) {
      loaded_ = true;
      OpenPortLocked();
    }
    AnswerHr(fd, hr);
    changed_.notify_all();
  } else if (n == 6 && std::memcmp(request, "unload", 6) == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    int32_t hr = loaded_ ? 0 : kHrNotLoaded;
    if (loaded_) {
      loaded_ = false;
      conns_.clear();
      if (port_fd_ >= 0) close(port_fd_);
      port_fd_ = -1;
    }
    AnswerHr(fd, hr);
    changed_.notify_all();
  }
  close(fd);
}

void DriverCore::AcceptPort() {
  int fd = accept4(port_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  auto c = std::make_shared<Conn>();
  c->fd = fd;
  std::lock_guard<std::mutex> lock(mu_);
  conns_.push_back(c);
}

void DriverCore::ServeContext(const std::shared_ptr<Conn>& c) {
  uint8_t context[64];
  ssize_t n = recv(c->fd, context, sizeof context, MSG_DONTWAIT);
  std::lock_guard<std::mutex> lock(mu_);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  uint32_t kind = n == 8 ? Get32(context) : 0;
  if (kind != kEventConnection && kind != kControlConnection) {
    if (n >= 0) AnswerHr(c->fd, kHrInvalidContext);  // fails quietly for a peer that hung up
    conns_.erase(std::remove(conns_.begin(), conns_.end(), c), conns_.end());
    return;
  }
  c->kind = kind;
  c->pid = Get32(context + 4);
  AnswerHr(c->fd, 0);
  changed_.notify_all();
}

void DriverCore::ServeCommand(const std::shared_ptr<Conn>& c) {
  std::vector<uint8_t> packet(1 << 20);
  ssize_t n = recv(c->fd, packet.data(), packet.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  std::unique_lock<std::mutex> lock(mu_);
  if (n <= 0) {  // the library closed the connection
    conns_.erase(std::remove(conns_.begin(), conns_.end(), c), conns_.end());
    changed_.notify_all();
    return;
  }
  if (n < 4) return;
  Command cmd;
  cmd.out_size = Get32(packet.data());
  cmd.input.assign(reinterpret_cast<const char*>(packet.data()) + 4, static_cast<size_t>(n) - 4);
  cmd.pid = c->pid;
  commands_.push_back(cmd);
  changed_.notify_all();
  if (!answer_commands_) return;

  CommandAnswer a;
  if (!answers_.empty()) {
    a = answers_.front();
    answers_.pop_front();
  } else {
    std::string text(cmd.input.c_str());  // up to the first NUL
    if (text == kBeworker) {
      if (std::find(workers_.begin(), workers_.end(), c->pid) == workers_.end()) workers_.push_back(c->pid);
      a.output = options_.worker_answer;
    } else if (cmd.input.size() == kProgramImageSize && cmd.input.compare(0, sizeof kProgram - 1, kProgram) == 0) {
      program_.assign(cmd.input.begin(), cmd.input.end());
      a.output = "true";
    } else if (text == kGetFileFilter) {
      uint8_t reply[20] = {'!', 'r', 'a', 'w'};
      Put32(reply + 8, 32);
      Put32(reply + 12, 32);
      Put32(reply + 16, options_.file_filter_value);
      a.output.assign(reinterpret_cast<const char*>(reply), sizeof reply);
    } else if (text == kSetFileFilter && cmd.input.size() == kFileFilterRequestSize) {
      file_filter_.assign(cmd.input.begin(), cmd.input.end());
      a.output = "true";
    } else {
      uint8_t header[16] = {'!', 'e', 'r', 'r', 'o', 'r'};
      a.output.assign(reinterpret_cast<const char*>(header), sizeof header);
      a.output += "unknown command";
    }
    if (a.output.size() > cmd.out_size) a.output.resize(cmd.out_size);
  }
  lock.unlock();
  std::string packet_out;
  if (!a.no_answer_bytes) {
    packet_out.assign(reinterpret_cast<const char*>(&a.hresult), sizeof a.hresult);
    packet_out += a.output;
  }
  SendPacketFd(c->fd, packet_out.data(), packet_out.size());
}

void DriverCore::TakeReplies(const std::shared_ptr<Conn>& c) {
  uint8_t buf[256];
  for (;;) {
    ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      n = 0;
    }
    if (n == 0) {
      struct pollfd p = {c->fd, POLLIN | POLLRDHUP, 0};
      if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP))) {
        std::lock_guard<std::mutex> lock(mu_);
        conns_.erase(std::remove(conns_.begin(), conns_.end(), c), conns_.end());
        changed_.notify_all();
        return;
      }
    }
    RecordReply(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf, NowNs());
    if (static_cast<size_t>(n) != kReplyMessageSize) {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.malformed;
    }
  }
}

void DriverCore::RecordReply(const uint8_t* bytes, size_t size, int64_t now) {
  Reply r = ParseReply(bytes, size);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_id_.find(r.message_id);
  if (it == by_id_.end()) {
    ++stats_.unknown;
    return;
  }
  // Messages sharing an id are answered in the order they were sent.
  MessageRecord* m = nullptr;
  for (size_t index : it->second) {
    if (records_[index].replies == 0) {
      m = &records_[index];
      break;
    }
  }
  if (m == nullptr) {
    ++records_[it->second.back()].replies;
    ++stats_.duplicates;
    return;
  }
  ++m->replies;
  if (m->timed_out) {
    ++stats_.late;
    return;
  }
  m->first = r;
  m->latency_ns = now - m->sent_ns;
  ++stats_.answered;
  --stats_.outstanding;
  if (r.id != m->event_id) ++stats_.mismatched;
  changed_.notify_all();
}

void DriverCore::ExpireLocked(int64_t now) {
  int64_t hold = static_cast<int64_t>(options_.hold_ms) * 1000000;
  while (!held_.empty()) {
    MessageRecord& m = records_[held_.front()];
    if (m.replies > 0) {
      held_.pop_front();
      continue;
    }
    if (now - m.sent_ns < hold) break;
    m.timed_out = true;
    ++stats_.timed_out;
    --stats_.outstanding;
    held_.pop_front();
    changed_.notify_all();
  }
}

std::shared_ptr<DriverCore::Conn> DriverCore::EventConnLocked() const {
  for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
    if ((*it)->kind == kEventConnection) return *it;
  return nullptr;
}

bool DriverCore::SendOn(const std::shared_ptr<Conn>& c, const void* bytes, size_t size) {
  return c != nullptr && SendPacketFd(c->fd, bytes, size);
}

bool DriverCore::SendRaw(const void* bytes, size_t size, uint64_t message_id, bool hold) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c = EventConnLocked();
    if (c == nullptr) return false;
    if (hold) {
      MessageRecord m;
      m.message_id = message_id;
      m.event_id = size >= kId + 4 ? Get32(static_cast<const uint8_t*>(bytes) + kId) : 0;
      m.sent_ns = NowNs();
      by_id_[message_id].push_back(records_.size());
      held_.push_back(records_.size());
      records_.push_back(m);
      ++stats_.sent;
      ++stats_.outstanding;
    }
  }
  return SendOn(c, bytes, size);
}

bool DriverCore::SendEvent(const EventFields& f, uint64_t message_id) {
  uint8_t message[kEventMessageSize];
  BuildEventMessage(f, message_id, message);
  return SendRaw(message, sizeof message, message_id, true);
}

bool DriverCore::WaitReply(uint64_t message_id, int timeout_ms, MessageRecord* out) {
  std::unique_lock<std::mutex> lock(mu_);
  auto done = [&] {
    auto it = by_id_.find(message_id);
    if (it == by_id_.end()) return false;
    const MessageRecord& m = records_[it->second.back()];
    if (m.replies == 0 && !m.timed_out) return false;
    *out = m;
    return true;
  };
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

bool DriverCore::WaitIdle(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return stats_.outstanding == 0; });
}

bool DriverCore::WaitOutstanding(uint64_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return stats_.outstanding <= count; });
}

bool DriverCore::WaitConnections(size_t events, size_t controls, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t e = 0, k = 0;
    for (const auto& c : conns_) {
      if (c->kind == kEventConnection) ++e;
      if (c->kind == kControlConnection) ++k;
    }
    return e >= events && k >= controls;
  });
}

Stats DriverCore::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

std::vector<MessageRecord> DriverCore::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

void DriverCore::QueueCommandAnswer(CommandAnswer a) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_.push_back(std::move(a));
}

void DriverCore::SetAnswerCommands(bool answer) {
  std::lock_guard<std::mutex> lock(mu_);
  answer_commands_ = answer;
}

std::vector<Command> DriverCore::commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

std::vector<uint8_t> DriverCore::program() const {
  std::lock_guard<std::mutex> lock(mu_);
  return program_;
}

std::vector<uint8_t> DriverCore::file_filter() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_filter_;
}

int64_t DriverCore::RunStream(uint64_t count, uint32_t outstanding,
                              const std::function<uint64_t(uint64_t i, uint8_t* message)>& make) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c = EventConnLocked();
  }
  if (c == nullptr || outstanding == 0) return -1;
  // Blocking reads with the hold time as their bound: one call per reply, as a plain
  // ping-pong makes, instead of a poll and a read.
  int flags = fcntl(c->fd, F_GETFL);
  struct timeval hold = {options_.hold_ms / 1000, (options_.hold_ms % 1000) * 1000};
  struct timeval no_limit = {0, 0};
  fcntl(c->fd, F_SETFL, flags & ~O_NONBLOCK);
  setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &hold, sizeof hold);
  int64_t elapsed = Stream(c->fd, count, outstanding, make);
  setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &no_limit, sizeof no_limit);
  fcntl(c->fd, F_SETFL, flags);
  return elapsed;
}

int64_t DriverCore::Stream(int fd, uint64_t count, uint32_t outstanding,
                           const std::function<uint64_t(uint64_t i, uint8_t* message)>& make) {
  uint8_t message[kEventMessageSize];
  uint8_t reply[256];
  uint64_t sent = 0, replied = 0;
  int64_t start = NowNs();
  while (replied < count) {
    while (sent < count && sent - replied < outstanding) {
      uint64_t id = make(sent, message);
      {
        std::lock_guard<std::mutex> lock(mu_);
        MessageRecord m;
        m.message_id = id;
        m.event_id = Get32(message + kId);
        m.sent_ns = NowNs();
        by_id_[id].push_back(records_.size());
        held_.push_back(records_.size());
        records_.push_back(m);
        ++stats_.sent;
        ++stats_.outstanding;
      }
      if (!SendPacketFd(fd, message, sizeof message)) return -1;
      ++sent;
    }
    ssize_t n = recv(fd, reply, sizeof reply, MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;  // the hold time passed, or the library hung up
    RecordReply(reply, static_cast<size_t>(n) < sizeof reply ? static_cast<size_t>(n) : sizeof reply, NowNs());
    ++replied;
  }
  return NowNs() - start;
}

}  // namespace acdc::sim
