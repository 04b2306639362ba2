// html_bars.h - the tasks of the page's timeline as bars, and the lanes they
// go in (html_bars.cpp); at scale the summary of the lanes (html_scale.cpp).
// Internal to the page.
#pragma once

#include <cstddef>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "model/launch.h"

namespace zr {
namespace html {

// Where a lane is: a node (or the list of nodes of unbound tasks), under L3
// units one of its domains, with lanes per CPU one CPU. Lanes sort by node
// number, then domain (by its first CPU), then CPU; lists of nodes last.
struct LaneKey {
  int node = 1 << 30;       // the node's number; 1 << 30 for a list or none
  int domain = -1;          // the domain's first CPU; -1 without one
  int cpu = -1;             // with lanes per CPU: the CPU, -1 for any
  bool per_cpu = false;     // lanes per CPU
  std::string node_text;    // as the Node column wrote it ("0", "0,1", "-")
  std::string domain_text;  // the domain's CPU list; empty without one
  bool operator<(const LaneKey& o) const;
};

// The lane of a task on `node` (a Node column value), in L3 domain `domain`
// (its CPU list; empty or "-" for none) and on `cpu` (-1: any).
LaneKey lane_of(const std::string& node, const std::string& domain, int cpu, bool per_cpu);
// The lane's data-lane attribute ("0", "0 / cpu 1", "0 / l3 0-1") and the
// label beside it ("node 0", "node 0 · L3 0-1 · cpu 1").
std::string lane_id(const LaneKey& k);
std::string lane_label(const LaneKey& k);

struct Bar {
  bool cont = false;   // the rest of a process whose main thread moved to another lane
  bool moved = false;  // of a process whose main thread was placed on another lane
  int proc;
  int thread;  // index in the process's threads, -1 for the process itself
  double start, end;
  bool open;         // no end in the log
  std::string node;  // the node it ran on, for the chart of tasks alive per node
  LaneKey lane;
  int row = 0;
};

// The bars of one process: its own (two when its main thread was placed on
// another lane) and one per thread. Tasks with no end end at `span`.
void add_process_bars(std::vector<Bar>& bars, const Process& p, bool per_cpu, double span);

// The hover text of a bar: PID, TID, command, where (node, CPU, L3 domain,
// memory node) and how long.
std::string bar_label(const Launch& launch, const Bar& b);

// The most of `spans` (start, end) alive at once within each of `steps`
// equal steps of [0, span]; at equal times ends go first, as for the peak
// of the node table. The chart of tasks alive and the lanes' summary both
// count with it, so that they agree on when tasks end.
std::vector<int> alive_steps(const std::vector<std::pair<double, double>>& spans, double span,
                             int steps);

// At scale (html_scale.cpp): the bars a lane shows in a summary, those that
// tell something: tasks that never ended, moved outside the policy or left
// the tree, the busiest processes (`busiest`), then a sample spread over
// the run of the others that do not span most of it; at most `quota`.
std::vector<Bar*> telling_bars(const std::vector<Bar*>& lane, const Launch& launch,
                               const std::set<int>& busiest, double span, std::size_t quota);
// The processes with the most threads and children, at most `count`.
std::set<int> busiest_processes(const Launch& launch, std::size_t count);
// A lane's summary strip: the tasks alive on it over time, darker for more,
// each step's count in its hover text.
void write_density(std::ostream& out, const std::vector<int>& steps, double x, double y,
                   double width, double height, const std::string& label, double span);

}  // namespace html
}  // namespace zr
