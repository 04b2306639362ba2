// options.h - the report tool's command line: its options as read, the
// usage text and the exit statuses.
#pragma once

#include <string>

#include "plan/plan.h"
#include "views/views.h"

namespace zr {
namespace cli {

// The exit statuses (main/main.cpp lists them all).
constexpr int kOk = 0, kUsage = 1, kIo = 2, kNotLog = 3, kDamaged = 4, kInternal = 6;
// Not an exit status: the run goes on.
constexpr int kGoOn = -1;

// The command line as read; `first_operand` indexes argv past the options.
struct Options {
  bool json = false, per_cpu = false, plan = false, plan_opts = false, topology = false;
  std::string html, live, nodes_cpus, l3_sets;
  zr::PlanRequest preq;
  int watch = -1;
  zr::TextOptions topt;
  int first_operand = 0;
};

// The usage error's text on standard error; kUsage.
int usage_error(const std::string& msg);

// Reads the options into o.  kGoOn when the run goes on, else the exit
// status: after --version or --help, or of a usage error.
int parse_options(int argc, char** argv, Options& o);

}  // namespace cli
}  // namespace zr
