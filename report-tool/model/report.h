// report.h - what a whole log gave: where it came from, how well it read,
// and its launches. The views are drawn from this alone.
#pragma once

#include <string>
#include <vector>

#include "log/log.h"
#include "model/launch.h"

namespace zr {

// How well the input read.
struct Input {
  long lines = 0;
  bool last_line_cut = false;      // the file does not end with a newline
  std::vector<BadLine> bad_lines;  // lines that look like neither banner nor record
};

struct Report {
  std::string source;  // the log's path, "-", or the command of --run
  Input input;
  std::vector<Launch> launches;
};

// The launches of every section of `log`, which must outlive the report
// (the launches point at their records).
Report build_report(const std::string& source, const ParsedLog& log);

}  // namespace zr
