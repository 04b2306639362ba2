// The HTML report: one self-contained page (no scripts, no external files,
// nothing fetched): the warnings, a chart of the tasks alive per node over
// time, an SVG timeline of the tasks, the per-node table and the process
// tree.
//
// Timeline: one lane per node (per CPU with CPU launch), each task a bar
// from its creation to its end.  Tasks that overlap in time on one lane are
// stacked into rows of the lane so that no bar hides another.  All tasks of
// one process share a colour; the hover text (an SVG <title>) names the
// PID, TID and command.  A launch of many thousand tasks would make the
// lanes a solid wall and the page too large to open: only the longest-lived
// few thousand are drawn, the chart above counts them all, and the tree is
// cut the same way.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <queue>

#include "output.h"

namespace zr {

namespace {

std::string esc(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (unsigned char c : s) {
    switch (c) {
      case '&':
        o += "&amp;";
        break;
      case '<':
        o += "&lt;";
        break;
      case '>':
        o += "&gt;";
        break;
      case '"':
        o += "&quot;";
        break;
      case '\'':
        o += "&#39;";
        break;
      default:
        // Control bytes are not allowed in XML text (the SVG is parsed as such).
        if (c < 0x20 && c != '\t')
          o += ' ';
        else
          o += static_cast<char>(c);
    }
  }
  return o;
}

// "1 process", "2 processes".
std::string counted(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// Evenly spread hues (golden angle) so that neighbouring processes differ.
std::string colour(int id) {
  int hue = static_cast<int>(std::fmod(id * 137.508, 360.0));
  return "hsl(" + std::to_string(hue) + ",65%," + (id % 2 ? "42%" : "55%") + ")";
}

struct Bar {
  bool cont = false;   // the rest of a process whose main thread moved to another lane
  bool moved = false;  // of a process whose main thread was placed on another lane
  int proc;
  int thread;  // index in the process's threads, -1 for the process itself
  double start, end;
  bool open;         // no end in the log
  std::string node;  // the node it ran on, for the occupancy chart
  std::string lane;
  int row = 0;
};

std::string lane_key(const std::string& node, int cpu, bool per_cpu) {
  std::string n = node.empty() ? "-" : node;
  if (!per_cpu) return n;
  return n + (cpu >= 0 ? " / cpu " + std::to_string(cpu) : " / any cpu");
}

// Lanes ordered by node number, then CPU; lanes of several nodes last.
bool lane_less(const std::string& a, const std::string& b) {
  auto key = [](const std::string& s) {
    int node = 1 << 30, cpu = -1;
    if (s.find(',') == std::string::npos) std::sscanf(s.c_str(), "%d / cpu %d", &node, &cpu);
    return std::make_tuple(node, cpu, s);
  };
  return key(a) < key(b);
}

// The name of the program a process ran last.
const std::string& last_comm(const Process& p) {
  for (auto it = p.execs.rbegin(); it != p.execs.rend(); ++it)
    if (it->started) return it->comm;
  return p.comm;
}

// The bars of one process: its own (two when its main thread was placed on
// another lane) and one per thread.
void add_process_bars(std::vector<Bar>& bars, const Process& p, bool per_cpu, double span) {
  const double end = p.end < 0 ? span : p.end;
  Bar b{false,
        false,
        p.id,
        -1,
        p.start,
        end,
        p.end < 0,
        p.node.empty() ? "-" : p.node,
        lane_key(p.node, p.cpu, per_cpu)};
  const std::string moved =
      p.main_thread_node.empty() ? "" : lane_key(p.main_thread_node, p.main_thread_cpu, per_cpu);
  if (!moved.empty() && moved != b.lane && p.main_thread_time >= p.start) {
    // Its main thread was placed anew at its first thread creation: the
    // bar goes on in that lane.
    b.moved = true;
    b.end = p.main_thread_time;
    Bar c = b;
    c.cont = true;
    c.start = p.main_thread_time;
    c.end = end;
    c.node = p.main_thread_node;
    c.lane = moved;
    b.open = false;
    bars.push_back(c);
  }
  bars.push_back(b);
  for (std::size_t i = 0; i < p.threads.size(); ++i) {
    const Thread& th = p.threads[i];
    bars.push_back(Bar{false, false, p.id, static_cast<int>(i), th.start,
                       th.end < 0 ? span : th.end, th.end < 0, th.node.empty() ? "-" : th.node,
                       lane_key(th.node, th.cpu, per_cpu)});
  }
}

// The hover text of a bar: PID, TID, command, where and how long.
std::string bar_label(const Launch& launch, const Bar& b, double span) {
  const Process& p = launch.procs[b.proc];
  const std::string cmd = p.last_cmdline();
  if (b.thread >= 0) {
    const Thread& th = p.threads[b.thread];
    return "PID " + std::to_string(p.pid) + " TID " + std::to_string(th.tid) + ": thread of " +
           p.chain() + "\n" + cmd + "\nnode " + (th.node.empty() ? "-" : th.node) +
           (th.cpu >= 0 ? " cpu " + std::to_string(th.cpu) : "") + ", " +
           fmt_duration(b.end - b.start) + ", " + end_text(th.end_kind, th.end_how);
  }
  const double end = p.end < 0 ? span : p.end;
  std::string s = "PID " + std::to_string(p.pid) + " TID " + std::to_string(p.pid) + ": " +
                  p.chain() + "\n" + cmd + "\nnode " + (p.node.empty() ? "-" : p.node) +
                  (p.cpu >= 0 ? " cpu " + std::to_string(p.cpu) : "") + ", " +
                  fmt_duration(end - p.start) + ", " + end_text(p.end_kind, p.end_how);
  if (b.moved)
    s += "\nmain thread placed on node " + p.main_thread_node +
         (p.main_thread_cpu >= 0 ? " cpu " + std::to_string(p.main_thread_cpu) : "") +
         " at its first thread";
  return s;
}

// At most this many bars are drawn: beyond a few thousand the lanes are a
// solid wall and the page grows past what a browser opens quickly. The
// longest-lived tasks are drawn; the occupancy chart counts them all.
constexpr std::size_t kMaxBars = 3000;

// Keeps the kMaxBars longest bars (ties: in process and thread order);
// returns how many were left out.
std::size_t keep_longest(std::vector<Bar>& bars) {
  if (bars.size() <= kMaxBars) return 0;
  auto longer = [](const Bar& a, const Bar& b) {
    const double da = a.end - a.start, db = b.end - b.start;
    if (da != db) return da > db;
    return std::tie(a.proc, a.thread, a.cont) < std::tie(b.proc, b.thread, b.cont);
  };
  std::nth_element(bars.begin(), bars.begin() + kMaxBars, bars.end(), longer);
  const std::size_t left_out = bars.size() - kMaxBars;
  bars.resize(kMaxBars);
  return left_out;
}

// The page's geometry.
constexpr double kLeft = 110, kWidth = 760, kRowHeight = 12, kLaneGap = 10, kTop = 30;

struct Lane {
  std::vector<Bar*> bars;  // in order of their start
  int rows = 1;
  double row_height = kRowHeight;
  double y = 0;
};
using Lanes = std::map<std::string, Lane, decltype(&lane_less)>;

// Rows of a lane at most: 200 rows of 2 pixels keep each lane within a
// screen's height however many tasks overlap.
constexpr int kMaxLaneRows = 200;

// Rows within a lane: bars in order of their start, each into the row that
// became free first (a heap keeps this fast for many thousand tasks). A
// bar that finds all kMaxLaneRows rows taken is not drawn: it leaves the
// list. Returns the number of rows, at least one.
int stack_rows(std::vector<Bar*>& list, double span) {
  std::stable_sort(list.begin(), list.end(),
                   [](const Bar* a, const Bar* b) { return a->start < b->start; });
  using Free = std::pair<double, int>;  // (end of the row's last bar, row)
  std::priority_queue<Free, std::vector<Free>, std::greater<Free>> free_at;
  int rows = 0;
  std::size_t kept = 0;
  for (Bar* b : list) {
    int r;
    if (!free_at.empty() && free_at.top().first <= b->start) {
      r = free_at.top().second;
      free_at.pop();
    } else if (rows < kMaxLaneRows) {
      r = rows++;
    } else {
      continue;
    }
    list[kept++] = b;
    // A bar is drawn at least a little wide: keep the next one off it.
    free_at.push({std::max(b->end, b->start + span * 0.002), r});
    b->row = r;
  }
  list.resize(kept);
  return std::max(1, rows);
}

// The lanes of the bars, with empty lanes for unused launch nodes, rows
// stacked and placed one below the other; returns the page height. Bars
// that found no row are counted in `left_out`.
double lay_out_lanes(Lanes& lanes, std::vector<Bar>& bars, const Launch& launch, bool per_cpu,
                     double span, std::size_t& left_out) {
  for (auto& b : bars) lanes[b.lane].bars.push_back(&b);
  // Lanes per CPU come from the tasks alone.
  if (!per_cpu)
    for (int n : launch.launch_nodes) lanes[std::to_string(n)];  // empty lanes show unused nodes
  double y = kTop;
  for (auto& [key, lane] : lanes) {
    const std::size_t before = lane.bars.size();
    lane.rows = stack_rows(lane.bars, span);
    left_out += before - lane.bars.size();
    const int n = lane.rows;
    // Very crowded lanes get thinner rows so the page stays a sensible height.
    double h = n > 40 ? std::max(2.0, 480.0 / n) : kRowHeight;
    lane.row_height = h;
    lane.y = y;
    y += n * h + kLaneGap;
  }
  return y + 10;
}

// Time axis: about ten round ticks.
void write_time_axis(std::ostream& out, double span, double height) {
  const double raw = span / 8, mag = std::pow(10.0, std::floor(std::log10(raw))), norm = raw / mag;
  const double step = (norm < 1.5 ? 1 : norm < 3.5 ? 2 : norm < 7.5 ? 5 : 10) * mag;
  for (double t = 0; t <= span * 1.0001; t += step) {
    double x = kLeft + t / span * kWidth;
    out << "<line x1=\"" << num(x) << "\" y1=\"" << num(kTop - 6) << "\" x2=\"" << num(x)
        << "\" y2=\"" << num(height - 10) << "\" stroke=\"#ddd\"/>\n";
    out << "<text x=\"" << num(x) << "\" y=\"" << num(kTop - 10)
        << "\" font-size=\"10\" text-anchor=\"middle\">"
        << (t == 0 ? std::string("0") : esc(fmt_duration(t))) << "</text>\n";
  }
}

// The command as text on a bar wide and tall enough for a few letters,
// cut to what fits (about 0.6 of the font size per letter).
void write_bar_text(std::ostream& out, const std::string& name, double x, double y, double w,
                    double h) {
  if (w < 24 || h < 9) return;
  const double font = std::min(10.0, h - 2);
  const std::size_t fits = static_cast<std::size_t>((w - 4) / (font * 0.6));
  if (fits < 2) return;
  std::string text = name.size() > fits ? name.substr(0, fits - 1) + "~" : name;
  out << "<text class=\"lbl\" x=\"" << num(x + 2) << "\" y=\"" << num(y + h - 2.5)
      << "\" font-size=\"" << num(font) << "\">" << esc(text) << "</text>\n";
}

void write_lane(std::ostream& out, const Launch& launch, const std::string& key, const Lane& lane,
                double span) {
  const double ly = lane.y, h = lane.row_height, lh = lane.rows * h;
  out << "<g class=\"lane\" data-lane=\"" << esc(key) << "\">\n";
  out << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(ly) << "\" width=\"" << num(kWidth)
      << "\" height=\"" << num(lh) << "\" fill=\"#f0f0f4\"/>\n";
  out << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(ly + std::min(lh, 12.0) - 2)
      << "\" font-size=\"11\" text-anchor=\"end\">node " << esc(key) << "</text>\n";
  for (const Bar* b : lane.bars) {
    const Process& p = launch.procs[b->proc];
    const long tid = b->thread < 0 ? p.pid : p.threads[b->thread].tid;
    double x = kLeft + b->start / span * kWidth;
    double w = std::max(1.5, (b->end - b->start) / span * kWidth);
    double y = ly + b->row * h + (h > 4 ? 1 : 0), bh = h > 4 ? h - 2 : h;
    out << "<rect class=\"" << (b->cont ? "cont" : "bar") << (b->open ? " open" : "")
        << "\" data-pid=\"" << p.pid << "\" data-tid=\"" << tid << "\" x=\"" << num(x) << "\" y=\""
        << num(y) << "\" width=\"" << num(w) << "\" height=\"" << num(bh) << "\" fill=\""
        << colour(b->proc) << "\"" << (b->open ? " stroke=\"#c00\" stroke-dasharray=\"3,2\"" : "")
        << "><title>" << esc(bar_label(launch, *b, span)) << "</title></rect>\n";
    write_bar_text(out, last_comm(p), x, y, w, bh);
  }
  out << "</g>\n";
}

// The lanes; returns how many tasks' bars were left out.
std::size_t write_timeline(std::ostream& out, const Launch& launch, bool per_cpu,
                           std::size_t index) {
  const double span = launch.span > 0 ? launch.span : 1e-6;
  std::vector<Bar> bars;
  for (const auto& p : launch.procs) add_process_bars(bars, p, per_cpu, span);
  std::size_t left_out = keep_longest(bars);
  Lanes lanes(&lane_less);
  const double height = lay_out_lanes(lanes, bars, launch, per_cpu, span, left_out);
  out << "<svg id=\"timeline-" << index + 1
      << "\" class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << num(kLeft + kWidth + 20) << "\" height=\"" << num(height) << "\" viewBox=\"0 0 "
      << num(kLeft + kWidth + 20) << " " << num(height)
      << "\" role=\"img\" aria-label=\"task timeline\">\n";
  out << "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fbfbfb\"/>\n";
  write_time_axis(out, span, height);
  for (const auto& [key, lane] : lanes) write_lane(out, launch, key, lane, span);
  out << "</svg>\n";
  return left_out;
}

// Tasks alive on one node over the launch: the most at once within each
// of kChartSteps equal steps of time.
constexpr int kChartSteps = 380;
using Occupancy = std::map<std::string, std::vector<int>, decltype(&lane_less)>;

Occupancy occupancy(const Launch& launch, double span) {
  std::vector<Bar> bars;
  for (const auto& p : launch.procs) add_process_bars(bars, p, false, span);
  std::map<std::string, std::vector<std::pair<double, int>>, decltype(&lane_less)> events(
      &lane_less);
  for (int n : launch.launch_nodes) events[std::to_string(n)];
  for (const Bar& b : bars) {
    auto& ev = events[b.node];
    ev.push_back({b.start, +1});
    ev.push_back({b.end, -1});
  }
  Occupancy occ(&lane_less);
  for (auto& [node, ev] : events) {
    // At equal times ends go first, as for the peak in the node table.
    std::sort(ev.begin(), ev.end());
    std::vector<int>& steps = occ[node];
    steps.assign(kChartSteps, 0);
    int alive = 0;
    std::size_t i = 0;
    for (int s = 0; s < kChartSteps; ++s) {
      const double until = span * (s + 1) / kChartSteps;
      int most = alive;
      for (; i < ev.size() && (ev[i].first < until || s == kChartSteps - 1); ++i)
        most = std::max(most, alive += ev[i].second);
      steps[s] = most;
    }
  }
  return occ;
}

// A colour per node of the chart: distinct for the first eight.
std::string node_colour(std::size_t i) {
  static const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                         "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  return i < 8 ? kColours[i] : colour(static_cast<int>(i));
}

void write_occupancy_legend(std::ostream& out, const Occupancy& occ) {
  out << "<p class=\"chart-legend\">";
  std::size_t i = 0;
  for (const auto& [node, steps] : occ) {
    const int peak = steps.empty() ? 0 : *std::max_element(steps.begin(), steps.end());
    out << "<span><i style=\"background:" << node_colour(i++) << "\"></i>node " << esc(node)
        << " (peak " << peak << ")</span> ";
  }
  out << "</p>\n";
}

// The occupancy chart: tasks alive per node over time, one line per node.
void write_occupancy(std::ostream& out, const Launch& launch, std::size_t index) {
  const double span = launch.span > 0 ? launch.span : 1e-6;
  const Occupancy occ = occupancy(launch, span);
  int top = 1;
  for (const auto& [node, steps] : occ)
    for (int v : steps) top = std::max(top, v);
  const double h = 120, y0 = kTop + h, height = y0 + 8;
  out << "<svg id=\"occupancy-" << index + 1
      << "\" class=\"occupancy\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << num(kLeft + kWidth + 20) << "\" height=\"" << num(height) << "\" role=\"img\""
      << " aria-label=\"tasks alive per node\">\n";
  out << "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fbfbfb\"/>\n";
  write_time_axis(out, span, height);
  out << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(kTop + 4)
      << "\" font-size=\"10\" text-anchor=\"end\">" << top << "</text>\n"
      << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(y0)
      << "\" font-size=\"10\" text-anchor=\"end\">0</text>\n"
      << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(kTop + h / 2)
      << "\" font-size=\"11\" text-anchor=\"end\">tasks alive</text>\n";
  std::size_t i = 0;
  for (const auto& [node, steps] : occ) {
    out << "<polyline class=\"node-line\" data-node=\"" << esc(node) << "\" fill=\"none\" stroke=\""
        << node_colour(i++) << "\" stroke-width=\"1.5\" points=\"";
    for (int s = 0; s < kChartSteps; ++s) {
      const double y = y0 - steps[s] * h / top;
      out << num(kLeft + kWidth * s / kChartSteps) << "," << num(y) << " "
          << num(kLeft + kWidth * (s + 1) / kChartSteps) << "," << num(y) << " ";
    }
    out << "\"/>\n";
  }
  out << "</svg>\n";
  write_occupancy_legend(out, occ);
}

void write_node_table(std::ostream& out, const Launch& launch) {
  const bool cpus = launch.banner.cpu_launch;
  out << "<table "
         "class=\"nodes\"><thead><tr><th>Node</th><th>Processes</th><th>Threads</th><th>Peak "
         "alive</th>"
      << (cpus ? "<th>CPUs used (tasks)</th>" : "") << "</tr></thead><tbody>\n";
  for (const auto& row : launch.nodes) {
    out << "<tr" << (row.processes + row.threads + row.main_threads == 0 ? " class=\"unused\"" : "")
        << "><td>" << esc(row.node.empty() ? "(none)" : row.node) << "</td><td>" << row.processes
        << "</td><td>" << row.threads << "</td><td>" << row.peak_alive << "</td>";
    if (cpus) {
      out << "<td>";
      for (auto& [c, n] : row.cpus) out << c << "(" << n << ") ";
      out << "</td>";
    }
    out << "</tr>\n";
  }
  out << "</tbody></table>\n";
}

// The process tree as nested <details>: at most kTreeRows processes, the
// upper levels first, at most kTreeChildren children of each and
// kTreeDepth levels; what is left out is counted in a line of its own.
constexpr int kTreeRows = 2000, kTreeChildren = 50, kTreeDepth = 40;

std::string tree_line(const Launch& launch, const Process& p) {
  const double end = p.end < 0 ? launch.span : p.end;
  std::string s =
      std::to_string(p.pid) + " " + p.chain() + "  [node " + (p.node.empty() ? "-" : p.node) +
      (p.cpu >= 0 ? " cpu " + std::to_string(p.cpu) : "") + "]  " + fmt_duration(end - p.start);
  if (!p.threads.empty())
    s += ", " + counted(static_cast<long>(p.threads.size()), "thread", "threads");
  if (p.subtree_size > 1)
    s += ", " + counted(p.subtree_size - 1, "process", "processes") + " below";
  return s;
}

// The processes the tree lists: level by level from the roots, so that a
// large launch shows its upper levels rather than one deep branch.
std::vector<char> listed_processes(const Launch& launch) {
  std::vector<char> listed(launch.procs.size(), 0);
  std::vector<std::pair<int, int>> level;  // (process, depth), a queue read from `next`
  int rows = 0;
  for (int root : launch.roots)
    if (rows < kTreeRows) {
      listed[root] = 1;
      ++rows;
      level.push_back({root, 0});
    }
  for (std::size_t next = 0; next < level.size() && rows < kTreeRows; ++next) {
    const auto [proc, depth] = level[next];
    if (depth + 1 >= kTreeDepth) continue;
    const auto& children = launch.procs[proc].children;
    for (std::size_t i = 0; i < children.size() && i < kTreeChildren && rows < kTreeRows; ++i) {
      listed[children[i]] = 1;
      ++rows;
      level.push_back({children[i], depth + 1});
    }
  }
  return listed;
}

// Writes one process: a list item, with a <details> whose list the caller
// fills when it has listed children; returns whether that was opened.
bool open_process(std::ostream& out, const Launch& launch, const Process& p, bool has_listed,
                  std::size_t depth) {
  if (!has_listed) {
    out << "<li>" << esc(tree_line(launch, p)) << "</li>\n";
    return false;
  }
  out << "<li><details" << (depth < 2 ? " open" : "") << "><summary>" << esc(tree_line(launch, p))
      << "</summary><ul>\n";
  return true;
}

// The children of p that are not listed (the listed ones come first): a
// line that counts them and the processes below them.
void write_unlisted(std::ostream& out, const Launch& launch, const Process& p,
                    const std::vector<char>& listed) {
  long n = 0, below = 0;
  for (int c : p.children)
    if (!listed[c]) {
      ++n;
      below += launch.procs[c].subtree_size;
    }
  if (n > 0)
    out << "<li class=\"more\">and " << counted(n, "more child", "more children") << " ("
        << counted(below, "process", "processes") << ") not listed</li>\n";
}

void write_tree(std::ostream& out, const Launch& launch) {
  const std::vector<char> listed = listed_processes(launch);
  auto has_listed = [&](const Process& p) {
    return !p.children.empty() && listed[p.children.front()];
  };
  struct Frame {
    int proc;
    std::size_t next;
  };
  out << "<div class=\"tree\"><h3>Process tree</h3><ul>\n";
  for (int root : launch.roots) {
    if (!listed[root]) continue;
    std::vector<Frame> stack;
    const Process& r = launch.procs[root];
    if (open_process(out, launch, r, has_listed(r), 0)) stack.push_back({root, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Process& p = launch.procs[f.proc];
      if (f.next < p.children.size() && listed[p.children[f.next]]) {
        const Process& c = launch.procs[p.children[f.next++]];
        if (open_process(out, launch, c, has_listed(c), stack.size())) stack.push_back({c.id, 0});
        continue;
      }
      write_unlisted(out, launch, p, listed);
      out << "</ul></details></li>\n";
      stack.pop_back();
    }
  }
  out << "</ul>\n";
  const long shown = std::count(listed.begin(), listed.end(), 1);
  if (shown < static_cast<long>(launch.procs.size()))
    out << "<p class=\"more\">" << shown << " of " << launch.procs.size()
        << " processes listed.</p>\n";
  out << "</div>\n";
}

void write_settings(std::ostream& out, const Launch& launch) {
  out << "<p class=\"settings\">";
  if (launch.has_banner) {
    const Banner& b = launch.banner;
    out << "processes <b>" << esc(b.proc_policy) << "</b>, threads <b>" << esc(b.thrd_policy)
        << "</b>, CPU launch <b>" << (b.cpu_launch ? "Yes" : "No") << "</b>, launch nodes <b>"
        << esc(b.launch_nodes) << "</b>, initial PID <b>" << b.initial_pid << "</b>, version "
        << esc(b.version);
  } else {
    out << "settings unknown (no banner)";
  }
  out << "<br>" << counted(launch.records, "record", "records") << ", "
      << counted(static_cast<long>(launch.procs.size()), "process", "processes") << ", "
      << counted(launch.thread_count(), "thread", "threads") << ", over "
      << esc(fmt_duration(launch.span)) << "</p>\n";
}

void write_legend(std::ostream& out, bool per_cpu, std::size_t left_out) {
  if (left_out > 0)
    out << "<p class=\"not-drawn\">" << counted(static_cast<long>(left_out), "bar", "bars")
        << " not drawn: the lanes show at most " << kMaxBars << " bars, those of the longest-lived "
        << "tasks, and at most " << kMaxLaneRows << " rows of them per lane. The chart above "
        << "counts every task.</p>\n";
  out << "<p class=\"legend\">Each bar is a task (process or thread) from its creation to its end, "
         "in the lane of the "
      << (per_cpu ? "CPU" : "node")
      << " it started on; the tasks of one process share a colour, and a bar wide enough names "
         "its command. A dashed red outline: no end in the log. "
         "A process whose main thread was placed anew at its first thread creation goes on in that "
         "lane. "
         "Hover over a bar for its PID, TID and command.</p>\n";
}

void write_launch(std::ostream& out, const Launch& launch, bool per_cpu, std::size_t index,
                  std::size_t count) {
  out << "<section class=\"launch\">\n";
  if (count > 1) out << "<h2>Launch " << index + 1 << " of " << count << "</h2>\n";
  write_settings(out, launch);
  if (!launch.warnings.empty()) {
    out << "<h3>Warnings</h3><ul class=\"warnings\">\n";
    for (const auto& w : launch.warnings) out << "<li>" << esc(w) << "</li>\n";
    out << "</ul>\n";
  }
  out << "<h3>Tasks alive per node</h3>\n";
  write_occupancy(out, launch, index);
  out << "<div class=\"row\"><div class=\"plot\">\n";
  const std::size_t left_out = write_timeline(out, launch, per_cpu, index);
  write_legend(out, per_cpu, left_out);
  out << "</div><div class=\"side\"><h3>Per node</h3>\n";
  write_node_table(out, launch);
  write_tree(out, launch);
  out << "</div></div>\n</section>\n";
}

}  // namespace

void write_html(std::ostream& out, const Report& rep, bool per_cpu) {
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      << "<title>zyg-nox launch report: " << esc(rep.source) << "</title>\n"
      << "<style>\n"
         "body{font-family:sans-serif;margin:16px;color:#222;background:#fff}\n"
         "h1{font-size:18px;margin:0 0 8px}\n"
         ".row{display:flex;gap:24px;align-items:flex-start}\n"
         ".plot{flex:none}\n"
         ".side{flex:1 1 auto;min-width:240px}\n"
         "table.nodes{border-collapse:collapse;font-size:13px}\n"
         "table.nodes th,table.nodes td{border:1px solid #bbb;padding:3px 8px;text-align:right}\n"
         "tr.unused td{color:#a00}\n"
         "rect.bar:hover,rect.cont:hover{stroke:#000;stroke-width:1}\n"
         "ul.warnings{font-size:13px;color:#8a4b00;max-width:880px}\n"
         "text.lbl{fill:#fff;pointer-events:none;font-family:sans-serif}\n"
         ".chart-legend{font-size:12px;margin:2px 0 12px}\n"
         ".chart-legend span{margin-right:12px;white-space:nowrap}\n"
         ".chart-legend i{display:inline-block;width:14px;height:3px;margin:0 4px 3px 0}\n"
         ".not-drawn{font-size:12px;color:#8a4b00;max-width:880px}\n"
         ".tree{font-size:12px;font-family:monospace;max-height:640px;overflow:auto}\n"
         ".tree ul{list-style:none;margin:0;padding-left:14px}\n"
         ".tree summary{cursor:pointer}\n"
         "li.more,p.more{color:#666}\n"
         ".settings{font-size:13px}\n"
         ".legend{font-size:12px;color:#555;max-width:880px}\n"
         "</style></head><body>\n"
      << "<h1>zyg-nox launch report: " << esc(rep.source) << "</h1>\n";
  for (std::size_t i = 0; i < rep.launches.size(); ++i)
    write_launch(out, rep.launches[i], per_cpu, i, rep.launches.size());
  out << "</body></html>\n";
}

}  // namespace zr
