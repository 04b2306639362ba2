// The JSON report: the same content as the text report, for scripts.
// Its shape is report-tool/schema/report-v1.json; a change that breaks a
// reader of version 1 gets a new version number and a new schema file.
// Written by the streaming writer of views/json.h.
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "views/json.h"
#include "views/views.h"

namespace zr {
namespace json {

// Times come from the log in whole microseconds; rounding them (and their
// differences) back to microseconds keeps the binary fraction's noise
// (2.1405279999999998) out of the document.
double micro(double t) { return std::round(t * 1e6) / 1e6; }

void opt_text(JsonOut& j, const std::string& s) {
  if (s.empty())
    j.null();
  else
    j.value(s);
}

void cpu_value(JsonOut& j, int cpu) {
  if (cpu < 0)
    j.null();
  else
    j.value(cpu);
}

namespace {

void opt_time(JsonOut& j, double t) {
  if (t < 0)
    j.null();
  else
    j.value(micro(t));
}

// L3 units: "l3_domains", one {cpus, node} per "<CPU list>@<node>" of the
// banner (keys in order: after initial_pid), and "unit".
void l3_json(JsonOut& j, const std::string& list) {
  j.key("l3_domains").begin_array();
  std::istringstream words(list);
  std::string w;
  while (words >> w) {
    const std::size_t at = w.rfind('@');
    if (at == std::string::npos) continue;
    j.begin_object();
    j.key("cpus").value(w.substr(0, at));
    int node = -1;
    try {
      node = std::stoi(w.substr(at + 1));
    } catch (...) {
    }
    j.key("node").value(node);
    j.end_object();
  }
  j.end_array();
}

void settings_json(JsonOut& j, const Launch& launch) {
  if (!launch.has_banner) return j.null();
  const Banner& b = launch.banner;
  j.begin_object();
  j.key("available_nodes").value(b.avail_node_cnt);
  j.key("configured_nodes").value(b.config_node_cnt);
  j.key("cpu_launch").value(b.cpu_launch);
  j.key("error_file").value(b.error_file);
  j.key("initial_pid").value(b.initial_pid);
  if (!b.unit.empty()) l3_json(j, b.l3_domains);
  j.key("launch_node_list").array(launch.launch_nodes);
  j.key("launch_nodes").value(b.launch_nodes);
  j.key("log_file").value(b.log_file);
  if (!b.memory_mode.empty()) {
    j.key("memory_mode").value(b.memory_mode);
    j.key("memory_nodes").begin_array();
    for (auto& [node, mem] : b.memory_nodes) {
      j.begin_object();
      j.key("memory_node").value(mem);
      j.key("node").value(node);
      j.end_object();
    }
    j.end_array();
  }
  j.key("process_policy").value(b.proc_policy);
  j.key("thread_policy").value(b.thrd_policy);
  if (!b.unit.empty()) j.key("unit").value(b.unit);
  j.key("version").value(b.version);
  j.end_object();
}

void node_json(JsonOut& j, const NodeRow& row, const Banner& b) {
  j.begin_object();
  j.key("cpus").begin_array();
  for (auto& [c, n] : row.cpus) {
    j.begin_object();
    j.key("cpu").value(c);
    j.key("tasks").value(n);
    j.end_object();
  }
  j.end_array();
  j.key("launch_node").value(row.launch_node);
  j.key("main_threads").value(row.main_threads);
  if (!b.memory_mode.empty()) {
    const int mem = memory_node_of(b, row.node);
    j.key("memory_node");
    mem < 0 ? j.null() : j.value(mem);
  }
  j.key("node").value(row.node);
  j.key("peak_alive").value(row.peak_alive);
  j.key("processes").value(row.processes);
  // Version 1's meaning: every placement of the thread policy, the main
  // threads placed at their first thread creation included (as the
  // library's counters hold them); main_threads says how many of them.
  j.key("threads").value(row.threads + row.main_threads);
  j.end_object();
}

// Under L3 units: the per-domain table (keys in order: before first_line).
void domains_json(JsonOut& j, const Launch& launch) {
  if (!launch.l3_units()) return;
  const Banner& b = launch.banner;
  j.key("domains").begin_array();
  for (const auto& row : launch.domains) {
    j.begin_object();
    j.key("cpus");
    row.cpus == "-" ? j.null() : j.value(row.cpus);
    j.key("main_threads").value(row.main_threads);
    if (!b.memory_mode.empty()) {
      const int mem = row.node < 0 ? -1 : memory_node_of(b, std::to_string(row.node));
      j.key("memory_node");
      mem < 0 ? j.null() : j.value(mem);
    }
    j.key("node");
    row.node < 0 ? j.null() : j.value(row.node);
    j.key("processes").value(row.processes);
    j.key("threads").value(row.threads);
    j.end_object();
  }
  j.end_array();
}

void exec_json(JsonOut& j, const ExecStep& e) {
  j.begin_object();
  j.key("call").value(e.call);
  j.key("cmdline");
  e.started ? j.value(e.cmdline) : j.null();
  j.key("comm");
  e.started ? j.value(e.comm) : j.null();
  j.key("cpu");
  cpu_value(j, e.cpu);
  j.key("file").value(e.file);
  j.key("node");
  opt_text(j, e.node);
  j.key("refused");
  opt_text(j, e.refused);
  j.key("started").value(e.started);
  j.key("time");
  opt_time(j, e.time);
  j.end_object();
}

// Under L3 units a task's "l3_domain": its domain's CPU list, null when it
// started within none; no key in the log of any other launch.
void domain_json(JsonOut& j, const std::string& cpus) {
  if (cpus.empty()) return;
  j.key("l3_domain");
  cpus == "-" ? j.null() : j.value(cpus);
}

void thread_json(JsonOut& j, const Thread& th) {
  j.begin_object();
  j.key("cpu");
  cpu_value(j, th.cpu);
  j.key("end");
  opt_time(j, th.end);
  j.key("end_kind").value(end_kind_name(th.end_kind));
  j.key("end_record");
  opt_text(j, th.end_how);
  domain_json(j, th.l3_domain());
  j.key("last_cpu");
  cpu_value(j, th.last_cpu());
  j.key("last_node");
  opt_text(j, th.last_node());
  j.key("node");
  opt_text(j, th.node);
  j.key("start").value(micro(th.start));
  j.key("started_by").value(th.how);
  j.key("tid").value(th.tid);
  j.end_object();
}

// The members of a process from "calls" to "main_thread_time".
void process_head_json(JsonOut& j, const Process& p) {
  j.key("calls").array(p.calls);
  j.key("chain").begin_array();
  j.value(p.comm);
  for (const auto& e : p.execs)
    if (e.started) j.value(e.comm);
  j.end_array();
  j.key("children").array(p.children);
  j.key("cmdline").value(p.cmdline);
  j.key("comm").value(p.comm);
  j.key("cpu");
  cpu_value(j, p.cpu);
  j.key("end");
  opt_time(j, p.end);
  j.key("end_kind").value(end_kind_name(p.end_kind));
  j.key("end_record");
  opt_text(j, p.end_how);
  j.key("execs").begin_array();
  for (const auto& e : p.execs) exec_json(j, e);
  j.end_array();
  j.key("id").value(p.id);
  domain_json(j, p.l3_domain());
  j.key("last_cpu");
  cpu_value(j, p.last_cpu());
  j.key("last_node");
  opt_text(j, p.last_node());
  j.key("lifetime");
  p.end < 0 ? j.null() : j.value(micro(p.end - p.start));
  j.key("main_thread_cpu");
  cpu_value(j, p.main_thread_cpu);
  j.key("main_thread_node");
  opt_text(j, p.main_thread_node);
  j.key("main_thread_time");
  opt_time(j, p.main_thread_time);
}

void process_json(JsonOut& j, const Process& p) {
  j.begin_object();
  process_head_json(j, p);
  j.key("node");
  opt_text(j, p.node);
  j.key("parent");
  p.parent < 0 ? j.null() : j.value(p.parent);
  j.key("pid").value(p.pid);
  j.key("ppid").value(p.ppid);
  j.key("reports").array(p.notes);
  j.key("start").value(micro(p.start));
  j.key("started_by").value(p.how);
  j.key("threads").begin_array();
  for (const auto& th : p.threads) thread_json(j, th);
  j.end_array();
  j.key("threads_created").value(p.threads_created);
  j.end_object();
}

}  // namespace

void launch_json(JsonOut& j, const Launch& launch) {
  j.begin_object();
  domains_json(j, launch);
  j.key("first_line").value(launch.first_line);
  j.key("nodes").begin_array();
  for (const auto& row : launch.nodes) node_json(j, row, launch.banner);
  j.end_array();
  j.key("process_count").value(launch.procs.size());
  j.key("processes").begin_array();
  for (const auto& p : launch.procs) process_json(j, p);
  j.end_array();
  j.key("records").value(launch.records);
  j.key("roots").array(launch.roots);
  j.key("settings");
  settings_json(j, launch);
  j.key("span_seconds").value(micro(launch.span));
  j.key("thread_count").value(launch.thread_count());
  j.key("warnings").array(launch.warnings);
  j.end_object();
}

void input_json(JsonOut& j, const Input& in) {
  j.begin_object();
  j.key("bad_lines").begin_array();
  for (const auto& b : in.bad_lines) {
    j.begin_object();
    j.key("line").value(b.line);
    j.key("why").value(b.why);
    j.end_object();
  }
  j.end_array();
  j.key("last_line_cut").value(in.last_line_cut);
  j.key("lines").value(in.lines);
  j.end_object();
}

}  // namespace json

void write_json(std::ostream& out, const Report& rep) {
  json::JsonOut j(out);
  j.begin_object();
  j.key("format").value("zyg-nox-report");
  j.key("input");
  json::input_json(j, rep.input);
  j.key("launches").begin_array();
  for (const auto& launch : rep.launches) json::launch_json(j, launch);
  j.end_array();
  j.key("source").value(rep.source);
  j.key("version").value(1);
  j.end_object();
  j.flush();
  out << "\n";
}

}  // namespace zr
