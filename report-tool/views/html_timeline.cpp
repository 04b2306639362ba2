// The timeline. One lane per node (under L3 units per domain; per CPU with
// -c, every CPU of the launch whether a task used it or not), each task a
// bar from its creation to its end. Tasks that overlap in time on one lane
// are stacked into rows of the lane so that no bar hides another. All tasks
// of one process share a colour; the hover text (an SVG <title>) names the
// PID, TID, command and where the task was placed. A launch too large for
// a bar per task gets a summary instead (html_scale.cpp), said above the
// lanes.
#include <algorithm>
#include <cmath>
#include <map>
#include <queue>
#include <sstream>

#include "lists/cpu_list.h"
#include "views/html.h"
#include "views/html_bars.h"
#include "views/views.h"

namespace zr {
namespace html {

namespace {

constexpr double kLeft = kTimelineLeft, kWidth = kTimelineWidth, kRowHeight = 12, kLaneGap = 10,
                 kTop = 30, kStripHeight = 14;
// In a summary: the bars drawn over all lanes, the rows of a lane, and the
// steps of a lane's strip.
constexpr std::size_t kSummaryBars = 600, kBusiest = 12;
constexpr int kSummaryRows = 30, kStripSteps = 190;

struct Lane {
  std::vector<Bar*> all;     // every bar of the lane
  std::vector<Bar*> bars;    // those drawn
  std::vector<int> density;  // tasks alive over time, for the summary
  int rows = 1;
  double row_height = kRowHeight;
  double y = 0;
};
using Lanes = std::map<LaneKey, Lane>;

struct Layout {
  Lanes lanes;
  bool summary = false;
  std::size_t left_out = 0;
  double height = 0;
};

// "0-1@0 2-3@1": each entry's CPU list and node.
std::vector<std::pair<std::string, std::string>> entries_of(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream words(text);
  for (std::string w; words >> w;)
    if (const std::size_t at = w.rfind('@'); at != std::string::npos)
      out.push_back({w.substr(0, at), w.substr(at + 1)});
  return out;
}

// The lanes the banner names even where no task went, so that an unused
// node, domain or (with -c under CPU launch) CPU shows as an empty lane.
void add_known_lanes(Lanes& lanes, const Launch& launch, bool per_cpu) {
  const Banner& b = launch.banner;
  const bool cpus = per_cpu && b.cpu_launch;
  if (launch.l3_units()) {
    for (const auto& [list, node] : entries_of(b.l3_domains)) {
      if (!cpus) lanes[lane_of(node, list, -1, per_cpu)];
      for (int c : cpus ? parse_cpu_list(list) : std::vector<int>())
        lanes[lane_of(node, list, c, true)];
    }
    return;
  }
  if (!per_cpu)
    for (int n : launch.launch_nodes) lanes[lane_of(std::to_string(n), "", -1, false)];
  if (cpus)
    for (const auto& [list, node] : entries_of(b.launch_cpus))
      for (int c : parse_cpu_list(list)) lanes[lane_of(node, "", c, true)];
}

// Rows within a lane: bars in order of their start, each into the row that
// became free first (a heap keeps this fast for many thousand tasks). A
// bar that finds all `max_rows` rows taken is not drawn: it leaves the
// list. Returns the number of rows, at least one.
int stack_rows(std::vector<Bar*>& list, double span, int max_rows) {
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
    } else if (rows < max_rows) {
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

// Each lane's tasks alive over time; whether the lanes need a summary: more
// bars than a page draws, or a lane with more tasks alive at once than rows.
bool count_lanes(Lanes& lanes, std::size_t bars, double span) {
  bool crowded = bars > kMaxBars;
  for (auto& [key, lane] : lanes) {
    std::vector<std::pair<double, double>> spans;
    spans.reserve(lane.all.size());
    for (const Bar* b : lane.all) spans.push_back({b->start, b->end});
    lane.density = alive_steps(spans, span, kStripSteps);
    for (int v : lane.density) crowded = crowded || v > kMaxLaneRows;
  }
  return crowded;
}

Layout lay_out(std::vector<Bar>& bars, const Launch& launch, bool per_cpu, double span) {
  Layout l;
  for (auto& b : bars) l.lanes[b.lane].all.push_back(&b);
  add_known_lanes(l.lanes, launch, per_cpu);
  l.summary = count_lanes(l.lanes, bars.size(), span);
  const std::set<int> busiest = l.summary ? busiest_processes(launch, kBusiest) : std::set<int>();
  const std::size_t quota =
      std::max<std::size_t>(8, kSummaryBars / std::max<std::size_t>(1, l.lanes.size()));
  double y = kTop;
  std::size_t drawn = 0;
  for (auto& [key, lane] : l.lanes) {
    lane.bars = l.summary ? telling_bars(lane.all, launch, busiest, span, quota) : lane.all;
    lane.rows = stack_rows(lane.bars, span, l.summary ? kSummaryRows : kMaxLaneRows);
    drawn += lane.bars.size();
    const int n = lane.rows;
    // Very crowded lanes get thinner rows so the page stays a sensible height.
    lane.row_height = n > 40 ? std::max(2.0, 480.0 / n) : kRowHeight;
    lane.y = y + (l.summary ? kStripHeight + 2 : 0);
    y = lane.y + n * lane.row_height + kLaneGap;
  }
  l.left_out = bars.size() - drawn;
  l.height = y + 10;
  return l;
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

// The name of the program a process ran last.
const std::string& last_comm(const Process& p) {
  for (auto it = p.execs.rbegin(); it != p.execs.rend(); ++it)
    if (it->started) return it->comm;
  return p.comm;
}

void write_bar(std::ostream& out, const Launch& launch, const Lane& lane, const Bar* b,
               double span) {
  const Process& p = launch.procs[b->proc];
  const long tid = b->thread < 0 ? p.pid : p.threads[b->thread].tid;
  const double h = lane.row_height;
  const double x = kLeft + b->start / span * kWidth;
  const double w = std::max(1.5, (b->end - b->start) / span * kWidth);
  const double y = lane.y + b->row * h + (h > 4 ? 1 : 0), bh = h > 4 ? h - 2 : h;
  out << "<rect class=\"" << (b->cont ? "cont" : "bar") << (b->open ? " open" : "")
      << "\" data-pid=\"" << p.pid << "\" data-tid=\"" << tid << "\" x=\"" << num(x) << "\" y=\""
      << num(y) << "\" width=\"" << num(w) << "\" height=\"" << num(bh) << "\" fill=\""
      << colour(b->proc) << "\"" << (b->open ? " stroke=\"#c00\" stroke-dasharray=\"3,2\"" : "")
      << "><title>" << esc(bar_label(launch, *b)) << "</title></rect>\n";
  write_bar_text(out, last_comm(p), x, y, w, bh);
}

void write_lane(std::ostream& out, const Launch& launch, const LaneKey& key, const Lane& lane,
                bool summary, double span) {
  const double top = summary ? lane.y - kStripHeight - 2 : lane.y;
  const double lh = lane.y + lane.rows * lane.row_height - top;
  std::string label = lane_label(key);
  if (!launch.banner.memory_mode.empty() && key.node < (1 << 30)) {
    const int mem = memory_node_of(launch.banner, key.node_text);
    label += mem < 0 ? ", local memory" : ", memory " + std::to_string(mem);
  }
  out << "<g class=\"lane\" data-lane=\"" << esc(lane_id(key)) << "\">\n";
  out << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(top) << "\" width=\"" << num(kWidth)
      << "\" height=\"" << num(lh) << "\" fill=\"#f0f0f4\"/>\n";
  out << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(top + std::min(lh, 12.0) - 2)
      << "\" font-size=\"11\" text-anchor=\"end\">" << esc(label) << "</text>\n";
  if (summary) write_density(out, lane.density, kLeft, top, kWidth, kStripHeight, label, span);
  for (const Bar* b : lane.bars) write_bar(out, launch, lane, b, span);
  out << "</g>\n";
}

// Above the lanes, what they leave out.
void write_not_drawn(std::ostream& out, const Layout& l, std::size_t bars) {
  if (l.left_out == 0) return;
  out << "<p class=\"not-drawn\"><b>" << counted(static_cast<long>(l.left_out), "bar", "bars")
      << " not drawn</b> of " << bars << ": ";
  if (l.summary)
    out << "too many tasks for a bar each. Each lane is summed up by a strip of the tasks alive "
           "on it over time (darker for more; hover for the count), and below it the bars "
           "that tell something: tasks that never ended, moved outside the policy or left the "
           "tree, the "
        << kBusiest << " busiest processes, and a sample of the others spread over the run. ";
  else
    out << "a lane shows at most " << kMaxLaneRows << " rows of bars. ";
  out << "The chart above counts every task.</p>\n";
}

}  // namespace

std::size_t write_timeline(std::ostream& out, const Launch& launch, bool per_cpu,
                           std::size_t index) {
  const double span = launch.span > 0 ? launch.span : 1e-6;
  std::vector<Bar> bars;
  for (const auto& p : launch.procs) add_process_bars(bars, p, per_cpu, span);
  const Layout l = lay_out(bars, launch, per_cpu, span);
  write_not_drawn(out, l, bars.size());
  out << "<svg id=\"timeline-" << index + 1
      << "\" class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << num(kLeft + kWidth + 20) << "\" height=\"" << num(l.height) << "\" viewBox=\"0 0 "
      << num(kLeft + kWidth + 20) << " " << num(l.height)
      << "\" role=\"img\" aria-label=\"task timeline\">\n";
  out << "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fbfbfb\"/>\n";
  write_time_axis(out, span, l.height);
  for (const auto& [key, lane] : l.lanes) write_lane(out, launch, key, lane, l.summary, span);
  out << "</svg>\n";
  return l.left_out;
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

}  // namespace html
}  // namespace zr
