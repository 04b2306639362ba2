#include "logparse.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

#include "shared/log_schema.h"
#include "shared/memory_tiers.h"

namespace zr {

namespace {

// Longer lines are not records (a record is at most 1023 bytes) and are not
// kept whole, so that a multi-gigabyte binary file cannot exhaust memory.
constexpr std::size_t kMaxLine = 64 * 1024;
// Bytes without a line end after which reading stops: no writer of the log
// produces such a run, and a device or pipe that never sends a newline
// (/dev/zero) would otherwise be read for ever.
constexpr std::size_t kMaxRunOn = 16 * kMaxLine;
constexpr std::size_t kMaxBadLinesKept = 50;

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string rtrim(const std::string& s) {
  std::size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return s.substr(0, e);
}

// A whole decimal integer (optionally signed), nothing else.
bool to_long(const std::string& text, long& out) {
  std::string t = trim(text);
  if (t.empty() || t.size() > 20) return false;
  std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return false;
  for (std::size_t k = i; k < t.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(t[k]))) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool to_int(const std::string& text, int& out) {
  long v;
  if (!to_long(text, v) || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// The fixed lines of the banner that carry no value.
bool is_banner_text(const std::string& line) {
  for (const char* f : zyg::kBannerHead)
    if (line == f) return true;
  for (const char* f : zyg::kBannerTail)
    if (line == f) return true;
  return false;
}

bool is_column_header(const std::string& line) {
  static const std::string kStart = std::string(zyg::kLogColumns[zyg::COL_TIMESTAMP].title) +
                                    zyg::kLogSeparator + zyg::kLogColumns[zyg::COL_ENTRY].title +
                                    " |";
  // Without a copy of the line: this is asked of every line of the log.
  const std::size_t b = line.find_first_not_of(" \t");
  return b != std::string::npos && line.compare(b, kStart.size(), kStart) == 0;
}

// "Key name | value" lines of the banner -> the setting, BAN_COUNT for none.
zyg::banner_field banner_key(const std::string& key) {
  const std::string k = trim(key);
  for (int f = 0; f < zyg::BAN_COUNT; ++f)
    if (k == zyg::kBannerKeys[f]) return static_cast<zyg::banner_field>(f);
  return zyg::BAN_COUNT;
}

// "nearest-memonly 0:2 1:3": a known mode, then node:memory-node pairs.
bool parse_memory_setting(Banner& b, const std::string& value) {
  std::size_t at = value.find(' ');
  std::string mode = value.substr(0, at);
  const int known = zyg::memory_mode_named(mode.c_str());
  if (known <= 0) return false;
  std::map<int, int> nodes;
  while (at != std::string::npos) {
    const std::size_t next = value.find(' ', at + 1);
    const std::string pair = value.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    const std::size_t colon = pair.find(':');
    int node, mem;
    if (colon == std::string::npos || !to_int(pair.substr(0, colon), node) ||
        !to_int(pair.substr(colon + 1), mem) || node < 0 || mem < -1)
      return false;
    nodes[node] = mem;
    at = next;
  }
  b.memory_mode = mode;
  b.memory_nodes = std::move(nodes);
  return true;
}

bool apply_banner_field(Banner& b, zyg::banner_field key, const std::string& value) {
  switch (key) {
    case zyg::BAN_VERSION:
      b.version = value;
      return !value.empty();
    case zyg::BAN_PROC_POLICY:
      b.proc_policy = value;
      return true;
    case zyg::BAN_THRD_POLICY:
      b.thrd_policy = value;
      return true;
    case zyg::BAN_CPU_LAUNCH:
      if (value != zyg::kBannerCpuYes && value != zyg::kBannerCpuNo) return false;
      b.cpu_launch = value == zyg::kBannerCpuYes;
      return true;
    case zyg::BAN_LAUNCH_NODES:
      b.launch_nodes = value;
      return true;
    case zyg::BAN_LOG_FILE:
      b.log_file = value;
      return true;
    case zyg::BAN_ERROR_FILE:
      b.error_file = value;
      return true;
    case zyg::BAN_INITIAL_PID: {
      long v;
      if (!to_long(value, v)) return false;
      b.initial_pid = v;
      return true;
    }
    case zyg::BAN_CONFIG_NODES:
      return to_int(value, b.config_node_cnt);
    case zyg::BAN_AVAIL_NODES:
      return to_int(value, b.avail_node_cnt);
    case zyg::BAN_UNIT:
      b.unit = value;
      return !value.empty();
    case zyg::BAN_L3_DOMAINS:
      b.l3_domains = value;
      return true;
    case zyg::BAN_MEMORY:
      return parse_memory_setting(b, value);
    case zyg::BAN_COUNT:
      break;
  }
  return false;
}

}  // namespace

int memory_node_of(const Banner& b, const std::string& node) {
  int n;
  if (b.memory_nodes.empty() || !to_int(node, n)) return -1;
  auto it = b.memory_nodes.find(n);
  return it == b.memory_nodes.end() ? -1 : it->second;
}

long ParsedLog::record_count() const {
  long n = 0;
  for (const auto& s : sections) n += static_cast<long>(s.records.size());
  return n;
}

bool ParsedLog::looks_like_log() const {
  for (const auto& s : sections)
    if (s.has_banner || !s.records.empty()) return true;
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

bool expand_node_list(const std::string& text, int config_node_cnt, std::vector<int>& nodes) {
  nodes.clear();
  std::string t = trim(text);
  if (t.empty() || config_node_cnt <= 0 || config_node_cnt > 4096) return false;
  std::set<int> add, drop;
  bool any_positive = false;
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = t.find(',', pos);
    std::string item =
        trim(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    bool invert = false;
    if (!item.empty() && item[0] == '!') {
      invert = true;
      item = item.substr(1);
    }
    int lo, hi;
    if (item == "all") {
      lo = 0;
      hi = config_node_cnt - 1;
    } else {
      std::size_t dash = item.find('-');
      if (dash == std::string::npos) {
        if (!to_int(item, lo)) return false;
        hi = lo;
      } else if (!to_int(item.substr(0, dash), lo) || !to_int(item.substr(dash + 1), hi)) {
        return false;
      }
    }
    if (lo < 0 || hi < lo || hi >= config_node_cnt) return false;
    for (int n = lo; n <= hi; ++n) (invert ? drop : add).insert(n);
    any_positive = any_positive || !invert;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  if (!any_positive)
    for (int n = 0; n < config_node_cnt; ++n) add.insert(n);
  for (int n : add)
    if (!drop.count(n)) nodes.push_back(n);
  return !nodes.empty();
}

namespace {

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

// The numbers of a record's columns; false (with a reason) when one is not
// what the writer puts there.
bool read_numbers(Record& out, const std::string* text, std::string& why) {
  // Timestamp: seconds '.' six digits of microseconds.
  const std::string& ts = text[zyg::COL_TIMESTAMP];
  std::size_t dot = ts.find('.');
  if (dot == std::string::npos || ts.size() - dot - 1 != zyg::kLogMicroDigits ||
      !to_long(ts.substr(0, dot), out.sec) || !to_long(ts.substr(dot + 1), out.usec) ||
      out.sec < 0 || out.usec < 0) {
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
  if (!split_text_columns(line.substr(pos), out, why)) return false;
  if (out.msg().empty()) {
    why = "empty message";
    return false;
  }
  return true;
}

namespace {

// The state of one read of a log: the sections so far and the one being
// filled, and the line number.
struct LogReader {
  ParsedLog log;
  Section cur;
  bool cur_used = false;
  int lineno = 0;
  ColumnLayout layout;  // of the records after the latest column header

  void bad(int n, std::string why) {
    if (log.bad_lines.size() < kMaxBadLinesKept)
      log.bad_lines.push_back({n, std::move(why)});
    else if (log.bad_lines.size() == kMaxBadLinesKept)
      log.bad_lines.push_back({n, "(more bad lines not listed)"});
  }

  void flush() {
    if (cur_used) log.sections.push_back(std::move(cur));
    cur = Section{};
    cur_used = false;
  }

  // A banner setting, "Key | value" where the value may be empty; false when
  // the line is no banner line at all.
  bool banner_line(const std::string& line) {
    std::size_t bar = line.find(" |");
    if (bar == std::string::npos) return false;
    zyg::banner_field key = banner_key(line.substr(0, bar));
    if (key == zyg::BAN_COUNT) return false;
    if (key == zyg::BAN_VERSION && (cur.has_banner || !cur.records.empty())) flush();
    if (key == zyg::BAN_VERSION) {
      cur.has_banner = true;
      cur.banner.first_line = lineno;
      cur_used = true;
    }
    std::string value = bar + 3 <= line.size() ? line.substr(bar + 3) : std::string();
    if (cur.has_banner && apply_banner_field(cur.banner, key, value))
      ++cur.banner.fields_seen;
    else
      bad(lineno, "bad banner line");
    return true;
  }

  void handle(std::string& line, bool overlong, bool last_without_newline) {
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (overlong) {
      bad(lineno, "line too long to be a log line");
      return;
    }
    const bool blank = line.find_first_not_of(" \t") == std::string::npos;
    if (blank || is_banner_text(line)) return;
    if (is_column_header(line)) {
      if (!parse_column_header(line, layout)) layout = ColumnLayout();
      return;
    }
    Record r;
    std::string why;
    if (parse_record_line(line, r, why, layout)) {
      r.line = lineno;
      cur.records.push_back(std::move(r));
      cur_used = true;
      return;
    }
    if (banner_line(line)) return;
    if (last_without_newline) return;  // a record cut in the middle: counted as cut, not as bad
    bad(lineno, why);
  }
};

}  // namespace

ParsedLog parse_log(std::istream& in) {
  LogReader rd;
  std::string line;
  bool overlong = false;
  std::size_t run_on = 0;  // bytes since the last line end
  char buf[65536];
  while (in && !rd.log.reading_stopped) {
    in.read(buf, sizeof buf);
    std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; ++i) {
      char c = buf[i];
      if (c == '\n') {
        rd.handle(line, overlong, false);
        line.clear();
        overlong = false;
        run_on = 0;
      } else if (++run_on > kMaxRunOn) {
        rd.log.reading_stopped = true;
        break;
      } else if (!overlong) {
        if (line.size() >= kMaxLine) {
          overlong = true;
          line.clear();
        } else {
          line.push_back(c);
        }
      }
    }
  }
  if (rd.log.reading_stopped) {
    rd.bad(++rd.lineno,
           "no line end in " + std::to_string(kMaxRunOn >> 20) + " MiB: reading stopped here");
  } else if (!line.empty() || overlong) {
    rd.log.last_line_cut = true;
    rd.handle(line, overlong, true);
  }
  rd.log.total_lines = rd.lineno;
  rd.flush();
  // A member is not moved out on return by itself: without the move the
  // whole log would be copied.
  return std::move(rd.log);
}

}  // namespace zr
