// banner.h - the settings block the first process writes when it creates
// the log: "Key | value" lines between two blocks of fixed lines, by the
// keys of the library's schema (shared/log_schema.h).
#pragma once

#include <map>
#include <string>

#include "shared/log_schema.h"

namespace zr {

struct Banner {
  std::string version;      // "1.0.4"
  std::string proc_policy;  // process launch policy name, "none" when unset
  std::string thrd_policy;
  bool cpu_launch = false;   // "CPU launch policy | Yes"
  std::string launch_nodes;  // as written, e.g. "0-3"
  std::string log_file;
  std::string error_file;
  long initial_pid = -1;
  int config_node_cnt = -1;
  int avail_node_cnt = -1;
  // Only under L3 units (--unit=l3): "l3", and "<CPU list>@<node> ..." (the
  // available count above is then the domains').
  std::string unit;
  std::string l3_domains;
  // A job's launch (--job): the job, the host and the ranks; empty else.
  std::string job, host, ranks;
  // "Memory  placement", written only under a memory mode other than local:
  // the mode's name (empty for local) and each launch node's memory node.
  std::string memory_mode;
  std::map<int, int> memory_nodes;
  // "Launch  CPUs", written only under CPU launch with node units: each
  // launch node's CPUs as "<CPU list>@<node> ..." (empty in older logs).
  std::string launch_cpus;
  int first_line = 0;   // 1-based line of "Launch  Version"
  int fields_seen = 0;  // how many of the ten settings lines were read
};

// The memory node of a Node column value (one node number) under the
// banner's memory mode; -1 when there is none (local mode, a list of nodes).
int memory_node_of(const Banner& b, const std::string& node);

// One of the fixed lines of the banner, which carry no value.
bool is_banner_text(const std::string& line);
// The setting a "Key name" names; BAN_COUNT for none.
zyg::banner_field banner_key(const std::string& key);
// Stores a setting's value; false when the value is not one the writer
// puts there.
bool apply_banner_field(Banner& b, zyg::banner_field key, const std::string& value);

}  // namespace zr
