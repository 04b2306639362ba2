// launch.h - what one launch did, rebuilt from its log records: the process
// tree with each process's threads, exec chain and end, where each task was
// placed and where it moved, the per-node (and per-domain) counts, and the
// warnings a person should look at. Every view is drawn from this.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "log/log.h"

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

// Where a task ran from some time on, as one of its records showed it: each
// record's Node and CPU columns say where the task was when it wrote it.
struct Stay {
  double from = kNoTime;
  std::string node;
  int cpu = -1;
  // Put there by the launch policy (a main thread placed at its first thread
  // creation); else moved by the program itself or a tool it ran (numactl,
  // sched_setaffinity), outside the policy.
  bool by_policy = false;
};

// Where a task was, as the report says it: "node 1 cpu 3", "node -" when the
// log names no node.
std::string place_text(const std::string& node, int cpu);

// The places of one task after its start, in time order: empty while it
// stays where it started, so that a million tasks that never move cost
// nothing.
struct Moves {
  std::vector<Stay> stays;
  bool rebound() const;  // a stay not made by the policy
  // Where the policy last put the task: where it started, or a later
  // placement by the policy.
  Stay placed(const std::string& start_node, int start_cpu) const;
  // The last stay the policy did not make; null when there is none.
  const Stay* away() const;
};

struct Thread {
  long tid = 0;
  double start = kNoTime;
  double end = kNoTime;
  std::string node;  // the Node column at its start ("1", or "0,1" when unbound)
  int cpu = -1;
  std::string how;      // the start record's text
  std::string end_how;  // the end record's text, empty when none
  EndKind end_kind = EndKind::kNeverEnded;
  Moves moves;
  const std::string& last_node() const;  // where it ran last
  int last_cpu() const;
  // Its first record, where an output reads a column the model does not keep
  // (the parsed log outlives the launch).
  const Record* record = nullptr;
  // Under L3 units its domain (the L3 column at its start: a CPU list, "-"
  // when it was within none); empty in the log of any other launch.
  const std::string& l3_domain() const;
};

struct ExecStep {
  double time = kNoTime;
  std::string call;  // "execve", "execvp", ...
  std::string file;
  std::string
      refused;  // "32-bit executable" / "setuid/setgid executable" / "new launch", else empty
  bool started = false;  // the new image wrote "child exec start"
  std::string comm;      // comm of the new image when started
  std::string cmdline;
  // Where the new image started (where the call was made when none did).
  std::string node;
  int cpu = -1;
};

// A job's rank, as the record its command writes names it ("Job rank 3 of
// 8 (local 1)"): -1 for a part the starter does not say; rank -1 on every
// process that is not the command of a rank.
struct RankOf {
  long rank = -1;
  long size = -1;
  long local = -1;
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
  double main_thread_time = kNoTime;           // when that happened
  const Record* main_thread_record = nullptr;  // the record of that placement
  const std::string& main_thread_l3() const;   // its L3 column, as l3_domain()
  Moves moves;                           // of its main thread, the policy's placement at first
                                         // thread creation included
  const std::string& last_node() const;  // where its main thread ran last
  int last_cpu() const;
  std::string comm;  // of the first image
  std::string cmdline;
  std::vector<ExecStep> execs;
  std::vector<Thread> threads;
  std::vector<std::string> calls;  // posix_spawn/system calls it made
  std::vector<std::string> notes;  // copies of error reports written by this process
  RankOf job_rank;                 // set on the command of a job's rank (--job)
  std::string end_how;
  EndKind end_kind = EndKind::kNeverEnded;
  int threads_created = 0;  // "Created TID" records
  // The name shown for the process: the comm of each image, joined by " > ".
  std::string chain() const;
  std::string last_cmdline() const;
  int subtree_size = 1;                  // this process and all descendants
  const Record* record = nullptr;        // its first record, as for a thread
  const std::string& l3_domain() const;  // as for a thread
};

// Under L3 units, the tasks placed in one domain.
struct DomainRow {
  std::string cpus;  // the domain's CPU list as the banner and the L3 column name it; "-": none
  int node = -1;     // its NUMA node, -1 when the banner does not name the domain
  int processes = 0;
  // Placed there by the thread policy, as the library's counters and --live
  // count them: the threads started there and the main threads placed there
  // at their first thread creation (`main_threads` of them).
  int threads = 0;
  int main_threads = 0;
};

struct NodeRow {
  std::string node;          // "2", or a list such as "0,1" for tasks not bound to one node
  bool launch_node = false;  // one of the launch's nodes
  int processes = 0;
  int threads = 0;
  int main_threads = 0;     // main threads placed here at their first thread creation
  int peak_alive = 0;       // most tasks (processes and threads) alive on it at once
  std::map<int, int> cpus;  // CPU -> tasks started or placed on it, main threads included
                            // (CPU launch only)
};

struct Launch {
  bool has_banner = false;
  Banner banner;
  std::vector<int> launch_nodes;  // expanded from the banner, empty when unknown
  std::vector<Process> procs;
  std::vector<int> roots;
  std::vector<NodeRow> nodes;
  // Under L3 units: the banner's domains in its order (the order round
  // robin took them in), then any other domain a task started in ("-" for
  // tasks within none); empty otherwise.
  std::vector<DomainRow> domains;
  bool l3_units() const { return !banner.unit.empty(); }
  std::vector<std::string> warnings;
  long records = 0;
  long first_line = 0;
  double span = 0;  // time of the last record
  int task_count() const;
  int thread_count() const;
};

// The launch of one section, which must outlive it where views read its
// records.
Launch build_launch(const Section& section);

}  // namespace zr
