// html.h - the page's parts that are files of their own: the timeline and
// the chart of tasks alive per node (html_timeline.cpp), the process tree
// (html_tree.cpp), and what all parts of the page share: its head, a
// launch's section, the node table. Internal to the views (views/html.cpp
// writes a log's page, views/job_html.cpp a job's).
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

// At most this many bars are drawn: beyond a few thousand the lanes are a
// solid wall and the page grows past what a browser opens quickly. The
// longest-lived tasks are drawn; the occupancy chart counts them all.
constexpr std::size_t kMaxBars = 3000;
// Rows of a lane at most: 200 rows of 2 pixels keep each lane within a
// screen's height however many tasks overlap.
constexpr int kMaxLaneRows = 200;

// The chart of tasks alive per node over time, one line per node, and its
// legend.
void write_occupancy(std::ostream& out, const Launch& launch, std::size_t index);
// The timeline: one lane per node (per CPU with per_cpu), a bar per task;
// returns how many tasks' bars were left out.
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
// The launch's per-node table.
void write_node_table(std::ostream& out, const Launch& launch);

}  // namespace html
}  // namespace zr
