// html.h - the page's parts that are files of their own: the timeline
// (html_timeline.cpp, its bars and lanes in html_bars.h), the chart of tasks
// alive per node (html_chart.cpp), the process tree (html_tree.cpp), and
// what all parts of the page share: its head, a launch's section, the node
// and domain tables. Internal to the views (views/html.cpp writes a log's
// page, views/job_html.cpp a job's).
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "model/launch.h"

namespace zr {
namespace html {

// Text for HTML and SVG, with control bytes blanked.
std::string esc(const std::string& s);
// "1 process", "2 processes".
std::string counted(long n, const char* one, const char* many);
// Two decimals, for coordinates.
std::string num(double v);
// Evenly spread hues (golden angle) so that neighbouring processes differ.
std::string colour(int id);

// A bar per task up to this many: beyond a few thousand the lanes are a
// solid wall and the page grows past what a browser opens quickly. A larger
// launch gets a summary of its lanes (html_bars.h); the occupancy chart
// counts every task.
constexpr std::size_t kMaxBars = 3000;
// Rows of a lane at most: 200 rows of 2 pixels keep each lane within a
// screen's height. A lane with more tasks alive at once is summed up too.
constexpr int kMaxLaneRows = 200;
// Where the chart and the timeline draw time: the lanes' labels left of it.
constexpr double kTimelineLeft = 170, kTimelineWidth = 760;

// The time axis of the chart and the timeline, over `height` pixels.
void write_time_axis(std::ostream& out, double span, double height);
// The chart of tasks alive per node over time, one line per node, and its
// legend.
void write_occupancy(std::ostream& out, const Launch& launch, std::size_t index);
// The timeline: one lane per node (per L3 domain under L3 units; per CPU
// with per_cpu), a bar per task or, at scale, a summary; what it leaves
// out is said above it. Returns how many tasks' bars were left out.
std::size_t write_timeline(std::ostream& out, const Launch& launch, bool per_cpu,
                           std::size_t index);
// The process tree as nested <details>, cut to a size a browser shows.
void write_tree(std::ostream& out, const Launch& launch);
// The trees of the processes `roots` under a heading of their own.
void write_tree(std::ostream& out, const Launch& launch, const std::vector<int>& roots,
                const std::string& title);

// The page up to its heading: the head with the style (and more_style
// after it), the body's title.
void write_page_start(std::ostream& out, const std::string& title, const char* more_style);
// A launch's section: `heading`, its settings and warnings, the chart and
// the timeline, and beside them what `side` writes.
void write_launch_section(std::ostream& out, const Launch& launch, bool per_cpu, std::size_t index,
                          const std::string& heading, const std::function<void()>& side);
// The launch's per-node table (with each node's memory node under a
// memory mode).
void write_node_table(std::ostream& out, const Launch& launch);
// Under L3 units: the tasks placed in each domain, in the order round robin
// took the domains; nothing otherwise.
void write_domain_table(std::ostream& out, const Launch& launch);

}  // namespace html
}  // namespace zr
