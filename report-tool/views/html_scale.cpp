// The timeline at scale. A launch of many thousand tasks cannot be drawn a
// bar each: the lanes would be stripes, and the bars kept would be those
// that say least (hundreds that span the whole run). Its lanes become a
// summary instead: a strip of the tasks alive on each over time, and below
// it the bars that tell something.
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "views/html.h"
#include "views/html_bars.h"
#include "views/views.h"

namespace zr {
namespace html {

std::set<int> busiest_processes(const Launch& launch, std::size_t count) {
  std::vector<std::pair<std::size_t, int>> by_load;  // (threads + children, process)
  for (const auto& p : launch.procs) {
    const std::size_t load = p.threads.size() + p.children.size();
    if (load > 0) by_load.push_back({load, p.id});
  }
  const std::size_t n = std::min(count, by_load.size());
  std::partial_sort(by_load.begin(), by_load.begin() + static_cast<std::ptrdiff_t>(n),
                    by_load.end(), [](const auto& a, const auto& b) {
                      return a.first != b.first ? a.first > b.first : a.second < b.second;
                    });
  std::set<int> out;
  for (std::size_t i = 0; i < n; ++i) out.insert(by_load[i].second);
  return out;
}

namespace {

// A task whose bar is worth a look whatever else is drawn: no end in the
// log, moved outside the policy, or left the tree.
bool tells(const Launch& launch, const Bar& b) {
  const Process& p = launch.procs[b.proc];
  if (b.thread >= 0) {
    const Thread& th = p.threads[b.thread];
    return th.end_kind == EndKind::kNeverEnded || th.moves.rebound();
  }
  return p.end_kind == EndKind::kNeverEnded || p.end_kind == EndKind::kLeftTree ||
         p.moves.rebound();
}

}  // namespace

std::vector<Bar*> telling_bars(const std::vector<Bar*>& lane, const Launch& launch,
                               const std::set<int>& busiest, double span, std::size_t quota) {
  std::vector<Bar*> chosen, rest;
  for (Bar* b : lane) {
    const bool busy = b->thread < 0 && busiest.count(b->proc) > 0;
    if ((busy || tells(launch, *b)) && chosen.size() < quota)
      chosen.push_back(b);
    else if (b->end - b->start <= span / 2)
      rest.push_back(b);  // one that spans most of the run says only "alive", as the strip does
  }
  // The others: evenly over the run by their start, so that the bars show
  // what happened when, as the strip above them counts it.
  std::sort(rest.begin(), rest.end(), [](const Bar* a, const Bar* b) {
    return a->start != b->start ? a->start < b->start
                                : std::tie(a->proc, a->thread) < std::tie(b->proc, b->thread);
  });
  const std::size_t room = quota > chosen.size() ? quota - chosen.size() : 0;
  if (rest.size() <= room) {
    chosen.insert(chosen.end(), rest.begin(), rest.end());
  } else {
    for (std::size_t k = 0; k < room; ++k) chosen.push_back(rest[k * rest.size() / room]);
  }
  return chosen;
}

void write_density(std::ostream& out, const std::vector<int>& steps, double x, double y,
                   double width, double height, const std::string& label, double span) {
  const int peak = steps.empty() ? 0 : *std::max_element(steps.begin(), steps.end());
  const std::size_t n = steps.size();
  out << "<g class=\"density\" data-peak=\"" << peak << "\">\n";
  // Runs of equal steps as one rectangle each: a steady lane costs a few.
  for (std::size_t s = 0; s < n;) {
    std::size_t e = s;
    while (e + 1 < n && steps[e + 1] == steps[s]) ++e;
    const int v = steps[s];
    const double x0 = x + width * static_cast<double>(s) / static_cast<double>(n);
    const double x1 = x + width * static_cast<double>(e + 1) / static_cast<double>(n);
    if (v > 0) {
      const double shade = 0.15 + 0.85 * v / std::max(1, peak);
      out << "<rect x=\"" << num(x0) << "\" y=\"" << num(y) << "\" width=\"" << num(x1 - x0)
          << "\" height=\"" << num(height) << "\" fill=\"#1f4e9c\" fill-opacity=\"" << num(shade)
          << "\"><title>" << esc(label) << ": " << v << (v == 1 ? " task" : " tasks")
          << " alive at most, " << esc(fmt_duration(span * static_cast<double>(s) / n)) << " to "
          << esc(fmt_duration(span * static_cast<double>(e + 1) / n)) << "</title></rect>\n";
    }
    s = e + 1;
  }
  out << "</g>\n";
}

}  // namespace html
}  // namespace zr
