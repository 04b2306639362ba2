// Launches built from log text the way the report tool builds them, for the
// tests of the model and of the views.
#pragma once

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "logtext.h"
#include "model/job.h"
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

// The banner of a job's launch on a host (zyg-nox --job): the Job, Host
// and Ranks lines after the settings every banner has.
inline std::string job_banner(const std::string& job, const std::string& host,
                              const std::string& ranks, const char* cpu = "No",
                              const char* nodes = "0-1", int pid = 100, int node_cnt = 2) {
  std::string text = banner("rr_tree", "rr_tree", cpu, nodes, pid, node_cnt, node_cnt);
  const std::string last = zyg::kBannerKeys[zyg::BAN_AVAIL_NODES];
  std::size_t at = text.find('\n', text.find(last)) + 1;
  const std::pair<int, std::string> lines[] = {
      {zyg::BAN_JOB, job}, {zyg::BAN_HOST, host}, {zyg::BAN_RANKS, ranks}};
  for (const auto& [field, value] : lines) {
    const std::string key = zyg::kBannerKeys[field];
    const std::string line =
        key + std::string(zyg::kBannerKeyWidth - key.size(), ' ') + " | " + value + "\n";
    text.insert(at, line);
    at += line.size();
  }
  return text;
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

// A host's log of a job's launch written record by record: each record
// at its time, the entry numbers in time order.
class HostLog {
 public:
  explicit HostLog(std::string head) : head_(std::move(head)) {}

  // A process the starter started, from t to end.
  void root(long pid, const char* node, const char* cpu, long t, long end) {
    place_[pid] = {node, cpu};
    add(t, pid, pid, 1, "child exec start");
    add(end, pid, pid, 1, "exit()");
  }
  // A rank's command, its rank record ("Job rank 0 of 4 (local 0)") right
  // after its start.
  void rank(long pid, const std::string& rank_text, const char* node, const char* cpu, long t,
            long end) {
    root(pid, node, cpu, t, end);
    add(t + 1, pid, pid, 1, rank_text);
  }
  void child(long parent, long pid, const char* node, const char* cpu, long t, long end) {
    place_[pid] = {node, cpu};
    add(t, parent, parent, 1, "Created PID " + std::to_string(pid));
    add(t, pid, pid, parent, "child start in fork()");
    add(end, pid, pid, parent, "exit()");
  }
  // A record of pid's main thread at t, somewhere else from then on.
  void moved(long pid, const char* node, const char* cpu, long t, const std::string& msg) {
    place_[pid] = {node, cpu};
    add(t, pid, pid, 1, msg);
  }
  void thread(long pid, long tid, const char* node, const char* cpu, long t, long end) {
    recs_.push_back({t, tid, pid, 1, node, cpu, "child start in pthread_create() by user"});
    recs_.push_back({end, tid, pid, 1, node, cpu, "implicit user's pthread_create() exit"});
  }
  std::string text() const {
    auto sorted = recs_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Rec& a, const Rec& b) { return a.t < b.t; });
    std::string out = head_ + header();
    int entry = 0;
    for (const Rec& r : sorted)
      out += rec(r.t, ++entry, r.tid, static_cast<int>(r.pid), static_cast<int>(r.ppid),
                 r.node.c_str(), r.cpu.c_str(), r.msg);
    return out;
  }

 private:
  struct Rec {
    long t, tid, pid, ppid;
    std::string node, cpu, msg;
  };
  void add(long t, long tid, long pid, long ppid, const std::string& msg) {
    const auto& [node, cpu] = place_.at(pid);
    recs_.push_back({t, tid, pid, ppid, node, cpu, msg});
  }
  std::string head_;
  std::map<long, std::pair<std::string, std::string>> place_;
  std::vector<Rec> recs_;
};

// The logs parsed (they outlive the job) and the job they make up.
struct BuiltJob {
  std::vector<ParsedLog> logs;
  Job job;
};

// Logs given as (name, text), in order.
inline void build(const std::vector<std::pair<std::string, std::string>>& logs, BuiltJob& b) {
  b.logs.resize(logs.size());
  std::vector<Report> reps;
  for (std::size_t i = 0; i < logs.size(); ++i) {
    std::istringstream in(logs[i].second);
    b.logs[i] = parse_log(in);
    reps.push_back(build_report(logs[i].first, b.logs[i]));
  }
  b.job = build_job(std::move(reps));
}

}  // namespace zr_test
