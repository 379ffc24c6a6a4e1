// The Filter Manager emulation and its completion port, against the simulator's
// driver core running on a thread of this process.
#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/completion_port.h"
#include "platform/filter_port.h"
#include "platform/posix/port_table.h"
#include "sim/driver_core.h"

namespace acdc::platform {
namespace {

constexpr HResult kHrNotFound = static_cast<HResult>(0x80070002u);
constexpr HResult kHrAccessDenied = static_cast<HResult>(0x80070005u);
constexpr HResult kHrInvalidHandle = static_cast<HResult>(0x80070006u);
constexpr HResult kHrCommandTimeout = static_cast<HResult>(0x800705B4u);

int64_t Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

OsHandle FdHandle(int fd) { return reinterpret_cast<OsHandle>(static_cast<intptr_t>(fd)); }

HResult ConnectAs(uint32_t kind, OsHandle* port) {
  uint32_t context[2] = {kind, static_cast<uint32_t>(getpid())};
  return FltConnectPort("\\vorpex", context, sizeof context, port);
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(driver_.Listen(), 0);
    driver_.StartThread();
  }
  void TearDown() override {
    for (Receiver* r : receivers_) ReleaseReceiver(r);
    if (exit_fd_ >= 0) close(exit_fd_);
    if (completion_port_ != nullptr) CloseCompletionPort(completion_port_);
    if (event_port_ != nullptr) FltClosePort(event_port_);
    if (control_port_ != nullptr) FltClosePort(control_port_);
    driver_.StopThread();
  }

  // Loads the driver and connects both ports and the completion port.
  void Connect() {
    ASSERT_EQ(FltLoad("acdc"), kHrOk);
    ASSERT_EQ(ConnectAs(2, &event_port_), kHrOk);
    ASSERT_EQ(ConnectAs(1, &control_port_), kHrOk);
    ASSERT_EQ(CreateCompletionPort(event_port_, &completion_port_), kErrorSuccess);
    ASSERT_TRUE(driver_.WaitConnections(1, 1, 2000));
  }

  // An eventfd for receivers to take exit signals from; the fixture closes it.
  OsHandle ExitChannel() {
    exit_fd_ = eventfd(0, EFD_CLOEXEC);
    return FdHandle(exit_fd_);
  }
  void SignalExit(uint64_t count) { ASSERT_EQ(write(exit_fd_, &count, sizeof count), 8); }

  Receiver* NewTestReceiver(OsHandle exit = nullptr) {
    Receiver* r = nullptr;
    EXPECT_EQ(NewReceiver(exit, &r), kErrorSuccess);
    receivers_.push_back(r);
    return r;
  }

  HResult Wait(Receiver* r, int32_t timeout_ms, uint32_t* bytes = nullptr) {
    uint32_t n = 0;
    HResult hr = WaitForMessage(completion_port_, event_port_, r, timeout_ms, &n);
    if (bytes != nullptr) *bytes = n;
    return hr;
  }

  void SendEvent(uint32_t type, uint64_t message_id) {
    sim::EventFields f;
    f.type = type;
    ASSERT_TRUE(driver_.SendEvent(f, message_id));
  }

  sim::DriverCore driver_;
  OsHandle event_port_ = nullptr;
  OsHandle control_port_ = nullptr;
  OsHandle completion_port_ = nullptr;
  std::vector<Receiver*> receivers_;
  int exit_fd_ = -1;
};

// The driver's own answers to load and unload reach Lua unchanged (channel_test.lua).
TEST_F(Driver, PortTakesValidContextsOnlyWhileLoaded) {
  EXPECT_EQ(FltLoad("nobody"), kHrNotFound);
  EXPECT_EQ(FltUnload("nobody"), kHrNotFound);
  OsHandle port = reinterpret_cast<OsHandle>(1);
  EXPECT_EQ(ConnectAs(2, &port), kHrNotFound);
  EXPECT_EQ(port, nullptr);
  ASSERT_EQ(FltLoad("acdc"), kHrOk);
  uint32_t bad_context[2] = {7, 1};
  EXPECT_EQ(FltConnectPort("\\vorpex", bad_context, sizeof bad_context, &port), sim::kHrInvalidContext);
  EXPECT_EQ(FltConnectPort("\\vorpex", nullptr, 0, &port), sim::kHrInvalidContext);
  EXPECT_EQ(port, nullptr);
  ASSERT_EQ(ConnectAs(2, &port), kHrOk);
  EXPECT_EQ(FltClosePort(port), kErrorSuccess);
  ASSERT_EQ(FltUnload("acdc"), kHrOk);
  EXPECT_EQ(ConnectAs(2, &port), kHrNotFound);
}

// The descriptors open in this process now.
std::vector<int> OpenDescriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  while (struct dirent* e = readdir(dir))
    if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(dir)) fds.push_back(std::atoi(e->d_name));
  closedir(dir);
  return fds;
}

TEST_F(Driver, EveryDescriptorIsCloseOnExec) {
  // Only what the library and the driver open here: the test's host may pass some on.
  std::vector<int> before = OpenDescriptors();
  Connect();
  Receiver* r = NewTestReceiver(ExitChannel());
  EXPECT_EQ(Wait(r, 0), kHrTimeout);
  int checked = 0;
  for (int fd : OpenDescriptors()) {
    if (std::find(before.begin(), before.end(), fd) != before.end()) continue;
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    ++checked;
  }
  // Two connections, the wake descriptor, the exit duplicate and this test's eventfd
  // at least.
  EXPECT_GE(checked, 5);
}

TEST_F(Driver, MessageArrivesWholeAndItsReplyOnce) {
  Connect();
  Receiver* r = NewTestReceiver();
  sim::EventFields f;
  f.type = 18;
  f.id = 4242;
  f.pid = 77;
  f.name = "C:\\Windows\\notepad.exe";
  uint64_t message_id = 0x1234567890ull;
  ASSERT_TRUE(driver_.SendEvent(f, message_id));
  uint32_t bytes = 0;
  ASSERT_EQ(Wait(r, 2000, &bytes), kHrOk);
  ASSERT_EQ(bytes, kReceiveBufferSize);
  uint8_t expected[sim::kEventMessageSize];
  sim::BuildEventMessage(f, message_id, expected);
  EXPECT_EQ(std::memcmp(ReceiverBuffer(r), expected, sizeof expected), 0);

  uint8_t reply[32] = {};
  std::memcpy(reply + 8, &message_id, 8);
  uint32_t body[4] = {2, 4242, 9, 0};
  std::memcpy(reply + 16, body, sizeof body);
  ASSERT_EQ(FltReplyMessage(event_port_, reply, sizeof reply), kHrOk);
  sim::MessageRecord m;
  ASSERT_TRUE(driver_.WaitReply(message_id, 2000, &m));
  EXPECT_EQ((std::vector<uint64_t>{m.replies, m.first.size, m.first.message_id, m.first.code, m.first.id, m.first.eta}),
            (std::vector<uint64_t>{1, 32, message_id, 2, 4242, 9}));
  sim::Stats s = driver_.stats();
  EXPECT_EQ(s.answered, 1u);
  EXPECT_EQ(s.duplicates + s.unknown + s.mismatched + s.malformed + s.outstanding, 0u);
}

TEST_F(Driver, PacketOfAnySizeIsAMessageOfItsLength) {
  Connect();
  Receiver* r = NewTestReceiver();
  // An empty packet is a message of no bytes, not a hang-up: the next one still comes.
  ASSERT_TRUE(driver_.SendRaw("", 0, 0, false));
  uint32_t bytes = 99;
  EXPECT_EQ(Wait(r, 2000, &bytes), kHrOk);
  EXPECT_EQ(bytes, 0u);
  SendEvent(13, 5);
  EXPECT_EQ(Wait(r, 2000, &bytes), kHrOk);
  EXPECT_EQ(bytes, kReceiveBufferSize);
  // A long one fills the buffer and reports its real length.
  std::vector<uint8_t> packet(4000);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(driver_.SendRaw(packet.data(), packet.size(), 0, false));
  ASSERT_EQ(Wait(r, 2000, &bytes), kHrOk);
  EXPECT_EQ(bytes, 4000u);
  EXPECT_EQ(std::memcmp(ReceiverBuffer(r), packet.data(), kReceiveBufferSize), 0);
}

TEST_F(Driver, ClosedPortIsRefusedNotReused) {
  Connect();
  ASSERT_EQ(FltClosePort(event_port_), kErrorSuccess);
  uint8_t reply[32] = {};
  EXPECT_EQ(FltReplyMessage(event_port_, reply, sizeof reply), kHrInvalidHandle);
  EXPECT_EQ(FltClosePort(event_port_), kErrorInvalidHandle);
  event_port_ = nullptr;
  // A wait on the completion port, whose connection is gone, ends as broken.
  EXPECT_EQ(Wait(NewTestReceiver(), 1000), kHrBrokenPort);
}

TEST_F(Driver, ClosingTheCompletionPortEndsAWaitAsBroken) {
  Connect();
  Receiver* r = NewTestReceiver();
  HResult result = 0;
  std::thread t([&] { result = Wait(r, -1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CloseCompletionPort(completion_port_);
  t.join();
  EXPECT_EQ(result, kHrBrokenPort);
  EXPECT_EQ(Wait(r, 0), kHrInvalidHandle);
  completion_port_ = nullptr;
}

TEST(PortTable, SocketOutlivesItsCloseWhileInUse) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  OsHandle h = nullptr;
  ASSERT_EQ(posix::RegisterPort(fds[0], &h), kErrorSuccess);
  posix::PortSlot* use = posix::AcquirePort(h);
  ASSERT_NE(use, nullptr);
  ASSERT_EQ(posix::ClosePort(h), kErrorSuccess);
  EXPECT_EQ(posix::AcquirePort(h), nullptr);
  // Shut down, so a poll on it wakes, but still open under its user.
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
  char c;
  EXPECT_EQ(recv(fds[0], &c, 1, MSG_DONTWAIT), 0);
  posix::ReleasePort(use);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  // A new port in the same slot has a new handle; the old one stays refused.
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds + 0), 0);
  OsHandle again = nullptr;
  ASSERT_EQ(posix::RegisterPort(fds[0], &again), kErrorSuccess);
  EXPECT_NE(again, h);
  EXPECT_EQ(posix::AcquirePort(h), nullptr);
  EXPECT_EQ(posix::ClosePort(again), kErrorSuccess);
  close(fds[1]);
}

// Error answers and the JSON round trip are checked through Lua (command_test.lua);
// here, that an answer never writes past the caller's buffer.
TEST_F(Driver, CommandAnswerLongerThanTheBufferGivesItsLengthOnly) {
  Connect();
  char out[64];
  std::memset(out, '#', sizeof out);
  uint32_t returned = 0;
  driver_.QueueCommandAnswer({0, std::string(40, 'x')});
  ASSERT_EQ(FltSendMessage(control_port_, "q", 2, out, 16, &returned), kHrOk);
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(std::string(out, 17), std::string(16, 'x') + "#");
  ASSERT_EQ(driver_.commands().size(), 1u);
  EXPECT_EQ(driver_.commands()[0].out_size, 16u);
}

TEST_F(Driver, CommandToAHungDriverGivesUpAndFreesTheConnection) {
  Connect();
  driver_.SetAnswerCommands(false);
  SetFltExchangeTimeout(300);
  char out[16];
  uint32_t returned = 0;
  int64_t second_done = 0;
  HResult second = 0;
  int64_t start = Ms();
  std::thread other([&] {
    // Queued behind the first exchange's lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint32_t n = 0;
    char buf[16];
    second = FltSendMessage(control_port_, "b", 2, buf, sizeof buf, &n);
    second_done = Ms();
  });
  HResult first = FltSendMessage(control_port_, "a", 2, out, sizeof out, &returned);
  int64_t first_done = Ms();
  other.join();
  SetFltExchangeTimeout(kDefaultFltExchangeTimeoutMs);
  EXPECT_EQ(first, kHrCommandTimeout);
  EXPECT_GE(first_done - start, 250);
  EXPECT_LT(first_done - start, 2000);
  // The lock was released, and the connection, broken on purpose, fails at once.
  EXPECT_EQ(second, kHrBrokenPort);
  EXPECT_LT(second_done - first_done, 200);
}

TEST_F(Driver, EachExitSignalStopsTheWaiterThatTakesIt) {
  Connect();
  Receiver* bound = NewTestReceiver(ExitChannel());
  Receiver* b = NewTestReceiver();
  Receiver* c = NewTestReceiver();
  EXPECT_EQ(Wait(bound, 0), kHrTimeout);  // binds the channel
  SignalExit(2);
  // Other handles' waiters take the two signals: one each.
  HResult rb = 0, rc = 0;
  std::thread tb([&] { rb = Wait(b, 2000); });
  std::thread tc([&] { rc = Wait(c, 2000); });
  tb.join();
  tc.join();
  EXPECT_EQ(rb, kHrStop);
  EXPECT_EQ(rc, kHrStop);
  EXPECT_EQ(Wait(bound, 0), kHrTimeout);
  // A signal with nobody waiting stays until a wait takes it.
  SignalExit(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Wait(b, 1000), kHrStop);
  EXPECT_EQ(Wait(b, 0), kHrTimeout);
}

TEST_F(Driver, PipeByteIsOneSignalAndAClosedPipeNoneAndNothingElseAChannel) {
  Connect();
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  Receiver* r = NewTestReceiver(FdHandle(p[0]));
  ASSERT_EQ(write(p[1], "ab", 2), 2);
  EXPECT_EQ(Wait(r, 1000), kHrStop);
  EXPECT_EQ(Wait(r, 1000), kHrStop);
  close(p[1]);
  // The wait then runs its whole time out and ends with the wait's status.
  int64_t start = Ms();
  EXPECT_EQ(Wait(r, 200), kHrTimeout);
  EXPECT_GE(Ms() - start, 190);
  close(p[0]);
  // Nothing else is an exit channel: not a file, nor a descriptor closed already.
  Receiver* refused = nullptr;
  int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(NewReceiver(FdHandle(file), &refused), kErrorInvalidHandle);
  close(file);
  EXPECT_EQ(NewReceiver(FdHandle(file), &refused), kErrorInvalidHandle);
  EXPECT_EQ(refused, nullptr);
}

TEST_F(Driver, ReceiverReleasedDuringAPollIsFreedByThePoller) {
  Connect();
  Receiver* leader = NewTestReceiver();
  Receiver* gone = nullptr;
  ASSERT_EQ(NewReceiver(ExitChannel(), &gone), kErrorSuccess);
  EXPECT_EQ(Wait(gone, 0), kHrTimeout);  // bound: the next poll watches its duplicate
  HResult result = 0;
  uint32_t bytes = 0;
  std::thread t([&] { result = Wait(leader, 3000, &bytes); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ReleaseReceiver(gone);  // retired: the leader closes the duplicate when it comes out
  SendEvent(13, 1);
  t.join();
  EXPECT_EQ(result, kHrOk);
  EXPECT_EQ(bytes, kReceiveBufferSize);
  // The channel is no longer watched: its signal stops nobody.
  SignalExit(1);
  EXPECT_EQ(Wait(leader, 100), kHrTimeout);
}

// A driver run by `driver_uid` in a child process; the parent loads as `host_euid`.
HResult LoadFromDriverOf(uid_t driver_uid, uid_t host_euid) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    if (driver_uid != 0 && (setgid(driver_uid) != 0 || setuid(driver_uid) != 0)) _exit(2);
    sim::DriverCore driver;
    if (driver.Listen() != 0) _exit(3);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(4);
    for (;;) driver.Poll(100);
  }
  close(ready[1]);
  char c;
  HResult hr = read(ready[0], &c, 1) == 1 ? 0 : -1;
  close(ready[0]);
  if (hr == 0) {
    if (seteuid(host_euid) != 0) hr = -2;
    if (hr == 0) hr = FltLoad("acdc");
    if (seteuid(0) != 0) hr = -3;
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return hr;
}

TEST(PeerCredentials, DriverMustBeRootOrTheHostsUser) {
  // Run as root, so that the test can be each of the users.
  ASSERT_EQ(geteuid(), 0u) << "this test plays several users and needs root";
  constexpr uid_t kNobody = 65534, kOther = 65533;
  EXPECT_EQ(LoadFromDriverOf(kNobody, 0), kHrAccessDenied);
  EXPECT_EQ(LoadFromDriverOf(kNobody, kOther), kHrAccessDenied);
  EXPECT_EQ(LoadFromDriverOf(kNobody, kNobody), kHrOk);
  EXPECT_EQ(LoadFromDriverOf(0, kNobody), kHrOk);
}

}  // namespace
}  // namespace acdc::platform
