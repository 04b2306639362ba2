// The HTML report: one self-contained page (no scripts, no external files,
// nothing fetched): the warnings, a chart of the tasks alive per node over
// time, an SVG timeline of the tasks (views/html.h: its parts), the per-node
// table and the process tree.
#include <cmath>
#include <cstdio>
#include <functional>

#include "lists/node_list.h"
#include "views/html.h"
#include "views/views.h"

namespace zr {
namespace html {

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

std::string counted(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string colour(int id) {
  int hue = static_cast<int>(std::fmod(id * 137.508, 360.0));
  return "hsl(" + std::to_string(hue) + ",65%," + (id % 2 ? "42%" : "55%") + ")";
}

namespace {

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:16px;color:#222;background:#fff}\n"
    "h1{font-size:18px;margin:0 0 8px}\n"
    ".row{display:flex;flex-wrap:wrap;gap:24px;align-items:flex-start}\n"
    ".plot{flex:none}\n"
    ".side{flex:1 1 auto;min-width:240px}\n"
    "table.nodes{border-collapse:collapse;font-size:13px}\n"
    "table.nodes th,table.nodes td{border:1px solid #bbb;padding:3px 8px;text-align:right}\n"
    "tr.unused td{color:#a00}\n"
    "rect.bar:hover,rect.cont:hover{stroke:#000;stroke-width:1}\n"
    "ul.warnings{font-size:13px;color:#8a4b00;max-width:880px}\n"
    "text.lbl{fill:#fff;pointer-events:none;font-family:sans-serif}\n"
    ".chart-legend{font-size:12px;margin:2px 0 12px}\n"
    ".chart-legend span{margin-right:12px;white-space:nowrap}\n"
    ".chart-legend i{display:inline-block;width:14px;height:3px;margin:0 4px 3px 0}\n"
    ".not-drawn{font-size:12px;color:#8a4b00;max-width:930px}\n"
    ".tree{font-size:12px;font-family:monospace;max-height:640px;overflow:auto}\n"
    ".tree ul{list-style:none;margin:0;padding-left:14px}\n"
    ".tree summary{cursor:pointer}\n"
    "li.more,p.more{color:#666}\n"
    ".settings{font-size:13px}\n"
    ".legend{font-size:12px;color:#555;max-width:880px}\n";

// A memory node as a cell: its number, "local" for none.
std::string memory_cell(const Banner& b, const std::string& node) {
  const int mem = memory_node_of(b, node);
  return "<td>" + (mem < 0 ? std::string("local") : std::to_string(mem)) + "</td>";
}

}  // namespace

void write_node_table(std::ostream& out, const Launch& launch) {
  const bool cpus = launch.banner.cpu_launch, memory = !launch.banner.memory_mode.empty();
  out << "<table "
         "class=\"nodes\"><thead><tr><th>Node</th><th>Processes</th><th>Threads</th><th>Peak "
         "alive</th>"
      << (memory ? "<th>Memory node</th>" : "") << (cpus ? "<th>CPUs used (tasks)</th>" : "")
      << "</tr></thead><tbody>\n";
  for (const auto& row : launch.nodes) {
    out << "<tr" << (row.processes + row.threads + row.main_threads == 0 ? " class=\"unused\"" : "")
        << "><td>" << esc(row.node.empty() ? "(none)" : row.node) << "</td><td>" << row.processes
        << "</td><td>" << row.threads << "</td><td>" << row.peak_alive << "</td>";
    if (memory) out << memory_cell(launch.banner, row.node);
    if (cpus) {
      out << "<td>";
      for (auto& [c, n] : row.cpus) out << c << "(" << n << ") ";
      out << "</td>";
    }
    out << "</tr>\n";
  }
  out << "</tbody></table>\n";
}

// Under L3 units: the tasks placed in each domain, in the order round robin
// took the domains.
void write_domain_table(std::ostream& out, const Launch& launch) {
  if (launch.domains.empty()) return;
  const bool memory = !launch.banner.memory_mode.empty();
  out << "<h3>Per L3 domain</h3>\n<table class=\"nodes domains\"><thead><tr><th>Domain "
         "CPUs</th><th>Node</th><th>Processes</th><th>Threads</th>"
      << (memory ? "<th>Memory node</th>" : "") << "</tr></thead><tbody>\n";
  for (const auto& row : launch.domains) {
    const std::string node = row.node < 0 ? "-" : std::to_string(row.node);
    out << "<tr" << (row.processes + row.threads == 0 ? " class=\"unused\"" : "") << "><td>"
        << esc(row.cpus) << "</td><td>" << node << "</td><td>" << row.processes << "</td><td>"
        << row.threads << "</td>";
    if (memory) out << memory_cell(launch.banner, node);
    out << "</tr>\n";
  }
  out << "</tbody></table>\n<p class=\"legend\">Threads: placed by the thread policy, main "
         "threads placed at their first thread creation included.</p>\n";
}

namespace {

// The unit and the memory mode, when the launch used them.
void write_unit_and_memory(std::ostream& out, const Banner& b) {
  if (!b.unit.empty())
    out << "<br>unit <b>" << esc(b.unit) << "</b>, L3 domains in the order round robin takes "
        << "them (CPUs@node): <b>" << esc(b.l3_domains) << "</b>";
  if (!b.memory_mode.empty())
    out << "<br>memory <b>" << esc(b.memory_mode)
        << "</b>: " << esc(memory_nodes_text(b.memory_nodes));
}

void write_settings(std::ostream& out, const Launch& launch) {
  out << "<p class=\"settings\">";
  if (launch.has_banner) {
    const Banner& b = launch.banner;
    out << "processes <b>" << esc(b.proc_policy) << "</b>, threads <b>" << esc(b.thrd_policy)
        << "</b>, CPU launch <b>" << (b.cpu_launch ? "Yes" : "No") << "</b>, launch nodes <b>"
        << esc(b.launch_nodes) << "</b>, initial PID <b>" << b.initial_pid << "</b>, version "
        << esc(b.version);
    write_unit_and_memory(out, b);
  } else {
    out << "settings unknown (no banner)";
  }
  out << "<br>" << counted(launch.records, "record", "records") << ", "
      << counted(static_cast<long>(launch.procs.size()), "process", "processes") << ", "
      << counted(launch.thread_count(), "thread", "threads") << ", over "
      << esc(fmt_duration(launch.span)) << "</p>\n";
}

void write_legend(std::ostream& out, const Launch& launch, bool per_cpu) {
  out << "<p class=\"legend\">Each bar is a task (process or thread) from its creation to its end, "
         "in the lane of the "
      << (per_cpu             ? "CPU"
          : launch.l3_units() ? "L3 domain"
                              : "node")
      << " it started on; the tasks of one process share a colour, and a bar wide enough names "
         "its command. A dashed red outline: no end in the log. "
         "A process whose main thread was placed anew at its first thread creation goes on in that "
         "lane. "
         "Hover over a bar for its PID, TID, command"
      << (launch.l3_units() ? ", L3 domain" : "")
      << (launch.banner.memory_mode.empty() ? "" : ", memory node") << " and lifetime.</p>\n";
}

}  // namespace

void write_launch_section(std::ostream& out, const Launch& launch, bool per_cpu, std::size_t index,
                          const std::string& heading, const std::function<void()>& side) {
  out << "<section class=\"launch\">\n" << heading;
  write_settings(out, launch);
  if (!launch.warnings.empty()) {
    out << "<h3>Warnings</h3><ul class=\"warnings\">\n";
    for (const auto& w : launch.warnings) out << "<li>" << esc(w) << "</li>\n";
    out << "</ul>\n";
  }
  out << "<h3>Tasks alive per node</h3>\n";
  write_occupancy(out, launch, index);
  out << "<div class=\"row\"><div class=\"plot\">\n";
  write_timeline(out, launch, per_cpu, index);
  write_legend(out, launch, per_cpu);
  out << "</div><div class=\"side\">";
  side();
  out << "</div></div>\n</section>\n";
}

void write_page_start(std::ostream& out, const std::string& title, const char* more_style) {
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      << "<title>" << esc(title) << "</title>\n"
      << "<style>\n"
      << kStyle << more_style << "</style></head><body>\n"
      << "<h1>" << esc(title) << "</h1>\n";
}

}  // namespace html

void write_html(std::ostream& out, const Report& rep, bool per_cpu) {
  html::write_page_start(out, "zyg-nox launch report: " + rep.source, "");
  for (std::size_t i = 0; i < rep.launches.size(); ++i) {
    const Launch& launch = rep.launches[i];
    const std::string heading = rep.launches.size() > 1
                                    ? "<h2>Launch " + std::to_string(i + 1) + " of " +
                                          std::to_string(rep.launches.size()) + "</h2>\n"
                                    : "";
    html::write_launch_section(out, launch, per_cpu, i, heading, [&] {
      out << "<h3>Per node</h3>\n";
      html::write_node_table(out, launch);
      html::write_domain_table(out, launch);
      html::write_tree(out, launch);
    });
  }
  out << "</body></html>\n";
}

}  // namespace zr
