#include "live/view.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lists/cpu_list.h"

namespace zr {
namespace live {

namespace {

// Reads and decodes the data file into d; kOk, or the exit status with the
// reason written to err. `shown` is true once the launch was shown: a data
// file gone after that is the launch's end, while a file named by the user
// that is not there at all is a file that cannot be read.
int load(const Target& t, bool shown, std::ostream& err, LiveData& d) {
  std::string bytes;
  int e = 0;
  if (!read_file(t.path, bytes, e)) {
    if (e == ENOENT && t.pid > 0) {
      err << "zyg-nox-report: no launch data file " << t.path << ": PID " << t.pid
          << " is not running a zyg-nox launch (or it ended and its file was removed)\n";
      return kNotRunning;
    }
    err << "zyg-nox-report: cannot read " << t.path << ": " << std::strerror(e) << "\n";
    return e == ENOENT && shown ? kNotRunning : kIo;
  }
  std::string why;
  if (!decode_data_file(bytes, d, why)) {
    err << "zyg-nox-report: " << t.path
        << " is not a zyg-nox launch data file this tool can read: " << why << "\n";
    return kNotData;
  }
  return kOk;
}

// Each CPU of the launch's entries to its node and to its entry, from the
// entry's cpulist (every CPU of it, where the entry's own table holds the
// first 256).
void map_cpus(View& v) {
  for (std::size_t i = 0; i < v.d.nodes.size(); ++i) {
    const LiveNode& n = v.d.nodes[i];
    std::vector<int> cpus = parse_cpu_list(n.cpulist);
    if (cpus.empty()) cpus = n.cpus;
    for (int c : cpus) {
      v.node_of_cpu[c] = n.node_id;
      v.entry_of_cpu[c] = static_cast<int>(i);
    }
  }
}

// The entry a task is bound to, or -1 when its allowed CPUs reach several
// (or none).
int bound_entry(const View& v, const Task& t) {
  int entry = -1;
  for (int c : parse_cpu_list(t.allowed)) {
    auto it = v.entry_of_cpu.find(c);
    if (it == v.entry_of_cpu.end()) continue;
    if (entry >= 0 && entry != it->second) return -1;
    entry = it->second;
  }
  return entry;
}

}  // namespace

// The nodes each process's tasks may run on (their affinity, through the
// launch's CPU lists), the memory nodes of those bound to one entry, and
// its own memory's share off both.
void place_view(View& v) {
  map_cpus(v);
  for (auto& p : v.procs) {
    for (const auto& t : p.tasks) {
      for (int c : parse_cpu_list(t.allowed))
        if (auto it = v.node_of_cpu.find(c); it != v.node_of_cpu.end())
          p.run_nodes.insert(it->second);
      const int e = bound_entry(v, t);
      if (e >= 0 && v.d.nodes[static_cast<std::size_t>(e)].mem_node >= 0)
        p.memory_nodes.insert(v.d.nodes[static_cast<std::size_t>(e)].mem_node);
    }
    std::set<int> home = p.run_nodes;
    home.insert(p.memory_nodes.begin(), p.memory_nodes.end());
    if (p.memory_known && !p.run_nodes.empty()) p.share = memory_share(p.memory.own, home);
  }
}

int take_view(const Target& t, bool shown, std::ostream& err, View& v, bool& ended) {
  ended = false;
  v.target = t;
  if (int rc = load(t, shown, err, v.d); rc != kOk) return rc;
  std::string real = t.path;
  if (char* r = realpath(t.path.c_str(), nullptr)) {
    real = r;
    free(r);
  }
  v.procs = tree_processes(real);
  if (v.procs.empty()) {
    ended = true;
    err << "zyg-nox-report: the launch of PID " << v.d.initial_pid << " (" << t.path
        << ") is not running: no process has its data file open"
        << (v.d.lib_loaded_cnt > 0 ? " (its processes were killed: the counter still shows " +
                                         std::to_string(v.d.lib_loaded_cnt) + ")"
                                   : "")
        << "\n";
    return kNotRunning;
  }
  v.when = std::time(nullptr);
  place_view(v);
  return kOk;
}

std::map<int, int> tasks_now(const View& v) {
  std::map<int, int> running_on;
  for (const auto& p : v.procs)
    for (const auto& t : p.tasks) {
      auto it = v.entry_of_cpu.find(t.processor);
      ++running_on[it == v.entry_of_cpu.end() ? -1 : it->second];
    }
  return running_on;
}

std::string node_list(const std::set<int>& nodes) {
  return nodes.empty() ? "-" : range_list({nodes.begin(), nodes.end()});
}

std::vector<std::string> memory_warnings(const View& v) {
  std::vector<std::string> w;
  for (const auto& p : v.procs) {
    if (!p.memory_known || p.run_nodes.empty() || !memory_warns(p.share)) continue;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "PID %ld (%s): %.0f%% of its own memory (%.1f MiB) is on nodes other than %s, "
                  "where its tasks run",
                  p.pid, p.comm.c_str(), 100 * p.share.share,
                  static_cast<double>(p.share.remote) / kMiB, node_list(p.run_nodes).c_str());
    std::string text = buf;
    if (!p.memory_nodes.empty())
      text += ", and " + node_list(p.memory_nodes) + ", where --memory puts it";
    w.push_back(text);
  }
  return w;
}

}  // namespace live
}  // namespace zr
