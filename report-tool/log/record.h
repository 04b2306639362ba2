// record.h - one record line of the log: its columns, in the order the
// log's own column header names them (a log written before a column existed,
// or one with the L3 column of L3 units), each read by the schema's table
// (shared/log_schema.h). A line that does not fit is refused with a reason,
// never trusted.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shared/log_schema.h"

namespace zr {

// One event line: the numbers the model uses, and the texts of the other
// columns. Numeric columns are kept as numbers only: a log of 100,000 tasks
// holds half a million records, and each kept text costs a string.
struct Record {
  long sec = 0;  // time since the launch start
  long usec = 0;
  long entry = 0;  // launch-wide entry number
  long tid = 0;
  long pid = 0;
  long ppid = 0;
  std::vector<int> nodes;  // the task's launch nodes at the time of the event
  int cpu = -1;            // single CPU of its affinity, else -1
  int line = 0;            // 1-based line number in the file
  // Each text column as written, without its padding (the command line
  // keeps no trailing space); empty for a column the log was written without.
  std::string node_col, msg_col, comm_col, cmdline_col;
  // Any column this reader has no field of its own for (one newer than it).
  std::vector<std::pair<zyg::log_column, std::string>> other_cols;
  double time() const { return static_cast<double>(sec) + static_cast<double>(usec) / 1e6; }
  // A text column; "" for a numeric one (read its number).
  const std::string& text(zyg::log_column c) const;
  // Where the reader stores column c's text; null for a numeric column.
  std::string* text_slot(zyg::log_column c);
  const std::string& msg() const { return msg_col; }         // the event text
  const std::string& node_text() const { return node_col; }  // "0", "0,1"
  const std::string& comm() const { return comm_col; }
  // NULs already turned into spaces by the writer.
  const std::string& cmdline() const { return cmdline_col; }
};

// The columns of a log's record lines, in order: those of the schema that
// every log has (the L3 column is written only under L3 units), or those the
// column header above the records names (a log of L3 units, or one written
// before a column was added; its records have that column empty).
struct ColumnLayout {
  int count = zyg::COL_COUNT;
  zyg::log_column col[zyg::COL_COUNT] = {};
  ColumnLayout();
};

// Splits one record line into its columns; false (with a reason) when the
// line is not a record.  Exposed for the unit tests.
bool parse_record_line(const std::string& line, Record& out, std::string& why,
                       const ColumnLayout& layout = ColumnLayout());

// Whether a line is a column header (its first titles are the schema's).
bool is_column_header(const std::string& line);
// The layout a column header line names; false when the line is no column
// header this reader can use (its records are then read by the schema).
bool parse_column_header(const std::string& line, ColumnLayout& layout);

// Whether a column's text is what its kind (shared/log_schema.h) holds: a
// time, a whole number, a list of numbers; any text for a text column.
bool column_text_fits(zyg::log_column c, const std::string& text);

// Parses a node column ("0", "0,1,3"); false when it is not such a list.
bool parse_node_column(const std::string& text, std::vector<int>& nodes);

}  // namespace zr
