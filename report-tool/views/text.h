// text.h - the text report's parts that the job report repeats: the
// process tree below one process, the legend of its lines, a list of words.
// Internal to the views (views/text.cpp, views/job_text.cpp, job_html.cpp).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "model/launch.h"
#include "views/views.h"

namespace zr {

inline constexpr char kTreeLegend[] =
    "(PID command[ > exec'd command]  [node/cpu]  @start lifetime  end)";

// The words with sep between them ("a.log, b.log"), as the job's text and
// page list logs.
inline std::string joined(const std::vector<std::string>& words, const char* sep) {
  std::string s;
  for (const std::string& w : words) {
    if (!s.empty()) s += sep;
    s += w;
  }
  return s;
}

// The tree of `root` and everything below it, as the report shows a launch's
// trees (--depth, --top and --expand as given).
void write_process_tree(std::ostream& out, const Launch& launch, int root, const TextOptions& opt);

}  // namespace zr
