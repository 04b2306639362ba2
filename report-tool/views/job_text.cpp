// The job report as text: the job's settings and where the logs differ,
// each host's nodes with their totals and the job's, a row per rank, the
// process tree under each rank, then the warnings of the job and of each
// launch.
#include <cstdio>
#include <string>

#include "views/text.h"
#include "views/views.h"

namespace zr {

namespace {

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

// A setting the logs agree on, "(differs)" when they do not.
std::string setting(const Job& job, const char* name, const std::string& value) {
  for (const Disagreement& d : job.settings.disagreements)
    if (d.setting == name) return "(differs between the logs: see below)";
  return or_dash(value);
}

void write_job_settings(std::ostream& out, const Job& job) {
  const JobSettings& s = job.settings;
  out << "\nJob settings\n"
      << "  Job                " << setting(job, "Job", s.job) << "\n"
      << "  Ranks              "
      << setting(job, "Ranks", s.ranks < 0 ? "" : std::to_string(s.ranks)) << "  ("
      << job.ranks.size() << " found in the logs)\n"
      << "  Version            " << setting(job, "Version", s.version) << "\n"
      << "  Process policy     " << setting(job, "Process policy", s.proc_policy) << "\n"
      << "  Thread policy      " << setting(job, "Thread policy", s.thrd_policy) << "\n"
      << "  CPU launch         " << setting(job, "CPU launch", s.cpu_launch) << "\n";
  std::vector<std::string> sources;
  for (const Report& log : job.logs) sources.push_back(log.source);
  out << "  Logs               " << joined(sources, ", ") << "\n";
  if (s.disagreements.empty()) return;
  out << "  The logs differ in their settings:\n";
  for (const Disagreement& d : s.disagreements) {
    out << "    - " << d.setting << ":";
    for (std::size_t i = 0; i < d.values.size(); ++i)
      out << (i ? ";" : "") << " " << or_dash(d.values[i].value) << " in "
          << joined(d.values[i].sources, ", ");
    out << "\n";
  }
}

void table_row(std::ostream& out, const std::string& name, int processes, int threads, int ranks) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "    %-10s %10d %8d %6d\n", name.c_str(), processes, threads,
                ranks);
  out << buf;
}

void write_hosts(std::ostream& out, const Job& job) {
  out << "\nPer host and node  (the tasks that started on each node, the ranks placed there)\n";
  for (const JobHost& host : job.hosts) {
    // An unknown host is named after its log already.
    out << "  Host " << host_label(host) << "  ("
        << (host.name.empty() ? "" : joined(host.sources, ", ") + "; ") << host.launches.size()
        << (host.launches.size() == 1 ? " launch" : " launches") << ")\n";
    char buf[160];
    std::snprintf(buf, sizeof buf, "    %-10s %10s %8s %6s\n", "Node", "Processes", "Threads",
                  "Ranks");
    out << buf;
    for (const HostNode& row : host.nodes)
      table_row(out, row.node.empty() ? "(none)" : row.node, row.processes, row.threads, row.ranks);
    table_row(out, "host total", host.processes, host.threads, static_cast<int>(host.ranks.size()));
  }
  out << "  Job total";
  char buf[160];
  std::snprintf(buf, sizeof buf, "%14d %8d %6zu", job.processes, job.threads, job.ranks.size());
  out << buf << "  (" << job.hosts.size() << (job.hosts.size() == 1 ? " host)\n" : " hosts)\n");
}

void write_ranks(std::ostream& out, const Job& job) {
  out << "\nPer rank\n";
  if (job.ranks.empty()) {
    out << "  (no rank records: no log is of a launch under --job)\n";
    return;
  }
  std::size_t width = 4;
  for (const JobHost& host : job.hosts) width = std::max(width, host_label(host).size());
  const int w = static_cast<int>(width);
  char buf[320];
  std::snprintf(buf, sizeof buf, "  %6s  %-*s %8s  %-16s %9s %8s\n", "Rank", w, "Host", "PID",
                "Placed on", "Processes", "Threads");
  out << buf;
  for (const JobRank& r : job.ranks) {
    std::snprintf(buf, sizeof buf, "  %6ld  %-*s %8ld  %-16s %9d %8d\n", r.of.rank, w,
                  host_label(job.hosts[r.host]).c_str(), r.pid, place_text(r.node, r.cpu).c_str(),
                  r.processes, r.threads);
    out << buf;
  }
}

// Each rank's tree, then the trees under no rank, host by host.
void write_trees(std::ostream& out, const Job& job, const TextOptions& opt) {
  out << "\nProcess tree per rank  " << kTreeLegend << "\n";
  for (const JobRank& r : job.ranks) {
    out << "\nRank " << r.of.rank << " on " << host_label(job.hosts[r.host]);
    if (r.of.local >= 0) out << " (local rank " << r.of.local << ")";
    out << "\n";
    write_process_tree(out, job.launch(r.at), r.proc, opt);
  }
  for (const JobHost& host : job.hosts)
    for (const LaunchRef& at : host.launches) {
      const Launch& launch = job.launch(at);
      const std::vector<int>& owner = job.ranks_of(at).owner;
      bool first = true;
      for (int root : launch.roots) {
        if (owner[root] >= 0) continue;
        if (first)
          out << "\nProcesses of no rank on " << host_label(host) << " (" << job.logs[at.log].source
              << ", from line " << launch.first_line << ")\n";
        first = false;
        write_process_tree(out, launch, root, opt);
      }
    }
}

void write_warnings(std::ostream& out, const Job& job) {
  out << "\nWarnings\n";
  bool any = !job.warnings.empty();
  for (const std::string& w : job.warnings) out << "  - " << w << "\n";
  for (const JobHost& host : job.hosts)
    for (const LaunchRef& at : host.launches) {
      const Launch& launch = job.launch(at);
      if (launch.warnings.empty()) continue;
      any = true;
      out << "  Host " << host_label(host) << ", the launch in " << job.logs[at.log].source
          << " from line " << launch.first_line << ":\n";
      for (const std::string& w : launch.warnings) out << "    - " << w << "\n";
    }
  if (!any) out << "  none\n";
}

void write_input_problems(std::ostream& out, const Job& job) {
  for (const Report& log : job.logs) {
    const Input& in = log.input;
    if (in.bad_lines.empty() && !in.last_line_cut) continue;
    out << "\nInput problems in " << log.source << "\n";
    if (in.last_line_cut)
      out << "  - the last line is cut short (the log was still being written, or was truncated)\n";
    for (const auto& b : in.bad_lines) out << "  - line " << b.line << ": " << b.why << "\n";
  }
}

}  // namespace

void write_text(std::ostream& out, const Job& job, const TextOptions& opt) {
  std::vector<std::string> sources;
  for (const Report& log : job.logs) sources.push_back(log.source);
  out << "zyg-nox job report: " << joined(sources, " ") << "\n";
  write_job_settings(out, job);
  write_hosts(out, job);
  write_ranks(out, job);
  if (!opt.summary) write_trees(out, job, opt);
  write_warnings(out, job);
  write_input_problems(out, job);
}

}  // namespace zr
