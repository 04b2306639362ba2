// The job report as one self-contained page: the job's settings, warnings
// and totals, then a section per host with its nodes, its ranks, and each
// of its launches as a log's page shows one (chart and timeline), the
// process tree under each rank beside them.
#include <string>

#include "views/html.h"
#include "views/text.h"
#include "views/views.h"

namespace zr {

namespace {

using html::esc;

constexpr char kJobStyle[] =
    "section.host{border-top:2px solid #888;margin-top:20px}\n"
    "h2{font-size:16px;margin:12px 0 6px}\n"
    "tr.total td{font-weight:bold}\n"
    "table.nodes td.name{text-align:left}\n";

void write_settings(std::ostream& out, const Job& job) {
  const JobSettings& s = job.settings;
  auto shown = [](const std::string& v) { return esc(v.empty() ? "-" : v); };
  out << "<p class=\"settings\">job <b>" << shown(s.job) << "</b>, ranks <b>"
      << (s.ranks < 0 ? "-" : std::to_string(s.ranks)) << "</b> (" << job.ranks.size()
      << " found), processes <b>" << shown(s.proc_policy) << "</b>, threads <b>"
      << shown(s.thrd_policy) << "</b>, CPU launch <b>" << shown(s.cpu_launch) << "</b>, version "
      << shown(s.version) << "</p>\n";
  if (s.disagreements.empty()) return;
  out << "<h3>The logs differ in their settings</h3><ul class=\"warnings\">\n";
  for (const Disagreement& d : s.disagreements) {
    out << "<li>" << esc(d.setting) << ":";
    for (std::size_t i = 0; i < d.values.size(); ++i)
      out << (i ? ";" : "") << " <b>" << shown(d.values[i].value) << "</b> in "
          << esc(joined(d.values[i].sources, ", "));
    out << "</li>\n";
  }
  out << "</ul>\n";
}

// The job's totals, a row per host.
void write_totals(std::ostream& out, const Job& job) {
  out << "<table class=\"nodes hosts\"><thead><tr><th>Host</th><th>Processes</th><th>Threads</th>"
         "<th>Ranks</th></tr></thead><tbody>\n";
  for (const JobHost& host : job.hosts)
    out << "<tr><td class=\"name\">" << esc(host_label(host)) << "</td><td>" << host.processes
        << "</td><td>" << host.threads << "</td><td>" << host.ranks.size() << "</td></tr>\n";
  out << "<tr class=\"total\"><td class=\"name\">job total</td><td>" << job.processes << "</td><td>"
      << job.threads << "</td><td>" << job.ranks.size() << "</td></tr>\n</tbody></table>\n";
}

void write_host_nodes(std::ostream& out, const JobHost& host) {
  out << "<table class=\"nodes host-nodes\"><thead><tr><th>Node</th><th>Processes</th>"
         "<th>Threads</th><th>Ranks</th></tr></thead><tbody>\n";
  for (const HostNode& row : host.nodes)
    out << "<tr" << (row.processes + row.threads == 0 ? " class=\"unused\"" : "") << "><td>"
        << esc(row.node.empty() ? "(none)" : row.node) << "</td><td>" << row.processes
        << "</td><td>" << row.threads << "</td><td>" << row.ranks << "</td></tr>\n";
  out << "<tr class=\"total\"><td>host total</td><td>" << host.processes << "</td><td>"
      << host.threads << "</td><td>" << host.ranks.size() << "</td></tr>\n</tbody></table>\n";
}

void write_host_ranks(std::ostream& out, const Job& job, const JobHost& host) {
  if (host.ranks.empty()) return;
  out << "<h3>Ranks</h3><table class=\"nodes ranks\"><thead><tr><th>Rank</th><th>PID</th>"
         "<th>Placed on</th><th>Processes</th><th>Threads</th></tr></thead><tbody>\n";
  for (std::size_t i : host.ranks) {
    const JobRank& r = job.ranks[i];
    out << "<tr><td>" << r.of.rank << "</td><td>" << r.pid << "</td><td>"
        << esc(place_text(r.node, r.cpu)) << "</td><td>" << r.processes << "</td><td>" << r.threads
        << "</td></tr>\n";
  }
  out << "</tbody></table>\n";
}

// Beside a launch's timeline: the tree of each of its ranks, then those of
// no rank.
void write_rank_trees(std::ostream& out, const Job& job, LaunchRef at) {
  const Launch& launch = job.launch(at);
  const LaunchRanks& ranks = job.ranks_of(at);
  for (std::size_t i : ranks.ranks)
    html::write_tree(out, launch, {job.ranks[i].proc},
                     "Rank " + std::to_string(job.ranks[i].of.rank));
  const std::vector<int>& owner = ranks.owner;
  std::vector<int> others;
  for (int root : launch.roots)
    if (owner[root] < 0) others.push_back(root);
  if (!others.empty())
    html::write_tree(out, launch, others, job.ranks.empty() ? "Process tree" : "Of no rank");
}

void write_host(std::ostream& out, const Job& job, std::size_t h, bool per_cpu,
                std::size_t& index) {
  const JobHost& host = job.hosts[h];
  out << "<section class=\"host\" id=\"host-" << h + 1 << "\">\n<h2>Host " << esc(host_label(host))
      << "</h2>\n<p class=\"settings\">from " << esc(joined(host.sources, ", ")) << "</p>\n";
  write_host_nodes(out, host);
  write_host_ranks(out, job, host);
  for (const LaunchRef& at : host.launches) {
    const Launch& launch = job.launch(at);
    const std::string heading = "<h3>Launch of " + esc(job.logs[at.log].source) + " from line " +
                                std::to_string(launch.first_line) + "</h3>\n";
    html::write_launch_section(out, launch, per_cpu, index++, heading, [&] {
      html::write_domain_table(out, launch);
      write_rank_trees(out, job, at);
    });
  }
  out << "</section>\n";
}

}  // namespace

void write_html(std::ostream& out, const Job& job, bool per_cpu) {
  std::vector<std::string> sources;
  for (const Report& log : job.logs) sources.push_back(log.source);
  html::write_page_start(out, "zyg-nox job report: " + joined(sources, ", "), kJobStyle);
  out << "<section class=\"job\">\n";
  write_settings(out, job);
  if (!job.warnings.empty()) {
    out << "<h3>Warnings</h3><ul class=\"warnings\">\n";
    for (const std::string& w : job.warnings) out << "<li>" << esc(w) << "</li>\n";
    out << "</ul>\n";
  }
  out << "<h3>Per host</h3>\n";
  write_totals(out, job);
  out << "</section>\n";
  std::size_t index = 0;
  for (std::size_t h = 0; h < job.hosts.size(); ++h) write_host(out, job, h, per_cpu, index);
  out << "</body></html>\n";
}

}  // namespace zr
