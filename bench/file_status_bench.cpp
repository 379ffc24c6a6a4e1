// File status of a lower-cased path, as the fast path asks for it, against statx of
// the file's real spelling. The files sit 3 folders deep, in a folder of 3,000
// names, spelled in mixed case as Windows programs create them.
//
// Remembered: the folder is in the folder table (the steady state). First lookup:
// the table is emptied before each lookup, so the folders are read again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "platform/posix/folder_table.h"
#include "platform/services.h"

namespace {

using namespace acdc::platform;

constexpr int kNames = 3000;
constexpr int kAsked = 64;  // files asked for in turn

std::string g_base;                 // host folder holding the tree
std::vector<std::string> g_real;    // host paths, real spelling
std::vector<std::string> g_lower;   // Win32 paths, lower-cased

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

void MakeTree() {
  g_base = "/tmp/acdc-bench-" + std::to_string(getpid());
  std::string dir = g_base;
  mkdir(dir.c_str(), 0755);
  for (const char* part : {"/Windows", "/System32", "/DriverStore"}) {
    dir += part;
    mkdir(dir.c_str(), 0755);
  }
  char name[32];
  for (int i = 0; i < kNames; ++i) {
    std::snprintf(name, sizeof name, "/Driver%04d.SYS", i);
    int fd = open((dir + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  for (int i = 0; i < kAsked; ++i) {
    std::snprintf(name, sizeof name, "/Driver%04d.SYS", i * (kNames / kAsked));
    g_real.push_back(dir + name);
    std::string win = "Z:" + dir + name;
    for (char& c : win)
      if (c == '/') c = '\\';
    g_lower.push_back(Lower(win));
  }
  // Folders changed within the last second are not trusted yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
}

void StatxRealSpelling(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) {
    struct statx sx;
    int r = statx(AT_FDCWD, g_real[i++ % kAsked].c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(sx);
  }
}

void FileStatusRemembered(benchmark::State& state) {
  FileStatus st;
  GetFileStatus(g_lower[0].c_str(), &st);  // remembers the folder
  FolderTableCounts before = ReadFolderTableCounts();
  size_t i = 0;
  for (auto _ : state) {
    Win32Error e = GetFileStatus(g_lower[i++ % kAsked].c_str(), &st);
    benchmark::DoNotOptimize(e);
  }
  if (ReadFolderTableCounts().misses != before.misses) state.SkipWithError("the folder was read again");
}

void FileStatusFirstLookup(benchmark::State& state) {
  FileStatus st;
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ClearFolderTable();
    state.ResumeTiming();
    Win32Error e = GetFileStatus(g_lower[i++ % kAsked].c_str(), &st);
    if (e != kErrorSuccess) state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(e);
  }
}

BENCHMARK(StatxRealSpelling);
BENCHMARK(FileStatusRemembered);
BENCHMARK(FileStatusFirstLookup);

}  // namespace

int main(int argc, char** argv) {
  MakeTree();
  int rc = acdc::bench::RunFigures(
      argc, argv,
      {{"file status, lower-cased path, remembered folder", "FileStatusRemembered", "StatxRealSpelling", 4.0},
       {"file status, lower-cased path, first lookup in a 3,000-name folder", "FileStatusFirstLookup",
        "StatxRealSpelling", 0}});
  std::string command = "rm -rf '" + g_base + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", g_base.c_str());
  return rc;
}
