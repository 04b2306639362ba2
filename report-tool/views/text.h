// text.h - the text report's parts that the job report repeats: the
// process tree below one process, and the legend of its lines. Internal to
// the views (views/text.cpp, views/job_text.cpp).
#pragma once

#include <ostream>

#include "model/launch.h"
#include "views/views.h"

namespace zr {

inline constexpr char kTreeLegend[] =
    "(PID command[ > exec'd command]  [node/cpu]  @start lifetime  end)";

// The tree of `root` and everything below it, as the report shows a launch's
// trees (--depth, --top and --expand as given).
void write_process_tree(std::ostream& out, const Launch& launch, int root, const TextOptions& opt);

}  // namespace zr
