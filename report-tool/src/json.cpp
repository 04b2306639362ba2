// The JSON report: the same content as the text report, for scripts.
// Its shape is report-tool/schema/report-v1.json; a change that breaks a
// reader of version 1 gets a new version number and a new schema file.
#include <cmath>
#include <nlohmann/json.hpp>

#include "output.h"

namespace zr {

namespace {

using nlohmann::json;

// Times come from the log in whole microseconds; rounding them (and their
// differences) back to microseconds keeps the binary fraction's noise
// (2.1405279999999998) out of the document.
double micro(double t) { return std::round(t * 1e6) / 1e6; }

json opt_time(double t) { return t < 0 ? json(nullptr) : json(micro(t)); }

json node_value(const std::string& node) { return node.empty() ? json(nullptr) : json(node); }

json cpu_value(int cpu) { return cpu < 0 ? json(nullptr) : json(cpu); }

json settings_json(const Launch& launch) {
  if (!launch.has_banner) return nullptr;
  const Banner& b = launch.banner;
  return {
      {"version", b.version},
      {"process_policy", b.proc_policy},
      {"thread_policy", b.thrd_policy},
      {"cpu_launch", b.cpu_launch},
      {"launch_nodes", b.launch_nodes},
      {"launch_node_list", launch.launch_nodes},
      {"log_file", b.log_file},
      {"error_file", b.error_file},
      {"initial_pid", b.initial_pid},
      {"configured_nodes", b.config_node_cnt},
      {"available_nodes", b.avail_node_cnt},
  };
}

json node_json(const NodeRow& row) {
  json cpus = json::array();
  for (auto& [c, n] : row.cpus) cpus.push_back({{"cpu", c}, {"tasks", n}});
  return {{"node", row.node},
          {"launch_node", row.launch_node},
          {"processes", row.processes},
          {"threads", row.threads},
          {"main_threads", row.main_threads},
          {"peak_alive", row.peak_alive},
          {"cpus", cpus}};
}

json exec_json(const ExecStep& e) {
  return {{"time", opt_time(e.time)},
          {"call", e.call},
          {"file", e.file},
          {"refused", e.refused.empty() ? json(nullptr) : json(e.refused)},
          {"started", e.started},
          {"comm", e.started ? json(e.comm) : json(nullptr)},
          {"cmdline", e.started ? json(e.cmdline) : json(nullptr)}};
}

// `first` is the task's first record: a column the model does not keep is
// read there.
json thread_json(const Thread& th, const Record& first) {
  return {{"tid", th.tid},
          {"start", micro(th.start)},
          {"end", opt_time(th.end)},
          {"node", node_value(first.node_text())},
          {"cpu", cpu_value(th.cpu)},
          {"started_by", th.how},
          {"end_kind", end_kind_name(th.end_kind)},
          {"end_record", th.end_how.empty() ? json(nullptr) : json(th.end_how)}};
}

json process_json(const Launch& launch, const Process& p) {
  const Record& first = launch.record_at(p.record);
  json execs = json::array();
  for (const auto& e : p.execs) execs.push_back(exec_json(e));
  json threads = json::array();
  for (const auto& th : p.threads) threads.push_back(thread_json(th, launch.record_at(th.record)));
  json chain = json::array({p.comm});
  for (const auto& e : p.execs)
    if (e.started) chain.push_back(e.comm);
  return {{"id", p.id},
          {"pid", p.pid},
          {"ppid", p.ppid},
          {"parent", p.parent < 0 ? json(nullptr) : json(p.parent)},
          {"children", p.children},
          {"start", micro(p.start)},
          {"end", opt_time(p.end)},
          {"lifetime", p.end < 0 ? json(nullptr) : json(micro(p.end - p.start))},
          {"started_by", p.how},
          {"node", node_value(p.node)},
          {"cpu", cpu_value(p.cpu)},
          {"main_thread_node", node_value(p.main_thread_node)},
          {"main_thread_cpu", cpu_value(p.main_thread_cpu)},
          {"main_thread_time", opt_time(p.main_thread_time)},
          {"comm", first.comm()},
          {"cmdline", first.cmdline()},
          {"chain", chain},
          {"execs", execs},
          {"threads", threads},
          {"threads_created", p.threads_created},
          {"end_kind", end_kind_name(p.end_kind)},
          {"end_record", p.end_how.empty() ? json(nullptr) : json(p.end_how)},
          {"calls", p.calls},
          {"reports", p.notes}};
}

json launch_json(const Launch& launch) {
  json j;
  j["settings"] = settings_json(launch);
  j["first_line"] = launch.first_line;
  j["records"] = launch.records;
  j["span_seconds"] = micro(launch.span);
  j["process_count"] = launch.procs.size();
  j["thread_count"] = launch.thread_count();
  json nodes = json::array();
  for (const auto& row : launch.nodes) nodes.push_back(node_json(row));
  j["nodes"] = nodes;
  json procs = json::array();
  for (const auto& p : launch.procs) procs.push_back(process_json(launch, p));
  j["processes"] = procs;
  j["roots"] = launch.roots;
  j["warnings"] = launch.warnings;
  return j;
}

}  // namespace

void write_json(std::ostream& out, const Report& rep) {
  json j;
  j["format"] = "zyg-nox-report";
  j["version"] = 1;
  j["source"] = rep.source;
  json bad = json::array();
  for (const auto& b : rep.log->bad_lines) bad.push_back({{"line", b.line}, {"why", b.why}});
  j["input"] = {{"lines", rep.log->total_lines},
                {"last_line_cut", rep.log->last_line_cut},
                {"bad_lines", bad}};
  json launches = json::array();
  for (const auto& launch : rep.launches) launches.push_back(launch_json(launch));
  j["launches"] = launches;
  // Text from the log is whatever the programs wrote: invalid UTF-8 is
  // replaced rather than refused, so one odd command line cannot stop the report.
  out << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace zr
