#include "model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "shared/log_schema.h"
#include "shared/policy_table.h"

namespace zr {

const char* end_kind_name(EndKind k) {
  switch (k) {
    case EndKind::kExited:
      return "exited";
    case EndKind::kWithProcess:
      return "with_process";
    case EndKind::kLeftTree:
      return "left_tree";
    case EndKind::kUntracked:
      return "untracked";
    case EndKind::kNeverEnded:
      return "never_ended";
  }
  return "never_ended";
}

std::string Process::chain() const {
  std::string s = comm;
  for (const auto& e : execs)
    if (e.started) s += " > " + e.comm;
  return s;
}

std::string Process::last_cmdline() const {
  for (auto it = execs.rbegin(); it != execs.rend(); ++it)
    if (it->started) return it->cmdline;
  return cmdline;
}

bool Moves::rebound() const {
  return std::any_of(stays.begin(), stays.end(), [](const Stay& s) { return !s.by_policy; });
}

Stay Moves::placed(const std::string& start_node, int start_cpu) const {
  Stay at{kNoTime, start_node, start_cpu, true};
  for (const Stay& s : stays)
    if (s.by_policy) at = s;
  return at;
}

const Stay* Moves::away() const {
  for (auto it = stays.rbegin(); it != stays.rend(); ++it)
    if (!it->by_policy) return &*it;
  return nullptr;
}

const std::string& Thread::last_node() const {
  return moves.stays.empty() ? node : moves.stays.back().node;
}

int Thread::last_cpu() const { return moves.stays.empty() ? cpu : moves.stays.back().cpu; }

const std::string& Process::last_node() const {
  return moves.stays.empty() ? node : moves.stays.back().node;
}

int Process::last_cpu() const { return moves.stays.empty() ? cpu : moves.stays.back().cpu; }

namespace {
const std::string& l3_column(const Record* r) {
  static const std::string kNone;
  return r != nullptr ? r->text(zyg::COL_L3) : kNone;
}
}  // namespace

const std::string& Thread::l3_domain() const { return l3_column(record); }
const std::string& Process::l3_domain() const { return l3_column(record); }

int Launch::task_count() const { return static_cast<int>(procs.size()) + thread_count(); }

int Launch::thread_count() const {
  int n = 0;
  for (const auto& p : procs) n += static_cast<int>(p.threads.size());
  return n;
}

namespace {

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

const char* text_of(zyg::log_message m) { return zyg::log_text(m); }

// What a fixed event text of the library tells (the schema's kind), or
// nothing for any other text.
bool is_kind(const std::string& m, zyg::record_kind kind) {
  static const std::unordered_map<std::string_view, zyg::record_kind> kKinds = [] {
    std::unordered_map<std::string_view, zyg::record_kind> k;
    for (const auto& d : zyg::kLogMessages) k.emplace(d.text, d.kind);
    return k;
  }();
  auto it = kKinds.find(m);
  return it != kKinds.end() && it->second == kind;
}

bool is_process_start(const std::string& m) { return is_kind(m, zyg::RECORD_PROCESS_START); }
bool is_thread_start(const std::string& m) { return is_kind(m, zyg::RECORD_THREAD_START); }
bool is_main_thread(const std::string& m) { return is_kind(m, zyg::RECORD_MAIN_THREAD); }
bool is_thread_end(const std::string& m) { return is_kind(m, zyg::RECORD_THREAD_END); }
bool is_process_end(const std::string& m) { return is_kind(m, zyg::RECORD_PROCESS_END); }

// "posix_spawn(/bin/ls)", "system(make -j4)": a call that starts a program in
// a new process.
bool is_start_call(const std::string& m) {
  for (const char* c : zyg::kRecStartCalls)
    if (starts_with(m, c) && m.size() > std::char_traits<char>::length(c) &&
        m[std::char_traits<char>::length(c)] == '(')
      return true;
  return false;
}

// "execve(/bin/ls)", optionally behind a refusal prefix.
bool parse_exec(const std::string& m, ExecStep& e) {
  static const char* const kPrefixes[] = {zyg::kRecThirtyTwoRefused, zyg::kRecSetidRefused};
  std::string rest = m;
  for (const char* p : kPrefixes)
    if (starts_with(rest, p)) {
      // The refusal without its ": ".
      e.refused = std::string(p, std::char_traits<char>::length(p) - 2);
      rest = rest.substr(std::char_traits<char>::length(p));
    }
  const auto& calls = zyg::kRecExecCalls;
  std::size_t paren = rest.find('(');
  if (paren == std::string::npos || rest.back() != ')') return false;
  std::string call = rest.substr(0, paren);
  for (const char* c : calls)
    if (call == c) {
      e.call = call;
      e.file = rest.substr(paren + 1, rest.size() - paren - 2);
      return true;
    }
  return false;
}

// The records of a posix_spawn: written while the calling thread is bound
// where its child goes, so their Node and CPU are the child's, not the
// caller's.
bool written_for_a_spawn(const std::string& m) {
  if (starts_with(m, zyg::kRecSpawnedPid)) return true;
  std::size_t at = 0;
  for (const char* p : {zyg::kRecThirtyTwoRefused, zyg::kRecSetidRefused})
    if (m.compare(at, std::char_traits<char>::length(p), p) == 0)
      at += std::char_traits<char>::length(p);
  return m.compare(at, std::char_traits<char>::length(zyg::kRecPosixSpawn), zyg::kRecPosixSpawn) ==
         0;
}

// A record of a task: where it was when it wrote it.  A place other than
// its last one is a move (`by_policy` when the library made it).
void note_place(Moves& moves, const std::string& start_node, int start_cpu, const Record& r,
                bool by_policy) {
  const std::string& node = moves.stays.empty() ? start_node : moves.stays.back().node;
  const int cpu = moves.stays.empty() ? start_cpu : moves.stays.back().cpu;
  if (r.node_text() != node || r.cpu != cpu)
    moves.stays.push_back({r.time(), r.node_text(), r.cpu, by_policy});
}

bool parse_count(const std::string& m, const char* prefix, long& v) {
  if (!starts_with(m, prefix)) return false;
  const char* s = m.c_str() + std::char_traits<char>::length(prefix);
  char* end = nullptr;
  v = std::strtol(s, &end, 10);
  return end != s && *end == '\0';
}

std::string fmt_pids(const std::vector<long>& pids) {
  std::string s;
  for (std::size_t i = 0; i < pids.size() && i < 10; ++i) {
    if (i) s += ", ";
    s += std::to_string(pids[i]);
  }
  if (pids.size() > 10) s += ", ...";
  return s;
}

bool single_node(const std::string& node_text) {
  return !node_text.empty() && node_text.find(',') == std::string::npos;
}

// Counts of tasks over the launch nodes: max - min.  Nodes outside the
// launch nodes are ignored here (they get their own warning).
int spread(const std::map<std::string, int>& counts, const std::vector<int>& launch_nodes) {
  if (launch_nodes.empty()) return 0;
  int lo = -1, hi = 0;
  for (int n : launch_nodes) {
    auto it = counts.find(std::to_string(n));
    int c = it == counts.end() ? 0 : it->second;
    lo = lo < 0 ? c : std::min(lo, c);
    hi = std::max(hi, c);
  }
  return hi - lo;
}

std::string fmt_counts(const std::map<std::string, int>& counts,
                       const std::vector<int>& launch_nodes) {
  std::string s;
  for (int n : launch_nodes) {
    auto it = counts.find(std::to_string(n));
    s += (s.empty() ? "" : ", ") + std::string("node ") + std::to_string(n) + ": " +
         std::to_string(it == counts.end() ? 0 : it->second);
  }
  return s;
}

void warn(Launch& launch, std::string w) { launch.warnings.push_back(std::move(w)); }

void end_threads(Process& p, double t) {
  for (auto& th : p.threads)
    if (th.end_kind == EndKind::kNeverEnded) {
      th.end = t;
      th.end_kind = EndKind::kWithProcess;
    }
}

// What the entry numbers say about the section as a whole.
struct EntryCheck {
  long duplicates = 0;
  long highest = 0;
};

// The records of one launch turned into processes and threads, one record
// at a time in entry order.
struct TreeBuilder {
  Launch& launch;
  std::unordered_map<long, std::vector<std::pair<long, long>>>
      creators;                           // child pid -> (entry, creator pid)
  std::unordered_map<long, int> current;  // pid -> its process now (PIDs can be reused)
  // TID -> (process, index in its threads) of the latest thread started with
  // that TID, so that an end record finds its thread at once however many
  // threads the process has.  A TID is reused only after its thread is gone,
  // so an end belongs to the latest start.
  std::unordered_map<long, std::pair<int, std::size_t>> thread_of_tid;
  std::vector<std::string> reported;  // the first five copies of reports and unknown records

  // A child's start can come before its parent's "Created PID" record, so
  // the creators are collected before any record is applied.
  EntryCheck collect_creators(const std::vector<const Record*>& recs);
  void apply(const Record& r);

  int creator_of(long pid, long entry, long ppid) const;
  Process& new_process(const Record& r, const std::string& how);
  Process* alive(long pid);
  Process& owner_of(const Record& r);
  void exec_started(const Record& r, Process* p);
  void apply_event(const Record& r, Process& p);
  void observe(const Record& r, Process& p, bool by_policy);
  void thread_started(const Record& r, Process& p);
  void thread_ended(const Record& r, Process& p);
  void exec_called(Process& p, ExecStep e);
};

EntryCheck TreeBuilder::collect_creators(const std::vector<const Record*>& recs) {
  EntryCheck check;
  std::set<long> seen_entries;
  for (const Record* r : recs) {
    if (!seen_entries.insert(r->entry).second) ++check.duplicates;
    check.highest = std::max(check.highest, r->entry);
    launch.span = std::max(launch.span, r->time());
    long child;
    if (parse_count(r->msg(), zyg::kRecCreatedPid, child) ||
        parse_count(r->msg(), zyg::kRecSpawnedPid, child))
      creators[child].push_back({r->entry, r->pid});
  }
  return check;
}

// The creator whose "Created PID" record is nearest in entry order, else the
// parent pid of the record; -1 when that process is not in the log.
int TreeBuilder::creator_of(long pid, long entry, long ppid) const {
  long best = -1, best_dist = 0;
  auto it = creators.find(pid);
  if (it != creators.end())
    for (auto [e, cpid] : it->second) {
      long d = e > entry ? e - entry : entry - e;
      if (best < 0 || d < best_dist) {
        best = cpid;
        best_dist = d;
      }
    }
  if (best < 0) best = ppid;
  auto cur = current.find(best);
  return cur == current.end() || best == pid ? -1 : cur->second;
}

Process& TreeBuilder::new_process(const Record& r, const std::string& how) {
  Process p;
  p.id = static_cast<int>(launch.procs.size());
  p.pid = r.pid;
  p.ppid = r.ppid;
  p.start = r.time();
  p.how = how;
  p.node = r.node_text();
  p.cpu = r.cpu;
  p.comm = r.comm();
  p.cmdline = r.cmdline();
  p.parent = creator_of(r.pid, r.entry, r.ppid);
  p.record = &r;
  launch.procs.push_back(std::move(p));
  current[r.pid] = launch.procs.back().id;
  return launch.procs.back();
}

Process* TreeBuilder::alive(long pid) {
  auto it = current.find(pid);
  if (it == current.end()) return nullptr;
  Process& p = launch.procs[it->second];
  return p.end_kind == EndKind::kNeverEnded || p.end_kind == EndKind::kUntracked ? &p : nullptr;
}

// The process a record of no living process belongs to.
Process& TreeBuilder::owner_of(const Record& r) {
  // A late record of a process that has already ended (atexit handlers
  // run after the exit record) belongs to it, not to a new process.
  auto it = current.find(r.pid);
  if (it != current.end()) return launch.procs[it->second];
  // First sight of a process without a start record (the log's start is
  // missing, or the writer was not yet logging): shown from here on.
  return new_process(r, "(first seen)");
}

void TreeBuilder::apply(const Record& r) {
  const std::string& m = r.msg();
  Process* p = alive(r.pid);
  if (is_process_start(m)) {
    if (r.tid == r.pid) {
      new_process(r, m);
      return;
    }
  } else if (m == text_of(zyg::REC_CHILD_EXEC_START)) {
    exec_started(r, p);
    return;
  }
  apply_event(r, p ? *p : owner_of(r));
}

// The new image of an exec, `p` the process that made it (null when none
// is alive with that pid).
void TreeBuilder::exec_started(const Record& r, Process* p) {
  if (p && !p->execs.empty() && !p->execs.back().started) {
    ExecStep& e = p->execs.back();
    e.started = true;
    e.comm = r.comm();
    e.cmdline = r.cmdline();
    e.node = r.node_text();
    e.cpu = r.cpu;
    if (p->end_kind == EndKind::kLeftTree) p->end_kind = EndKind::kNeverEnded;
    observe(r, *p, false);
    return;
  }
  if (!p) {
    // A program started by posix_spawn or system(), or by a process
    // whose own records are missing.
    new_process(r, r.msg());
    return;
  }
  // An exec whose call record is missing: keep the new image anyway.
  ExecStep e;
  e.time = r.time();
  e.call = "exec";
  e.started = true;
  e.comm = r.comm();
  e.cmdline = r.cmdline();
  e.node = r.node_text();
  e.cpu = r.cpu;
  p->execs.push_back(e);
  observe(r, *p, false);
}

// Where the task that wrote a record was: the process's main thread, or
// one of its threads (a thread not seen starting is left alone).
void TreeBuilder::observe(const Record& r, Process& p, bool by_policy) {
  if (r.tid == r.pid) {
    note_place(p.moves, p.node, p.cpu, r, by_policy);
    return;
  }
  auto it = thread_of_tid.find(r.tid);
  if (it == thread_of_tid.end() || it->second.first != p.id) return;
  Thread& th = p.threads[it->second.second];
  note_place(th.moves, th.node, th.cpu, r, by_policy);
}

void TreeBuilder::thread_started(const Record& r, Process& p) {
  Thread th;
  th.tid = r.tid;
  th.start = r.time();
  th.node = r.node_text();
  th.cpu = r.cpu;
  th.how = r.msg();
  th.record = &r;
  thread_of_tid[r.tid] = {p.id, p.threads.size()};
  p.threads.push_back(th);
}

// Every record but the starts of processes and images.
void TreeBuilder::apply_event(const Record& r, Process& p) {
  const std::string& m = r.msg();
  const double t = r.time();
  if (is_thread_start(m) && r.tid != r.pid) {
    thread_started(r, p);
    return;
  }
  // Every other record tells where its writer runs now; the main thread's
  // record at the first thread creation is a placement by the policy.
  const bool main_thread = is_main_thread(m);
  if (!written_for_a_spawn(m)) observe(r, p, main_thread);
  if (main_thread) {
    p.main_thread_node = r.node_text();
    p.main_thread_cpu = r.cpu;
    p.main_thread_time = t;
  } else if (long v; parse_count(m, zyg::kRecCreatedTid, v)) {
    ++p.threads_created;
  } else if (parse_count(m, zyg::kRecCreatedPid, v) || parse_count(m, zyg::kRecSpawnedPid, v)) {
    // Used by collect_creators to link children to their creator.
  } else if (is_thread_end(m) && r.tid != r.pid) {
    thread_ended(r, p);
  } else if (is_process_end(m)) {
    p.end = t;
    p.end_how = m;
    p.end_kind = EndKind::kExited;
    end_threads(p, t);
  } else if (ExecStep e; parse_exec(m, e)) {
    e.time = t;
    e.node = r.node_text();
    e.cpu = r.cpu;
    // An exec made by a thread: that thread goes on as the new image's
    // main thread, where the policy put it.
    if (r.tid != r.pid) note_place(p.moves, p.node, p.cpu, r, true);
    exec_called(p, e);
  } else if (is_start_call(m)) {
    p.calls.push_back(m);
  } else {
    // Copies of the library's error reports and anything unknown.
    p.notes.push_back(m);
    if (reported.size() < 5) reported.push_back("PID " + std::to_string(r.pid) + ": " + m);
  }
}

void TreeBuilder::thread_ended(const Record& r, Process& p) {
  if (auto it = thread_of_tid.find(r.tid); it != thread_of_tid.end() && it->second.first == p.id) {
    Thread& th = p.threads[it->second.second];
    const bool open = th.end_kind == EndKind::kNeverEnded;
    if (open) {
      th.end = r.time();
      th.end_how = r.msg();
      th.end_kind = EndKind::kExited;
    }
    thread_of_tid.erase(it);
    if (open) return;
  }
  // An end without its start: a thread of its own from here on.
  Thread th;
  th.tid = r.tid;
  th.start = r.time();
  th.end = r.time();
  th.node = r.node_text();
  th.cpu = r.cpu;
  th.how = "(first seen)";
  th.record = &r;
  th.end_how = r.msg();
  th.end_kind = EndKind::kExited;
  p.threads.push_back(th);
}

void TreeBuilder::exec_called(Process& p, ExecStep e) {
  // A failed exec leaves the old image running; a later exec replaces
  // the not-started step.
  if (!p.execs.empty() && !p.execs.back().started && p.execs.back().refused.empty())
    p.execs.pop_back();
  p.execs.push_back(e);
  if (!e.refused.empty()) {
    p.end = e.time;
    p.end_how = e.refused + ": " + e.file;
    p.end_kind = EndKind::kLeftTree;
  }
}

// Entry numbers give the order in which records were taken; the file order
// can differ by a little.
std::vector<const Record*> in_entry_order(const Section& section) {
  std::vector<const Record*> recs;
  recs.reserve(section.records.size());
  for (const auto& r : section.records) recs.push_back(&r);
  std::stable_sort(recs.begin(), recs.end(),
                   [](const Record* a, const Record* b) { return a->entry < b->entry; });
  return recs;
}

// Ends that the log does not show; returns the processes that never ended.
std::vector<long> settle_ends(Launch& launch) {
  const bool rr_pack = launch.banner.proc_policy == "rr_pack";
  std::vector<long> never;
  for (auto& p : launch.procs) {
    if (p.end_kind == EndKind::kLeftTree) {
      end_threads(p, p.end);
    } else if (p.end_kind == EndKind::kNeverEnded) {
      if (rr_pack && p.how != text_of(zyg::REC_INITIAL_EXEC_START) && p.parent >= 0) {
        p.end_kind = EndKind::kUntracked;
      } else {
        never.push_back(p.pid);
      }
    }
    for (auto& th : p.threads)
      if (th.end_kind == EndKind::kNeverEnded && p.end_kind == EndKind::kExited)
        th.end_kind = EndKind::kWithProcess;
  }
  return never;
}

void link_tree(Launch& launch) {
  for (auto& p : launch.procs) {
    if (p.parent >= 0)
      launch.procs[p.parent].children.push_back(p.id);
    else
      launch.roots.push_back(p.id);
  }
  // A parent always comes before its children in procs (it exists when it
  // creates them), so one backward pass sums the subtrees without recursion,
  // however deep the tree.
  for (auto it = launch.procs.rbegin(); it != launch.procs.rend(); ++it) {
    int n = 1;
    for (int c : it->children) n += launch.procs[c].subtree_size;
    it->subtree_size = n;
  }
}

// When a task was alive in one place: from its start, or a move, to its
// next move, its end or the log's last record.
struct Span {
  double start, end;
};
using NodeRows = std::map<std::string, NodeRow>;

// The lives of the tasks, split where they moved, per node and (with CPU
// launch) per CPU.
struct Lives {
  std::map<std::string, std::vector<Span>> nodes;
  std::map<int, std::vector<Span>> cpus;
  std::map<int, std::string> node_of_cpu;
  bool per_cpu = false;

  void add(double start, double end, const std::string& node, int cpu, const Moves& moves) {
    const std::string* n = &node;
    int c = cpu;
    for (const Stay& s : moves.stays) {
      add_span(start, s.from, *n, c);
      start = s.from;
      n = &s.node;
      c = s.cpu;
    }
    add_span(start, end, *n, c);
  }

  void add_span(double start, double end, const std::string& node, int cpu) {
    nodes[node].push_back({start, end});
    if (!per_cpu || cpu < 0) return;
    cpus[cpu].push_back({start, end});
    node_of_cpu[cpu] = node;
  }
};

NodeRow& row_of(NodeRows& rows, const std::string& node) {
  NodeRow& row = rows[node];
  row.node = node;
  return row;
}

// One process and its threads counted into the rows, their lives into
// `lives`.
void count_process(const Launch& launch, const Process& p, NodeRows& rows, Lives& lives) {
  auto end_or_span = [&](double e) { return e < 0 ? launch.span : e; };
  const bool cpus = launch.banner.cpu_launch;
  NodeRow& row = row_of(rows, p.node);
  ++row.processes;
  if (cpus && p.cpu >= 0) ++row.cpus[p.cpu];
  // The main thread is the process's own task, counted as its process:
  // the threads count holds the threads it started, no more. Its placement
  // by the thread policy is counted apart (the library's thread counters
  // hold both); placed on a CPU of its own, it is a task on that CPU.
  if (!p.main_thread_node.empty()) {
    NodeRow& main_row = row_of(rows, p.main_thread_node);
    ++main_row.main_threads;
    if (cpus && p.main_thread_cpu >= 0 &&
        (p.main_thread_cpu != p.cpu || p.main_thread_node != p.node))
      ++main_row.cpus[p.main_thread_cpu];
  }
  lives.add(p.start, end_or_span(p.end), p.node, p.cpu, p.moves);
  for (const auto& th : p.threads) {
    NodeRow& trow = row_of(rows, th.node);
    ++trow.threads;
    if (cpus && th.cpu >= 0) ++trow.cpus[th.cpu];
    lives.add(th.start, end_or_span(th.end), th.node, th.cpu, th.moves);
  }
}

// The most spans open at once.
int peak_alive(const std::vector<Span>& list) {
  std::vector<std::pair<double, int>> ev;
  for (const auto& s : list) {
    ev.push_back({s.start, +1});
    ev.push_back({s.end, -1});
  }
  // At equal times ends go first: a task that ends as another starts
  // was not alive together with it.
  std::sort(ev.begin(), ev.end());
  int cur = 0, peak = 0;
  for (auto& e : ev) peak = std::max(peak, cur += e.second);
  return peak;
}

// A CPU that held more than one task at once.
struct CrowdedCpu {
  int cpu;
  std::string node;
  int peak;
};

// The per-node table: the launch nodes always, single nodes in numeric
// order, then the lists of unbound tasks.  Returns the CPUs that held
// more than one task at once (CPU launch only).
std::vector<CrowdedCpu> count_nodes(Launch& launch) {
  NodeRows rows;
  for (int n : launch.launch_nodes) row_of(rows, std::to_string(n)).launch_node = true;
  Lives lives;
  lives.per_cpu = launch.banner.cpu_launch;
  for (const auto& p : launch.procs) count_process(launch, p, rows, lives);
  for (auto& [key, list] : lives.nodes) row_of(rows, key).peak_alive = peak_alive(list);
  std::vector<NodeRow> ordered;
  for (auto& [k, v] : rows) ordered.push_back(v);
  std::sort(ordered.begin(), ordered.end(), [](const NodeRow& a, const NodeRow& b) {
    bool sa = single_node(a.node), sb = single_node(b.node);
    if (sa != sb) return sa;
    if (sa) return std::stoi(a.node) < std::stoi(b.node);
    return a.node < b.node;
  });
  launch.nodes = ordered;
  std::vector<CrowdedCpu> crowded;
  for (auto& [cpu, list] : lives.cpus)
    if (int peak = peak_alive(list); peak > 1)
      crowded.push_back({cpu, lives.node_of_cpu[cpu], peak});
  return crowded;
}

// The per-domain table under L3 units: each domain of the banner
// ("0-1@0 2-3@0 ..."), and the tasks counted by the domain they started in.
void count_domains(Launch& launch) {
  if (launch.banner.unit.empty()) return;
  std::istringstream words(launch.banner.l3_domains);
  std::string w;
  while (words >> w) {
    const std::size_t at = w.rfind('@');
    if (at == std::string::npos) continue;
    DomainRow row;
    row.cpus = w.substr(0, at);
    row.node = std::atoi(w.c_str() + at + 1);
    launch.domains.push_back(row);
  }
  auto row_named = [&](const std::string& text) -> DomainRow& {
    const std::string cpus = text.empty() ? "-" : text;
    for (auto& row : launch.domains)
      if (row.cpus == cpus) return row;
    launch.domains.push_back({cpus});
    return launch.domains.back();
  };
  for (const auto& p : launch.procs) {
    ++row_named(p.l3_domain()).processes;
    for (const auto& th : p.threads) ++row_named(th.l3_domain()).threads;
  }
}

// What is wrong with the log itself: no banner, records of several
// launches, records missing.
void warn_about_log(Launch& launch, const EntryCheck& check) {
  if (!launch.has_banner)
    warn(launch, "no banner: the start of the log is missing, so the launch settings are unknown");
  else if (launch.banner.fields_seen < 10)
    warn(launch, "the banner is incomplete (" + std::to_string(launch.banner.fields_seen) +
                     " of 10 settings read)");
  if (check.duplicates > 0)
    warn(launch,
         std::to_string(check.duplicates) +
             " entry numbers occur more than once: the log holds records of more than one launch");
  if (check.highest > launch.records && check.duplicates == 0)
    warn(launch, std::to_string(check.highest - launch.records) +
                     " records are missing (entry numbers up to " + std::to_string(check.highest) +
                     ", " + std::to_string(launch.records) + " records read)");
}

void warn_about_ends(Launch& launch, const std::vector<long>& never) {
  if (!never.empty())
    warn(launch, std::to_string(never.size()) + (never.size() == 1 ? " process" : " processes") +
                     " never ended in the log (killed, or still running): PID " + fmt_pids(never));
  std::vector<long> threads_open;
  for (const auto& p : launch.procs)
    for (const auto& th : p.threads)
      if (th.end_kind == EndKind::kNeverEnded && p.end_kind != EndKind::kNeverEnded)
        threads_open.push_back(th.tid);
  if (!threads_open.empty())
    warn(launch, std::to_string(threads_open.size()) + " threads have no end of their own: TID " +
                     fmt_pids(threads_open));
}

void warn_about_tree(Launch& launch) {
  if (launch.roots.size() > 1) {
    std::vector<long> extra;
    for (std::size_t i = 1; i < launch.roots.size(); ++i)
      extra.push_back(launch.procs[launch.roots[i]].pid);
    warn(launch, std::to_string(launch.roots.size()) + " separate process trees: PID " +
                     fmt_pids(extra) + " not linked to PID " +
                     std::to_string(launch.procs[launch.roots[0]].pid));
  }
  if (launch.has_banner && !launch.procs.empty() &&
      launch.procs[launch.roots[0]].pid != launch.banner.initial_pid)
    warn(launch, "the first process (PID " + std::to_string(launch.procs[launch.roots[0]].pid) +
                     ") is not the banner's initial PID " +
                     std::to_string(launch.banner.initial_pid));
}

const zyg::policy_info* policy_of(const std::string& name) {
  for (const auto& p : zyg::kPolicies)
    if (name == p.name) return &p;
  return nullptr;
}

// Round robin takes every launch node in turn, memfree every one with the
// limit's share of its memory free.  Pack keeps the tasks of a process on
// its node and fill-first fills a node's CPUs before the next (the CPU
// counts are not in the log): nodes they leave unused are what they do.
bool spreads(const std::string& policy) {
  const zyg::policy_info* p = policy_of(policy);
  return p && (p->kind == zyg::KIND_RR || p->kind == zyg::KIND_MEMFREE);
}

bool is_memfree(const std::string& policy) {
  const zyg::policy_info* p = policy_of(policy);
  return p && p->kind == zyg::KIND_MEMFREE;
}

constexpr char kMemfreeLimit[] =
    "the free-memory limit's share of its memory free (the limit, set with -m, is not in the log)";

// The one node every task of a kind was placed on, or empty when they used
// more than one (or fewer than two were placed).
std::string single_node_of(const std::vector<const std::string*>& nodes) {
  if (nodes.size() < 2) return "";
  for (const std::string* n : nodes)
    if (*n != *nodes.front() || !single_node(*n)) return "";
  return *nodes.front();
}

// Under memfree every choice takes the node with the most free memory when
// no launch node has the limit's share free: all tasks on one node say that
// no other launch node had it.  True when it warned.
bool warn_about_memfree(Launch& launch) {
  if (!launch.has_banner || launch.launch_nodes.size() <= 1) return false;
  bool warned = false;
  auto judge = [&](const std::string& policy, const char* what,
                   const std::vector<const std::string*>& nodes) {
    const std::string node = is_memfree(policy) ? single_node_of(nodes) : "";
    if (node.empty()) return;
    warn(launch, "under " + policy + " all " + std::to_string(nodes.size()) + " " + what +
                     " went to node " + node + ": no launch node other than node " + node +
                     " had " + kMemfreeLimit);
    warned = true;
  };
  std::vector<const std::string*> procs, threads;
  for (const auto& p : launch.procs) {
    procs.push_back(&p.node);
    for (const auto& th : p.threads) threads.push_back(&th.node);
  }
  judge(launch.banner.proc_policy, "processes", procs);
  judge(launch.banner.thrd_policy, "threads", threads);
  return warned;
}

// Launch nodes no task used although a spreading policy placed tasks
// enough, and nodes outside the launch nodes.
void warn_about_nodes(Launch& launch, bool memfree_warned) {
  const Banner& b = launch.banner;
  const int want = static_cast<int>(launch.launch_nodes.size());
  const bool by_procs = spreads(b.proc_policy) && static_cast<int>(launch.procs.size()) >= want;
  const bool by_threads = spreads(b.thrd_policy) && launch.thread_count() >= want;
  if (launch.has_banner && !memfree_warned && (by_procs || by_threads)) {
    std::string unused;
    for (const auto& row : launch.nodes)
      if (row.launch_node && row.processes == 0 && row.threads == 0 && row.main_threads == 0) {
        if (!unused.empty()) unused += ", ";
        unused += row.node;
      }
    const bool memfree =
        (by_procs && is_memfree(b.proc_policy)) || (by_threads && is_memfree(b.thrd_policy));
    if (!unused.empty())
      warn(launch, "launch nodes never used: " + unused +
                       (memfree ? std::string(" (memfree skips a node that has less than ") +
                                      kMemfreeLimit + ")"
                                : ""));
  }
  std::string off;
  for (const auto& row : launch.nodes)
    if (!row.launch_node && single_node(row.node) && !launch.launch_nodes.empty()) {
      if (!off.empty()) off += ", ";
      off += row.node;
    }
  if (!off.empty()) warn(launch, "tasks ran on nodes outside the launch nodes: " + off);
}

std::string place_text(const std::string& node, int cpu) {
  std::string s = "node " + (node.empty() ? std::string("-") : node);
  if (cpu >= 0) s += " cpu " + std::to_string(cpu);
  return s;
}

// "placed on node 1, ran on node 3": where the policy last put a task that
// moved, and where it ran last away from there.
std::string moved_text(const std::string& node, int cpu, const Moves& moves) {
  const Stay placed = moves.placed(node, cpu);
  const Stay* away = moves.away();
  return "placed on " + place_text(placed.node, placed.cpu) + ", ran on " +
         place_text(away->node, away->cpu);
}

// Tasks whose records show them somewhere the policy did not put them: a
// program that binds itself (sched_setaffinity, an OpenMP runtime's
// binding) or a tool such as numactl run inside the tree.
void warn_about_moves(Launch& launch) {
  constexpr std::size_t kShown = 5;
  std::vector<std::string> shown;
  long moved = 0;
  auto judge = [&](const std::string& who, const std::string& node, int cpu, const Moves& m) {
    if (!m.rebound()) return;
    if (++moved <= static_cast<long>(kShown)) shown.push_back(who + " " + moved_text(node, cpu, m));
  };
  for (const auto& p : launch.procs) {
    judge("PID " + std::to_string(p.pid) + " (" + p.chain() + ")", p.node, p.cpu, p.moves);
    for (const auto& th : p.threads)
      judge("thread " + std::to_string(th.tid) + " of PID " + std::to_string(p.pid), th.node,
            th.cpu, th.moves);
  }
  if (moved == 0) return;
  std::string list;
  for (const auto& s : shown) list += (list.empty() ? "" : "; ") + s;
  if (moved > static_cast<long>(kShown)) list += "; ...";
  warn(launch, std::to_string(moved) + (moved == 1 ? " task" : " tasks") +
                   " moved outside the launch policy (by the program or a tool it ran, such as "
                   "numactl or sched_setaffinity): " +
                   list);
}

// With CPU launch every task has a CPU of its own until there are more
// tasks than CPUs: a CPU shared at one time slows both.
void warn_about_shared_cpus(Launch& launch, const std::vector<CrowdedCpu>& crowded) {
  if (crowded.empty()) return;
  std::string list;
  for (std::size_t i = 0; i < crowded.size() && i < 10; ++i)
    list += std::string(i ? ", " : "") + "cpu " + std::to_string(crowded[i].cpu) + " on node " +
            crowded[i].node + " (" + std::to_string(crowded[i].peak) + " tasks)";
  if (crowded.size() > 10) list += ", ...";
  warn(launch, "under CPU launch, " + std::to_string(crowded.size()) +
                   (crowded.size() == 1 ? " CPU" : " CPUs") +
                   " held more than one live task at the same time: " + list);
}

// The process policy's imbalance checks (see warn_about_spread).
void warn_process_spread(Launch& launch) {
  const std::string& pp = launch.banner.proc_policy;
  if (pp == "rr_tree" || pp == "rr_pack") {
    std::map<std::string, int> c;
    for (const auto& p : launch.procs) ++c[p.node];
    if (spread(c, launch.launch_nodes) > 1)
      warn(launch, "processes are unevenly spread for " + pp + " (" +
                       fmt_counts(c, launch.launch_nodes) +
                       "; round robin predicts a difference of at most 1)");
  } else if (pp == "rr_flat") {
    for (const auto& p : launch.procs) {
      std::map<std::string, int> c;
      for (int ch : p.children) ++c[launch.procs[ch].node];
      if (spread(c, launch.launch_nodes) > 1 &&
          static_cast<int>(p.children.size()) >= static_cast<int>(launch.launch_nodes.size())) {
        warn(launch, "children of PID " + std::to_string(p.pid) +
                         " are unevenly spread for rr_flat (" + fmt_counts(c, launch.launch_nodes) +
                         ")");
        return;
      }
    }
  } else if (pp == "pack") {
    for (const auto& p : launch.procs)
      for (int ch : p.children)
        if (launch.procs[ch].node != p.node && single_node(p.node)) {
          warn(launch, "under pack, child PID " + std::to_string(launch.procs[ch].pid) +
                           " is on node " + launch.procs[ch].node + ", not on its creator's node " +
                           p.node);
          return;
        }
  }
}

// The thread policy's imbalance checks (see warn_about_spread).
void warn_thread_spread(Launch& launch) {
  const std::string& tp = launch.banner.thrd_policy;
  if (tp == "rr_tree") {
    // Main threads are counted where their process already runs, not by
    // the shared cursor, so only the threads themselves are judged.
    std::map<std::string, int> c;
    for (const auto& p : launch.procs)
      for (const auto& th : p.threads) ++c[th.node];
    if (spread(c, launch.launch_nodes) > 1)
      warn(launch, "threads are unevenly spread for rr_tree (" +
                       fmt_counts(c, launch.launch_nodes) +
                       "; round robin predicts a difference of at most 1)");
  } else if (tp == "rr_flat") {
    for (const auto& p : launch.procs) {
      std::map<std::string, int> c;
      if (!p.main_thread_node.empty()) ++c[p.main_thread_node];
      for (const auto& th : p.threads) ++c[th.node];
      if (spread(c, launch.launch_nodes) > 1) {
        warn(launch, "threads of PID " + std::to_string(p.pid) +
                         " are unevenly spread for rr_flat (" + fmt_counts(c, launch.launch_nodes) +
                         ")");
        return;
      }
    }
  } else if (tp == "pack") {
    for (const auto& p : launch.procs)
      for (const auto& th : p.threads)
        if (th.node != p.node && single_node(p.node)) {
          warn(launch, "under thread policy pack, thread " + std::to_string(th.tid) +
                           " is on node " + th.node + ", not on its process's node " + p.node);
          return;
        }
  }
}

// Imbalance beyond what the policy predicts.  Round robin with counters
// shared by the tree keeps the counts within one of each other; with
// private counters the same holds for the children of each process;
// pack keeps every child on its creator's node.  Fill-first and memfree
// depend on CPU counts and free memory that the log does not hold.
void warn_about_spread(Launch& launch) {
  if (!launch.has_banner || launch.launch_nodes.size() <= 1) return;
  warn_process_spread(launch);
  warn_thread_spread(launch);
}

}  // namespace

Launch build_launch(const Section& section) {
  Launch launch;
  launch.has_banner = section.has_banner;
  launch.banner = section.banner;
  launch.records = static_cast<long>(section.records.size());
  launch.first_line = section.has_banner
                          ? section.banner.first_line
                          : (section.records.empty() ? 0 : section.records.front().line);
  if (launch.has_banner)
    expand_node_list(launch.banner.launch_nodes, launch.banner.config_node_cnt,
                     launch.launch_nodes);

  const std::vector<const Record*> recs = in_entry_order(section);
  TreeBuilder tree{launch, {}, {}, {}, {}};
  const EntryCheck check = tree.collect_creators(recs);
  for (const Record* r : recs) tree.apply(*r);
  const std::vector<long> never = settle_ends(launch);
  link_tree(launch);
  const std::vector<CrowdedCpu> crowded = count_nodes(launch);
  count_domains(launch);

  warn_about_log(launch, check);
  warn_about_ends(launch, never);
  warn_about_tree(launch);
  for (const auto& r : tree.reported) warn(launch, "library report: " + r);
  warn_about_moves(launch);
  warn_about_shared_cpus(launch, crowded);
  warn_about_nodes(launch, warn_about_memfree(launch));
  warn_about_spread(launch);
  return launch;
}

}  // namespace zr
