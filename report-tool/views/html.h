// html.h - the page's parts that are files of their own: the timeline and
// the chart of tasks alive per node (html_timeline.cpp), the process tree
// (html_tree.cpp), and what all parts of the page share. Internal to the
// views (views/html.cpp writes the page).
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

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

}  // namespace html
}  // namespace zr
