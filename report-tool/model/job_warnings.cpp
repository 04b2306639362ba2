#include "model/job_warnings.h"

#include <algorithm>
#include <functional>
#include <map>
#include <queue>
#include <set>
#include <tuple>

namespace zr {

namespace {

void warn(Job& job, std::string w) { job.warnings.push_back(std::move(w)); }

// "0-2, 5, 7-9": the numbers of [0, size) that `seen` lacks, as ranges,
// and how many they are. Made from the gaps between the numbers seen: the
// size comes from a log and may be anything.
template <class Seen>
std::string missing_ranges(const Seen& seen, long size, long* count) {
  std::string s;
  *count = 0;
  auto gap = [&](long lo, long hi) {  // [lo, hi)
    if (lo >= hi) return;
    *count += hi - lo;
    if (!s.empty()) s += ", ";
    s += std::to_string(lo);
    if (hi - lo > 1) {
      s += '-';
      s += std::to_string(hi - 1);
    }
  };
  long next = 0;
  for (const auto& entry : seen) {
    if (entry.first >= size) break;
    if (entry.first < next) continue;
    gap(next, entry.first);
    next = entry.first + 1;
  }
  gap(next, size);
  return s;
}

std::string rank_text(const Job& job, const JobRank& r) {
  return "rank " + std::to_string(r.of.rank) + " (" + host_label(job.hosts[r.host]) + ", PID " +
         std::to_string(r.pid) + ")";
}

}  // namespace

void warn_about_job_ids(Job& job) {
  std::vector<std::string> named, unnamed;
  for (const Report& log : job.logs) (is_job_log(log) ? named : unnamed).push_back(log.source);
  if (named.empty()) return;
  for (const Disagreement& d : job.settings.disagreements) {
    if (d.setting != "Job") continue;
    std::string list;
    for (const SettingValues& v : d.values) {
      list += std::string(list.empty() ? "" : "; ") + "job " + v.value + " in";
      for (const std::string& s : v.sources) list += " " + s;
    }
    warn(job, "the logs are of different jobs and cannot make up one job's report: " + list);
  }
  for (const std::string& s : unnamed)
    warn(job, s + " names no job (a launch without --job): it is not a launch of the job's ranks");
}

void warn_about_rank_numbers(Job& job) {
  std::map<long, std::vector<std::size_t>> seen;
  for (std::size_t i = 0; i < job.ranks.size(); ++i) seen[job.ranks[i].of.rank].push_back(i);
  for (const auto& [rank, rows] : seen) {
    if (rows.size() < 2) continue;
    std::string list;
    for (std::size_t i : rows) {
      if (!list.empty()) list += ", ";
      list += rank_text(job, job.ranks[i]);
    }
    warn(job, "rank " + std::to_string(rank) + " appears " + std::to_string(rows.size()) +
                  " times, as " + list + ": logs of more than one run of the job?");
  }
  const long size = job.settings.ranks;
  if (size <= 0) return;
  long missing = 0;
  const std::string ranges = missing_ranges(seen, size, &missing);
  if (missing > 0)
    warn(job, std::to_string(missing) + " of the job's " + std::to_string(size) +
                  " ranks are in none of the logs given (a host's log left out, or ranks that "
                  "never started): rank " +
                  ranges);
}

void warn_about_uneven_hosts(Job& job) {
  for (const JobHost& host : job.hosts) {
    std::vector<const HostNode*> judged;
    for (const HostNode& row : host.nodes)
      if (row.launch_node) judged.push_back(&row);
    if (judged.size() < 2) continue;
    auto tasks = [](const HostNode* row) { return row->processes + row->threads; };
    const auto [lo, hi] = std::minmax_element(
        judged.begin(), judged.end(), [&](auto* a, auto* b) { return tasks(a) < tasks(b); });
    if (tasks(*hi) - tasks(*lo) <= 1) continue;
    std::string list;
    for (const HostNode* row : judged)
      list += (list.empty() ? "node " : ", node ") + row->node + ": " + std::to_string(tasks(row));
    warn(job, "host " + host_label(host) + " used its launch nodes unevenly (tasks started on " +
                  "each: " + list + "; the most and the least used differ by more than one)");
  }
}

namespace {

// When a task of a rank was on one CPU.
struct CpuSpan {
  double start, end;
  int rank;  // into Job::ranks
};

// A task's spans on its CPUs: from its start, split at each move, to its
// end (the launch's last record for one that never ended).
void add_spans(std::map<int, std::vector<CpuSpan>>& cpus, double start, double end, int cpu,
               const Moves& moves, int rank) {
  for (const Stay& s : moves.stays) {
    if (cpu >= 0) cpus[cpu].push_back({start, s.from, rank});
    start = s.from;
    cpu = s.cpu;
  }
  if (cpu >= 0) cpus[cpu].push_back({start, end, rank});
}

// Pairs of ranks (lower first) with spans open at the same time: a sweep
// in start order, ends at or before a start closed first.
std::set<std::pair<int, int>> ranks_together(std::vector<CpuSpan> spans) {
  std::sort(spans.begin(), spans.end(),
            [](const CpuSpan& a, const CpuSpan& b) { return a.start < b.start; });
  using Open = std::pair<double, int>;  // (end, rank)
  std::priority_queue<Open, std::vector<Open>, std::greater<Open>> open;
  std::map<int, int> open_of_rank;
  std::set<std::pair<int, int>> pairs;
  for (const CpuSpan& s : spans) {
    while (!open.empty() && open.top().first <= s.start) {
      if (--open_of_rank[open.top().second] == 0) open_of_rank.erase(open.top().second);
      open.pop();
    }
    for (const auto& [rank, n] : open_of_rank)
      if (rank != s.rank) pairs.insert({std::min(rank, s.rank), std::max(rank, s.rank)});
    open.push({s.end, s.rank});
    ++open_of_rank[s.rank];
  }
  return pairs;
}

// (cpu, rank, rank) for each CPU of the launch that two ranks' tasks held
// at once.
std::vector<std::tuple<int, int, int>> shared_in_launch(const Job& job, LaunchRef at) {
  const Launch& launch = job.launch(at);
  const std::vector<int>& owner = job.ranks_of(at).owner;
  std::map<int, std::vector<CpuSpan>> cpus;
  auto end_of = [&](double e) { return e < 0 ? launch.span : e; };
  for (const Process& p : launch.procs) {
    if (owner[p.id] < 0) continue;
    add_spans(cpus, p.start, end_of(p.end), p.cpu, p.moves, owner[p.id]);
    for (const Thread& th : p.threads)
      add_spans(cpus, th.start, end_of(th.end), th.cpu, th.moves, owner[p.id]);
  }
  std::vector<std::tuple<int, int, int>> found;
  for (auto& [cpu, spans] : cpus)
    for (const auto& [a, b] : ranks_together(std::move(spans))) found.push_back({cpu, a, b});
  return found;
}

}  // namespace

void warn_about_cpus_shared_by_ranks(Job& job) {
  constexpr std::size_t kShown = 10;
  for (const JobHost& host : job.hosts) {
    std::vector<std::tuple<int, int, int>> found;
    for (const LaunchRef& at : host.launches)
      if (job.launch(at).banner.cpu_launch) {
        auto more = shared_in_launch(job, at);
        found.insert(found.end(), more.begin(), more.end());
      }
    if (found.empty()) continue;
    std::string list;
    for (std::size_t i = 0; i < found.size() && i < kShown; ++i) {
      const auto& [cpu, a, b] = found[i];
      list += std::string(i ? "; " : "") + "cpu " + std::to_string(cpu) + ": ranks " +
              std::to_string(job.ranks[a].of.rank) + " and " + std::to_string(job.ranks[b].of.rank);
    }
    if (found.size() > kShown) list += "; ...";
    warn(job, "under CPU launch, tasks of two ranks were alive on the same CPU of host " +
                  host_label(host) + " at the same time: " + list);
  }
}

}  // namespace zr
