// Launches built from log text the way the report tool builds them, for the
// tests of the model and of the views.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "logtext.h"
#include "model/report.h"

namespace zr_test {

using namespace zr;
using zyg_test::banner;
using zyg_test::header;
using zyg_test::rec;

inline Launch build(const std::string& text, ParsedLog* keep = nullptr) {
  std::istringstream in(text);
  ParsedLog log = parse_log(in);
  EXPECT_EQ(log.sections.size(), 1u);
  Launch L = build_launch(log.sections.at(0));
  if (keep) *keep = std::move(log);
  return L;
}

// The banner of `text` with one more setting, as a launch under L3 units,
// a memory mode or CPU launch writes it ("L3 domains", "0-1@0 2-3@1").
inline std::string with_setting(std::string text, zyg::banner_field key, const std::string& value) {
  const std::string name = zyg::kBannerKeys[key];
  const std::size_t at = text.find("\n\nPossibly");
  return text.insert(at, "\n" + name + std::string(zyg::kBannerKeyWidth - name.size(), ' ') +
                             " | " + value);
}

// Under L3 units: the unit and the domains.
inline std::string with_l3(const std::string& text, const std::string& domains) {
  return with_setting(with_setting(text, zyg::BAN_UNIT, "l3"), zyg::BAN_L3_DOMAINS, domains);
}

inline const Process* find(const Launch& L, long pid) {
  for (const auto& p : L.procs)
    if (p.pid == pid) return &p;
  return nullptr;
}

inline bool has_warning(const Launch& L, const std::string& part) {
  return std::any_of(L.warnings.begin(), L.warnings.end(),
                     [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

inline std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) ++n;
  return n;
}

// A small rr_tree launch on four nodes: the first process (100) forks 101
// and 102; 101 execs ls; 102 creates a thread and forks 103, which forks 104.
// The child's start of 101 is written before its parent's "Created PID".
inline std::string small_tree() {
  return banner("rr_tree", "rr_flat", "No", "0-3", 100) + header() +
         rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh", "sh -c x ") +
         rec(20, 2, 101, 101, 100, "1", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(21, 3, 100, 100, 1, "0", "-1", "Created PID 101", "sh", "sh -c x ") +
         rec(30, 4, 101, 101, 100, "1", "-1", "execve(/bin/ls)", "sh", "sh -c x ") +
         rec(40, 5, 101, 101, 100, "1", "-1", "child exec start", "ls", "ls -l ") +
         rec(50, 6, 100, 100, 1, "0", "-1", "Created PID 102", "sh", "sh -c x ") +
         rec(60, 7, 102, 102, 100, "2", "-1", "child start in vfork()", "sh", "sh -c x ") +
         rec(70, 8, 102, 102, 100, "2", "-1", "user's pthread_create() main thrd", "sh",
             "sh -c x ") +
         rec(71, 9, 102, 102, 100, "2", "-1", "Created TID 139699604842176", "sh", "sh -c x ") +
         rec(80, 10, 105, 102, 100, "3", "-1", "child start in pthread_create() by user", "sh",
             "sh -c x ") +
         rec(90, 11, 102, 102, 100, "2", "-1", "Created PID 103", "sh", "sh -c x ") +
         rec(95, 12, 103, 103, 102, "3", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(96, 13, 103, 103, 102, "3", "-1", "Created PID 104", "sh", "sh -c x ") +
         rec(97, 14, 104, 104, 103, "0", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(200, 15, 105, 102, 100, "3", "-1", "implicit user's pthread_create() exit", "sh",
             "sh -c x ") +
         rec(300, 16, 101, 101, 100, "1", "-1", "implicit exit()", "ls", "ls -l ") +
         rec(310, 17, 104, 104, 103, "0", "-1", "exit()", "sh", "sh -c x ") +
         rec(320, 18, 103, 103, 102, "3", "-1", "_exit()", "sh", "sh -c x ") +
         rec(400, 19, 102, 102, 100, "2", "-1", "exit()", "sh", "sh -c x ") +
         rec(500, 20, 100, 100, 1, "0", "-1", "exit()", "sh", "sh -c x ");
}

// A process placed on node 1 runs numactl, which binds itself to node 3
// and execs a shell: the records from the exec on show node 3.
inline std::string numactl_in_the_tree() {
  return banner("rr_tree", "none", "No", "0-3", 100) + header() +
         rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh") +
         rec(20, 2, 100, 100, 1, "0", "-1", "Created PID 101", "sh") +
         rec(30, 3, 101, 101, 100, "1", "-1", "child start in fork()", "sh") +
         rec(40, 4, 101, 101, 100, "1", "-1", "execvp(numactl)", "sh") +
         rec(50, 5, 101, 101, 100, "1", "-1", "child exec start", "numactl",
             "numactl -N 3 -- sh ") +
         rec(60, 6, 101, 101, 100, "3", "-1", "execvp(sh)", "numactl", "numactl -N 3 -- sh ") +
         rec(70, 7, 101, 101, 100, "3", "-1", "child exec start", "sh", "sh -c work ") +
         rec(80, 8, 101, 101, 100, "3", "-1", "exit()", "sh", "sh -c work ") +
         rec(90, 9, 100, 100, 1, "0", "-1", "exit()", "sh");
}

// A log parsed and its report, as the program makes them; the log must
// outlive the report.
struct Built {
  ParsedLog log;
  Report rep;
};

inline void build(const std::string& text, Built& b) {
  std::istringstream in(text);
  b.log = parse_log(in);
  b.rep = build_report("run.log", b.log);
}

}  // namespace zr_test
