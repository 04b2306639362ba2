#include "logparse.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

#include "shared/log_schema.h"

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
  static const char* const kFixed[] = {
      "Warning: format/content of this file may change between revisions",
      "Do not write programs that depend on format or content across revisions",
      "Possibly 4 records per process",
      "    1) process/thread creation,",
      "    2) if an exec function is called",
      "    3) process/pthread termination (clone thread termination not logged)",
      "    4) the initial thread - only if it creates threads",
  };
  for (const char* f : kFixed)
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

// "Key name | value" lines of the banner -> field index, or -1.
int banner_key(const std::string& key) {
  static const std::map<std::string, int> kKeys = {
      {"Launch  Version", 0},
      {"Process launch policy", 1},
      {"Thread  launch policy", 2},
      {"CPU     launch policy", 3},
      {"Initial launch nodes", 4},
      {"Log file", 5},
      {"Error file", 6},
      {"Initial PID", 7},
      {"Configured node count", 8},
      {"Available node count", 9},
  };
  auto it = kKeys.find(trim(key));
  return it == kKeys.end() ? -1 : it->second;
}

bool apply_banner_field(Banner& b, int key, const std::string& value) {
  switch (key) {
    case 0:
      b.version = value;
      return !value.empty();
    case 1:
      b.proc_policy = value;
      return true;
    case 2:
      b.thrd_policy = value;
      return true;
    case 3:
      if (value != "Yes" && value != "No") return false;
      b.cpu_launch = value == "Yes";
      return true;
    case 4:
      b.launch_nodes = value;
      return true;
    case 5:
      b.log_file = value;
      return true;
    case 6:
      b.error_file = value;
      return true;
    case 7: {
      long v;
      if (!to_long(value, v)) return false;
      b.initial_pid = v;
      return true;
    }
    case 8:
      return to_int(value, b.config_node_cnt);
    case 9:
      return to_int(value, b.avail_node_cnt);
  }
  return false;
}

}  // namespace

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
  out.msg = rtrim(rest.substr(0, msg_end));
  out.comm = rtrim(rest.substr(msg_end + kSepLen, comm_end - msg_end - kSepLen));
  out.cmdline = rtrim(rest.substr(comm_end + kSepLen));
  return true;
}

}  // namespace

bool parse_record_line(const std::string& line, Record& out, std::string& why) {
  // The short columns before the message, each followed by the separator.
  constexpr std::size_t kSepLen = zyg::kLogSeparatorLen;
  std::string col[zyg::kLogShortColumns];
  std::size_t pos = 0;
  for (int i = 0; i < zyg::kLogShortColumns; ++i) {
    std::size_t bar = line.find(zyg::kLogSeparator, pos);
    if (bar == std::string::npos) {
      why = "not a record line (too few columns)";
      return false;
    }
    col[i] = line.substr(pos, bar - pos);
    pos = bar + kSepLen;
  }
  // Timestamp: seconds '.' six digits of microseconds.
  std::string ts = trim(col[zyg::COL_TIMESTAMP]);
  std::size_t dot = ts.find('.');
  if (dot == std::string::npos || ts.size() - dot - 1 != zyg::kLogMicroDigits ||
      !to_long(ts.substr(0, dot), out.sec) || !to_long(ts.substr(dot + 1), out.usec) ||
      out.sec < 0 || out.usec < 0) {
    why = "bad timestamp";
    return false;
  }
  if (!to_long(col[zyg::COL_ENTRY], out.entry) || out.entry < 0) {
    why = "bad entry number";
    return false;
  }
  if (!to_long(col[zyg::COL_TID], out.tid) || !to_long(col[zyg::COL_PID], out.pid) ||
      !to_long(col[zyg::COL_PPID], out.ppid) || out.tid <= 0 || out.pid <= 0 || out.ppid < 0) {
    why = "bad TID/PID/PPID";
    return false;
  }
  out.node_text = trim(col[zyg::COL_NODE]);
  if (!parse_node_column(out.node_text, out.nodes)) {
    why = "bad node column";
    return false;
  }
  if (!to_int(col[zyg::COL_CPU], out.cpu) || out.cpu < -1) {
    why = "bad CPU column";
    return false;
  }
  if (!split_text_columns(line.substr(pos), out, why)) return false;
  if (out.msg.empty()) {
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
    int key = banner_key(line.substr(0, bar));
    if (key < 0) return false;
    if (key == 0 && (cur.has_banner || !cur.records.empty())) flush();
    if (key == 0) {
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
    if (blank || is_banner_text(line) || is_column_header(line)) return;
    Record r;
    std::string why;
    if (parse_record_line(line, r, why)) {
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
