// A launch rebuilt from one section of the log, step by step: the tree, the
// ends the log does not show, the counts, then the warnings.
#include "lists/node_list.h"
#include "model/counts.h"
#include "model/launch.h"
#include "model/report.h"
#include "model/tree.h"
#include "model/warnings.h"

namespace zr {

Launch build_launch(const Section& section) {
  Launch launch;
  launch.has_banner = section.has_banner;
  launch.banner = section.banner;
  launch.records = static_cast<long>(section.records.size());
  launch.first_line = section.has_banner
                          ? section.banner.first_line
                          : (section.records.empty() ? 0 : section.records.front().line);
  if (launch.has_banner)
    expand_node_list(launch.banner.launch_nodes, launch.banner.config_node_cnt,
                     launch.launch_nodes);

  const std::vector<const Record*> recs = in_entry_order(section);
  TreeBuilder tree{launch, {}, {}, {}, {}};
  const EntryCheck check = tree.collect_creators(recs);
  for (const Record* r : recs) tree.apply(*r);
  const std::vector<long> never = settle_ends(launch);
  link_tree(launch);
  const std::vector<CrowdedCpu> crowded = count_nodes(launch);
  count_domains(launch);

  warn_about_log(launch, check);
  warn_about_ends(launch, never);
  warn_about_tree(launch);
  for (const auto& r : tree.reported) warn(launch, "library report: " + r);
  warn_about_moves(launch);
  warn_about_shared_cpus(launch, crowded);
  warn_about_nodes(launch, warn_about_memfree(launch));
  warn_about_spread(launch);
  return launch;
}

Report build_report(const std::string& source, const ParsedLog& log) {
  Report rep;
  rep.source = source;
  rep.input = {log.total_lines, log.last_line_cut, log.bad_lines};
  for (const auto& s : log.sections) rep.launches.push_back(build_launch(s));
  return rep;
}

}  // namespace zr
