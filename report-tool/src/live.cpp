#include "live.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "core/ldata.h"

namespace zr {

namespace {

constexpr int kOk = 0, kIo = 2, kNotData = 3, kNotRunning = 5;

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

// Processes of the launch: every process of the tree maps its data file
// (forked children inherit the mapping, exec'd programs map it again).
std::vector<Proc> tree_processes(const std::string& data_path) {
  std::vector<Proc> procs;
  DIR* d = opendir("/proc");
  if (!d) return procs;
  std::string needle = " " + data_path;
  while (dirent* de = readdir(d)) {
    if (!all_digits(de->d_name)) continue;
    std::string base = std::string("/proc/") + de->d_name;
    std::string maps;
    int e;
    if (!read_file(base + "/maps", maps, e)) continue;
    bool found = false;
    std::size_t pos = 0;
    while ((pos = maps.find(needle, pos)) != std::string::npos) {
      std::size_t end = pos + needle.size();
      if (end == maps.size() || maps[end] == '\n' || maps[end] == ' ') {
        found = true;
        break;
      }
      pos = end;
    }
    if (!found) continue;
    Proc p;
    p.pid = std::atol(de->d_name);
    DIR* td = opendir((base + "/task").c_str());
    if (!td) continue;
    while (dirent* te = readdir(td)) {
      if (!all_digits(te->d_name)) continue;
      Task t;
      t.tid = std::atol(te->d_name);
      std::string tb = base + "/task/" + te->d_name;
      std::string comm;
      long ppid = 0;
      if (!read_stat(tb + "/stat", comm, t.state, ppid, t.processor)) continue;  // ended meanwhile
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
    if (!p.tasks.empty()) procs.push_back(p);
  }
  closedir(d);
  std::sort(procs.begin(), procs.end(), [](const Proc& a, const Proc& b) { return a.pid < b.pid; });
  return procs;
}

// The data file of the launch whose first process has this PID: normally
// /dev/shm/zyg-nox.<pid>; when a stale file of an earlier launch with the
// same PID held that name, the launch took the name with a suffix .1, .2 ...
std::string resolve_target(const std::string& target) {
  if (!all_digits(target)) return target;
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

// Reads and decodes the data file into d; kOk, or the exit status with the
// reason written to err. `shown` is true once the launch was shown: a data
// file gone after that is the launch's end, while a file named by the user
// that is not there at all is a file that cannot be read.
int load(const std::string& path, long want_pid, bool shown, std::ostream& err, LiveData& d) {
  std::string bytes;
  int e = 0;
  if (!read_file(path, bytes, e)) {
    if (e == ENOENT && want_pid > 0) {
      err << "zyg-nox-report: no launch data file " << path << ": PID " << want_pid
          << " is not running a zyg-nox launch (or it ended and its file was removed)\n";
      return kNotRunning;
    }
    err << "zyg-nox-report: cannot read " << path << ": " << std::strerror(e) << "\n";
    return e == ENOENT && shown ? kNotRunning : kIo;
  }
  std::string why;
  if (!decode_data_file(bytes, d, why)) {
    err << "zyg-nox-report: " << path
        << " is not a zyg-nox launch data file this tool can read: " << why << "\n";
    return kNotData;
  }
  return kOk;
}

using NodeOfCpu = std::map<int, int>;

// The node table: placements counted in the data file beside the tasks
// running on each node now.
void write_nodes(std::ostream& out, const LiveData& d, const std::vector<Proc>& procs,
                 const NodeOfCpu& node_of_cpu) {
  std::map<int, int> running_on;  // node -> tasks now running there
  for (const auto& p : procs)
    for (const auto& t : p.tasks) {
      auto it = node_of_cpu.find(t.processor);
      ++running_on[it == node_of_cpu.end() ? -1 : it->second];
    }
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %-5s %-12s %16s %16s %10s\n", "Node", "CPUs", "procs placed",
                "threads placed", "tasks now");
  out << buf;
  for (const auto& n : d.nodes) {
    std::snprintf(buf, sizeof buf, "  %-5d %-12s %16d %16d %10d\n", n.node_id, n.cpulist.c_str(),
                  n.proc_log, n.thrd_log, running_on[n.node_id]);
    out << buf;
    if (d.cpu_launch) {
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
void write_tasks(std::ostream& out, const std::vector<Proc>& procs, const NodeOfCpu& node_of_cpu) {
  std::size_t tasks = 0;
  for (const auto& p : procs) tasks += p.tasks.size();
  out << "\n  " << procs.size() << " processes, " << tasks << " tasks\n";
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %7s %7s %7s %5s %4s %-12s %-5s %s\n", "PID", "PPID", "TID",
                "Node", "CPU", "Allowed", "State", "Command");
  out << buf;
  for (const auto& p : procs)
    for (const auto& t : p.tasks) {
      auto it = node_of_cpu.find(t.processor);
      std::string node = it == node_of_cpu.end() ? "?" : std::to_string(it->second);
      std::snprintf(buf, sizeof buf, "  %7ld %7ld %7ld %5s %4d %-12s %-5c %s\n", p.pid, p.ppid,
                    t.tid, node.c_str(), t.processor, t.allowed.c_str(), t.state,
                    t.tid == p.pid ? p.comm.c_str() : "  (thread)");
      out << buf;
    }
}

// One view of the launch; `ended` is set when no process of it is left.
int show_once(const std::string& path, long want_pid, bool shown, std::ostream& out,
              std::ostream& err, bool& ended) {
  ended = false;
  LiveData d;
  if (int rc = load(path, want_pid, shown, err, d); rc != kOk) return rc;
  std::string real = path;
  if (char* r = realpath(path.c_str(), nullptr)) {
    real = r;
    free(r);
  }
  std::vector<Proc> procs = tree_processes(real);
  if (procs.empty()) {
    ended = true;
    err << "zyg-nox-report: the launch of PID " << d.initial_pid << " (" << path
        << ") is not running: no process has its data file open"
        << (d.lib_loaded_cnt > 0 ? " (its processes were killed: the counter still shows " +
                                       std::to_string(d.lib_loaded_cnt) + ")"
                                 : "")
        << "\n";
    return kNotRunning;
  }
  if (want_pid > 0 && d.initial_pid != want_pid)
    out << "note: " << path << " belongs to the launch of PID " << d.initial_pid << "\n";

  NodeOfCpu node_of_cpu;
  for (const auto& n : d.nodes)
    for (int c : n.cpus) node_of_cpu[c] = n.node_id;

  char ts[32];
  std::time_t now = std::time(nullptr);
  std::strftime(ts, sizeof ts, "%H:%M:%S", std::localtime(&now));
  out << "zyg-nox launch of PID " << d.initial_pid << " at " << ts << "  (data file " << path
      << ")\n"
      << "  processes " << d.proc_policy << ", threads " << d.thrd_policy << ", CPU launch "
      << (d.cpu_launch ? "Yes" : "No") << ", launch nodes " << d.launch_nodes << "\n"
      << "  processes with the library loaded: " << d.lib_loaded_cnt
      << "; log records: " << d.log_entry_cnt << (d.log_file.empty() ? "" : " (" + d.log_file + ")")
      << "\n\n";
  write_nodes(out, d, procs, node_of_cpu);
  write_tasks(out, procs, node_of_cpu);
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
  const int n = h.config_node_cnt;
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

int run_live(const std::string& target, int watch_seconds, std::ostream& out, std::ostream& err) {
  const std::string path = resolve_target(target);
  const long want_pid = all_digits(target) ? std::atol(target.c_str()) : 0;
  const bool tty = isatty(STDOUT_FILENO);
  bool ended = false;
  int rc = show_once(path, want_pid, false, out, err, ended);
  if (watch_seconds < 0 || rc != kOk) return rc;
  for (;;) {
    out.flush();
    std::this_thread::sleep_for(std::chrono::seconds(watch_seconds));
    if (tty)
      out << "\033[H\033[2J";
    else
      out << "\n";
    std::ostringstream frame;
    std::ostringstream quiet;  // the end of the launch is the normal end of watching
    rc = show_once(path, want_pid, true, frame, quiet, ended);
    out << frame.str();
    if (ended || rc == kNotRunning) {
      out << "launch ended\n";
      return kOk;
    }
    if (rc != kOk) return rc;
  }
}

}  // namespace zr
