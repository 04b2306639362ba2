#include "live.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "core/ldata.h"
#include "shared/data_path.h"
#include "shared/list_text.h"
#include "shared/names.h"

namespace zr {

namespace {

constexpr int kOk = 0, kIo = 2, kNotData = 3, kNotRunning = 5;
// A CPU list read from the kernel: numbers far above any CPU, or a range
// of more than a million, are no list this tool believes.
constexpr unsigned long kCpuNumberLimit = 1UL << 24, kWidestRange = 1UL << 20;

// The launch data file is read by the library's own layout (core/ldata.h):
// a header, config_node_cnt node entries, then four node-counter tables
// (proc_tree, thrd_tree, proc_log, thrd_log), each a next_node_index
// followed by one node record per configured node. All integers
// native-endian.
constexpr std::size_t kHeader = sizeof(zyg::ldata_hdr), kNodeEntry = sizeof(zyg::l_node),
                      kNodeRecord = sizeof(zyg::node_rec), kFirstRecord = sizeof(zyg::node_table);

// The object of type T whose bytes start at off; the caller has checked that
// they are there.
template <typename T>
T get(const std::string& b, std::size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

// A NUL-terminated text in a fixed field; an unterminated one is cut at the field's end.
template <std::size_t N>
std::string text_of(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

bool read_file(const std::string& path, std::string& out, int& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > (64u << 20)) break;  // far beyond any launch data file
  }
  close(fd);
  return true;
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.size() < 12 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct Task {
  long tid = 0;
  char state = '?';
  int processor = -1;
  std::string allowed;
};

struct Proc {
  long pid = 0;
  long ppid = 0;
  std::string comm;
  std::vector<Task> tasks;
  bool memory_known = false;  // numa_maps read (not: gone meanwhile, or another user's)
  ProcMemory memory;
  std::set<int> run_nodes;  // the nodes of its tasks' affinity
  MemoryShare share;        // with memory_known and run_nodes known
};

// Fields of /proc/<pid>/task/<tid>/stat after the "(comm)" field, which
// may itself hold spaces and parentheses: state is field 3, ppid 4,
// processor 39.
bool read_stat(const std::string& path, std::string& comm, char& state, long& ppid,
               int& processor) {
  std::string s;
  int e;
  if (!read_file(path, s, e)) return false;
  std::size_t open = s.find('('), close = s.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  comm = s.substr(open + 1, close - open - 1);
  std::istringstream rest(s.substr(close + 1));
  std::vector<std::string> f;
  std::string w;
  while (rest >> w) f.push_back(w);
  if (f.size() < 37) return false;
  state = f[0].empty() ? '?' : f[0][0];
  ppid = std::atol(f[1].c_str());
  processor = std::atoi(f[36].c_str());
  return true;
}

std::string allowed_cpus(const std::string& status_path) {
  std::ifstream in(status_path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Cpus_allowed_list:", 0) == 0) {
      std::string v = line.substr(18);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  return "?";
}

// Whether a maps text has the file at `path` mapped (a name that ends the
// line or is followed by " (deleted)").
bool maps_file(const std::string& maps, const std::string& path) {
  const std::string needle = " " + path;
  std::size_t pos = 0;
  while ((pos = maps.find(needle, pos)) != std::string::npos) {
    std::size_t end = pos + needle.size();
    if (end == maps.size() || maps[end] == '\n' || maps[end] == ' ') return true;
    pos = end;
  }
  return false;
}

// The tasks of the process at /proc/<pid> (base), by TID; a task that ended
// while it was read is left out.
void read_tasks(const std::string& base, Proc& p) {
  DIR* td = opendir((base + "/task").c_str());
  if (!td) return;
  while (dirent* te = readdir(td)) {
    if (!all_digits(te->d_name)) continue;
    Task t;
    t.tid = std::atol(te->d_name);
    std::string tb = base + "/task/" + te->d_name;
    std::string comm;
    long ppid = 0;
    if (!read_stat(tb + "/stat", comm, t.state, ppid, t.processor)) continue;
    if (t.tid == p.pid) {
      p.comm = comm;
      p.ppid = ppid;
    }
    t.allowed = allowed_cpus(tb + "/status");
    p.tasks.push_back(t);
  }
  closedir(td);
  std::sort(p.tasks.begin(), p.tasks.end(),
            [](const Task& a, const Task& b) { return a.tid < b.tid; });
}

// The process's memory by node. A process that ended meanwhile, or whose
// numa_maps this user may not read, keeps memory_known false: its row
// shows "-".
void read_memory(const std::string& base, Proc& p) {
  std::string text;
  int e;
  if (!read_file(base + "/numa_maps", text, e)) return;
  p.memory = parse_numa_maps(text, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
  p.memory_known = true;
}

// Processes of the launch: every process of the tree maps its data file
// (forked children inherit the mapping, exec'd programs map it again).
std::vector<Proc> tree_processes(const std::string& data_path) {
  std::vector<Proc> procs;
  DIR* d = opendir("/proc");
  if (!d) return procs;
  while (dirent* de = readdir(d)) {
    if (!all_digits(de->d_name)) continue;
    std::string base = std::string("/proc/") + de->d_name;
    std::string maps;
    int e;
    if (!read_file(base + "/maps", maps, e) || !maps_file(maps, data_path)) continue;
    Proc p;
    p.pid = std::atol(de->d_name);
    read_tasks(base, p);
    if (p.tasks.empty()) continue;  // ended meanwhile
    read_memory(base, p);
    procs.push_back(std::move(p));
  }
  closedir(d);
  std::sort(procs.begin(), procs.end(), [](const Proc& a, const Proc& b) { return a.pid < b.pid; });
  return procs;
}

// A launch data file's name in a maps text: the library maps the file in
// every process of the tree. A file deleted since is left out (its name
// has " (deleted)" after it, and the name may be another launch's now).
std::string data_file_in_maps(const std::string& maps) {
  std::istringstream in(maps);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    std::string path = line.substr(slash);
    if (zyg::data_file_pid(path.c_str()) > 0) return path;
  }
  return {};
}

// The data file named in an environ text (NUL-separated NAME=value).
std::string data_file_in_environ(const std::string& environ) {
  const std::string name = std::string(zyg::kEnvDataFile) + "=";
  std::size_t pos = 0;
  while (pos < environ.size()) {
    std::size_t end = environ.find('\0', pos);
    if (end == std::string::npos) end = environ.size();
    if (environ.compare(pos, name.size(), name) == 0) {
      std::string path = environ.substr(pos + name.size(), end - pos - name.size());
      return zyg::data_file_pid(path.c_str()) > 0 ? path : std::string();
    }
    pos = end + 1;
  }
  return {};
}

// The data file of the launch a running process belongs to, whichever of
// its processes it is: the file its library mapped, else the one its
// environment names (a static program of the tree maps nothing). Empty
// when neither says (no such process, not of a launch, or another user's).
std::string member_data_file(long pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::string text;
  int e;
  if (read_file(base + "/maps", text, e))
    if (std::string path = data_file_in_maps(text); !path.empty()) return path;
  if (read_file(base + "/environ", text, e)) return data_file_in_environ(text);
  return {};
}

// The data file of the launch whose first process has this PID: normally
// /dev/shm/zyg-nox.<pid>; when a stale file of an earlier launch with the
// same PID held that name, the launch took the name with a suffix .1, .2 ...
std::string data_file_by_name(const std::string& target) {
  const std::string base = "/dev/shm/zyg-nox." + target;
  const long pid = std::atol(target.c_str());
  std::string chosen = base;
  for (int k = 0; k <= 64; ++k) {
    const std::string path = k == 0 ? base : base + "." + std::to_string(k);
    std::string head;
    int e;
    if (!read_file(path, head, e)) {
      if (k > 0) break;
      continue;
    }
    LiveData d;
    std::string why;
    // The newest file of this PID that is a data file of the launch.
    if (decode_data_file(head, d, why) && d.initial_pid == pid) chosen = path;
  }
  return chosen;
}

// What --live looks at: the data file, and the PID it was found from.
struct Target {
  std::string path;
  long pid = 0;         // the PID asked for; 0 when a file was named
  bool member = false;  // found through the process itself (maps, environment)
};

Target resolve_target(const std::string& target) {
  Target t;
  if (!all_digits(target)) {
    t.path = target;
    return t;
  }
  t.pid = std::atol(target.c_str());
  t.path = member_data_file(t.pid);
  t.member = !t.path.empty();
  if (!t.member) t.path = data_file_by_name(target);
  return t;
}

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

using NodeOfCpu = std::map<int, int>;

// Each CPU of the launch's nodes to its node, from the node's cpulist
// (every CPU of it, where the entry's own table holds the first 256).
NodeOfCpu node_of_cpu(const LiveData& d) {
  NodeOfCpu m;
  for (const auto& n : d.nodes) {
    std::vector<int> cpus = parse_cpu_list(n.cpulist);
    if (cpus.empty()) cpus = n.cpus;
    for (int c : cpus) m[c] = n.node_id;
  }
  return m;
}

// One look at a running launch: its data file, the processes that map it,
// where their tasks run and where their memory is.
struct View {
  Target target;
  LiveData d;
  std::vector<Proc> procs;
  NodeOfCpu node_of_cpu;
  std::time_t when = 0;
};

// The nodes each process's tasks may run on (their affinity, through the
// launch's node CPU lists), and its own memory's share off those nodes.
void place_memory(View& v) {
  for (auto& p : v.procs) {
    for (const auto& t : p.tasks)
      for (int c : parse_cpu_list(t.allowed))
        if (auto it = v.node_of_cpu.find(c); it != v.node_of_cpu.end())
          p.run_nodes.insert(it->second);
    if (p.memory_known && !p.run_nodes.empty()) p.share = memory_share(p.memory.own, p.run_nodes);
  }
}

// Reads the launch into v; kOk, or the exit status with the reason written
// to err. `ended` is set when no process of the launch is left.
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
  v.node_of_cpu = node_of_cpu(v.d);
  v.when = std::time(nullptr);
  place_memory(v);
  return kOk;
}

// Node -> tasks of the tree running on it now (-1: on a CPU outside the
// launch nodes).
std::map<int, int> tasks_now(const View& v) {
  std::map<int, int> running_on;
  for (const auto& p : v.procs)
    for (const auto& t : p.tasks) {
      auto it = v.node_of_cpu.find(t.processor);
      ++running_on[it == v.node_of_cpu.end() ? -1 : it->second];
    }
  return running_on;
}

// A node set as a list with ranges ("0-2,5"); "-" when empty.
std::string node_list(const std::set<int>& nodes) {
  std::string s;
  for (auto it = nodes.begin(); it != nodes.end();) {
    int first = *it, last = first;
    while (++it != nodes.end() && *it == last + 1) last = *it;
    if (!s.empty()) s += ',';
    s += std::to_string(first);
    if (last != first) s.append("-").append(std::to_string(last));
  }
  return s.empty() ? "-" : s;
}

constexpr double kMiB = 1024.0 * 1024.0;

// The processes whose own memory lies mostly on nodes their tasks do not
// run on, one sentence each.
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
    w.emplace_back(buf);
  }
  return w;
}

// The node table: placements counted in the data file beside the tasks
// running on each node now.
void write_nodes(std::ostream& out, const View& v) {
  std::map<int, int> running_on = tasks_now(v);
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %-5s %-12s %16s %16s %10s\n", "Node", "CPUs", "procs placed",
                "threads placed", "tasks now");
  out << buf;
  for (const auto& n : v.d.nodes) {
    std::snprintf(buf, sizeof buf, "  %-5d %-12s %16d %16d %10d\n", n.node_id, n.cpulist.c_str(),
                  n.proc_log, n.thrd_log, running_on[n.node_id]);
    out << buf;
    if (v.d.cpu_launch) {
      out << "        per CPU (procs/threads):";
      for (std::size_t i = 0; i < n.cpus.size(); ++i)
        out << " " << n.cpus[i] << ":" << n.cpu_proc[i] << "/" << n.cpu_thrd[i];
      out << "\n";
    }
  }
  if (running_on.count(-1))
    out << "  (" << running_on[-1] << " tasks on CPUs outside the launch nodes)\n";
}

// Every task of the tree, where it runs now.
void write_tasks(std::ostream& out, const View& v) {
  std::size_t tasks = 0;
  for (const auto& p : v.procs) tasks += p.tasks.size();
  out << "\n  " << v.procs.size() << " processes, " << tasks << " tasks\n";
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %7s %7s %7s %5s %4s %-12s %-5s %s\n", "PID", "PPID", "TID",
                "Node", "CPU", "Allowed", "State", "Command");
  out << buf;
  for (const auto& p : v.procs)
    for (const auto& t : p.tasks) {
      auto it = v.node_of_cpu.find(t.processor);
      std::string node = it == v.node_of_cpu.end() ? "?" : std::to_string(it->second);
      std::snprintf(buf, sizeof buf, "  %7ld %7ld %7ld %5s %4d %-12s %-5c %s\n", p.pid, p.ppid,
                    t.tid, node.c_str(), t.processor, t.allowed.c_str(), t.state,
                    t.tid == p.pid ? p.comm.c_str() : "  (thread)");
      out << buf;
    }
}

// The memory table's node columns: the launch's nodes and any other node
// that holds memory of the tree.
std::vector<int> memory_columns(const View& v) {
  std::set<int> ids;
  for (const auto& n : v.d.nodes) ids.insert(n.node_id);
  for (const auto& p : v.procs)
    for (const auto& [node, bytes] : p.memory.own) ids.insert(node);
  return {ids.begin(), ids.end()};
}

void write_memory_row(std::ostream& out, const Proc& p, const std::vector<int>& columns) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "  %7ld %-10s", p.pid, node_list(p.run_nodes).c_str());
  out << buf;
  for (int node : columns) {
    const auto it = p.memory.own.find(node);
    const double bytes = it == p.memory.own.end() ? 0.0 : static_cast<double>(it->second);
    if (p.memory_known)
      std::snprintf(buf, sizeof buf, " %8.1f", bytes / kMiB);
    else
      std::snprintf(buf, sizeof buf, " %8s", "-");
    out << buf;
  }
  if (p.memory_known && !p.run_nodes.empty())
    std::snprintf(buf, sizeof buf, " %6.0f%%", 100 * p.share.share);
  else
    std::snprintf(buf, sizeof buf, " %7s", "-");
  out << buf;
  if (p.memory_known)
    std::snprintf(buf, sizeof buf, " %9.1f", static_cast<double>(p.memory.resident) / kMiB);
  else
    std::snprintf(buf, sizeof buf, " %9s", "-");
  out << buf << "  " << p.comm << "\n";
}

// Where each process's memory is, and the processes whose memory is
// mostly away from their tasks.
void write_memory(std::ostream& out, const View& v) {
  const std::vector<int> columns = memory_columns(v);
  out << "\n  Memory by node, MiB (own pages: heap, stacks, anonymous mappings;\n"
      << "  Remote: their share on nodes its tasks do not run on; Resident: with files)\n";
  char buf[64];
  std::snprintf(buf, sizeof buf, "  %7s %-10s", "PID", "Runs on");
  out << buf;
  for (int node : columns) {
    std::snprintf(buf, sizeof buf, " %8s", ("Node " + std::to_string(node)).c_str());
    out << buf;
  }
  std::snprintf(buf, sizeof buf, " %7s %9s  %s\n", "Remote", "Resident", "Command");
  out << buf;
  for (const auto& p : v.procs) write_memory_row(out, p, columns);
  for (const auto& w : memory_warnings(v)) out << "  warning: " << w << "\n";
}

void write_live_text(std::ostream& out, const View& v) {
  const LiveData& d = v.d;
  const Target& t = v.target;
  if (t.pid > 0 && d.initial_pid != t.pid) {
    if (t.member)
      out << "note: PID " << t.pid << " is a process of the launch of PID " << d.initial_pid
          << "\n";
    else
      out << "note: " << t.path << " belongs to the launch of PID " << d.initial_pid << "\n";
  }
  char ts[32];
  std::strftime(ts, sizeof ts, "%H:%M:%S", std::localtime(&v.when));
  out << "zyg-nox launch of PID " << d.initial_pid << " at " << ts << "  (data file " << t.path
      << ")\n"
      << "  processes " << d.proc_policy << ", threads " << d.thrd_policy << ", CPU launch "
      << (d.cpu_launch ? "Yes" : "No") << ", launch nodes " << d.launch_nodes << "\n"
      << "  processes with the library loaded: " << d.lib_loaded_cnt
      << "; log records: " << d.log_entry_cnt << (d.log_file.empty() ? "" : " (" + d.log_file + ")")
      << "\n\n";
  write_nodes(out, v);
  write_tasks(out, v);
  write_memory(out, v);
}

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
                     {"memory", memory_json(p)},
                     {"tasks", tasks}});
  }
  return procs;
}

Json nodes_json(const View& v) {
  std::map<int, int> running_on = tasks_now(v);
  Json nodes = Json::array();
  for (const auto& n : v.d.nodes)
    nodes.push_back({{"node", n.node_id},
                     {"cpus", n.cpus},
                     {"processes_placed", n.proc_log},
                     {"threads_placed", n.thrd_log},
                     {"tasks_now", running_on[n.node_id]}});
  return nodes;
}

// The view as one JSON document (schema/live-v1.json).
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

// One view of the launch; `ended` is set when no process of it is left.
int show_once(const Target& t, bool json, bool shown, std::ostream& out, std::ostream& err,
              bool& ended) {
  View v;
  if (int rc = take_view(t, shown, err, v, ended); rc != kOk) return rc;
  if (json)
    write_live_json(out, v);
  else
    write_live_text(out, v);
  return kOk;
}

}  // namespace

namespace {

// The node entry i with its counters from the four tables (each of `table`
// bytes, the first at proc_tree); false with a reason for a CPU count no
// entry can hold.
bool decode_node(const std::string& b, int i, std::size_t proc_tree, std::size_t table,
                 LiveNode& node, std::string& why) {
  const auto entry = get<zyg::l_node>(b, kHeader + static_cast<std::size_t>(i) * kNodeEntry);
  if (entry.num_cpus < 0 || entry.num_cpus > zyg::kMaxCpusPerNode) {
    why = "node entry " + std::to_string(i) + " has " + std::to_string(entry.num_cpus) + " CPUs";
    return false;
  }
  const std::size_t rec = kFirstRecord + static_cast<std::size_t>(i) * kNodeRecord;
  auto counters = [&](int k) {
    return get<zyg::node_rec>(b, proc_tree + static_cast<std::size_t>(k) * table + rec);
  };
  const zyg::node_rec proc_tree_rec = counters(0), thrd_tree_rec = counters(1),
                      proc_log = counters(2), thrd_log = counters(3);
  node.node_id = entry.node_id;
  node.cpulist = text_of(entry.cpulist);
  // Kept as sysfs shows it, with its newline.
  while (!node.cpulist.empty() && (node.cpulist.back() == '\n' || node.cpulist.back() == ' '))
    node.cpulist.pop_back();
  node.proc_tree = proc_tree_rec.node_launched;
  node.thrd_tree = thrd_tree_rec.node_launched;
  node.proc_log = proc_log.node_launched;
  node.thrd_log = thrd_log.node_launched;
  for (int c = 0; c < entry.num_cpus; ++c) {
    node.cpus.push_back(static_cast<int>(entry.cpus[c]));
    node.cpu_proc.push_back(proc_log.cpu_launched[c]);
    node.cpu_thrd.push_back(thrd_log.cpu_launched[c]);
  }
  return true;
}

}  // namespace

bool decode_data_file(const std::string& b, LiveData& d, std::string& why) {
  if (b.size() < kHeader) {
    why = "shorter than the " + std::to_string(kHeader) + "-byte header";
    return false;
  }
  const auto h = get<zyg::ldata_hdr>(b, 0);
  d.version = h.version;
  if (d.version != zyg::kLdataVersion) {
    why = "layout version " + std::to_string(d.version) + ", this tool reads version " +
          std::to_string(zyg::kLdataVersion);
    return false;
  }
  // Under --unit=l3 the entries are L3 domains, and their count gives the
  // layout (unit_entry_cnt); each entry still names its node.
  const int n = h.unit_entry_cnt != 0 ? h.unit_entry_cnt : h.config_node_cnt;
  if (n < 1 || n > zyg::kMaxConfigNodes) {
    why = "configured node count " + std::to_string(n) + " out of range";
    return false;
  }
  const std::size_t nodes = static_cast<std::size_t>(n), table = zyg::table_size(n);
  const std::size_t proc_tree = kHeader + nodes * kNodeEntry;
  if (h.l_nodes_offset != kHeader || h.proc_tree_offset != proc_tree ||
      h.thrd_tree_offset != proc_tree + table || h.proc_log_offset != proc_tree + 2 * table ||
      h.thrd_log_offset != proc_tree + 3 * table) {
    why = "table offsets do not match the layout";
    return false;
  }
  if (b.size() < zyg::ldata_file_size(n)) {
    why = "file is " + std::to_string(b.size()) + " bytes, the layout needs " +
          std::to_string(zyg::ldata_file_size(n));
    return false;
  }
  d.config_node_cnt = n;
  d.lib_loaded_cnt = h.lib_loaded_cnt;
  d.avail_node_cnt = h.avail_node_cnt;
  d.avail_cpu_cnt = h.avail_cpu_cnt;
  d.cpu_launch = h.cpu_launch != 0;
  d.initial_pid = h.initial_pid;
  d.log_entry_cnt = h.log_entry_cnt;
  if (d.avail_node_cnt < 0 || d.avail_node_cnt > n) {
    why = "available node count " + std::to_string(d.avail_node_cnt) + " out of range";
    return false;
  }
  d.launch_nodes = text_of(h.launch_nodes);
  d.data_file = text_of(h.data_file);
  d.log_file = text_of(h.log_file);
  d.error_file = text_of(h.error_file);
  d.proc_policy = text_of(h.proc_policy_name);
  d.thrd_policy = text_of(h.thrd_policy_name);
  for (int i = 0; i < d.avail_node_cnt; ++i) {
    LiveNode node;
    if (!decode_node(b, i, proc_tree, table, node, why)) return false;
    d.nodes.push_back(node);
  }
  return true;
}

namespace {

// The number after "name=" in a numa_maps word; false for another word.
bool field_value(const std::string& word, const char* name, uint64_t& value) {
  const std::size_t n = std::strlen(name);
  if (word.compare(0, n, name) != 0 || word.size() <= n || word[n] != '=') return false;
  char* end = nullptr;
  value = std::strtoull(word.c_str() + n + 1, &end, 10);
  return *end == '\0';
}

// Whether a numa_maps line is a file's: "file=" names one. Anonymous shared
// memory ("/dev/zero") and anonymous huge pages ("/anon_hugepage", any
// hugetlbfs mapping: "huge") are the process's own although they show a file.
bool file_line(const std::vector<std::string>& words) {
  bool file = false;
  for (const auto& w : words) {
    if (w == "huge") return false;
    if (w.rfind("file=", 0) == 0)
      file = w.rfind("file=/dev/zero", 0) != 0 && w.rfind("file=/anon_hugepage", 0) != 0;
  }
  return file;
}

}  // namespace

ProcMemory parse_numa_maps(const std::string& text, uint64_t page_size) {
  ProcMemory m;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream split(line);
    std::vector<std::string> words;
    for (std::string w; split >> w;) words.push_back(w);
    uint64_t page = page_size, kb = 0;
    for (const auto& w : words)
      if (field_value(w, "kernelpagesize_kB", kb) && kb > 0) page = kb * 1024;
    const bool own = !file_line(words);
    for (const auto& w : words) {
      uint64_t pages = 0;
      if (w.size() < 4 || w[0] != 'N' || !std::isdigit(static_cast<unsigned char>(w[1]))) continue;
      const std::size_t eq = w.find('=');
      if (eq == std::string::npos || !field_value(w, w.substr(0, eq).c_str(), pages)) continue;
      const int node = std::atoi(w.c_str() + 1);
      m.resident += pages * page;
      if (own) m.own[node] += pages * page;
    }
  }
  return m;
}

MemoryShare memory_share(const std::map<int, uint64_t>& own, const std::set<int>& run_nodes) {
  MemoryShare s;
  for (const auto& [node, bytes] : own) (run_nodes.count(node) ? s.local : s.remote) += bytes;
  if (const uint64_t all = s.local + s.remote; all > 0)
    s.share = static_cast<double>(s.remote) / static_cast<double>(all);
  return s;
}

bool memory_warns(const MemoryShare& s) {
  return s.share > kRemoteShareWarn && s.remote >= kRemoteWarnBytes;
}

std::vector<int> parse_cpu_list(const std::string& text) {
  std::vector<int> cpus;
  const std::size_t end = text.find_last_not_of(" \n\t");
  if (end == std::string::npos) return cpus;
  bool too_wide = false;
  const int r = zyg::for_each_list_range(text.substr(0, end + 1).c_str(), kCpuNumberLimit,
                                         [&](unsigned long lo, unsigned long hi) {
                                           too_wide = too_wide || hi - lo > kWidestRange;
                                           for (unsigned long c = lo; c <= hi && !too_wide; ++c)
                                             cpus.push_back(static_cast<int>(c));
                                         });
  if (r != 0 || too_wide) return {};
  return cpus;
}

int run_live(const LiveRequest& req, std::ostream& out, std::ostream& err) {
  const Target target = resolve_target(req.target);
  const bool tty = isatty(STDOUT_FILENO);
  bool ended = false;
  int rc = show_once(target, req.json, false, out, err, ended);
  if (req.watch_seconds < 0 || rc != kOk) return rc;
  for (;;) {
    out.flush();
    std::this_thread::sleep_for(std::chrono::seconds(req.watch_seconds));
    if (tty)
      out << "\033[H\033[2J";
    else
      out << "\n";
    std::ostringstream frame;
    std::ostringstream quiet;  // the end of the launch is the normal end of watching
    rc = show_once(target, req.json, true, frame, quiet, ended);
    out << frame.str();
    if (ended || rc == kNotRunning) {
      out << "launch ended\n";
      return kOk;
    }
    if (rc != kOk) return rc;
  }
}

}  // namespace zr
