// Path helpers and the record's text invariant. The fields an event derives from its
// paths are checked end to end through Lua in lua_glue_test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "event/abstract_event.h"
#include "event/records.h"
#include "event/text.h"

namespace acdc::event {
namespace {

// The last backslash is found a word at a time: every length and position, among
// bytes that differ from a backslash in one bit or have their high bit set, and a
// forward slash, which splits nothing. Without a backslash both halves are the whole
// text; after a final one the file is empty.
TEST(SplitPath, SplitsAfterTheLastBackslashAtEveryOffset) {
  const char fillers[] = {'a', '/', '\\' ^ 1, static_cast<char>('\\' ^ 0x80), static_cast<char>(0xFF)};
  for (char filler : fillers) {
    for (size_t n = 0; n <= 40; ++n) {
      for (size_t pos = 0; pos <= n; ++pos) {  // pos == n: no backslash at all
        std::string src(n, filler);
        if (pos < n) src[pos] = '\\';
        if (pos + 1 < n && pos % 3 == 0) src[pos / 2] = '\\';  // an earlier one too
        char dir[kTextCapacity] = {}, file[kTextCapacity] = {};
        size_t len = SplitPathN(dir, file, src.c_str(), n);
        size_t cut = src.rfind('\\') == std::string::npos ? 0 : src.rfind('\\') + 1;
        std::string want_file = cut == 0 ? src : src.substr(cut);
        ASSERT_EQ(std::string(file), want_file) << n << " " << pos;
        ASSERT_EQ(len, want_file.size());
        ASSERT_EQ(std::string(dir), cut == 0 ? src : src.substr(0, cut)) << n << " " << pos;
      }
    }
  }
  char dir[kTextCapacity] = {}, file[kTextCapacity] = {};
  SplitPath(dir, file, "C:\\Dir\\File.TXT");  // the NUL-terminated form
  EXPECT_STREQ(dir, "C:\\Dir\\");
  EXPECT_STREQ(file, "File.TXT");
}

TEST(GetExtension, TakesAtMostSevenCharactersAfterTheLastDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"File.TXT", "TXT"},         {".profile", ""},        {"name.", ""},
      {"app.manifest", "manifes"}, {"noext", ""},           {"a.b.c", "c"},
      {"C:\\my.dir\\prog", "dir\\pro"}, {"x.1234567", "1234567"}, {"", ""},
  };
  for (const auto& [name, ext] : cases) {
    char out[kExtensionCapacity];
    std::memset(out, 'X', sizeof out);
    GetExtension(name, out);
    EXPECT_STREQ(out, ext) << name;
    for (size_t i = std::strlen(ext); i < kExtensionCapacity; ++i) EXPECT_EQ(out[i], '\0') << name;
  }
}

TEST(LowerCaseN, ChangesOnlyAsciiLettersForEveryByteInEveryLane) {
  for (int c = 0; c < 256; ++c) {
    for (size_t lane = 0; lane < 11; ++lane) {
      char text[12];
      std::memset(text, 'Q', sizeof text);
      text[lane] = static_cast<char>(c);
      LowerCaseN(text, 11);
      char expected = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
      EXPECT_EQ(text[lane], expected) << c << " " << lane;
      EXPECT_EQ(text[lane == 0 ? 1 : 0], 'q');
      EXPECT_EQ(text[11], 'Q');  // past n: untouched
    }
  }
  char text[] = "C:\\Dir\\\xC3\x84rger@[Z]`{.TXT";  // the NUL-terminated form
  LowerCase(text);
  EXPECT_STREQ(text, "c:\\dir\\\xC3\x84rger@[z]`{.txt");
}

// Copies clear the old tail, stop at an embedded NUL, and refuse what does not fit,
// leaving the buffer empty.
TEST(CopyText, ClearsTheTailStopsAtNulAndRefusesWhatDoesNotFit) {
  char buf[8] = {};
  CopyText(buf, sizeof buf, "longer!");
  CopyText(buf, sizeof buf, "ab");
  EXPECT_EQ(std::memcmp(buf, "ab\0\0\0\0\0\0", 8), 0);
  EXPECT_TRUE(CopyTextN(buf, sizeof buf, "1234567", 7));
  EXPECT_TRUE(CopyTextN(buf, sizeof buf, "ab\0cdef", 7));
  EXPECT_EQ(std::memcmp(buf, "ab\0\0\0\0\0\0", 8), 0);
  EXPECT_TRUE(CopyTextN(buf, sizeof buf, "1234567", 7));
  EXPECT_FALSE(CopyTextN(buf, sizeof buf, "12345678", 8));
  EXPECT_EQ(std::memcmp(buf, "\0\0\0\0\0\0\0\0", 8), 0);
}

AbstractEventInput Input(const char* rlpath, const char* proc) {
  AbstractEventInput in = {};
  in.type = 99;
  in.basedir = "";
  in.rlpath = rlpath;
  in.rlpath_len = rlpath ? std::strlen(rlpath) : 0;
  in.procName = proc;
  in.procName_len = proc ? std::strlen(proc) : 0;
  return in;
}

TEST(AbstractEventRecord, MissingEitherPathLeavesAllPathFieldsEmpty) {
  auto r = std::make_unique<EventRecord>();
  ClearEventRecord(r.get());
  for (auto in : {Input("C:\\x\\f.txt", nullptr), Input(nullptr, "C:\\p.exe")}) {
    DispatchAbstractEvent(r.get(), in);
    EXPECT_EQ(r->data.name[0], '\0');
    EXPECT_EQ(r->event.rlpath[0], '\0');
    EXPECT_EQ(r->event.procName[0], '\0');
    EXPECT_EQ(r->event.path[0], '\0');
  }
}

// The cheap reset must leave exactly what a full clear leaves, whatever the previous
// event wrote: long paths, then short ones, then none.
TEST(ResetEventRecord, MatchesAFullClearAfterAnyEvent) {
  auto reused = std::make_unique<EventRecord>();
  auto fresh = std::make_unique<EventRecord>();
  ClearEventRecord(reused.get());
  const std::string long_dir = "C:\\" + std::string(3000, 'd') + "\\";
  const std::string paths[] = {long_dir + "file.extension", "C:\\a.b", "x", long_dir + "p.exe"};
  for (const std::string& p : paths) {
    DispatchAbstractEvent(reused.get(), Input(p.c_str(), paths[3].c_str()));
    reused->event.cache_type = -1;
    reused->data.action_type_str = "SCRIPT_EXECUTION";
    ASSERT_TRUE(EventRecordTextsAreClean(*reused)) << p.size();
    ResetEventRecord(reused.get());
    ClearEventRecord(fresh.get());
    fresh->event.evt = &reused->data;  // the one field that differs by address
    reused->event.basedir = fresh->event.basedir;
    EXPECT_EQ(std::memcmp(&reused->reply, &fresh->reply, sizeof fresh->reply), 0);
    EXPECT_EQ(std::memcmp(&reused->data, &fresh->data, sizeof fresh->data), 0);
    EXPECT_EQ(std::memcmp(&reused->event, &fresh->event, sizeof fresh->event), 0);
  }
}

}  // namespace
}  // namespace acdc::event
