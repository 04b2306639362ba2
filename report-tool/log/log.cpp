#include "log/log.h"

#include <utility>

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
