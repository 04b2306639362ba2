// The timeline and the chart above it. One lane per node (per CPU with CPU
// launch), each task a bar from its creation to its end. Tasks that overlap
// in time on one lane are stacked into rows of the lane so that no bar
// hides another. All tasks of one process share a colour; the hover text
// (an SVG <title>) names the PID, TID and command. A launch of many thousand
// tasks would make the lanes a solid wall and the page too large to open:
// only the longest-lived few thousand are drawn, and the chart above counts
// them all.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <queue>
#include <tuple>
#include <vector>

#include "views/html.h"
#include "views/views.h"

namespace zr {
namespace html {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace html
}  // namespace zr
