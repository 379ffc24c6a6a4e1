// The filter driver's side of the Filter Manager emulation, as a small library: it
// plays the driver "acdc" with the port "\vorpex" for the native tests, the Lua
// test-support module (simdriver), the benchmarks and the simulator program.
//
// What it does, in the terms of platform/posix/filter_port.cpp's protocol:
// - takes the filter endpoint "\0fltmgr/filter/<filter>" and answers "load" (0, or
//   0x80070420 when loaded already) and "unload" (0, or 0x801F0013 when not loaded);
//   it listens on the port endpoint "\0fltmgr/port/<port>" only while loaded;
// - accepts port connections with an 8-byte context {u32 kind, u32 pid}: kind 2 is an
//   event connection, kind 1 a control connection; any other context is refused with
//   0x80070057;
// - sends event messages (3176 bytes: the 16-byte header with reply length 32 and the
//   message id, then the body) on the newest event connection, and holds each until
//   its reply or its hold time, recording per message how many replies carried its id
//   and how long the first took;
// - answers commands on control connections: first any answers queued by the caller,
//   else the built-in ones: "beworker" (with its quotes) makes the connection a worker
//   and answers the worker answer ("true"); the 9472-byte program image (starting
//   with "program" in quotes) is kept and answered "true"; "getfilefilter" (in quotes)
//   is answered with 20 bytes, the typed header "!raw" with A = B = 32 (the sizes of
//   the process and descriptor maps) and the filter value; the 84-byte
//   "setfilefilter" request (in quotes) is kept and answered "true"; any other
//   command gets a typed "error" reply naming it unknown.
//
// Threads. All state is behind one mutex. Poll() serves the endpoints and must run on
// one thread at a time (StartThread() runs it on a thread of its own); SendEvent and
// the queries may be called from any thread. RunStream() reads the event connection
// itself and must not run while Poll() does.
//
// Nothing here is part of the library; it is test and simulation code, and uses the
// standard containers freely. Every descriptor it opens is close-on-exec.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace acdc::sim {

constexpr char kDefaultFilterName[] = "acdc";
constexpr char kDefaultPortName[] = "vorpex";  // the port "\vorpex" without its backslash

constexpr size_t kEventMessageSize = 3176;
constexpr size_t kReplyMessageSize = 32;
constexpr size_t kProgramImageSize = 9472;
constexpr size_t kFileFilterRequestSize = 84;

constexpr int32_t kHrAlreadyLoaded = static_cast<int32_t>(0x80070420u);  // ERROR_SERVICE_ALREADY_RUNNING
constexpr int32_t kHrNotLoaded = static_cast<int32_t>(0x801F0013u);      // the Filter Manager's "filter not found"
constexpr int32_t kHrInvalidContext = static_cast<int32_t>(0x80070057u); // E_INVALIDARG

constexpr uint32_t kEventConnection = 2;
constexpr uint32_t kControlConnection = 1;

// The fields of one event message. Names are UTF-8 and go out as UTF-16LE; the sizes
// sent are their UTF-16 byte lengths unless given. The sid goes out as raw bytes.
struct EventFields {
  uint32_t type = 0;
  uint32_t id = 0;
  uint32_t missed = 0;
  uint32_t pid = 0;
  uint32_t ppid = 0;
  std::string subtype;  // its first 16 bytes, NUL-padded
  int32_t rc = 0;
  int32_t fd = 0;
  int32_t del = 0;      // the message's `delete`
  uint32_t mode = 0;
  uint32_t flags = 0;
  int32_t dirty = 0;
  std::string name;
  std::string oldname;
  std::string sid;
  std::optional<uint32_t> namesize;     // sent in place of the name's real size
  std::optional<uint32_t> oldnamesize;
  std::optional<uint32_t> sidsize;
};

// Writes the kEventMessageSize bytes of a message. Names that do not fit their
// 1024-byte fields are cut there (a size given in `f` is sent as given).
void BuildEventMessage(const EventFields& f, uint64_t message_id, uint8_t* out);

// UTF-8 to UTF-16LE bytes; ill-formed input becomes U+FFFD.
std::string Utf8ToUtf16Le(const std::string& text);

// A reply as the library sent it.
struct Reply {
  uint32_t size = 0;        // the packet's length; a well-formed reply has 32
  int32_t status = 0;
  uint64_t message_id = 0;
  uint32_t code = 0;
  uint32_t id = 0;
  uint32_t eta = 0;
  uint32_t error = 0;
};

// Parses a reply packet (missing bytes read as 0).
Reply ParseReply(const uint8_t* bytes, size_t size);

// One message sent and held.
struct MessageRecord {
  uint64_t message_id = 0;
  uint32_t event_id = 0;      // the message's `id` (0 for raw packets without one)
  int64_t sent_ns = 0;        // steady clock
  int64_t latency_ns = -1;    // until the first reply; -1 none
  uint32_t replies = 0;       // replies that carried this message id
  bool timed_out = false;     // no reply within the hold time
  Reply first;                // the first reply
};

struct Stats {
  uint64_t sent = 0;          // messages held
  uint64_t answered = 0;      // messages with at least one reply
  uint64_t duplicates = 0;    // replies beyond the first for a message
  uint64_t unknown = 0;       // replies whose message id was never sent
  uint64_t mismatched = 0;    // first replies whose `id` is not the message's event id
  uint64_t malformed = 0;     // reply packets that are not 32 bytes
  uint64_t timed_out = 0;     // messages whose hold time passed without a reply
  uint64_t late = 0;          // replies to messages already timed out
  uint64_t outstanding = 0;   // held, no reply, not timed out
};

// A command as it arrived.
struct Command {
  uint32_t out_size = 0;      // the library's output buffer
  std::string input;          // every byte sent, the terminating NUL included
  uint32_t pid = 0;           // of the connection it came on
};

// An answer to queue ahead of the built-in ones: sent as given, even when longer than
// the library's buffer.
struct CommandAnswer {
  int32_t hresult = 0;
  std::string output;
  bool no_answer_bytes = false;  // send a packet shorter than an HRESULT (0 bytes)
};

struct Options {
  std::string filter = kDefaultFilterName;
  std::string port = kDefaultPortName;
  int hold_ms = 5000;          // how long a message waits for its reply
  int32_t load_result = 0;     // the answer to "load" while not loaded
  std::string worker_answer = "true";
  uint32_t file_filter_value = 0x12345678;  // bytes 16-19 of the "getfilefilter" answer
};

class DriverCore {
 public:
  explicit DriverCore(Options options = {});
  ~DriverCore();
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // Takes the filter endpoint. Returns 0, or the errno (EADDRINUSE: another driver
  // holds the name).
  int Listen();

  // One round of service, waiting at most `timeout_ms` for something to do.
  void Poll(int timeout_ms);

  void StartThread();  // Poll() on a thread of its own, until StopThread()
  void StopThread();

  // Stops playing the driver at once: every connection and endpoint closes, as when a
  // driver process dies. Held messages keep their records. Listen() starts again.
  void Crash();

  bool loaded() const;
  size_t event_connections() const;
  size_t control_connections() const;
  std::vector<uint32_t> workers() const;  // pids whose control connection became a worker

  // Sends a message on the newest event connection and holds it. False when there is
  // none or the send failed. Any thread.
  bool SendEvent(const EventFields& f, uint64_t message_id);
  // Sends `size` bytes as one packet; held under `message_id` when `hold`.
  bool SendRaw(const void* bytes, size_t size, uint64_t message_id, bool hold);

  // Waits until the message (the last one sent with that id) has a reply or has timed
  // out, at most `timeout_ms`; false when neither happened.
  bool WaitReply(uint64_t message_id, int timeout_ms, MessageRecord* out);
  // Waits until nothing is outstanding.
  bool WaitIdle(int timeout_ms);
  // Waits until at most `count` messages are outstanding.
  bool WaitOutstanding(uint64_t count, int timeout_ms);
  // Waits until the connection counts are at least these.
  bool WaitConnections(size_t events, size_t controls, int timeout_ms);

  Stats stats() const;
  std::vector<MessageRecord> records() const;

  void QueueCommandAnswer(CommandAnswer a);
  // While false, commands are recorded and never answered (a hung driver).
  void SetAnswerCommands(bool answer);
  std::vector<Command> commands() const;
  std::vector<uint8_t> program() const;      // the last program image received
  std::vector<uint8_t> file_filter() const;  // the last "setfilefilter" request

  // Streams `count` messages on the event connection from the calling thread, with at
  // most `outstanding` awaiting a reply, reading the replies itself. `make` fills the
  // message with sequence number i (0-based) and returns its message id. Returns the
  // elapsed nanoseconds, or -1 when the connection failed or a reply did not come
  // within the hold time. Poll() must not run meanwhile.
  int64_t RunStream(uint64_t count, uint32_t outstanding,
                    const std::function<uint64_t(uint64_t i, uint8_t* message)>& make);

 private:
  struct Conn;

  void AcceptFilter();
  void AcceptPort();
  void ServeFilterRequest(int fd);
  void ServeContext(const std::shared_ptr<Conn>& c);
  void ServeCommand(const std::shared_ptr<Conn>& c);
  void TakeReplies(const std::shared_ptr<Conn>& c);
  void RecordReply(const uint8_t* bytes, size_t size, int64_t now);
  void ExpireLocked(int64_t now);
  void CloseConnectionsLocked();
  void OpenPortLocked();
  std::shared_ptr<Conn> EventConnLocked() const;
  bool SendOn(const std::shared_ptr<Conn>& c, const void* bytes, size_t size);
  int64_t Stream(int fd, uint64_t count, uint32_t outstanding,
                 const std::function<uint64_t(uint64_t i, uint8_t* message)>& make);

  Options options_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  int filter_fd_ = -1;
  int port_fd_ = -1;
  int wake_fd_ = -1;
  bool loaded_ = false;
  std::vector<std::shared_ptr<Conn>> conns_;
  std::vector<int> pending_filter_;  // accepted filter connections awaiting their request
  std::vector<MessageRecord> records_;
  std::unordered_map<uint64_t, std::vector<size_t>> by_id_;
  std::deque<size_t> held_;          // records in send order, awaiting reply or expiry
  Stats stats_;
  std::deque<CommandAnswer> answers_;
  bool answer_commands_ = true;
  std::vector<Command> commands_;
  std::vector<uint8_t> program_;
  std::vector<uint8_t> file_filter_;
  std::vector<uint32_t> workers_;
  std::thread thread_;
  std::atomic<bool> running_{false};
};

// Steady clock in nanoseconds.
int64_t NowNs();

}  // namespace acdc::sim
