// The job built from its logs, step by step: the hosts and their launches,
// the settings, the ranks and their trees, each host's node table and the
// totals, then the warnings across ranks and hosts (model/job_warnings.h).
#include "model/job.h"

#include <algorithm>
#include <map>

#include "lists/number.h"
#include "model/counts.h"
#include "model/job_warnings.h"

namespace zr {

bool is_job_log(const Report& log) {
  return std::any_of(log.launches.begin(), log.launches.end(),
                     [](const Launch& l) { return l.has_banner && !l.banner.job.empty(); });
}

namespace {

// The host a launch ran on: the banner's; a launch that names none (a log
// written without --job) is taken for a host of its log's own, since
// nothing tells which of the others it may have shared.
std::size_t host_of(Job& job, const Launch& launch, const std::string& source) {
  const std::string name = launch.has_banner ? launch.banner.host : "";
  for (std::size_t h = 0; h < job.hosts.size(); ++h) {
    const JobHost& host = job.hosts[h];
    if (host.name == name && (!name.empty() || host.sources.front() == source)) return h;
  }
  job.hosts.push_back({});
  job.hosts.back().name = name;
  return job.hosts.size() - 1;
}

void gather_hosts(Job& job) {
  for (std::size_t l = 0; l < job.logs.size(); ++l) {
    const Report& log = job.logs[l];
    for (std::size_t i = 0; i < log.launches.size(); ++i) {
      JobHost& host = job.hosts[host_of(job, log.launches[i], log.source)];
      host.launches.push_back({l, i});
      if (std::find(host.sources.begin(), host.sources.end(), log.source) == host.sources.end())
        host.sources.push_back(log.source);
    }
  }
}

// "8, 4 on this host": the job's ranks; -1 when the banner does not say.
long ranks_in(const std::string& text) {
  long n;
  return to_long(trim(text.substr(0, text.find(','))), n) && n > 0 ? n : -1;
}

// One setting of every launch with a banner (of a job's launch only, for
// the job's own settings): the value all name, or "" with the
// disagreement noted.
using Getter = std::string (*)(const Launch&);
std::string agreed(Job& job, const char* setting, Getter get, bool jobs_only = false) {
  Disagreement d{setting, {}};
  for (const Report& log : job.logs)
    for (const Launch& launch : log.launches) {
      if (!launch.has_banner || (jobs_only && launch.banner.job.empty())) continue;
      const std::string v = get(launch);
      auto it = std::find_if(d.values.begin(), d.values.end(),
                             [&](const SettingValues& s) { return s.value == v; });
      if (it == d.values.end()) it = d.values.insert(d.values.end(), {v, {}});
      if (std::find(it->sources.begin(), it->sources.end(), log.source) == it->sources.end())
        it->sources.push_back(log.source);
    }
  if (d.values.size() == 1) return d.values.front().value;
  if (d.values.size() > 1) job.settings.disagreements.push_back(d);
  return "";
}

void agree_on_settings(Job& job) {
  JobSettings& s = job.settings;
  s.job = agreed(
      job, "Job", [](const Launch& l) { return l.banner.job; }, true);
  s.version = agreed(job, "Version", [](const Launch& l) { return l.banner.version; });
  s.proc_policy =
      agreed(job, "Process policy", [](const Launch& l) { return l.banner.proc_policy; });
  s.thrd_policy =
      agreed(job, "Thread policy", [](const Launch& l) { return l.banner.thrd_policy; });
  s.cpu_launch = agreed(job, "CPU launch", [](const Launch& l) {
    return std::string(l.banner.cpu_launch ? "Yes" : "No");
  });
  const std::string ranks = agreed(
      job, "Ranks",
      [](const Launch& l) {
        const long n = ranks_in(l.banner.ranks);
        return n < 0 ? std::string("-") : std::to_string(n);
      },
      true);
  s.ranks = ranks_in(ranks);
}

// The processes of a rank's tree: its command and every process below it
// but another rank's command and what is below that.
std::vector<int> rank_tree(const Launch& launch, int command) {
  std::vector<int> tree, todo{command};
  while (!todo.empty()) {
    const int id = todo.back();
    todo.pop_back();
    tree.push_back(id);
    for (int c : launch.procs[id].children)
      if (launch.procs[c].job_rank.rank < 0) todo.push_back(c);
  }
  return tree;
}

void count_tree(const Launch& launch, JobRank& rank) {
  for (int id : rank_tree(launch, rank.proc)) {
    ++rank.processes;
    rank.threads += static_cast<int>(launch.procs[id].threads.size());
  }
}

void gather_ranks(Job& job) {
  for (std::size_t h = 0; h < job.hosts.size(); ++h)
    for (const LaunchRef& at : job.hosts[h].launches) {
      const Launch& launch = job.launch(at);
      for (const Process& p : launch.procs) {
        if (p.job_rank.rank < 0) continue;
        JobRank r{p.job_rank, h, at, p.id, p.pid, p.node, p.cpu, 0, 0};
        count_tree(launch, r);
        job.ranks.push_back(r);
      }
    }
  std::stable_sort(job.ranks.begin(), job.ranks.end(),
                   [](const JobRank& a, const JobRank& b) { return a.of.rank < b.of.rank; });
  job.by_launch.resize(job.logs.size());
  for (std::size_t l = 0; l < job.logs.size(); ++l) {
    job.by_launch[l].resize(job.logs[l].launches.size());
    for (std::size_t k = 0; k < job.logs[l].launches.size(); ++k)
      job.by_launch[l][k].owner.assign(job.logs[l].launches[k].procs.size(), -1);
  }
  for (std::size_t i = 0; i < job.ranks.size(); ++i) {
    const JobRank& r = job.ranks[i];
    job.hosts[r.host].ranks.push_back(i);
    LaunchRanks& of = job.by_launch[r.at.log][r.at.launch];
    of.ranks.push_back(i);
    for (int id : rank_tree(job.launch(r.at), r.proc)) of.owner[id] = static_cast<int>(i);
  }
}

HostNode& node_row(JobHost& host, const std::string& node) {
  for (HostNode& row : host.nodes)
    if (row.node == node) return row;
  host.nodes.push_back({node});
  return host.nodes.back();
}

// A host's nodes: the rows of every launch of the host added up.
void count_host(const Job& job, JobHost& host) {
  for (const LaunchRef& at : host.launches)
    for (const NodeRow& row : job.launch(at).nodes) {
      HostNode& sum = node_row(host, row.node);
      sum.launch_node = sum.launch_node || row.launch_node;
      sum.processes += row.processes;
      sum.threads += row.threads;
      host.processes += row.processes;
      host.threads += row.threads;
    }
  for (std::size_t r : host.ranks) ++node_row(host, job.ranks[r].node).ranks;
  std::stable_sort(host.nodes.begin(), host.nodes.end(), [](const HostNode& a, const HostNode& b) {
    const bool sa = single_node(a.node), sb = single_node(b.node);
    if (sa != sb) return sa;
    return sa ? std::stoi(a.node) < std::stoi(b.node) : a.node < b.node;
  });
}

}  // namespace

std::string host_label(const JobHost& host) {
  return host.name.empty() ? "unknown host (" + host.sources.front() + ")" : host.name;
}

Job build_job(std::vector<Report> logs) {
  Job job;
  job.logs = std::move(logs);
  gather_hosts(job);
  agree_on_settings(job);
  gather_ranks(job);
  for (JobHost& host : job.hosts) {
    count_host(job, host);
    job.processes += host.processes;
    job.threads += host.threads;
  }
  warn_about_job_ids(job);
  warn_about_rank_numbers(job);
  warn_about_uneven_hosts(job);
  warn_about_cpus_shared_by_ranks(job);
  return job;
}

}  // namespace zr
