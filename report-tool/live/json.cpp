// --live --json: one document, in the order of schema/live-v1.json.
#include <cmath>
#include <nlohmann/json.hpp>

#include "live/view.h"

namespace zr {
namespace live {

namespace {

using Json = nlohmann::ordered_json;

// A share as JSON: three decimals, without the binary noise of the division.
Json share_json(double share) { return std::round(share * 1000) / 1000; }

Json memory_json(const Proc& p) {
  if (!p.memory_known) return nullptr;
  Json own = Json::array();
  for (const auto& [node, bytes] : p.memory.own) own.push_back({{"node", node}, {"bytes", bytes}});
  const bool placed = !p.run_nodes.empty();
  return {{"resident_bytes", p.memory.resident},
          {"own_bytes", own},
          {"remote_bytes", placed ? Json(p.share.remote) : Json(nullptr)},
          {"remote_share", placed ? share_json(p.share.share) : Json(nullptr)}};
}

Json processes_json(const View& v) {
  Json procs = Json::array();
  for (const auto& p : v.procs) {
    Json tasks = Json::array();
    for (const auto& t : p.tasks) {
      auto it = v.node_of_cpu.find(t.processor);
      tasks.push_back({{"tid", t.tid},
                       {"state", std::string(1, t.state)},
                       {"cpu", t.processor},
                       {"node", it == v.node_of_cpu.end() ? Json(nullptr) : Json(it->second)},
                       {"allowed", t.allowed}});
    }
    procs.push_back({{"pid", p.pid},
                     {"ppid", p.ppid},
                     {"command", p.comm},
                     {"run_nodes", p.run_nodes},
                     {"memory_nodes", p.memory_nodes},
                     {"memory", memory_json(p)},
                     {"tasks", tasks}});
  }
  return procs;
}

Json nodes_json(const View& v) {
  std::map<int, int> running_on = tasks_now(v);
  Json nodes = Json::array();
  for (std::size_t i = 0; i < v.d.nodes.size(); ++i) {
    const LiveNode& n = v.d.nodes[i];
    nodes.push_back({{"node", n.node_id},
                     {"l3_domain", v.d.l3 ? Json(n.cpulist) : Json(nullptr)},
                     {"cpus", n.cpus},
                     {"memory_node", n.mem_node < 0 ? Json(nullptr) : Json(n.mem_node)},
                     {"processes_placed", n.proc_log},
                     {"threads_placed", n.thrd_log},
                     {"tasks_now", running_on[static_cast<int>(i)]}});
  }
  return nodes;
}

}  // namespace

void write_live_json(std::ostream& out, const View& v) {
  const LiveData& d = v.d;
  Json j;
  j["format"] = "zyg-nox-report-live";
  j["version"] = 1;
  j["data_file"] = v.target.path;
  j["asked_pid"] = v.target.pid > 0 ? Json(v.target.pid) : Json(nullptr);
  j["time"] = static_cast<long long>(v.when);
  j["initial_pid"] = d.initial_pid;
  j["process_policy"] = d.proc_policy;
  j["thread_policy"] = d.thrd_policy;
  j["cpu_launch"] = d.cpu_launch;
  j["launch_nodes"] = d.launch_nodes;
  j["unit"] = d.l3 ? "l3" : "node";
  j["memory_mode"] = d.memory_mode;
  j["processes_with_library"] = d.lib_loaded_cnt;
  j["log_records"] = d.log_entry_cnt;
  j["log_file"] = d.log_file;
  j["remote_share_warn"] = kRemoteShareWarn;
  j["remote_warn_bytes"] = kRemoteWarnBytes;
  j["nodes"] = nodes_json(v);
  j["processes"] = processes_json(v);
  j["warnings"] = memory_warnings(v);
  out << j.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace live
}  // namespace zr
