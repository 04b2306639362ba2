#include "live/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "live/data_file.h"
#include "shared/data_path.h"
#include "shared/names.h"

namespace zr {
namespace live {

bool read_file(const std::string& path, std::string& out, int& error) {
  // /dev/shm is everyone's: a FIFO there must not hold the tool up, nor a
  // link lead it elsewhere; only a regular file is read (procfs's are too).
  const bool shared = path.compare(0, 9, "/dev/shm/") == 0;
  int fd =
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (shared ? O_NOFOLLOW : 0));
  if (fd < 0) {
    error = errno;
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = EINVAL;
    close(fd);
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

namespace {
// A launch data file's path: a launch's own, or a job's on this host.
bool is_data_file_path(const std::string& path) {
  const std::string dir = "/dev/shm/";
  if (path.compare(0, dir.size(), dir) != 0) return false;
  const zyg::shm_name_kind k = zyg::shm_name_kind_of(path.c_str() + dir.size());
  return k == zyg::SHM_DATA_FILE || k == zyg::SHM_JOB_DATA_FILE;
}
}  // namespace

bool all_digits(const std::string& s) {
  return !s.empty() && s.size() < 12 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

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

}  // namespace

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

namespace {

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
    if (is_data_file_path(path)) return path;
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
      return is_data_file_path(path) ? path : std::string();
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

}  // namespace

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

}  // namespace live
}  // namespace zr
