// The simulator's workload files: CSV records, rows and their events, and the
// figures of a run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/simulator.h"
#include "sim/workload.h"

namespace acdc::sim {
namespace {

struct Expected {
  size_t line;
  std::vector<std::string> fields;
  std::string error;
};

std::vector<Expected> ReadAll(const std::string& text) {
  std::vector<Expected> out;
  CsvReader reader(text);
  CsvRecord r;
  while (reader.Next(&r)) out.push_back({r.line, r.fields, r.error});
  return out;
}

void ExpectRecords(const std::string& text, const std::vector<Expected>& expected) {
  std::vector<Expected> got = ReadAll(text);
  ASSERT_EQ(got.size(), expected.size()) << text;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].line, expected[i].line) << text << " record " << i;
    EXPECT_EQ(got[i].fields, expected[i].fields) << text << " record " << i;
    EXPECT_EQ(got[i].error, expected[i].error) << text << " record " << i;
  }
}

TEST(WorkloadCsv, ReadsQuotedFieldsAndLineEnds) {
  ExpectRecords("a,b\r\nc,d\n", {{1, {"a", "b"}, ""}, {2, {"c", "d"}, ""}});
  ExpectRecords("\"x,y\",\"say \"\"hi\"\"\"\r\n", {{1, {"x,y", "say \"hi\""}, ""}});
  ExpectRecords("\"a\r\nb\",c\r\nd,e\r\n", {{1, {"a\r\nb", "c"}, ""}, {3, {"d", "e"}, ""}});
  ExpectRecords(",,\r\n\"\",x,\r\n", {{1, {"", "", ""}, ""}, {2, {"", "x", ""}, ""}});
  ExpectRecords("a,b", {{1, {"a", "b"}, ""}});
}

TEST(WorkloadCsv, MalformedRecordCostsOnlyItself) {
  ExpectRecords("a\"b,c\r\nd,e\r\n", {{1, {}, "quote inside unquoted field"}, {2, {"d", "e"}, ""}});
  ExpectRecords("\"a\"x,b\r\nc\r\n", {{1, {}, "unexpected character after closing quote"}, {2, {"c"}, ""}});
  ExpectRecords("a\rb,c\r\nd\r\n", {{1, {}, "carriage return outside quotes"}, {2, {"d"}, ""}});
  // A quote that never closes gives up its record; the lines it took are read again.
  ExpectRecords("\"open,b\r\nc,d\r\n", {{1, {}, "unterminated quoted field"}, {2, {"c", "d"}, ""}});
  std::string long_quote = "\"x\n";
  for (int i = 0; i < 200; ++i) long_quote += "y\n";
  std::vector<Expected> got = ReadAll(long_quote);
  ASSERT_EQ(got.size(), 201u);
  EXPECT_EQ(got[0].error, "unterminated quoted field");
  EXPECT_EQ(got[200].line, 201u);
  EXPECT_EQ(got[200].fields, std::vector<std::string>{"y"});
}

WorkloadRow Row(std::vector<std::string> fields, std::string* why) {
  CsvRecord record;
  record.line = 7;
  record.fields = std::move(fields);
  WorkloadRow row;
  if (!ParseRow(record, &row, why)) row.op = nullptr;
  return row;
}

TEST(WorkloadRows, RefusesMalformedRowsWithTheReason) {
  const std::string units512(512, 'a');
  const std::string units513(513, 'a');
  struct Case {
    std::vector<std::string> fields;
    const char* why;
  };
  const Case cases[] = {
      {{"1", "load", "4", "", "img", "p", ""}, "expected 8 fields, found 7"},
      {{"1.5", "load", "4", "", "img", "p", "", ""}, "time_ms is not a whole number: '1.5'"},
      {{"18446744073709551616", "load", "4", "", "", "p", "", ""},
       "time_ms is not a whole number: '18446744073709551616'"},
      {{"1", "load", "4294967296", "", "", "p", "", ""}, "pid is not a 32-bit whole number: '4294967296'"},
      {{"1", "load", "4", "-1", "", "p", "", ""}, "ppid is not a 32-bit whole number: '-1'"},
      {{"1", "mmap", "4", "", "", "p", "", ""}, "unknown op 'mmap'"},
      {{"1", "rename", "4", "", "", "p", "", ""}, "rename without new_path"},
      {{"1", "create", "4", "", "", units513, "", ""},
       "a name longer than the message's 1024 bytes of UTF-16: 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa...'"},
      {{"1", "rename", "4", "", "", units513, "C:\\new", ""},
       "a name longer than the message's 1024 bytes of UTF-16: 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa...'"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Row(c.fields, &why).op, nullptr) << c.why;
    EXPECT_EQ(why, c.why);
  }
  std::string why;
  WorkloadRow row = Row({"1", "create", "", "9", "", units512, "", ""}, &why);
  ASSERT_NE(row.op, nullptr) << why;
  EXPECT_EQ(row.line, 7u);
  EXPECT_TRUE(!row.has_pid && row.has_ppid && row.ppid == 9);
  EXPECT_EQ(row.name(), units512);
}

TEST(RunFigures, CountsEachMessageByItsReplies) {
  std::vector<MessageRecord> records(4);
  records[0].replies = 1, records[0].latency_ns = 100;
  records[1].replies = 2, records[1].latency_ns = 200;
  records[2].timed_out = true;
  records[3].replies = 1, records[3].timed_out = true;  // answered after its hold time
  Stats stats;
  stats.late = 1, stats.unknown = 2, stats.mismatched = 3, stats.malformed = 4;
  Summary s = Summarize(records, stats);
  EXPECT_EQ((std::vector<uint64_t>{s.sent, s.exactly_once, s.several, s.no_reply, s.late, s.unknown, s.mismatched,
                                   s.malformed}),
            (std::vector<uint64_t>{4, 1, 1, 2, 1, 2, 3, 4}));
  EXPECT_EQ((std::vector<int64_t>{s.p50_ns, s.p90_ns, s.p99_ns, s.max_ns}), (std::vector<int64_t>{100, 200, 200, 200}));
  // Nearest rank: the smallest value with at least p% of the values at or below it.
  std::vector<int64_t> v;
  for (int i = 1; i <= 10; ++i) v.push_back(i * 10);
  EXPECT_EQ((std::vector<int64_t>{Percentile(v, 1), Percentile(v, 50), Percentile(v, 90), Percentile(v, 99),
                                  Percentile({}, 50)}),
            (std::vector<int64_t>{10, 50, 90, 100, -1}));
}

}  // namespace
}  // namespace acdc::sim
