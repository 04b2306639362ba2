// logtext.h - launch log text the way the library writes it, built from the
// log's schema (shared/log_schema.h), for the tests of the writer and of the
// report tool.
#pragma once

#include <cstdio>
#include <string>

#include "shared/log_schema.h"

namespace zyg_test {

// The banner the first process writes, with the settings every banner has
// (the keys, their padding and the fixed lines are the schema's).
inline std::string banner(const char* proc = "rr_tree", const char* thrd = "none",
                          const char* cpu = "No", const char* nodes = "0-3", int pid = 100,
                          int config = 4, int avail = 4) {
  const std::string values[] = {"1.0.4",
                                proc,
                                thrd,
                                cpu,
                                nodes,
                                "/tmp/run.log",
                                "",
                                std::to_string(pid),
                                std::to_string(config),
                                std::to_string(avail)};
  static_assert(sizeof values / sizeof values[0] == zyg::BAN_AVAIL_NODES + 1);
  std::string text = "\n";
  for (const char* line : zyg::kBannerHead) text += std::string(line) + "\n";
  text += "\n";
  for (int f = 0; f <= zyg::BAN_AVAIL_NODES; ++f) {
    const std::string key = zyg::kBannerKeys[f];
    text += key + std::string(zyg::kBannerKeyWidth - key.size(), ' ') + " | " + values[f] + "\n";
  }
  text += "\n";
  for (const char* line : zyg::kBannerTail) text += std::string(line) + "\n";
  return text + "\n";
}

// A line of columns padded as the schema says; the L3 column only under L3
// units (l3).
inline std::string columns(const std::string (&text)[zyg::COL_COUNT], bool l3 = false) {
  std::string line;
  for (int c = 0; c < zyg::COL_COUNT; ++c) {
    if (!zyg::log_column_written(static_cast<zyg::log_column>(c), l3)) continue;
    const zyg::log_column_def& def = zyg::kLogColumns[c];
    std::string pad(
        text[c].size() < static_cast<std::size_t>(def.width) ? def.width - text[c].size() : 0, ' ');
    if (c != 0) line += zyg::kLogSeparator;
    line += def.left ? text[c] + pad : pad + text[c];
  }
  return line + "\n";
}

inline std::string header(bool l3 = false) {
  std::string titles[zyg::COL_COUNT];
  for (int c = 0; c < zyg::COL_COUNT; ++c) titles[c] = zyg::kLogColumns[c].title;
  return "\n" + columns(titles, l3);
}

// A record line; a column not named here holds "0". With l3_domain, the
// record of a launch under L3 units.
inline std::string rec(long usec_total, int entry, long tid, int pid, int ppid, const char* node,
                       const char* cpu, const std::string& msg, const char* comm = "app",
                       const char* cmd = "app ", const char* l3_domain = nullptr) {
  std::string text[zyg::COL_COUNT];
  for (auto& t : text) t.push_back('0');
  char ts[48];
  std::snprintf(ts, sizeof ts, "%ld.%06ld", usec_total / 1000000, usec_total % 1000000);
  text[zyg::COL_TIMESTAMP] = std::string(ts);
  text[zyg::COL_ENTRY] = std::to_string(entry);
  text[zyg::COL_TID] = std::to_string(tid);
  text[zyg::COL_PID] = std::to_string(pid);
  text[zyg::COL_PPID] = std::to_string(ppid);
  text[zyg::COL_NODE] = std::string(node);
  text[zyg::COL_CPU] = std::string(cpu);
  text[zyg::COL_MESSAGE] = msg;
  text[zyg::COL_COMM] = std::string(comm);
  text[zyg::COL_CMDLINE] = std::string(cmd);
  if (l3_domain != nullptr) text[zyg::COL_L3] = l3_domain;
  return columns(text, l3_domain != nullptr);
}

}  // namespace zyg_test
