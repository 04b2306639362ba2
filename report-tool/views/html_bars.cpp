// The timeline's bars and lanes: a bar per task from its creation to its
// end, in the lane of the node (under L3 units the domain, with lanes per
// CPU the CPU) it started on.
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "views/html_bars.h"
#include "views/views.h"

namespace zr {
namespace html {

bool LaneKey::operator<(const LaneKey& o) const {
  return std::tie(node, domain, cpu, node_text, domain_text) <
         std::tie(o.node, o.domain, o.cpu, o.node_text, o.domain_text);
}

LaneKey lane_of(const std::string& node, const std::string& domain, int cpu, bool per_cpu) {
  LaneKey k;
  k.per_cpu = per_cpu;
  k.node_text = node.empty() ? "-" : node;
  if (node.find(',') == std::string::npos) std::sscanf(node.c_str(), "%d", &k.node);
  if (!domain.empty() && domain != "-") {
    k.domain_text = domain;
    k.domain = 0;
    std::sscanf(domain.c_str(), "%d", &k.domain);
  }
  if (per_cpu) k.cpu = cpu;
  return k;
}

std::string lane_id(const LaneKey& k) {
  std::string s = k.node_text;
  if (!k.domain_text.empty()) s += " / l3 " + k.domain_text;
  if (k.per_cpu) s += k.cpu >= 0 ? " / cpu " + std::to_string(k.cpu) : " / any cpu";
  return s;
}

std::string lane_label(const LaneKey& k) {
  std::string s = "node " + k.node_text;
  if (!k.domain_text.empty()) s += " \xc2\xb7 L3 " + k.domain_text;
  if (k.per_cpu) s += k.cpu >= 0 ? " \xc2\xb7 cpu " + std::to_string(k.cpu) : " \xc2\xb7 any cpu";
  return s;
}

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
        lane_of(p.node, p.l3_domain(), p.cpu, per_cpu)};
  if (!p.main_thread_node.empty() && p.main_thread_time >= p.start) {
    const LaneKey moved =
        lane_of(p.main_thread_node, p.main_thread_l3(), p.main_thread_cpu, per_cpu);
    if (lane_id(moved) != lane_id(b.lane)) {
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
  }
  bars.push_back(b);
  for (std::size_t i = 0; i < p.threads.size(); ++i) {
    const Thread& th = p.threads[i];
    bars.push_back(Bar{false, false, p.id, static_cast<int>(i), th.start,
                       th.end < 0 ? span : th.end, th.end < 0, th.node.empty() ? "-" : th.node,
                       lane_of(th.node, th.l3_domain(), th.cpu, per_cpu)});
  }
}

namespace {

// "node 1 cpu 3, L3 2-3, memory node 2": where a task was placed.
std::string where(const Launch& launch, const std::string& node, int cpu,
                  const std::string& domain) {
  std::string s = "node " + (node.empty() ? std::string("-") : node);
  if (cpu >= 0) s += " cpu " + std::to_string(cpu);
  if (!domain.empty()) s += ", L3 " + (domain == "-" ? std::string("none") : domain);
  if (!launch.banner.memory_mode.empty()) {
    const int mem = memory_node_of(launch.banner, node);
    s += mem < 0 ? ", local memory" : ", memory node " + std::to_string(mem);
  }
  return s;
}

}  // namespace

std::string bar_label(const Launch& launch, const Bar& b) {
  const Process& p = launch.procs[b.proc];
  const std::string cmd = p.last_cmdline();
  if (b.thread >= 0) {
    const Thread& th = p.threads[b.thread];
    return "PID " + std::to_string(p.pid) + " TID " + std::to_string(th.tid) + ": thread of " +
           p.chain() + "\n" + cmd + "\n" + where(launch, th.node, th.cpu, th.l3_domain()) + ", " +
           fmt_duration(b.end - b.start) + ", " + end_text(th.end_kind, th.end_how);
  }
  const double end = p.end < 0 ? launch.span : p.end;
  std::string s = "PID " + std::to_string(p.pid) + " TID " + std::to_string(p.pid) + ": " +
                  p.chain() + "\n" + cmd + "\n" + where(launch, p.node, p.cpu, p.l3_domain()) +
                  ", " + fmt_duration(end - p.start) + ", " + end_text(p.end_kind, p.end_how);
  if (b.moved || b.cont)
    s += "\nmain thread placed on " +
         where(launch, p.main_thread_node, p.main_thread_cpu, p.main_thread_l3()) +
         " at its first thread";
  return s;
}

std::vector<int> alive_steps(const std::vector<std::pair<double, double>>& spans, double span,
                             int steps) {
  std::vector<std::pair<double, int>> ev;
  ev.reserve(spans.size() * 2);
  for (const auto& [start, end] : spans) {
    ev.push_back({start, +1});
    ev.push_back({end, -1});
  }
  std::sort(ev.begin(), ev.end());
  std::vector<int> out(static_cast<std::size_t>(steps), 0);
  int alive = 0;
  std::size_t i = 0;
  for (int s = 0; s < steps; ++s) {
    const double until = span * (s + 1) / steps;
    int most = alive;
    for (; i < ev.size() && (ev[i].first < until || s == steps - 1); ++i)
      most = std::max(most, alive += ev[i].second);
    out[static_cast<std::size_t>(s)] = most;
  }
  return out;
}

}  // namespace html
}  // namespace zr
