// Reading a zyg-nox launch log: the banner block and the record lines.
//
// The log is text written by many processes at once, may be cut short (a run
// still going, a killed tree, a full disk) and may be something else entirely
// when the user names the wrong file.  The reader therefore never trusts a
// line: every field is checked, a line that does not fit is counted and
// remembered (with its line number) instead of stopping the read.
#pragma once

#include <deque>
#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "shared/log_schema.h"

namespace zr {

// Each launch node's memory node as the text outputs show it: "node 0 -> 2,
// node 1 -> local". `nodes` holds (node, memory node) pairs, -1 for none.
template <class Pairs>
std::string memory_nodes_text(const Pairs& nodes) {
  std::string out;
  for (const auto& [node, mem] : nodes)
    out += (out.empty() ? "node " : ", node ") + std::to_string(node) + " -> " +
           (mem < 0 ? std::string("local") : std::to_string(mem));
  return out;
}

// The settings block the first process writes when it creates the log.
struct Banner {
  std::string version;      // "1.0.4"
  std::string proc_policy;  // process launch policy name, "none" when unset
  std::string thrd_policy;
  bool cpu_launch = false;   // "CPU launch policy | Yes"
  std::string launch_nodes;  // as written, e.g. "0-3"
  std::string log_file;
  std::string error_file;
  long initial_pid = -1;
  int config_node_cnt = -1;
  int avail_node_cnt = -1;
  // Only under L3 units (--unit=l3): "l3", and "<CPU list>@<node> ..." (the
  // available count above is then the domains').
  std::string unit;
  std::string l3_domains;
  // "Memory  placement", written only under a memory mode other than local:
  // the mode's name (empty for local) and each launch node's memory node.
  std::string memory_mode;
  std::map<int, int> memory_nodes;
  int first_line = 0;   // 1-based line of "Launch  Version"
  int fields_seen = 0;  // how many of the ten settings lines were read
};

// The memory node of a Node column value (one node number) under the
// banner's memory mode; -1 when there is none (local mode, a list of nodes).
int memory_node_of(const Banner& b, const std::string& node);

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

// Splits one record line into its columns; false (with a reason) when the
// line is not a record.  Exposed for the unit tests.
bool parse_record_line(const std::string& line, Record& out, std::string& why,
                       const ColumnLayout& layout = ColumnLayout());

// The layout a column header line names; false when the line is no column
// header this reader can use (its records are then read by the schema).
bool parse_column_header(const std::string& line, ColumnLayout& layout);

// Parses a node column ("0", "0,1,3"); false when it is not such a list.
bool parse_node_column(const std::string& text, std::vector<int>& nodes);

// Expands a node list as the launcher accepts it ("0-3", "1,3,6-8", "!2")
// against config_node_cnt nodes; false when the text cannot be read.
bool expand_node_list(const std::string& text, int config_node_cnt, std::vector<int>& nodes);

ParsedLog parse_log(std::istream& in);

}  // namespace zr
