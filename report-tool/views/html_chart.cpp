// The chart above the timeline: the tasks alive on each node over the
// launch, one line per node, counted by the same rule as the lanes'
// summary (html_bars.h: alive_steps), so that the two agree.
#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "views/html.h"
#include "views/html_bars.h"

namespace zr {
namespace html {

namespace {

constexpr double kLeft = kTimelineLeft, kWidth = kTimelineWidth, kTop = 30;
// The most tasks alive on a node within each of kChartSteps equal steps.
constexpr int kChartSteps = 380;

// Nodes by number, lists of nodes last.
struct NodeOrder {
  bool operator()(const std::string& a, const std::string& b) const {
    const LaneKey ka = lane_of(a, "", -1, false), kb = lane_of(b, "", -1, false);
    return std::tie(ka.node, ka.node_text) < std::tie(kb.node, kb.node_text);
  }
};
using Occupancy = std::map<std::string, std::vector<int>, NodeOrder>;

Occupancy occupancy(const Launch& launch, double span) {
  std::vector<Bar> bars;
  for (const auto& p : launch.procs) add_process_bars(bars, p, false, span);
  std::map<std::string, std::vector<std::pair<double, double>>, NodeOrder> spans;
  for (int n : launch.launch_nodes) spans[std::to_string(n)];
  for (const Bar& b : bars) spans[b.node].push_back({b.start, b.end});
  Occupancy occ;
  for (auto& [node, list] : spans) occ[node] = alive_steps(list, span, kChartSteps);
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
