#include "model/tree.h"

#include <algorithm>
#include <set>

#include "model/events.h"
#include "model/policies.h"

namespace zr {

namespace {

// A record of a task: where it was when it wrote it.  A place other than
// its last one is a move (`by_policy` when the library made it).
void note_place(Moves& moves, const std::string& start_node, int start_cpu, const Record& r,
                bool by_policy) {
  const std::string& node = moves.stays.empty() ? start_node : moves.stays.back().node;
  const int cpu = moves.stays.empty() ? start_cpu : moves.stays.back().cpu;
  if (r.node_text() != node || r.cpu != cpu)
    moves.stays.push_back({r.time(), r.node_text(), r.cpu, by_policy});
}

void end_threads(Process& p, double t) {
  for (auto& th : p.threads)
    if (th.end_kind == EndKind::kNeverEnded) {
      th.end = t;
      th.end_kind = EndKind::kWithProcess;
    }
}

}  // namespace

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
    p.main_thread_record = &r;
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
  } else if (parse_job_rank(m, p.job_rank)) {
    // The command of a job's rank: the job report's rank rows start here.
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

std::vector<const Record*> in_entry_order(const Section& section) {
  std::vector<const Record*> recs;
  recs.reserve(section.records.size());
  for (const auto& r : section.records) recs.push_back(&r);
  std::stable_sort(recs.begin(), recs.end(),
                   [](const Record* a, const Record* b) { return a->entry < b->entry; });
  return recs;
}

std::vector<long> settle_ends(Launch& launch) {
  // Under a policy whose children run on without the library, a child's
  // records end with its start.
  const zyg::policy_info* pol = policy_of(launch.banner.proc_policy);
  const bool untracked = pol != nullptr && children_untracked(*pol);
  std::vector<long> never;
  for (auto& p : launch.procs) {
    if (p.end_kind == EndKind::kLeftTree) {
      end_threads(p, p.end);
    } else if (p.end_kind == EndKind::kNeverEnded) {
      if (untracked && p.how != text_of(zyg::REC_INITIAL_EXEC_START) && p.parent >= 0) {
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

}  // namespace zr
