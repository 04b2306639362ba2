// log.h - reading a zyg-nox launch log: the banner blocks and the record
// lines, in sections of one launch each.
//
// The log is text written by many processes at once, may be cut short (a run
// still going, a killed tree, a full disk) and may be something else entirely
// when the user names the wrong file.  The reader therefore never trusts a
// line: every field is checked, a line that does not fit is counted and
// remembered (with its line number) instead of stopping the read.
#pragma once

#include <deque>
#include <istream>
#include <string>
#include <vector>

#include "log/banner.h"
#include "log/record.h"

namespace zr {

// A log may hold several launches one after another (logs concatenated,
// or a second launch appended by hand); each banner starts a section.
struct Section {
  bool has_banner = false;
  Banner banner;
  // A deque: a log of a large launch holds hundreds of thousands of
  // records, which a growing vector would copy over and over and hold
  // twice at each step.
  std::deque<Record> records;
};

struct BadLine {
  int line;
  std::string why;
};

struct ParsedLog {
  std::vector<Section> sections;
  std::vector<BadLine> bad_lines;  // lines that look like neither banner nor record
  bool last_line_cut = false;      // the file does not end with a newline
  bool reading_stopped = false;    // a line ran on without end: the rest was not read
  long total_lines = 0;
  long record_count() const;
  bool looks_like_log() const;  // at least one banner or one record
};

ParsedLog parse_log(std::istream& in);

}  // namespace zr
