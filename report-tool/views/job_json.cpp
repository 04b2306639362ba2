// The job report as JSON, for scripts. Its shape is
// report-tool/schema/job-v1.json: the logs as the report of each would
// give them (its launches as report-v1.json's), and the hosts and ranks
// pointing into them by index. Written by the streaming writer of
// views/json.h, members in the order of their names.
#include "views/json.h"
#include "views/views.h"

namespace zr {

namespace {

using json::JsonOut;

void opt_number(JsonOut& j, long n) { n < 0 ? j.null() : j.value(n); }

void settings_json(JsonOut& j, const JobSettings& s) {
  j.begin_object();
  j.key("cpu_launch");
  s.cpu_launch.empty() ? j.null() : j.value(s.cpu_launch == "Yes");
  j.key("differences").begin_array();
  for (const Disagreement& d : s.disagreements) {
    j.begin_object();
    j.key("setting").value(d.setting);
    j.key("values").begin_array();
    for (const SettingValues& v : d.values) {
      j.begin_object();
      j.key("logs").array(v.sources);
      j.key("value").value(v.value);
      j.end_object();
    }
    j.end_array();
    j.end_object();
  }
  j.end_array();
  j.key("job");
  json::opt_text(j, s.job);
  j.key("process_policy");
  json::opt_text(j, s.proc_policy);
  j.key("ranks");
  opt_number(j, s.ranks);
  j.key("thread_policy");
  json::opt_text(j, s.thrd_policy);
  j.key("version");
  json::opt_text(j, s.version);
  j.end_object();
}

void host_json(JsonOut& j, const JobHost& host) {
  j.begin_object();
  j.key("host");
  json::opt_text(j, host.name);
  j.key("launches").begin_array();
  for (const LaunchRef& at : host.launches) {
    j.begin_object();
    j.key("launch").value(at.launch);
    j.key("log").value(at.log);
    j.end_object();
  }
  j.end_array();
  j.key("nodes").begin_array();
  for (const HostNode& row : host.nodes) {
    j.begin_object();
    j.key("launch_node").value(row.launch_node);
    j.key("node").value(row.node);
    j.key("processes").value(row.processes);
    j.key("ranks").value(row.ranks);
    j.key("threads").value(row.threads);
    j.end_object();
  }
  j.end_array();
  j.key("process_count").value(host.processes);
  j.key("ranks").array(host.ranks);
  j.key("sources").array(host.sources);
  j.key("thread_count").value(host.threads);
  j.end_object();
}

void rank_json(JsonOut& j, const JobRank& r) {
  j.begin_object();
  j.key("cpu");
  json::cpu_value(j, r.cpu);
  j.key("host").value(r.host);
  j.key("launch").value(r.at.launch);
  j.key("local_rank");
  opt_number(j, r.of.local);
  j.key("log").value(r.at.log);
  j.key("node");
  json::opt_text(j, r.node);
  j.key("pid").value(r.pid);
  j.key("process").value(r.proc);
  j.key("process_count").value(r.processes);
  j.key("rank").value(r.of.rank);
  j.key("size");
  opt_number(j, r.of.size);
  j.key("thread_count").value(r.threads);
  j.end_object();
}

void log_json(JsonOut& j, const Report& log) {
  j.begin_object();
  j.key("input");
  json::input_json(j, log.input);
  j.key("launches").begin_array();
  for (const Launch& launch : log.launches) json::launch_json(j, launch);
  j.end_array();
  j.key("source").value(log.source);
  j.end_object();
}

}  // namespace

void write_json(std::ostream& out, const Job& job) {
  JsonOut j(out);
  j.begin_object();
  j.key("format").value("zyg-nox-job-report");
  j.key("hosts").begin_array();
  for (const JobHost& host : job.hosts) host_json(j, host);
  j.end_array();
  j.key("logs").begin_array();
  for (const Report& log : job.logs) log_json(j, log);
  j.end_array();
  j.key("process_count").value(job.processes);
  j.key("ranks").begin_array();
  for (const JobRank& r : job.ranks) rank_json(j, r);
  j.end_array();
  j.key("settings");
  settings_json(j, job.settings);
  j.key("thread_count").value(job.threads);
  j.key("version").value(1);
  j.key("warnings").array(job.warnings);
  j.end_object();
  j.flush();
  out << "\n";
}

}  // namespace zr
