// zyg-nox-report: turns a zyg-nox launch log into a summary a person can
// read (text), a document for scripts (--json) or a page with a timeline
// (--html), and shows a running launch from its data file (--live). The
// logs of a job (zyg-nox --job writes one per host), or any several logs,
// give one job report in the same three forms.
//
// Exit status (also in the manual page):
//   0  report written
//   1  usage error
//   2  input cannot be read, or output cannot be written
//   3  not a launch log / not a launch data file
//   4  report written from a damaged log (lines that are not log lines, or
//      a last line cut short)
//   5  --live: the launch is not running (no process of it is left)
//   6  internal error
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <vector>

#include "live/live.h"
#include "log/log.h"
#include "main/options.h"
#include "model/job.h"
#include "model/report.h"
#include "plan/plan.h"
#include "run/run.h"
#include "shared/memory_tiers.h"
#include "topology/topology.h"
#include "topology/view.h"
#include "views/views.h"

namespace zr {
namespace cli {

namespace {

// What is at `path` when it cannot hold a log: a directory, a device; an
// empty string for a file or a pipe (a pipe ends, and the reader bounds a
// line that never does).
const char* not_a_log_file(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  if (S_ISDIR(st.st_mode)) return "it is a directory";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "it is a device, not a log file";
  return "";
}

// --unit=l3: the L3 sets given, or this machine's (not with another
// machine's nodes).
int plan_l3_sets(Options& o) {
  std::string why;
  if (!o.l3_sets.empty()) {
    if (!zr::parse_l3_sets(o.l3_sets, o.preq.l3_sets, why)) return usage_error("--l3-sets: " + why);
    return kGoOn;
  }
  if (o.preq.unit != "l3") return kGoOn;
  if (!o.nodes_cpus.empty()) return usage_error("--unit=l3 with --nodes-cpus needs --l3-sets");
  if (!zr::read_l3_sets(o.preq.topology, o.preq.l3_sets, why))
    return usage_error("--plan: " + why + " (give --l3-sets)");
  return kGoOn;
}

// --plan: where the tasks of a program would go, on this machine or on
// the topology given.
int run_plan(Options& o, int argc) {
  if (o.first_operand != argc) return usage_error("--plan takes no log file");
  if (!o.live.empty() || !o.html.empty() || o.watch >= 0)
    return usage_error("--plan goes with neither --live nor --html");
  o.preq.cpu_launch = o.per_cpu;
  std::string why;
  if (!o.nodes_cpus.empty()) {
    if (!zr::parse_nodes_cpus(o.nodes_cpus, o.preq.topology, why))
      return usage_error("--nodes-cpus: " + why);
    o.preq.topology_from = "--nodes-cpus";
  } else {
    if (!zr::read_topology(o.preq.topology, why)) {
      std::cerr << "zyg-nox-report: " << why << "\n";
      return kIo;
    }
    o.preq.topology_from = "this machine";
  }
  if (int st = plan_l3_sets(o); st != kGoOn) return st;
  if (o.preq.memory != "local") {
    if (zyg::memory_mode_named(o.preq.memory.c_str()) < 0)
      return usage_error("--memory: unknown mode \"" + o.preq.memory + "\"");
    if (!o.nodes_cpus.empty())
      return usage_error("--memory needs this machine's node distances (not --nodes-cpus)");
    if (!zr::read_memory_tiers(o.preq.tiers, why)) return usage_error("--memory: " + why);
  }
  zr::Plan p;
  if (!zr::make_plan(o.preq, p, why)) return usage_error("--plan: " + why);
  if (o.json)
    zr::write_plan_json(std::cout, p);
  else
    zr::write_plan_text(std::cout, p);
  return std::cout.flush() ? kOk : kIo;
}

// --topology: this machine as a launch would use it.
int run_topology(const Options& o, int argc) {
  if (o.first_operand != argc) return usage_error("--topology takes no log file");
  if (o.plan || o.plan_opts || !o.live.empty() || !o.html.empty() || o.watch >= 0 ||
      o.preq.memory != "local")
    return usage_error("--topology goes with --json only");
  zr::MachineView m;
  std::string why;
  if (!zr::read_machine(m, why)) {
    std::cerr << "zyg-nox-report: " << why << "\n";
    return kIo;
  }
  if (o.json)
    zr::write_machine_json(std::cout, m);
  else
    zr::write_machine_text(std::cout, m);
  return std::cout.flush() ? kOk : kIo;
}

// Reads the log at path ("-": standard input) into log.  kGoOn, or the exit
// status after saying why it cannot be read.
int read_log(const std::string& path, zr::ParsedLog& log) {
  std::ifstream in;
  std::istream* src = &std::cin;
  if (path != "-") {
    if (const char* what = not_a_log_file(path); *what) {
      std::cerr << "zyg-nox-report: cannot read " << path << ": " << what << "\n";
      return kIo;
    }
    in.open(path, std::ios::binary);
    if (!in) {
      std::cerr << "zyg-nox-report: cannot read " << path << ": " << std::strerror(errno) << "\n";
      return kIo;
    }
    src = &in;
  }
  log = zr::parse_log(*src);
  if (in.is_open() && in.bad()) {
    std::cerr << "zyg-nox-report: error while reading " << path << "\n";
    return kIo;
  }
  if (!log.looks_like_log()) {
    std::cerr << "zyg-nox-report: " << path
              << " is not a zyg-nox launch log (no banner and no record lines)\n";
    return kNotLog;
  }
  return kGoOn;
}

// The page, if asked for, then the text or JSON on standard output: of a
// log (zr::Report) or of a job (zr::Job).
template <class Doc>
int write_report(const Options& o, const Doc& rep) {
  if (!o.html.empty()) {
    std::ofstream h(o.html, std::ios::binary | std::ios::trunc);
    if (h) zr::write_html(h, rep, o.per_cpu);
    if (!h || !h.flush()) {
      std::cerr << "zyg-nox-report: cannot write " << o.html << "\n";
      return kIo;
    }
  }
  // The page is the report asked for; the text is not printed beside it
  // (--json still is, for a script that wants both).
  // Written straight out: a report of a large launch is tens of megabytes.
  std::ostream& text = std::cout;
  if (o.json)
    zr::write_json(text, rep);
  else if (o.html.empty())
    zr::write_text(text, rep, o.topt);
  // Where the page went, always: on standard output, which holds nothing
  // else then, or beside a JSON document on standard error, which keeps the
  // document whole.
  if (!o.html.empty()) (o.json ? std::cerr : std::cout) << "page written to " << o.html << "\n";
  std::cout.flush();
  return std::cout ? kOk : kIo;
}

// kDamaged, with what is wrong with the log, when a report was made from
// a damaged one; else kOk.
int damage_status(const std::string& path, const zr::ParsedLog& log) {
  if (log.bad_lines.empty() && !log.last_line_cut) return kOk;
  std::cerr << "zyg-nox-report: " << path
            << ": damaged log: " << (log.last_line_cut ? "the last line is cut short" : "")
            << (log.last_line_cut && !log.bad_lines.empty() ? "; " : "");
  if (!log.bad_lines.empty())
    std::cerr << "line " << log.bad_lines[0].line << " is not a log line (" << log.bad_lines[0].why
              << ")" << (log.bad_lines.size() > 1 ? " and others" : "");
  std::cerr << "\n";
  return kDamaged;
}

// One log without a job gives the report of its launches; the log of a
// job's launch, or several logs, give one job report.
int report_logs(const Options& o, const std::vector<std::string>& paths) {
  // Sized once: the launches point into the logs' records.
  std::vector<zr::ParsedLog> logs(paths.size());
  std::vector<zr::Report> reps;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (int st = read_log(paths[i], logs[i]); st != kGoOn) return st;
    reps.push_back(zr::build_report(paths[i], logs[i]));
  }
  const int st = reps.size() == 1 && !zr::is_job_log(reps.front())
                     ? write_report(o, reps.front())
                     : write_report(o, zr::build_job(std::move(reps)));
  if (st != kOk) return st;
  int damaged = kOk;
  for (std::size_t i = 0; i < paths.size(); ++i)
    if (damage_status(paths[i], logs[i]) != kOk) damaged = kDamaged;
  return damaged;
}

int run(int argc, char** argv) {
  // Everything after --run belongs to zyg-nox and the command.
  if (argc > 1 && std::strcmp(argv[1], "--run") == 0)
    return zr::run_and_summarise(argc - 2, argv + 2);
  Options o;
  if (int st = parse_options(argc, argv, o); st != kGoOn) return st;
  if (o.topology) return run_topology(o, argc);
  if (o.plan) return run_plan(o, argc);
  if (o.plan_opts)
    return usage_error("-p, -t, -n, --children, --threads and --nodes-cpus go with --plan");
  if (o.preq.memory != "local") return usage_error("--memory goes with --plan");
  if (!o.live.empty()) {
    if (o.first_operand != argc) return usage_error("--live takes no log file");
    if (!o.html.empty()) return usage_error("--live writes text or JSON, not a page");
    if (o.json && o.watch >= 0) return usage_error("--watch writes text only");
    return zr::run_live({o.live, o.watch, o.json}, std::cout, std::cerr);
  }
  if (o.watch >= 0) return usage_error("--watch goes with --live");
  if (o.first_operand == argc) return usage_error("no log file given");
  return report_logs(o, std::vector<std::string>(argv + o.first_operand, argv + argc));
}

}  // namespace

}  // namespace cli
}  // namespace zr

int main(int argc, char** argv) {
  try {
    return zr::cli::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "zyg-nox-report: internal error: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "zyg-nox-report: internal error\n";
  }
  return zr::cli::kInternal;
}
