#include "log/record.h"

#include <algorithm>

#include "lists/number.h"

namespace zr {

namespace {

std::string rtrim(const std::string& s) {
  std::size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return s.substr(0, e);
}

// Splits "message | comm | cmdline", the rest of a record line after its
// short columns.
bool split_text_columns(const std::string& rest, Record& out, std::string& why) {
  // The rest is "message | comm | cmdline".  The message is padded to at
  // least its column's width but may be longer and may itself hold the
  // separator (a system() command line); comm is padded to exactly its width
  // (the kernel keeps at most 15 characters).  So the message ends at the
  // first separator at or after the message's width that is followed by
  // comm's width of characters and another separator.
  constexpr std::size_t kSepLen = zyg::kLogSeparatorLen;
  constexpr std::size_t kMsgWidth = zyg::log_column_width(zyg::COL_MESSAGE);
  constexpr std::size_t kCommSpan = kSepLen + zyg::log_column_width(zyg::COL_COMM);
  const char* sep = zyg::kLogSeparator;
  std::size_t msg_end = std::string::npos;
  for (std::size_t p = rest.find(sep, std::min(kMsgWidth, rest.size())); p != std::string::npos;
       p = rest.find(sep, p + 1)) {
    if (p + kCommSpan + kSepLen <= rest.size() && rest.compare(p + kCommSpan, kSepLen, sep) == 0) {
      msg_end = p;
      break;
    }
  }
  std::size_t comm_end;
  if (msg_end != std::string::npos) {
    comm_end = msg_end + kCommSpan;
  } else {
    // An unusual comm wider than its column: take the plain separators.
    msg_end = rest.find(sep);
    comm_end = msg_end == std::string::npos ? std::string::npos : rest.find(sep, msg_end + kSepLen);
    if (comm_end == std::string::npos) {
      why = "not a record line (no message/comm/command columns)";
      return false;
    }
  }
  out.msg_col = rtrim(rest.substr(0, msg_end));
  out.comm_col = rtrim(rest.substr(msg_end + kSepLen, comm_end - msg_end - kSepLen));
  out.cmdline_col = rtrim(rest.substr(comm_end + kSepLen));
  return true;
}

// A time column: seconds '.' kLogMicroDigits digits of microseconds.
bool read_time(const std::string& ts, long& sec, long& usec) {
  std::size_t dot = ts.find('.');
  return dot != std::string::npos && ts.size() - dot - 1 == zyg::kLogMicroDigits &&
         to_long(ts.substr(0, dot), sec) && to_long(ts.substr(dot + 1), usec) && sec >= 0 &&
         usec >= 0;
}

// The numbers of a record's columns; false (with a reason) when one is not
// what the writer puts there.
bool read_numbers(Record& out, const std::string* text, std::string& why) {
  if (!read_time(text[zyg::COL_TIMESTAMP], out.sec, out.usec)) {
    why = "bad timestamp";
    return false;
  }
  if (!to_long(text[zyg::COL_ENTRY], out.entry) || out.entry < 0) {
    why = "bad entry number";
    return false;
  }
  if (!to_long(text[zyg::COL_TID], out.tid) || !to_long(text[zyg::COL_PID], out.pid) ||
      !to_long(text[zyg::COL_PPID], out.ppid) || out.tid <= 0 || out.pid <= 0 || out.ppid < 0) {
    why = "bad TID/PID/PPID";
    return false;
  }
  if (!parse_node_column(out.node_text(), out.nodes)) {
    why = "bad node column";
    return false;
  }
  if (!to_int(text[zyg::COL_CPU], out.cpu) || out.cpu < -1) {
    why = "bad CPU column";
    return false;
  }
  return true;
}

}  // namespace

bool column_text_fits(zyg::log_column c, const std::string& text) {
  long sec, usec;
  std::vector<int> nodes;
  switch (zyg::kLogColumns[c].kind) {
    case zyg::COLUMN_TIME:
      return read_time(text, sec, usec);
    case zyg::COLUMN_NUMBER:
      return to_long(text, sec);
    case zyg::COLUMN_LIST:
      return parse_node_column(text, nodes);
    case zyg::COLUMN_TEXT:
      return true;
  }
  return false;
}

bool parse_node_column(const std::string& text, std::vector<int>& nodes) {
  nodes.clear();
  std::string t = trim(text);
  if (t.empty()) return true;  // a task with no launch node at all
  std::size_t pos = 0;
  while (pos <= t.size()) {
    std::size_t comma = t.find(',', pos);
    std::string item = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    int v;
    if (!to_int(item, v) || v < 0 || item.find_first_of("+-") != std::string::npos) return false;
    nodes.push_back(v);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

const std::string& Record::text(zyg::log_column c) const {
  static const std::string kNone;
  if (c == zyg::COL_NODE) return node_col;
  if (c == zyg::COL_MESSAGE) return msg_col;
  if (c == zyg::COL_COMM) return comm_col;
  if (c == zyg::COL_CMDLINE) return cmdline_col;
  for (const auto& [col, t] : other_cols)
    if (col == c) return t;
  return kNone;
}

std::string* Record::text_slot(zyg::log_column c) {
  switch (c) {
    case zyg::COL_TIMESTAMP:
    case zyg::COL_ENTRY:
    case zyg::COL_TID:
    case zyg::COL_PID:
    case zyg::COL_PPID:
    case zyg::COL_CPU:
      return nullptr;
    case zyg::COL_NODE:
      return &node_col;
    case zyg::COL_MESSAGE:
      return &msg_col;
    case zyg::COL_COMM:
      return &comm_col;
    case zyg::COL_CMDLINE:
      return &cmdline_col;
    default:
      other_cols.emplace_back(c, std::string());
      return &other_cols.back().second;
  }
}

// Without a column header: the columns every log has (not those of L3 units).
ColumnLayout::ColumnLayout() {
  count = 0;
  for (int c = 0; c < zyg::COL_COUNT; ++c)
    if (zyg::log_column_written(static_cast<zyg::log_column>(c), false))
      col[count++] = static_cast<zyg::log_column>(c);
}

bool is_column_header(const std::string& line) {
  static const std::string kStart = std::string(zyg::kLogColumns[zyg::COL_TIMESTAMP].title) +
                                    zyg::kLogSeparator + zyg::kLogColumns[zyg::COL_ENTRY].title +
                                    " |";
  // Without a copy of the line: this is asked of every line of the log.
  const std::size_t b = line.find_first_not_of(" \t");
  return b != std::string::npos && line.compare(b, kStart.size(), kStart) == 0;
}

bool parse_column_header(const std::string& line, ColumnLayout& layout) {
  // The titles must be the schema's, in its order, ending with the message,
  // comm and command line: the columns found by their widths.
  ColumnLayout named;
  named.count = 0;
  int next = 0;  // the first schema column the next title may name
  std::string rest = trim(line);
  for (std::size_t pos = 0; pos <= rest.size();) {
    std::size_t bar = rest.find(zyg::kLogSeparator, pos);
    std::string title = trim(rest.substr(pos, bar == std::string::npos ? bar : bar - pos));
    while (next < zyg::COL_COUNT && title != zyg::kLogColumns[next].title) ++next;
    if (next == zyg::COL_COUNT) return false;
    named.col[named.count++] = static_cast<zyg::log_column>(next++);
    if (bar == std::string::npos) break;
    pos = bar + zyg::kLogSeparatorLen;
  }
  constexpr int kTail = zyg::COL_COUNT - zyg::COL_MESSAGE;
  if (named.count < kTail) return false;
  for (int i = 0; i < kTail; ++i)
    if (named.col[named.count - kTail + i] != zyg::COL_MESSAGE + i) return false;
  layout = named;
  return true;
}

bool parse_record_line(const std::string& line, Record& out, std::string& why,
                       const ColumnLayout& layout) {
  // The short columns before the message, each followed by the separator.
  constexpr std::size_t kSepLen = zyg::kLogSeparatorLen;
  const int short_columns = layout.count - (zyg::COL_COUNT - zyg::COL_MESSAGE);
  std::string numeric[zyg::COL_COUNT];  // the texts of the columns kept as numbers
  std::size_t pos = 0;
  for (int i = 0; i < short_columns; ++i) {
    std::size_t bar = line.find(zyg::kLogSeparator, pos);
    if (bar == std::string::npos) {
      why = "not a record line (too few columns)";
      return false;
    }
    std::string* slot = out.text_slot(layout.col[i]);
    (slot ? *slot : numeric[layout.col[i]]) = trim(line.substr(pos, bar - pos));
    pos = bar + kSepLen;
  }
  if (!read_numbers(out, numeric, why)) return false;
  // A column this reader keeps no field of its own for (one newer than it)
  // is held to its kind, so that a view may read a number there.
  for (const auto& [col, text] : out.other_cols)
    if (!column_text_fits(col, text)) {
      why = std::string("bad ") + zyg::kLogColumns[col].title + " column";
      return false;
    }
  if (!split_text_columns(line.substr(pos), out, why)) return false;
  if (out.msg().empty()) {
    why = "empty message";
    return false;
  }
  return true;
}

}  // namespace zr
