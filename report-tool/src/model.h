// What one launch did, rebuilt from its log records: the process tree with
// each process's threads, exec chain and end, the per-node counts, and the
// warnings a person should look at.  Every output format is drawn from this.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "logparse.h"

namespace zr {

constexpr double kNoTime = -1.0;

// How a task's life ended, as far as the log tells.
enum class EndKind {
  kExited,       // an exit record of its own
  kWithProcess,  // a thread whose process ended (threads leave no record of their own then)
  kLeftTree,     // exec'd a program that runs without the library (32-bit, set-ID)
  kUntracked,    // started under rr_pack: runs on without placement, so logs no more
  kNeverEnded,   // no end in the log: killed, or still running when the log was read
};
const char* end_kind_name(EndKind k);

struct Thread {
  long tid = 0;
  double start = kNoTime;
  double end = kNoTime;
  std::string node;  // the Node column at its start ("1", or "0,1" when unbound)
  int cpu = -1;
  std::string how;      // the start record's text
  std::string end_how;  // the end record's text, empty when none
  EndKind end_kind = EndKind::kNeverEnded;
  std::size_t record = 0;  // its first record: the index in Launch::section->records
};

struct ExecStep {
  double time = kNoTime;
  std::string call;  // "execve", "execvp", ...
  std::string file;
  std::string refused;   // "32-bit executable" / "setuid/setgid executable", else empty
  bool started = false;  // the new image wrote "child exec start"
  std::string comm;      // comm of the new image when started
  std::string cmdline;
};

struct Process {
  int id = 0;  // index in Launch::procs
  long pid = 0;
  long ppid = 0;
  int parent = -1;  // index of the creating process, -1 for a root
  std::vector<int> children;
  double start = kNoTime;
  double end = kNoTime;
  std::string how;  // "initial exec start", "child start in fork()", "child exec start" ...
  std::string node;
  int cpu = -1;
  std::string main_thread_node;  // set when the main thread was placed at its first thread creation
  int main_thread_cpu = -1;
  double main_thread_time = kNoTime;  // when that happened
  std::string comm;                   // of the first image
  std::string cmdline;
  std::vector<ExecStep> execs;
  std::vector<Thread> threads;
  std::vector<std::string> calls;  // posix_spawn/system calls it made
  std::vector<std::string> notes;  // copies of error reports written by this process
  std::string end_how;
  EndKind end_kind = EndKind::kNeverEnded;
  int threads_created = 0;  // "Created TID" records
  // The name shown for the process: the comm of each image, joined by " > ".
  std::string chain() const;
  std::string last_cmdline() const;
  int subtree_size = 1;    // this process and all descendants
  std::size_t record = 0;  // its first record: the index in Launch::section->records
};

struct NodeRow {
  std::string node;          // "2", or a list such as "0,1" for tasks not bound to one node
  bool launch_node = false;  // one of the launch's nodes
  int processes = 0;
  int threads = 0;
  int main_threads = 0;     // main threads placed here at their first thread creation
  int peak_alive = 0;       // most tasks (processes and threads) alive on it at once
  std::map<int, int> cpus;  // CPU -> tasks started on it (CPU launch only)
};

struct Launch {
  // The records it was built from: they outlive the launch wherever an
  // output reads a column the model does not keep.
  const Section* section = nullptr;
  bool has_banner = false;
  Banner banner;
  std::vector<int> launch_nodes;  // expanded from the banner, empty when unknown
  std::vector<Process> procs;
  std::vector<int> roots;
  std::vector<NodeRow> nodes;
  std::vector<std::string> warnings;
  long records = 0;
  long first_line = 0;
  double span = 0;  // time of the last record
  int task_count() const;
  int thread_count() const;
  // A record by its index: a task's first one is Process::record or Thread::record.
  const Record& record_at(std::size_t index) const { return section->records[index]; }
};

// The launch of one section, which must outlive it where outputs read its records.
Launch build_launch(const Section& section);

}  // namespace zr
