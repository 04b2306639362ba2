#include "model/warnings.h"

namespace zr {

void warn(Launch& launch, std::string w) { launch.warnings.push_back(std::move(w)); }

std::string fmt_pids(const std::vector<long>& pids) {
  std::string s;
  for (std::size_t i = 0; i < pids.size() && i < 10; ++i) {
    if (i) s += ", ";
    s += std::to_string(pids[i]);
  }
  if (pids.size() > 10) s += ", ...";
  return s;
}

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

namespace {

// A launched command that could not load the library (a static busybox,
// tini): it writes no record, and the programs it started are the roots,
// each its child.
bool command_unlogged(const Launch& launch) {
  if (!launch.has_banner || launch.procs.empty()) return false;
  for (const Process& p : launch.procs)
    if (p.pid == launch.banner.initial_pid) return false;
  for (int r : launch.roots)
    if (launch.procs[r].ppid != launch.banner.initial_pid) return false;
  return true;
}

}  // namespace

void warn_about_tree(Launch& launch) {
  // The ranks of a job are separate trees, each its own command.
  if (command_unlogged(launch) || !launch.banner.job.empty()) return;
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

namespace {

// "placed on node 1, ran on node 3": where the policy last put a task that
// moved, and where it ran last away from there.
std::string moved_text(const std::string& node, int cpu, const Moves& moves) {
  const Stay placed = moves.placed(node, cpu);
  const Stay* away = moves.away();
  return "placed on " + place_text(placed.node, placed.cpu) + ", ran on " +
         place_text(away->node, away->cpu);
}

}  // namespace

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

}  // namespace zr
