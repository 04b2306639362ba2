// job.h - one job rebuilt from the logs of its hosts (zyg-nox --job writes
// one log per host): the settings the logs agree on and those they do not,
// each host's table of nodes, each rank's row and tree, the job's totals,
// and the warnings that only show across ranks and hosts. The launches
// themselves stay as each log gave them (model/report.h); the job points
// into them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "model/report.h"

namespace zr {

// One launch of the job: the index of its log and of the launch in it.
struct LaunchRef {
  std::size_t log = 0;
  std::size_t launch = 0;
};

// A setting the logs' banners do not agree on: each value with the logs
// that name it, in the order the logs were given.
struct SettingValues {
  std::string value;
  std::vector<std::string> sources;
};
struct Disagreement {
  std::string setting;  // as the settings show it: "Process policy"
  std::vector<SettingValues> values;
};

// The settings of the job's launches: a value is the one every banner
// names, or "" when they differ (then a Disagreement says how) or none has
// it.
struct JobSettings {
  std::string job;  // "openmpi prterun-x-123@1"; "" when no log names a job
  long ranks = -1;  // the job's ranks as the banners count them; -1 unknown
  std::string version, proc_policy, thrd_policy, cpu_launch;  // cpu_launch "Yes"/"No"
  std::vector<Disagreement> disagreements;
};

// A host's row for one node: the tasks that started there in any launch of
// the host, and the ranks whose command was placed there.
struct HostNode {
  std::string node;          // "1", or a list for tasks bound to none
  bool launch_node = false;  // a launch node of one of the host's launches
  int processes = 0;
  int threads = 0;
  int ranks = 0;
};

struct JobHost {
  // The host the banners name; "" when they name none (a log written
  // without --job), and the host is then that of its log alone.
  std::string name;
  std::vector<std::string> sources;  // the logs it came from
  std::vector<LaunchRef> launches;
  std::vector<HostNode> nodes;     // launch nodes first, by number; then lists
  std::vector<std::size_t> ranks;  // into Job::ranks, by rank
  int processes = 0;
  int threads = 0;
};

struct JobRank {
  RankOf of;
  std::size_t host = 0;  // into Job::hosts
  LaunchRef at;
  int proc = 0;  // the rank's command in that launch's processes
  long pid = 0;
  std::string node;  // where the process policy placed its command
  int cpu = -1;
  // Its tree: the command and every process below it, with their threads.
  int processes = 0;
  int threads = 0;
};

// The ranks of one launch: their indices into Job::ranks, by rank, and for
// each of the launch's processes the rank it belongs to (-1: none).
struct LaunchRanks {
  std::vector<std::size_t> ranks;
  std::vector<int> owner;
};

struct Job {
  std::vector<Report> logs;  // as given, each with its launches
  JobSettings settings;
  std::vector<JobHost> hosts;  // in the order the logs name them first
  std::vector<JobRank> ranks;  // by rank number
  int processes = 0;           // every launch's, all hosts together
  int threads = 0;
  std::vector<std::string> warnings;                // across ranks, hosts and logs
  std::vector<std::vector<LaunchRanks>> by_launch;  // by log, then launch
  const Launch& launch(LaunchRef r) const { return logs[r.log].launches[r.launch]; }
  const LaunchRanks& ranks_of(LaunchRef r) const { return by_launch[r.log][r.launch]; }
};

// The host as the report names it: "node7", or "unknown host (run.log)".
std::string host_label(const JobHost& host);

// Whether a log holds the launch of a job's ranks (a banner with a Job line).
bool is_job_log(const Report& log);

// The job the logs make up; their parsed logs must outlive it.
Job build_job(std::vector<Report> logs);

}  // namespace zr
