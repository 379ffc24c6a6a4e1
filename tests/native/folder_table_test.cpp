// File status of paths spelled in another case than on disk, through the folder
// table: which name wins, when a remembered folder is trusted, and what a change
// on disk does to it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/folder_table.h"
#include "platform/services.h"

namespace acdc::platform {
namespace {

const std::string kRoot = std::string(ACDC_DRIVE_C) + "/Folder Table";

// A clock two seconds ahead: folders made by the test count as settled.
uint64_t Ahead() { return OsNowMilliseconds() + 2000; }

void MakeFile(const std::string& path, size_t size) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, std::string(size, 'x').data(), size), static_cast<ssize_t>(size));
  close(fd);
}

void RemoveTree(const std::string& path) { ASSERT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0); }

struct Status {
  Win32Error error;
  uint64_t size;
};
Status StatusOf(const std::string& path) {
  FileStatus st{};
  Win32Error e = GetFileStatus(path.c_str(), &st);
  return {e, e == kErrorSuccess ? st.size : 0};
}

class FolderTable : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(kRoot);
    mkdir(ACDC_DRIVE_C, 0755);
    ASSERT_EQ(mkdir(kRoot.c_str(), 0755), 0);
    ClearFolderTable();
    g_services.now_ms = Ahead;
    start_ = ReadFolderTableCounts();
  }
  void TearDown() override {
    g_services = kOsServices;
    ClearFolderTable();
    RemoveTree(kRoot);
  }
  uint64_t Hits() const { return ReadFolderTableCounts().hits - start_.hits; }
  uint64_t Misses() const { return ReadFolderTableCounts().misses - start_.misses; }
  FolderTableCounts start_;
};

TEST_F(FolderTable, RemembersTheFolderOfTheLastName) {
  ASSERT_EQ(mkdir((kRoot + "/Sub Dir").c_str(), 0755), 0);
  MakeFile(kRoot + "/Sub Dir/One.DLL", 1);
  MakeFile(kRoot + "/Sub Dir/Two.DLL", 2);
  // The drive's folder and its "Folder Table" are exact; "sub dir" is not, so its
  // folder is read, and so is the folder of the last name.
  EXPECT_EQ(StatusOf("c:\\folder table\\sub dir\\one.dll").size, 1u);
  EXPECT_EQ(Misses(), 3u);
  EXPECT_EQ(Hits(), 0u);
  EXPECT_EQ(StatusOf("c:\\folder table\\sub dir\\two.dll").size, 2u);
  EXPECT_EQ(StatusOf("c:\\folder table\\sub dir\\three.dll").error, kErrorFileNotFound);
  EXPECT_EQ(Misses(), 3u);
  EXPECT_EQ(Hits(), 2u);
  // Another folder of the same parent starts from the remembered parent.
  ASSERT_EQ(mkdir((kRoot + "/Other").c_str(), 0755), 0);
  MakeFile(kRoot + "/Other/x.Y", 5);
  EXPECT_EQ(StatusOf("c:\\folder table\\other\\x.y").size, 5u);
  EXPECT_EQ(StatusOf("c:\\folder table\\other\\nothing\\x.y").error, kErrorPathNotFound);
  EXPECT_EQ(StatusOf("c:\\folder table\\other\\x.y\\z").error, kErrorPathNotFound);
}

TEST_F(FolderTable, ExactNameWinsElseTheBytewiseSmallest) {
  for (const char* dir : {"/Sub", "/SUB"}) ASSERT_EQ(mkdir((kRoot + dir).c_str(), 0755), 0);
  MakeFile(kRoot + "/Sub/Inner.txt", 1);
  MakeFile(kRoot + "/SUB/inner.TXT", 2);
  MakeFile(kRoot + "/SUB/INNER.txt", 3);
  MakeFile(kRoot + "/Exact.TXT", 3);
  EXPECT_EQ(StatusOf("C:\\Folder Table\\Exact.TXT").size, 3u);  // needs no table
  EXPECT_EQ(Hits() + Misses(), 0u);
  // A missing name may exist in other letters: only the folder can tell.
  EXPECT_EQ(StatusOf("C:\\Folder Table\\Missing.TXT").error, kErrorFileNotFound);
  EXPECT_EQ(Misses(), 1u);
  EXPECT_EQ(StatusOf("C:\\Folder Table\\Missing.TXT").error, kErrorFileNotFound);
  EXPECT_EQ(Hits(), 1u);
  const std::pair<const char*, uint64_t> cases[] = {
      {"C:\\folder table\\sub\\inner.TXT", 2},  // "SUB" < "Sub", then "inner.TXT" as asked
      {"C:\\folder table\\Sub\\inner.txt", 1},  // "Sub" as asked, found in the remembered parent
      {"C:\\Folder Table\\sub\\inner.txt", 3},  // "SUB", then "INNER.txt" < "inner.TXT"
      {"C:\\Folder Table\\SUB\\Inner.txt", 3},
      {"C:\\Folder Table\\Sub\\inner.txt", 1},  // "Sub" as asked
  };
  for (int round = 0; round < 2; ++round)  // read, then remembered
    for (const auto& [path, size] : cases) EXPECT_EQ(StatusOf(path).size, size) << path << " round " << round;
  EXPECT_GT(Hits(), 1u);
}

TEST_F(FolderTable, FolderChangedWithinTheLastSecondIsReadAgain) {
  g_services.now_ms = OsNowMilliseconds;
  MakeFile(kRoot + "/Fresh.TXT", 4);
  EXPECT_EQ(StatusOf("c:\\folder table\\fresh.txt").size, 4u);
  EXPECT_EQ(StatusOf("c:\\folder table\\fresh.txt").size, 4u);
  EXPECT_EQ(Hits(), 0u);
  uint64_t misses = Misses();
  g_services.now_ms = Ahead;
  // Read once more (the drive's folder, changed by the test too, and this one),
  // now trusted.
  EXPECT_EQ(StatusOf("c:\\folder table\\fresh.txt").size, 4u);
  EXPECT_EQ(StatusOf("c:\\folder table\\fresh.txt").size, 4u);
  EXPECT_EQ(Misses(), misses + 2);
  EXPECT_EQ(Hits(), 1u);
}

// A change on disk (past the file system's clock tick, so that it moves the folder's
// times) makes a remembered folder stale: files and folders made, renamed, and back
// under an old name in other letters.
TEST_F(FolderTable, ChangedFolderIsReadAgain) {
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  auto move = [](const char* from, const char* to) {
    return rename((kRoot + from).c_str(), (kRoot + to).c_str());
  };
  ASSERT_EQ(mkdir((kRoot + "/Moving").c_str(), 0755), 0);
  MakeFile(kRoot + "/Moving/File.BIN", 9);
  EXPECT_EQ(StatusOf("c:\\folder table\\new.txt").error, kErrorFileNotFound);
  EXPECT_EQ(StatusOf("c:\\folder table\\moving\\file.bin").size, 9u);
  tick();
  MakeFile(kRoot + "/New.TXT", 7);
  uint64_t misses = Misses();
  EXPECT_EQ(StatusOf("c:\\folder table\\new.txt").size, 7u);
  EXPECT_EQ(Misses(), misses + 1);
  tick();
  ASSERT_EQ(move("/New.TXT", "/Renamed.TXT"), 0);
  ASSERT_EQ(move("/Moving", "/Moved"), 0);
  EXPECT_EQ(StatusOf("c:\\folder table\\new.txt").error, kErrorFileNotFound);
  EXPECT_EQ(StatusOf("c:\\folder table\\renamed.txt").size, 7u);
  EXPECT_EQ(StatusOf("c:\\folder table\\moving\\file.bin").error, kErrorPathNotFound);
  EXPECT_EQ(StatusOf("c:\\folder table\\moved\\file.bin").size, 9u);
  tick();
  ASSERT_EQ(move("/Moved", "/MOVING"), 0);
  EXPECT_EQ(StatusOf("c:\\folder table\\moving\\file.bin").size, 9u);
}

TEST_F(FolderTable, HoldsAFixedNumberOfFoldersAndStaysCorrectBeyondIt) {
  const int kFolders = 200;
  for (int i = 0; i < kFolders; ++i) {
    std::string dir = kRoot + "/D" + std::to_string(i);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    MakeFile(dir + "/F.TXT", static_cast<size_t>(i));
  }
  auto path = [](int i) { return "c:\\folder table\\d" + std::to_string(i) + "\\f.txt"; };
  uint64_t first_round = 0;
  for (int round = 0; round < 2; ++round) {
    first_round = Misses();
    for (int i = 0; i < kFolders; ++i) ASSERT_EQ(StatusOf(path(i)).size, static_cast<uint64_t>(i)) << path(i);
  }
  // 128 folders at most are remembered: the second round reads the others again.
  EXPECT_GE(Misses() - first_round, static_cast<uint64_t>(kFolders - 128));
  EXPECT_LE(Misses() - first_round, static_cast<uint64_t>(kFolders));
  uint64_t hits = Hits();
  EXPECT_EQ(StatusOf(path(kFolders - 1)).size, static_cast<uint64_t>(kFolders - 1));
  EXPECT_EQ(Hits(), hits + 1);
}

TEST_F(FolderTable, ResolveCaseLeavesUnresolvedPathsAsAsked) {
  MakeFile(kRoot + "/Here.TXT", 1);
  const struct {
    std::string asked, after;
    CaseLookup result;
  } cases[] = {
      {kRoot + "/here.txt", kRoot + "/Here.TXT", CaseLookup::kResolved},
      {kRoot + "/here.txt/deeper", kRoot + "/here.txt/deeper", CaseLookup::kFolderMissing},
      {std::string(ACDC_DRIVE_C) + "//", std::string(ACDC_DRIVE_C) + "//", CaseLookup::kUnresolved},
  };
  for (const auto& c : cases) {
    std::vector<char> buf(c.asked.begin(), c.asked.end());
    buf.push_back('\0');
    EXPECT_EQ(ResolveCase(buf.data(), sizeof(ACDC_DRIVE_C) - 1), c.result) << c.asked;
    EXPECT_EQ(std::string(buf.data()), c.after);
  }
}

// Lookups on four threads while a fifth changes the folders and clears the table:
// every answer is right, and the sanitizers see no race.
TEST_F(FolderTable, LookupsStayRightWhileFoldersChange) {
  const int kFolders = 8;
  for (int i = 0; i < kFolders; ++i) {
    std::string dir = kRoot + "/Busy" + std::to_string(i);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    MakeFile(dir + "/Stays.DAT", static_cast<size_t>(10 + i));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread changer([&] {
    for (int n = 0; !stop; ++n) {
      std::string file = kRoot + "/Busy" + std::to_string(n % kFolders) + "/Comes" + std::to_string(n % 3) + ".Tmp";
      if (n % 2 == 1) unlink(file.c_str());
      else if (int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644); fd >= 0) close(fd);
      if (n % 50 == 0) ClearFolderTable();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) {
        int folder = (i + t) % kFolders;
        Status s = StatusOf("c:\\folder table\\busy" + std::to_string(folder) + "\\stays.dat");
        if (s.error != kErrorSuccess || s.size != static_cast<uint64_t>(10 + folder)) ++wrong;
      }
    });
  for (std::thread& r : readers) r.join();
  stop = true;
  changer.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace acdc::platform
