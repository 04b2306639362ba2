// zyg-nox-report: turns a zyg-nox launch log into a summary a person can
// read (text), a document for scripts (--json) or a page with a timeline
// (--html), and shows a running launch from its data file (--live).
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
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>

#include "live.h"
#include "logparse.h"
#include "model.h"
#include "output.h"
#include "plan.h"
#include "run.h"
#include "shared/memory_tiers.h"
#include "shared/version.h"

namespace {

constexpr int kOk = 0, kUsage = 1, kIo = 2, kNotLog = 3, kDamaged = 4, kInternal = 6;

const char kUsageText[] =
    "Usage: zyg-nox-report [OPTIONS] LOG\n"
    "       zyg-nox-report --live PID|DATAFILE [--watch SECONDS | --json]\n"
    "       zyg-nox-report --plan -p POLICY [-t POLICY] [-n LIST] [-c] [--children N] [--threads "
    "M]\n"
    "                      [--nodes-cpus NODE:CPUS,...] [--json]\n"
    "       zyg-nox-report --run [ZYG-NOX OPTIONS] -- COMMAND [ARGS]\n"
    "\n"
    "Summarises a zyg-nox launch log (written with zyg-nox -l LOG).\n"
    "\n"
    "  -j, --json           write the report as one JSON document (schema version 1)\n"
    "  -H, --html FILE      write a self-contained HTML page with a timeline instead of the text\n"
    "  -c, --cpu            timeline lanes per CPU instead of per node (with --html)\n"
    "      --depth N        show the process tree down to depth N (0: first process only)\n"
    "      --top N          show at most N children per process (largest subtrees first)\n"
    "      --expand         list alike processes and every thread one by one\n"
    "      --live PID|FILE  show a running launch: node counters, where its tasks run and where\n"
    "                       the memory of its processes is (PID: any process of the launch)\n"
    "      --watch SECONDS  with --live: refresh every SECONDS until the launch ends\n"
    "      --plan           show where the tasks of a program would be placed, running nothing:\n"
    "                       the first process starts M threads, then N children one after\n"
    "                       another, each of which starts M threads\n"
    "  -p, --process P      --plan: process policy (default none)\n"
    "  -t, --thread P       --plan: thread policy (default none)\n"
    "  -n, --nodes LIST     --plan: launch nodes (default: all nodes with CPUs)\n"
    "  -c, --cpu            --plan: CPU launch (with --html: lanes per CPU)\n"
    "      --children N     --plan: children of the first process (default 3)\n"
    "      --threads M      --plan: threads each process starts (default 2)\n"
    "      --nodes-cpus T   --plan: another machine's topology, e.g. \"0:0-1,1:2-3\"\n"
    "  -u, --unit U         --plan: node (default) or l3: place on the L3-cache domains\n"
    "      --l3-sets S      --plan, -u l3: another machine's L3 sets, e.g. \"0-1/2-3\"\n"
    "      --memory MODE    --plan: local, nearest-memonly or interleave-memonly: show each\n"
    "                       launch node's memory-only node (this machine only)\n"
    "      --run ... -- CMD run CMD under zyg-nox with those options and a log of its own;\n"
    "                       when it ends, print the per-node summary to standard error and\n"
    "                       exit with CMD's status (must be the first option)\n"
    "  -V, --version        print the version\n"
    "  -h, --help           print this text\n"
    "\n"
    "Exit status: 0 report written, 1 usage error, 2 cannot read or write a file,\n"
    "3 not a launch log (or data file), 4 report from a damaged log,\n"
    "5 launch not running (--live), 6 internal error.\n";

bool parse_nonneg(const char* s, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno || end == s || *end != '\0' || v < 0 || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

int usage_error(const std::string& msg) {
  std::cerr << "zyg-nox-report: " << msg << "\n(zyg-nox-report --help shows the options)\n";
  return kUsage;
}

// The option as the user wrote it: "--live" for a long one (even when
// abbreviated), "-H" for a short one.
std::string option_name(const option* longopts, int val, const char* word) {
  if (word[0] == '-' && word[1] == '-') {
    for (const option* o = longopts; o->name; ++o)
      if (o->val == val) return std::string("--") + o->name;
  }
  return std::string("-") + static_cast<char>(val);
}

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

enum {
  kDepth = 1000,
  kTop,
  kExpand,
  kLive,
  kWatch,
  kPlan,
  kChildren,
  kThreads,
  kNodesCpus,
  kL3Sets
};
// Apart from the row above, so that options added beside it stay apart.
enum { kMemory = 1100 };
const option kLongOptions[] = {
    {"json", no_argument, nullptr, 'j'},
    {"html", required_argument, nullptr, 'H'},
    {"cpu", no_argument, nullptr, 'c'},
    {"depth", required_argument, nullptr, kDepth},
    {"top", required_argument, nullptr, kTop},
    {"expand", no_argument, nullptr, kExpand},
    {"live", required_argument, nullptr, kLive},
    {"watch", required_argument, nullptr, kWatch},
    {"plan", no_argument, nullptr, kPlan},
    {"process", required_argument, nullptr, 'p'},
    {"thread", required_argument, nullptr, 't'},
    {"nodes", required_argument, nullptr, 'n'},
    {"children", required_argument, nullptr, kChildren},
    {"threads", required_argument, nullptr, kThreads},
    {"nodes-cpus", required_argument, nullptr, kNodesCpus},
    {"unit", required_argument, nullptr, 'u'},
    {"l3-sets", required_argument, nullptr, kL3Sets},
    {"memory", required_argument, nullptr, kMemory},
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The command line as read; `first_operand` indexes argv past the options.
struct Options {
  bool json = false, per_cpu = false, plan = false, plan_opts = false;
  std::string html, live, nodes_cpus, l3_sets;
  zr::PlanRequest preq;
  int watch = -1;
  zr::TextOptions topt;
  int first_operand = 0;
};

constexpr int kGoOn = -1;

// The options that take a number.  kGoOn, or the status of a usage error.
int numeric_option(int c, Options& o) {
  switch (c) {
    case kDepth:
      if (!parse_nonneg(optarg, o.topt.depth)) return usage_error("--depth needs a number >= 0");
      break;
    case kTop:
      if (!parse_nonneg(optarg, o.topt.top) || o.topt.top == 0)
        return usage_error("--top needs a number >= 1");
      break;
    case kWatch:
      if (!parse_nonneg(optarg, o.watch) || o.watch == 0)
        return usage_error("--watch needs a number of seconds >= 1");
      break;
    case kChildren:
      if (!parse_nonneg(optarg, o.preq.children))
        return usage_error("--children needs a number >= 0");
      o.plan_opts = true;
      break;
    case kThreads:
      if (!parse_nonneg(optarg, o.preq.threads))
        return usage_error("--threads needs a number >= 0");
      o.plan_opts = true;
      break;
  }
  return kGoOn;
}

// Reads the options into o.  kGoOn when the run goes on, else the exit
// status: after --version or --help, or of a usage error.
int parse_options(int argc, char** argv, Options& o) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":jH:cp:t:n:u:Vh", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'j':
        o.json = true;
        break;
      case 'H':
        o.html = optarg;
        break;
      case 'c':
        o.per_cpu = true;
        break;
      case kDepth:
      case kTop:
      case kWatch:
      case kChildren:
      case kThreads:
        if (int st = numeric_option(c, o); st != kGoOn) return st;
        break;
      case kExpand:
        o.topt.expand = true;
        break;
      case kLive:
        o.live = optarg;
        break;
      case kPlan:
        o.plan = true;
        break;
      case 'p':
        o.preq.proc_policy = optarg;
        o.plan_opts = true;
        break;
      case 't':
        o.preq.thrd_policy = optarg;
        o.plan_opts = true;
        break;
      case 'n':
        o.preq.nodes = optarg;
        o.plan_opts = true;
        break;
      case kNodesCpus:
        o.nodes_cpus = optarg;
        o.plan_opts = true;
        break;
      case 'u':
        o.preq.unit = optarg;
        o.plan_opts = true;
        break;
      case kL3Sets:
        o.l3_sets = optarg;
        o.plan_opts = true;
        break;
      case kMemory:
        o.preq.memory = optarg;
        break;
      case 'V':
        std::cout << "zyg-nox-report " << zyg::kVersionText << " (report format version 1)\n";
        return kOk;
      case 'h':
        std::cout << kUsageText;
        return kOk;
      case ':':
        return usage_error("option " + option_name(kLongOptions, optopt, argv[optind - 1]) +
                           " needs a value");
      case '?':
      default:
        if (optopt > 0 && optopt < 128)
          return usage_error(std::string("option -") + static_cast<char>(optopt) + " is unknown");
        return usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  o.first_operand = optind;
  return kGoOn;
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
  if (!zr::read_l3_sets(o.preq.topology, o.preq.l3_sets, why)) return usage_error("--plan: " + why);
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

// The page, if asked for, then the text or JSON on standard output.
int write_report(const Options& o, const zr::Report& rep) {
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
  else
    text << "page written to " << o.html << "\n";
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

int report_log(const Options& o, const std::string& path) {
  zr::ParsedLog log;
  if (int st = read_log(path, log); st != kGoOn) return st;
  zr::Report rep;
  rep.source = path;
  rep.log = &log;
  for (const auto& s : log.sections) rep.launches.push_back(zr::build_launch(s));
  if (int st = write_report(o, rep); st != kOk) return st;
  return damage_status(path, log);
}

int run(int argc, char** argv) {
  // Everything after --run belongs to zyg-nox and the command.
  if (argc > 1 && std::strcmp(argv[1], "--run") == 0)
    return zr::run_and_summarise(argc - 2, argv + 2);
  Options o;
  if (int st = parse_options(argc, argv, o); st != kGoOn) return st;
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
  if (o.first_operand + 1 != argc)
    return usage_error(o.first_operand == argc ? "no log file given" : "only one log file, please");
  return report_log(o, argv[o.first_operand]);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "zyg-nox-report: internal error: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "zyg-nox-report: internal error\n";
  }
  return kInternal;
}
