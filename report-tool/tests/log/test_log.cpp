// Reading log lines: records, the banner, and input that is not a log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <streambuf>

#include "log/log.h"
#include "logtext.h"

using namespace zr;
using zyg_test::banner;
using zyg_test::header;
using zyg_test::rec;

namespace {

ParsedLog parse(const std::string& text) {
  std::istringstream in(text);
  return parse_log(in);
}

struct LineCase {
  const char* name;
  std::string msg, comm, cmd;
};

class RecordColumns : public ::testing::TestWithParam<LineCase> {};

// Whatever the message, comm and command line hold, each comes back whole.
TEST_P(RecordColumns, SplitsMessageCommAndCommandLine) {
  const LineCase& c = GetParam();
  std::string line =
      rec(1234567, 42, 778, 777, 700, "0,1", "-1", c.msg, c.comm.c_str(), c.cmd.c_str());
  line.pop_back();  // the newline
  Record r;
  std::string why;
  ASSERT_TRUE(parse_record_line(line, r, why)) << why;
  EXPECT_EQ(r.sec, 1);
  EXPECT_EQ(r.usec, 234567);
  EXPECT_EQ(r.entry, 42);
  EXPECT_EQ(r.tid, 778);
  EXPECT_EQ(r.pid, 777);
  EXPECT_EQ(r.ppid, 700);
  EXPECT_EQ(r.nodes, (std::vector<int>{0, 1}));
  EXPECT_EQ(r.cpu, -1);
  EXPECT_EQ(r.msg(), c.msg);
  EXPECT_EQ(r.comm(), c.comm);
  // The writer ends every command line with a space (the last NUL); it is dropped.
  std::string want = c.cmd;
  while (!want.empty() && want.back() == ' ') want.pop_back();
  EXPECT_EQ(r.cmdline(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordColumns,
    ::testing::Values(
        LineCase{"short", "initial exec start", "app", "/bin/app -x "},
        LineCase{"long_message", "execve(/root/.pyenv/versions/3.11.7/bin/python3)", "bash",
                 "bash -c x "},
        LineCase{"bar_in_message", "system(ls | grep a | wc -l)", "sh", "sh -c ls | grep a "},
        LineCase{"bar_in_cmdline", "Created PID 5", "make", "make 'A | B' "},
        LineCase{"unknown_comm", "exit()", "<unknown>", "<unknown>"},
        LineCase{"comm_with_spaces", "Created TID 140485679945408", "Web Content", "firefox "},
        LineCase{"empty_cmdline", "implicit exit()", "zombie", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Every column of the schema is held to its kind; one of a new kind has no
// samples here and fails until it is given some.
class ColumnKind : public ::testing::TestWithParam<int> {};

TEST_P(ColumnKind, TextFitsItsKind) {
  struct Sample {
    const char* fits;
    const char* does_not;  // null: every text fits
  };
  static const std::map<zyg::log_column_kind, Sample> kSamples = {
      {zyg::COLUMN_TIME, {"12.000345", "12.0003"}},
      {zyg::COLUMN_NUMBER, {"-1", "4x2"}},
      {zyg::COLUMN_LIST, {"0,3", "0-3"}},
      {zyg::COLUMN_TEXT, {"any | text", nullptr}},
  };
  const auto c = static_cast<zyg::log_column>(GetParam());
  const Sample& s = kSamples.at(zyg::kLogColumns[c].kind);
  EXPECT_TRUE(column_text_fits(c, s.fits));
  if (s.does_not != nullptr) {
    EXPECT_FALSE(column_text_fits(c, s.does_not));
  }
}

INSTANTIATE_TEST_SUITE_P(Schema, ColumnKind, ::testing::Range(0, static_cast<int>(zyg::COL_COUNT)),
                         [](const auto& info) {
                           std::string name = zyg::kLogColumns[info.param].title;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

struct BadCase {
  const char* name;
  std::string line;
};

class NotARecord : public ::testing::TestWithParam<BadCase> {};

TEST_P(NotARecord, IsRefused) {
  Record r;
  std::string why;
  EXPECT_FALSE(parse_record_line(GetParam().line, r, why));
  EXPECT_FALSE(why.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NotARecord,
    ::testing::Values(
        BadCase{"prose", "hello world"},
        BadCase{"too_few_columns", "    0.000001 |      1 |     777 |     777"},
        BadCase{"bad_time",
                "    0.0001 |      1 |     777 |     777 |     700 |    0 |  -1 | exit()           "
                "               | a                    | a"},
        BadCase{"letters_in_pid",
                "    0.000001 |      1 |     7x7 |     777 |     700 |    0 |  -1 | exit()         "
                "                 | a                    | a"},
        BadCase{"bad_node",
                "    0.000001 |      1 |     777 |     777 |     700 |  0-1 |  -1 | exit()         "
                "                 | a                    | a"},
        BadCase{"bad_cpu",
                "    0.000001 |      1 |     777 |     777 |     700 |    0 |  -2 | exit()         "
                "                 | a                    | a"},
        BadCase{"no_comm_column",
                "    0.000001 |      1 |     777 |     777 |     700 |    0 |  -1 | exit()"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseLog, ReadsBannerAndRecords) {
  std::string text = banner("rr_flat", "pack", "Yes", "0,2", 4242, 3, 2) + header() +
                     rec(47, 1, 4242, 4242, 1, "0", "0", "initial exec start") +
                     rec(98, 2, 4242, 4242, 1, "0", "0", "exit()");
  ParsedLog log = parse(text);
  ASSERT_EQ(log.sections.size(), 1u);
  const Section& s = log.sections[0];
  ASSERT_TRUE(s.has_banner);
  EXPECT_EQ(s.banner.version, "1.0.4");
  EXPECT_EQ(s.banner.proc_policy, "rr_flat");
  EXPECT_EQ(s.banner.thrd_policy, "pack");
  EXPECT_TRUE(s.banner.cpu_launch);
  EXPECT_EQ(s.banner.launch_nodes, "0,2");
  EXPECT_EQ(s.banner.log_file, "/tmp/run.log");
  EXPECT_EQ(s.banner.error_file, "");
  EXPECT_EQ(s.banner.initial_pid, 4242);
  EXPECT_EQ(s.banner.config_node_cnt, 3);
  EXPECT_EQ(s.banner.avail_node_cnt, 2);
  EXPECT_EQ(s.banner.fields_seen, 10);
  EXPECT_EQ(s.records.size(), 2u);
  EXPECT_TRUE(log.bad_lines.empty());
  EXPECT_FALSE(log.last_line_cut);
  EXPECT_EQ(s.records[1].line, 25);  // line numbers count from the banner's leading empty line
}

TEST(ParseLog, EachBannerStartsALaunch) {
  std::string one = banner("rr_tree", "none", "No", "0-3", 10) + header() +
                    rec(1, 1, 10, 10, 1, "0", "-1", "initial exec start");
  std::string two = banner("pack", "none", "No", "0-3", 20) + header() +
                    rec(1, 1, 20, 20, 1, "0", "-1", "initial exec start");
  ParsedLog log = parse(one + two);
  ASSERT_EQ(log.sections.size(), 2u);
  EXPECT_EQ(log.sections[0].banner.initial_pid, 10);
  EXPECT_EQ(log.sections[1].banner.initial_pid, 20);
  EXPECT_EQ(log.sections[1].records.size(), 1u);
}

TEST(ParseLog, CutLastLineIsFlaggedNotBad) {
  std::string text = banner() + header() + rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(2, 2, 100, 100, 1, "0", "-1", "Created PID 101");
  text += "       0.000003 |      3 |     10";  // the writer was stopped here
  ParsedLog log = parse(text);
  EXPECT_TRUE(log.last_line_cut);
  EXPECT_TRUE(log.bad_lines.empty());
  EXPECT_EQ(log.record_count(), 2);
}

TEST(ParseLog, ForeignLinesAreCountedWithTheirNumbers) {
  std::string text = banner() + header() + rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     "some text someone added\n" + rec(2, 2, 100, 100, 1, "0", "-1", "exit()");
  ParsedLog log = parse(text);
  ASSERT_EQ(log.bad_lines.size(), 1u);
  EXPECT_EQ(log.bad_lines[0].line, 25);
  EXPECT_EQ(log.record_count(), 2);
}

TEST(ParseLog, BinaryGarbageIsNotALog) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>((i * 7919) % 256));
  ParsedLog log = parse(junk);
  EXPECT_FALSE(log.looks_like_log());
}

TEST(ParseLog, OverlongLineIsBadAndDoesNotStopTheRead) {
  std::string text = banner() + header() + std::string(200000, 'x') + "\n" +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start");
  ParsedLog log = parse(text);
  ASSERT_EQ(log.bad_lines.size(), 1u);
  EXPECT_EQ(log.record_count(), 1);
}

// A stream of bytes without a line end, like /dev/zero, served in blocks and
// counted; it ends after `limit` bytes so that a reader that does not stop
// still finishes.
class EndlessZeros : public std::streambuf {
 public:
  explicit EndlessZeros(std::size_t limit) : left_(limit) {}
  std::size_t served = 0;

 protected:
  int_type underflow() override {
    if (left_ == 0) return traits_type::eof();
    const std::size_t n = std::min(left_, sizeof block_);
    left_ -= n;
    served += n;
    setg(block_, block_, block_ + n);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  std::size_t left_;
  char block_[4096] = {};
};

TEST(ParseLog, ALineWithoutEndStopsTheRead) {
  EndlessZeros zeros(256u << 20);
  std::istream in(&zeros);
  ParsedLog log = parse_log(in);
  EXPECT_LT(zeros.served, 4u << 20);
  EXPECT_TRUE(log.reading_stopped);
  EXPECT_FALSE(log.looks_like_log());
  ASSERT_EQ(log.bad_lines.size(), 1u);
  EXPECT_NE(log.bad_lines[0].why.find("reading stopped"), std::string::npos)
      << log.bad_lines[0].why;
}

TEST(ParseLog, RecordsWithoutBannerFormALaunchWithoutSettings) {
  ParsedLog log = parse(rec(1, 7, 100, 100, 1, "1", "-1", "Created PID 5"));
  ASSERT_EQ(log.sections.size(), 1u);
  EXPECT_FALSE(log.sections[0].has_banner);
  EXPECT_TRUE(log.looks_like_log());
}

// A log written before a column existed (here: without Node) is read by the
// titles of its column header; the missing column is empty.
TEST(ParseLog, TheColumnHeaderTellsWhichColumnsTheRecordsHave) {
  ParsedLog log = parse(
      "\n      Timestamp | Entry# |     TID |     PID |    PPID | CPU | Log Message                "
      "     | comm      "
      "           | full_cmdline\n"
      "       0.000047 |      1 |     777 |     777 |       1 |   3 | initial exec start           "
      "   | app       "
      "           | app -x \n");
  EXPECT_TRUE(log.bad_lines.empty());
  ASSERT_EQ(log.record_count(), 1);
  const Record& r = log.sections[0].records[0];
  EXPECT_EQ(r.ppid, 1);
  EXPECT_EQ(r.node_text(), "");
  EXPECT_EQ(r.cpu, 3);
  EXPECT_EQ(r.msg(), "initial exec start");
  EXPECT_EQ(r.cmdline(), "app -x");
}

}  // namespace
