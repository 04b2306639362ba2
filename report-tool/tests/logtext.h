// Builds launch log text the way the library writes it, for the tests.
#pragma once

#include <cstdio>
#include <string>

namespace zr_test {

inline std::string banner(const char* proc = "rr_tree", const char* thrd = "none", const char* cpu = "No",
                          const char* nodes = "0-3", int pid = 100, int config = 4, int avail = 4) {
  char buf[2048];
  std::snprintf(buf, sizeof buf,
                "\nWarning: format/content of this file may change between revisions\n"
                "Do not write programs that depend on format or content across revisions\n\n"
                "Launch  Version       | %d.%d.%d\nProcess launch policy | %s\nThread  launch policy | %s\n"
                "CPU     launch policy | %s\nInitial launch nodes  | %s\nLog file              | %s\n"
                "Error file            | %s\nInitial PID           | %d\nConfigured node count | %d\n"
                "Available node count  | %d\n\n"
                "Possibly 4 records per process\n    1) process/thread creation,\n"
                "    2) if an exec function is called\n"
                "    3) process/pthread termination (clone thread termination not logged)\n"
                "    4) the initial thread - only if it creates threads\n\n",
                1, 0, 4, proc, thrd, cpu, nodes, "/tmp/run.log", "", pid, config, avail);
  return buf;
}

inline std::string header() {
  char buf[256];
  std::snprintf(buf, sizeof buf, "\n%15s | %6s | %7s | %7s | %7s | %4s | %3s | %-31s | %-20s | %s\n", "Timestamp",
                "Entry#", "TID", "PID", "PPID", "Node", "CPU", "Log Message", "comm", "full_cmdline");
  return buf;
}

inline std::string rec(long usec_total, int entry, long tid, int pid, int ppid, const char* node, const char* cpu,
                       const std::string& msg, const char* comm = "app", const char* cmd = "app ") {
  char buf[1024];
  std::snprintf(buf, sizeof buf, "%8ld.%06ld | %6d | %7ld | %7d | %7d | %4s | %3s | %-31s | %-20s | %s\n",
                usec_total / 1000000, usec_total % 1000000, entry, tid, pid, ppid, node, cpu, msg.c_str(), comm, cmd);
  return buf;
}

}  // namespace zr_test
