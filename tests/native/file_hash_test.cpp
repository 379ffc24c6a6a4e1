// File hashing under the read lease: the digests of the one pass, the files that
// cannot be locked, real writer processes before and during a read (the reader
// paused inside its second read, so the writer's arrival is certain), the trace of
// the break, read and digest failures, and the FIPS branch through module ac.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <openssl/evp.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "ac/ac-Windows/oplock_reader.h"
#include "corelib/vrel_core.h"
#include "platform/services.h"

extern "C" char** environ;
extern "C" int luaopen_ac(lua_State* L);

namespace {

using namespace acdc;
using ac::FileHash;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kChunk = ac::kHashChunkBytes;
constexpr uint8_t kAll = ac::kHashMd5 | ac::kHashSha1 | ac::kHashSha256;

std::string Hex(const uint8_t* d, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[d[i] >> 4];
    s += kDigits[d[i] & 15];
  }
  return s;
}

// OpenSSL's one-shot digest of the whole content, for files too long to know by heart.
std::string Reference(const EVP_MD* md, const std::string& content) {
  uint8_t d[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EXPECT_EQ(EVP_Digest(content.data(), content.size(), d, &n, md, nullptr), 1);
  return Hex(d, n);
}

FileHash Hash(const std::string& path, uint8_t wanted = kAll,
              ac::FipsRule fips = ac::FipsRule::kDropMd5InFipsMode) {
  static uint8_t chunk[kChunk];
  FileHash h;
  std::memset(&h, 0xAB, sizeof h);  // every field must be written
  ac::HashFile(path.c_str(), path.size(), wanted, fips, chunk, &h);
  return h;
}

class FileHashTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/file_hash_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    platform::g_services = saved_;
    std::filesystem::remove_all(folder_);
  }

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string folder_;
  platform::Services saved_ = platform::g_services;
};

// Content that differs in every chunk, so a chunk skipped or fed twice shows.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / kChunk) & 0xFF);
  return s;
}

TEST_F(FileHashTest, OnePassGivesEveryDigestOfTheWholeFile) {
  for (const std::string& content : {std::string(), std::string("abc"), Pattern(kChunk), Pattern(3 * kChunk + 17)}) {
    SCOPED_TRACE(content.size());
    FileHash h = Hash(Write("f", content));
    EXPECT_EQ(h.status, 0u);
    EXPECT_EQ(h.bytes, content.size());
    EXPECT_EQ(h.computed, kAll);
    EXPECT_EQ(Hex(h.md5, sizeof h.md5), Reference(EVP_md5(), content));
    EXPECT_EQ(Hex(h.sha1, sizeof h.sha1), Reference(EVP_sha1(), content));
    EXPECT_EQ(Hex(h.sha256, sizeof h.sha256), Reference(EVP_sha256(), content));
  }
}

// A directory, a FIFO with no writer, devices and a /proc file take no lease: 32
// with nothing read, at once (a FIFO never blocks, /dev/zero is never read). Drive
// C's names match ignoring case, as on Windows.
TEST_F(FileHashTest, EachPathGivesItsCode) {
  std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string file = Write("file", "abc");
  std::string folder = std::string(ACDC_DRIVE_C) + "/HashCase";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/Content.BIN", std::ios::binary) << "abc";
  const std::pair<std::string, uint32_t> cases[] = {
      {"c:\\hashcase\\content.bin", 0}, {folder_, 32}, {fifo, 32}, {"/dev/null", 32}, {"/dev/zero", 32},
      {"/proc/self/status", 32}, {folder_ + "/missing", 2}, {folder_ + "/missing/file", 3},
      {file + "/file", 3},  // a file where a folder should be
      {"relative/file", 3}, {"Q:\\file", 3},  // no such drive
      {file + std::string(1, '\0') + "x", 123},
  };
  for (const auto& [path, code] : cases) {
    SCOPED_TRACE(path);
    Clock::time_point start = Clock::now();
    FileHash h = Hash(path);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(h.status, code);
    EXPECT_EQ(h.bytes, code == 0 ? 3u : 0u);
    EXPECT_EQ(h.computed, code == 0 ? kAll : 0);
  }
  std::filesystem::remove_all(folder);
}

// ---- Writers in other processes ----

// A shell that opens the file for writing (appending, so the content stays), says
// "opened" once its open returned, and then waits for its standard input to close.
struct Writer {
  pid_t pid = -1;
  int out = -1, in = -1;  // its standard output and input

  bool Start(const std::string& path) {
    int out_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    const char* argv[] = {"sh", "-c", "exec 3>>\"$1\"; echo opened; read _; exit 0", "sh", path.c_str(), nullptr};
    int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(in_pipe[0]);
    out = out_pipe[0];
    in = in_pipe[1];
    return rc == 0;
  }

  // Its line, if one comes within `timeout`.
  std::string Line(std::chrono::milliseconds timeout) {
    pollfd p{out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buf[64] = {};
    ssize_t n = read(out, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

  // Lets it go and reaps it; its exit status.
  int Finish() {
    for (int* fd : {&in, &out})
      if (*fd >= 0) close(std::exchange(*fd, -1));
    int status = -1;
    if (pid > 0) waitpid(std::exchange(pid, -1), &status, 0);
    return status;
  }
  ~Writer() { Finish(); }
};

TEST_F(FileHashTest, AWriterHoldingTheFileGivesSharingViolationAtOnce) {
  std::string path = Write("held", Pattern(2 * kChunk));
  Writer writer;
  ASSERT_TRUE(writer.Start(path));
  ASSERT_EQ(writer.Line(std::chrono::seconds(5)), "opened\n");
  Clock::time_point start = Clock::now();
  FileHash h = Hash(path);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(h.status, 32u);
  EXPECT_EQ(h.bytes, 0u);
  EXPECT_EQ(h.computed, 0);
  EXPECT_EQ(writer.Finish(), 0);
  // Nothing was lost: with the writer gone the file hashes whole.
  EXPECT_EQ(Hash(path).bytes, 2u * kChunk);
}

// The read at the second chunk's offset waits until the test lets it go.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_paused, g_resume;

platform::Win32Error PausingRead(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                                 uint32_t* transferred) {
  if (offset == kChunk) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_paused = true;
    g_changed.notify_all();
    g_changed.wait(lock, [] { return g_resume; });
  }
  return platform::OsReadFile(file, buffer, size, offset, overlapped, transferred);
}

std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1); }

// A writer that arrives while the reader is paused inside its second read: its open
// waits for the lease to break, the reader sees the break before it uses that read,
// returns 32 with the first chunk counted, releases the lease, and the writer's open
// goes on. No signal reaches this process, whatever F_SETSIG would have sent. The
// break is traced only while ac-Windows (not ac) is traced.
TEST_F(FileHashTest, AWriterDuringTheReadBreaksTheLeaseAfterTheFirstChunk) {
  struct sigaction count {}, old_winch {}, old_io {};
  count.sa_handler = CountSignal;
  sigemptyset(&count.sa_mask);
  sigaction(SIGWINCH, &count, &old_winch);
  sigaction(SIGIO, &count, &old_io);
  platform::g_services.read_file = PausingRead;
  for (const char* traced : {"ac-Windows", "ac"}) {
    SCOPED_TRACE(traced);
    std::string path = Write("shared", Pattern(3 * kChunk));
    vrel_core::SetTraceEnabled(traced, true);
    vrel_core::SetTraceCapture(true);
    vrel_core::ClearCapturedTrace();
    g_signals = 0;
    g_paused = g_resume = false;

    FileHash hash;
    Clock::time_point returned;
    std::thread reader([&] {
      hash = Hash(path);
      returned = Clock::now();
    });
    bool paused;
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      paused = g_changed.wait_for(lock, std::chrono::seconds(10), [] { return g_paused; });
    }
    Writer writer;
    std::string wchan, early;
    if (paused && writer.Start(path)) {
      // Where its open waits, from /proc.
      for (int i = 0; i < 500 && wchan != "__break_lease"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream("/proc/" + std::to_string(writer.pid) + "/wchan") >> wchan;
      }
      early = writer.Line(std::chrono::milliseconds(0));
    }
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_resume = true;
      g_changed.notify_all();
    }
    reader.join();
    EXPECT_EQ(writer.Line(std::chrono::milliseconds(100)), "opened\n");
    EXPECT_LT(Clock::now() - returned, std::chrono::milliseconds(100));
    EXPECT_EQ(writer.Finish(), 0);
    EXPECT_EQ(wchan, "__break_lease");
    EXPECT_EQ(early, "");
    EXPECT_EQ(hash.status, 32u);
    EXPECT_EQ(hash.bytes, kChunk);
    EXPECT_EQ(hash.computed, 0);
    EXPECT_EQ(g_signals.load(), 0);

    vrel_core::TraceRecord r{};
    size_t records = vrel_core::CapturedTraceCount();
    bool first = vrel_core::CapturedTrace(0, &r);
    vrel_core::ClearCapturedTrace();
    vrel_core::SetTraceCapture(false);
    vrel_core::SetTraceEnabled(traced, false);
    if (std::string(traced) == "ac") {
      EXPECT_EQ(records, 0u);
      continue;
    }
    ASSERT_EQ(records, 1u);
    ASSERT_TRUE(first);
    EXPECT_STREQ(r.component, "ac-Windows");
    EXPECT_STREQ(r.source, "ac-Windows");
    EXPECT_EQ(r.line, 768);
    EXPECT_STREQ(r.function, "fileread");
    EXPECT_STREQ(r.message, "Interrupted oplock");
    EXPECT_FALSE(r.cut);
  }
  sigaction(SIGWINCH, &old_winch, nullptr);
  sigaction(SIGIO, &old_io, nullptr);
}

// ---- Failures on the way ----

platform::Win32Error g_read_code;
platform::Win32Error FailingSecondRead(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                                       uint32_t* transferred) {
  if (offset >= kChunk) return g_read_code;
  return platform::OsReadFile(file, buffer, size, offset, overlapped, transferred);
}

TEST_F(FileHashTest, FailuresOnTheWayKeepTheBytesReadButGiveNoDigest) {
  std::string path = Write("f", Pattern(3 * kChunk));
  platform::g_services.read_file = FailingSecondRead;
  g_read_code = platform::kErrorIoDevice;
  FileHash h = Hash(path);
  EXPECT_EQ(h.status, 1117u);
  EXPECT_EQ(h.bytes, kChunk);
  EXPECT_EQ(h.computed, 0);
  // The end of the file told as Windows tells it, 38, is an end like any other.
  g_read_code = platform::kErrorHandleEof;
  h = Hash(path);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.bytes, kChunk);
  EXPECT_EQ(Hex(h.sha256, 32), Reference(EVP_sha256(), Pattern(3 * kChunk).substr(0, kChunk)));
  // A digest context that cannot be made is out of memory; only reading needs none.
  platform::g_services = saved_;
  platform::g_services.new_digest_context = [] { return static_cast<void*>(nullptr); };
  h = Hash(path);
  EXPECT_EQ(h.status, 8u);
  EXPECT_EQ(h.bytes, 0u);
  EXPECT_EQ(h.computed, 0);
  h = Hash(path, 0);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.bytes, 3u * kChunk);
}

// ---- The FIPS branch, through module ac ----
// Debian ships no FIPS provider, so the test answers the query itself.

std::atomic<int> g_fips_queries{0};
bool FipsOn() {
  g_fips_queries.fetch_add(1);
  return true;
}

// Runs `chunk` with module ac and `path` as globals; "" when it ran, else its error.
std::string RunLua(const std::string& path, const std::string& chunk) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "ac", luaopen_ac, 1);
  lua_pushlstring(L, path.data(), path.size());
  lua_setglobal(L, "path");
  std::string err;
  if (luaL_dostring(L, chunk.c_str()) != 0) err = lua_tostring(L, -1);
  lua_close(L);
  return err;
}

TEST_F(FileHashTest, InFipsModeHashAllGivesNilWhereMd5WouldBe) {
  std::string path = Write("abc", "abc");
  platform::g_services.fips_mode = FipsOn;
  g_fips_queries = 0;
  EXPECT_EQ(RunLua(path, R"(
    local r = table.pack(ac.HashAll(path))
    assert(r.n == 5, r.n)
    assert(r[1] == nil and r[2] == nil and r[5] == 3)
    assert(#r[3] == 20 and #r[4] == 32 and r[4] == ac.HashString("abc"))
  )"),
            "");
  // Asked once per call, after the open: not for a file that is missing, nor by
  // HashSecondary.
  EXPECT_EQ(g_fips_queries.load(), 1);
  g_fips_queries = 0;
  EXPECT_EQ(RunLua(path, R"(
    local r = table.pack(ac.HashAll(path .. ".missing"))
    assert(r.n == 5 and r[1] == 2 and r[2] == nil and r[3] == nil and r[4] == nil and r[5] == 0)
    local s = table.pack(ac.HashSecondary(path))
    assert(s.n == 4 and s[1] == nil and #s[2] == 16 and #s[3] == 20 and s[4] == 3)
  )"),
            "");
  EXPECT_EQ(g_fips_queries.load(), 0);
}

}  // namespace
