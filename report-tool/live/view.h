// view.h - one look at a running launch: its data file, the processes that
// map it, where their tasks run and where their memory is; and that look as
// text or as one JSON document (schema/live-v1.json). Internal to --live.
#pragma once

#include <ctime>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "live/data_file.h"
#include "live/proc.h"

namespace zr {
namespace live {

// The exit statuses of --live (main/main.cpp lists them all).
constexpr int kOk = 0, kIo = 2, kNotData = 3, kNotRunning = 5;

// Each CPU of the launch's nodes to its node.
using NodeOfCpu = std::map<int, int>;

// One look at a running launch: its data file, the processes that map it,
// where their tasks run and where their memory is.
struct View {
  Target target;
  LiveData d;
  std::vector<Proc> procs;
  NodeOfCpu node_of_cpu;
  std::map<int, int> entry_of_cpu;  // each CPU to its entry of d.nodes (a domain under L3 units)
  std::time_t when = 0;
};

// node_of_cpu and entry_of_cpu from the data file's entries, and each
// process's nodes and memory share (take_view does it after reading /proc).
void place_view(View& v);

// Reads the launch into v; kOk, or the exit status with the reason written
// to err. `ended` is set when no process of the launch is left; `shown`
// when the launch was shown before (a data file gone then is its end).
int take_view(const Target& t, bool shown, std::ostream& err, View& v, bool& ended);

// Entry of d.nodes (a node, or an L3 domain under L3 units) -> tasks of the
// tree running on its CPUs now (-1: on a CPU outside every entry).
std::map<int, int> tasks_now(const View& v);
// A node set as a list with ranges ("0-2,5"); "-" when empty.
std::string node_list(const std::set<int>& nodes);

constexpr double kMiB = 1024.0 * 1024.0;
// The processes whose own memory lies mostly on nodes their tasks neither
// run on nor take memory from (their memory nodes under --memory), one
// sentence each.
std::vector<std::string> memory_warnings(const View& v);

void write_live_text(std::ostream& out, const View& v);
// The view as one JSON document (schema/live-v1.json).
void write_live_json(std::ostream& out, const View& v);

}  // namespace live
}  // namespace zr
