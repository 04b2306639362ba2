#include "model/events.h"

#include <cstdlib>
#include <string_view>
#include <unordered_map>

namespace zr {

namespace {

// What a fixed event text of the library tells (the schema's kind), or
// nothing for any other text.
bool is_kind(const std::string& m, zyg::record_kind kind) {
  static const std::unordered_map<std::string_view, zyg::record_kind> kKinds = [] {
    std::unordered_map<std::string_view, zyg::record_kind> k;
    for (const auto& d : zyg::kLogMessages) k.emplace(d.text, d.kind);
    return k;
  }();
  auto it = kKinds.find(m);
  return it != kKinds.end() && it->second == kind;
}

}  // namespace

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

const char* text_of(zyg::log_message m) { return zyg::log_text(m); }

bool is_process_start(const std::string& m) { return is_kind(m, zyg::RECORD_PROCESS_START); }
bool is_thread_start(const std::string& m) { return is_kind(m, zyg::RECORD_THREAD_START); }
bool is_main_thread(const std::string& m) { return is_kind(m, zyg::RECORD_MAIN_THREAD); }
bool is_thread_end(const std::string& m) { return is_kind(m, zyg::RECORD_THREAD_END); }
bool is_process_end(const std::string& m) { return is_kind(m, zyg::RECORD_PROCESS_END); }

bool is_start_call(const std::string& m) {
  for (const char* c : zyg::kRecStartCalls)
    if (starts_with(m, c) && m.size() > std::char_traits<char>::length(c) &&
        m[std::char_traits<char>::length(c)] == '(')
      return true;
  return false;
}

bool parse_exec(const std::string& m, ExecStep& e) {
  // A program that cannot take the library, or one that starts a launch of
  // its own: either way the process leaves this launch's tree.
  static const char* const kPrefixes[] = {zyg::kRecThirtyTwoRefused, zyg::kRecSetidRefused,
                                          zyg::kRecNewLaunch};
  std::string rest = m;
  for (const char* p : kPrefixes)
    if (starts_with(rest, p)) {
      // The refusal without its ": ".
      e.refused = std::string(p, std::char_traits<char>::length(p) - 2);
      rest = rest.substr(std::char_traits<char>::length(p));
    }
  const auto& calls = zyg::kRecExecCalls;
  std::size_t paren = rest.find('(');
  if (paren == std::string::npos || rest.back() != ')') return false;
  std::string call = rest.substr(0, paren);
  for (const char* c : calls)
    if (call == c) {
      e.call = call;
      e.file = rest.substr(paren + 1, rest.size() - paren - 2);
      return true;
    }
  return false;
}

bool written_for_a_spawn(const std::string& m) {
  if (starts_with(m, zyg::kRecSpawnedPid)) return true;
  std::size_t at = 0;
  for (const char* p : {zyg::kRecThirtyTwoRefused, zyg::kRecSetidRefused})
    if (m.compare(at, std::char_traits<char>::length(p), p) == 0)
      at += std::char_traits<char>::length(p);
  return m.compare(at, std::char_traits<char>::length(zyg::kRecPosixSpawn), zyg::kRecPosixSpawn) ==
         0;
}

bool parse_count(const std::string& m, const char* prefix, long& v) {
  if (!starts_with(m, prefix)) return false;
  const char* s = m.c_str() + std::char_traits<char>::length(prefix);
  char* end = nullptr;
  v = std::strtol(s, &end, 10);
  return end != s && *end == '\0';
}

namespace {

// Digits at `at` into v, `at` past them; false when there are none.
bool take_number(const std::string& m, std::size_t& at, long& v) {
  const std::size_t from = at;
  v = 0;
  while (at < m.size() && m[at] >= '0' && m[at] <= '9' && at - from < 12)
    v = v * 10 + (m[at++] - '0');
  return at > from;
}

// The text p at `at`, `at` past it; false when it is not there.
bool take_text(const std::string& m, std::size_t& at, const char* p) {
  if (m.compare(at, std::char_traits<char>::length(p), p) != 0) return false;
  at += std::char_traits<char>::length(p);
  return true;
}

}  // namespace

bool parse_job_rank(const std::string& m, RankOf& out) {
  std::size_t at = 0;
  RankOf r;
  if (!take_text(m, at, zyg::kRecJobRank) || !take_number(m, at, r.rank)) return false;
  if (take_text(m, at, " of ") && !take_number(m, at, r.size)) return false;
  if (take_text(m, at, " (local ") && !(take_number(m, at, r.local) && take_text(m, at, ")")))
    return false;
  if (at != m.size()) return false;
  out = r;
  return true;
}

}  // namespace zr
