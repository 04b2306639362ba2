#include "model/launch.h"

#include <algorithm>

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

std::string place_text(const std::string& node, int cpu) {
  std::string s = "node " + (node.empty() ? std::string("-") : node);
  if (cpu >= 0) s += " cpu " + std::to_string(cpu);
  return s;
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
const std::string& Process::main_thread_l3() const { return l3_column(main_thread_record); }

int Launch::task_count() const { return static_cast<int>(procs.size()) + thread_count(); }

int Launch::thread_count() const {
  int n = 0;
  for (const auto& p : procs) n += static_cast<int>(p.threads.size());
  return n;
}

}  // namespace zr
