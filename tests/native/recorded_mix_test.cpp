// The channel benchmark's recorded mix (rows of the agent's generator laid out with
// live placeholder processes, each row's message built once) and the timer that
// measures the library's image lookups meanwhile.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "bench/image_lookup_timer.h"
#include "bench/recorded_mix.h"
#include "event/process_image.h"
#include "event/records.h"
#include "sim/driver_core.h"

namespace acdc::bench {
namespace {

MixSource Generated(uint64_t events) {
  MixSource s;
  s.examples_dir = ACDC_EXAMPLES_DIR;
  s.drive_c = ACDC_DRIVE_C;
  s.placeholder = ACDC_PLACEHOLDER;
  s.events = events;
  return s;
}

std::string TempPath(const char* suffix) {
  std::string path = "/tmp/acdc-mix-test-XXXXXX" + std::string(suffix);
  int fd = mkstemps(path.data(), static_cast<int>(std::strlen(suffix)));
  if (fd >= 0) close(fd);
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The mix is only worth measuring when the library's own lookup finds, behind each
// message's pid, the image the row planned: a live process at that path.
TEST(RecordedMix, EveryMessageNamesALiveProcessAtItsPlannedImage) {
  RecordedMix mix;
  std::string why;
  ASSERT_TRUE(mix.Prepare(Generated(400), &why)) << why;
  ASSERT_EQ(mix.size(), 400u);
  std::set<uint32_t> pids;
  uint64_t on_drive_c = 0;
  for (const sim::PlannedEvent& e : mix.events()) {
    char image[event::kTextCapacity] = {};
    ASSERT_EQ(event::GetProcessImagePath(e.fields.pid, image), 1) << "line " << e.line;
    EXPECT_EQ(std::string(image), e.acting) << "line " << e.line;
    if (e.acting.rfind("C:\\", 0) == 0) ++on_drive_c;
    pids.insert(e.fields.pid);
  }
  EXPECT_EQ(mix.ActingProcesses(), pids.size());
  // The generator's actors are images under drive C, each with a placeholder of its own.
  EXPECT_GT(pids.size(), 5u);
  EXPECT_EQ(on_drive_c, mix.size());
  uint64_t rows = 0;
  for (const auto& [op, n] : mix.OpCounts()) rows += n;
  EXPECT_EQ(rows, 400u);
  EXPECT_GT(mix.OpCounts()["load"], 200u);  // the recordings' mix: mostly image loads
}

TEST(RecordedMix, SendsEachRowAsBuiltWithTheIdsItIsGiven) {
  RecordedMix mix;
  std::string why;
  ASSERT_TRUE(mix.Prepare(Generated(50), &why)) << why;
  const uint64_t ids[] = {1, 0x100000005ull, 0xFFFFFFFFull};
  // The index wraps: row 50 is row 0 again.
  const uint64_t rows[] = {0, 1, 49, 50, 123};
  for (uint64_t id : ids) {
    for (uint64_t i : rows) {
      uint8_t sent[sim::kEventMessageSize], expected[sim::kEventMessageSize];
      EXPECT_EQ(mix.Make(i, id, sent), id);
      sim::EventFields f = mix.events()[i % 50].fields;
      f.id = static_cast<uint32_t>(id);
      sim::BuildEventMessage(f, id, expected);
      EXPECT_EQ(std::memcmp(sent, expected, sizeof sent), 0) << "row " << i << ", id " << id;
    }
  }
}

TEST(RecordedMix, GeneratesTheSameRowsForASeed) {
  std::string a = TempPath(".csv"), b = TempPath(".csv"), c = TempPath(".csv");
  char why[256] = {};
  ASSERT_TRUE(WriteGeneratedWorkload(ACDC_EXAMPLES_DIR, 17, 30, a.c_str(), why, sizeof why)) << why;
  ASSERT_TRUE(WriteGeneratedWorkload(ACDC_EXAMPLES_DIR, 17, 30, b.c_str(), why, sizeof why)) << why;
  ASSERT_TRUE(WriteGeneratedWorkload(ACDC_EXAMPLES_DIR, 18, 30, c.c_str(), why, sizeof why)) << why;
  std::string text = ReadAll(a);
  EXPECT_EQ(text.rfind("time_ms,op,pid,ppid,image,path,new_path,cmdline\r\n", 0), 0u);
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
  EXPECT_EQ(lines, 31u);
  EXPECT_EQ(text, ReadAll(b));
  EXPECT_NE(text, ReadAll(c));
  for (const std::string& p : {a, b, c}) unlink(p.c_str());
}

TEST(RecordedMix, SaysWhyItCannotBePrepared) {
  std::string empty = TempPath(".csv");
  std::ofstream(empty, std::ios::binary) << "time_ms,op,pid,ppid,image,path,new_path,cmdline\r\n";
  const struct {
    std::string workload, examples_dir, why;
  } cases[] = {
      {"/nonexistent/recording.csv", ACDC_EXAMPLES_DIR,
       "cannot read /nonexistent/recording.csv: No such file or directory"},
      {"", "/nonexistent", "generating the workload: workload generator:1: module 'workload' not found:"},
      {empty, ACDC_EXAMPLES_DIR, "the workload " + empty + " has no event to send"},
  };
  for (const auto& c : cases) {
    RecordedMix mix;
    MixSource s = Generated(10);
    s.workload = c.workload;
    s.examples_dir = c.examples_dir;
    std::string why;
    EXPECT_FALSE(mix.Prepare(s, &why));
    EXPECT_EQ(why.substr(0, why.find('\n')), c.why);
    EXPECT_EQ(mix.size(), 0u);
  }
  unlink(empty.c_str());
}

TEST(ImageLookupTimer, CountsEveryQueryWhileInstalledAndRestoresTheTable) {
  ImageLookupTimer::Install();
  ImageLookupTimer::Install();  // twice must not wrap the wrapper
  ImageLookupTimer::Reset();
  char image[event::kTextCapacity];
  EXPECT_EQ(event::GetProcessImagePath(static_cast<uint32_t>(getpid()), image), 1);
  EXPECT_EQ(event::GetProcessImagePath(0x7FFFFFF0u, image), 0);  // above any pid_max
  EXPECT_EQ(event::GetProcessImagePath(static_cast<uint32_t>(getpid()), image), 1);
  ImageLookupTimer::Remove();
  EXPECT_EQ(event::GetProcessImagePath(static_cast<uint32_t>(getpid()), image), 1);
  EXPECT_EQ(platform::g_services.query_process_image, &platform::OsQueryProcessImage);
  ImageLookupTally t = ImageLookupTimer::Read();
  EXPECT_EQ(t.lookups, 3u);
  EXPECT_EQ(t.failed, 1u);
  EXPECT_GT(t.ns, 0u);
  ImageLookupTimer::Reset();
  t = ImageLookupTimer::Read();
  EXPECT_EQ(t.lookups + t.failed + t.ns, 0u);
}

}  // namespace
}  // namespace acdc::bench
