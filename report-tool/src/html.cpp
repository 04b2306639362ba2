// The HTML report: one self-contained page (no scripts, no external files,
// nothing fetched) with an SVG timeline of every task and the per-node table.
//
// Timeline: one lane per node (per CPU with CPU launch), each task a bar
// from its creation to its end.  Tasks that overlap in time on one lane are
// stacked into rows of the lane so that no bar hides another.  All tasks of
// one process share a colour; the hover text (an SVG <title>) names the
// PID, TID and command.
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
  bool cont = false;  // the rest of a process whose main thread moved to another lane
  int proc;
  long pid, tid;
  double start, end;
  bool open;  // no end in the log
  std::string label;
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

// The bars of one process: its own (two when its main thread was placed on
// another lane) and one per thread.
void add_process_bars(std::vector<Bar>& bars, const Process& p, bool per_cpu, double span) {
  std::string cmd = p.last_cmdline();
  const double end = p.end < 0 ? span : p.end;
  Bar b{false, p.id, p.pid, p.pid, p.start, end, p.end < 0, "", lane_key(p.node, p.cpu, per_cpu)};
  b.label = "PID " + std::to_string(p.pid) + " TID " + std::to_string(p.pid) + ": " + p.chain() +
            "\n" + cmd + "\nnode " + (p.node.empty() ? "-" : p.node) +
            (p.cpu >= 0 ? " cpu " + std::to_string(p.cpu) : "") + ", " +
            fmt_duration(end - p.start) + ", " + end_text(p.end_kind, p.end_how);
  const std::string moved =
      p.main_thread_node.empty() ? "" : lane_key(p.main_thread_node, p.main_thread_cpu, per_cpu);
  if (!moved.empty() && moved != b.lane && p.main_thread_time >= p.start) {
    // Its main thread was placed anew at its first thread creation: the
    // bar goes on in that lane.
    b.end = p.main_thread_time;
    Bar c = b;
    c.cont = true;
    c.start = p.main_thread_time;
    c.end = end;
    c.lane = moved;
    c.label += "\nmain thread placed on node " + p.main_thread_node +
               (p.main_thread_cpu >= 0 ? " cpu " + std::to_string(p.main_thread_cpu) : "") +
               " at its first thread";
    b.label = c.label;
    b.open = false;
    bars.push_back(c);
  }
  bars.push_back(b);
  for (const auto& th : p.threads) {
    Bar t{false,      p.id,     p.pid,
          th.tid,     th.start, th.end < 0 ? span : th.end,
          th.end < 0, "",       lane_key(th.node, th.cpu, per_cpu)};
    t.label = "PID " + std::to_string(p.pid) + " TID " + std::to_string(th.tid) + ": thread of " +
              p.chain() + "\n" + cmd + "\nnode " + (th.node.empty() ? "-" : th.node) +
              (th.cpu >= 0 ? " cpu " + std::to_string(th.cpu) : "") + ", " +
              fmt_duration(t.end - t.start) + ", " + end_text(th.end_kind, th.end_how);
    bars.push_back(t);
  }
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
// became free first (a heap keeps this fast for many thousand tasks).
// Returns the number of rows, at least one.
int stack_rows(std::vector<Bar*>& list, double span) {
  std::stable_sort(list.begin(), list.end(),
                   [](const Bar* a, const Bar* b) { return a->start < b->start; });
  using Free = std::pair<double, int>;  // (end of the row's last bar, row)
  std::priority_queue<Free, std::vector<Free>, std::greater<Free>> free_at;
  int rows = 0;
  for (Bar* b : list) {
    int r;
    if (!free_at.empty() && free_at.top().first <= b->start) {
      r = free_at.top().second;
      free_at.pop();
    } else {
      r = rows++;
    }
    // A bar is drawn at least a little wide: keep the next one off it.
    free_at.push({std::max(b->end, b->start + span * 0.002), r});
    b->row = r;
  }
  return std::max(1, rows);
}

// The lanes of the bars, with empty lanes for unused launch nodes, rows
// stacked and placed one below the other; returns the page height.
double lay_out_lanes(Lanes& lanes, std::vector<Bar>& bars, const Launch& launch, bool per_cpu,
                     double span) {
  for (auto& b : bars) lanes[b.lane].bars.push_back(&b);
  // Lanes per CPU come from the tasks alone.
  if (!per_cpu)
    for (int n : launch.launch_nodes) lanes[std::to_string(n)];  // empty lanes show unused nodes
  double y = kTop;
  for (auto& [key, lane] : lanes) {
    lane.rows = stack_rows(lane.bars, span);
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

void write_lane(std::ostream& out, const std::string& key, const Lane& lane, double span) {
  const double ly = lane.y, h = lane.row_height, lh = lane.rows * h;
  out << "<g class=\"lane\" data-lane=\"" << esc(key) << "\">\n";
  out << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(ly) << "\" width=\"" << num(kWidth)
      << "\" height=\"" << num(lh) << "\" fill=\"#f0f0f4\"/>\n";
  out << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(ly + std::min(lh, 12.0) - 2)
      << "\" font-size=\"11\" text-anchor=\"end\">node " << esc(key) << "</text>\n";
  for (const Bar* b : lane.bars) {
    double x = kLeft + b->start / span * kWidth;
    double w = std::max(1.5, (b->end - b->start) / span * kWidth);
    out << "<rect class=\"" << (b->cont ? "cont" : "bar") << (b->open ? " open" : "")
        << "\" data-pid=\"" << b->pid << "\" data-tid=\"" << b->tid << "\" x=\"" << num(x)
        << "\" y=\"" << num(ly + b->row * h + (h > 4 ? 1 : 0)) << "\" width=\"" << num(w)
        << "\" height=\"" << num(h > 4 ? h - 2 : h) << "\" fill=\"" << colour(b->proc) << "\""
        << (b->open ? " stroke=\"#c00\" stroke-dasharray=\"3,2\"" : "") << "><title>"
        << esc(b->label) << "</title></rect>\n";
  }
  out << "</g>\n";
}

void write_timeline(std::ostream& out, const Launch& launch, bool per_cpu, std::size_t index) {
  const double span = launch.span > 0 ? launch.span : 1e-6;
  std::vector<Bar> bars;
  for (const auto& p : launch.procs) add_process_bars(bars, p, per_cpu, span);
  Lanes lanes(&lane_less);
  const double height = lay_out_lanes(lanes, bars, launch, per_cpu, span);
  out << "<svg id=\"timeline-" << index + 1
      << "\" class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << num(kLeft + kWidth + 20) << "\" height=\"" << num(height) << "\" viewBox=\"0 0 "
      << num(kLeft + kWidth + 20) << " " << num(height)
      << "\" role=\"img\" aria-label=\"task timeline\">\n";
  out << "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fbfbfb\"/>\n";
  write_time_axis(out, span, height);
  for (const auto& [key, lane] : lanes) write_lane(out, key, lane, span);
  out << "</svg>\n";
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

void write_launch(std::ostream& out, const Launch& launch, bool per_cpu, std::size_t index,
                  std::size_t count) {
  out << "<section class=\"launch\">\n";
  if (count > 1) out << "<h2>Launch " << index + 1 << " of " << count << "</h2>\n";
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
  out << "<div class=\"row\"><div class=\"plot\">\n";
  write_timeline(out, launch, per_cpu, index);
  out << "<p class=\"legend\">Each bar is a task (process or thread) from its creation to its end, "
         "in the lane of the "
      << (per_cpu ? "CPU" : "node")
      << " it started on; the tasks of one process share a colour. A dashed red outline: no end in "
         "the log. "
         "A process whose main thread was placed anew at its first thread creation goes on in that "
         "lane. "
         "Hover over a bar for its PID, TID and command.</p>\n";
  out << "</div><div class=\"side\"><h3>Per node</h3>\n";
  write_node_table(out, launch);
  if (!launch.warnings.empty()) {
    out << "<h3>Warnings</h3><ul class=\"warnings\">\n";
    for (const auto& w : launch.warnings) out << "<li>" << esc(w) << "</li>\n";
    out << "</ul>\n";
  }
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
         "ul.warnings{font-size:13px;color:#8a4b00;max-width:420px}\n"
         ".settings{font-size:13px}\n"
         ".legend{font-size:12px;color:#555;max-width:880px}\n"
         "</style></head><body>\n"
      << "<h1>zyg-nox launch report: " << esc(rep.source) << "</h1>\n";
  for (std::size_t i = 0; i < rep.launches.size(); ++i)
    write_launch(out, rep.launches[i], per_cpu, i, rep.launches.size());
  out << "</body></html>\n";
}

}  // namespace zr
