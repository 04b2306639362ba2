#include "main/options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "shared/version.h"

namespace zr {
namespace cli {

namespace {

const char kUsageText[] =
    "Usage: zyg-nox-report [OPTIONS] LOG...\n"
    "       zyg-nox-report --live PID|DATAFILE [--watch SECONDS | --json]\n"
    "       zyg-nox-report --plan -p POLICY [-t POLICY] [-n LIST] [-c] [--children N] [--threads "
    "M]\n"
    "                      [--nodes-cpus NODE:CPUS,...] [--json]\n"
    "       zyg-nox-report --run [ZYG-NOX OPTIONS] -- COMMAND [ARGS]\n"
    "       zyg-nox-report --topology [--json]\n"
    "\n"
    "Summarises a zyg-nox launch log (written with zyg-nox -l LOG). The logs of a job's\n"
    "hosts (zyg-nox --job), or several logs, give one job report: hosts, ranks, totals.\n"
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
    "      --topology       show this machine as a launch would use it: nodes, CPUs, memory,\n"
    "                       distances, memory-only nodes, L3 domains, what the cpuset allows\n"
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

// The option as the user wrote it: "--live" for a long one (even when
// abbreviated), "-H" for a short one.
std::string option_name(const option* longopts, int val, const char* word) {
  if (word[0] == '-' && word[1] == '-') {
    for (const option* o = longopts; o->name; ++o)
      if (o->val == val) return std::string("--") + o->name;
  }
  return std::string("-") + static_cast<char>(val);
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
enum { kMemory = 1100, kTopology, kRun };
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
    {"topology", no_argument, nullptr, kTopology},
    // Read only as the first word (main.cpp); anywhere else it is named so.
    {"run", no_argument, nullptr, kRun},
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

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

// The --plan options that take a text.
void plan_option(int c, Options& o) {
  switch (c) {
    case 'p':
      o.preq.proc_policy = optarg;
      break;
    case 't':
      o.preq.thrd_policy = optarg;
      break;
    case 'n':
      o.preq.nodes = optarg;
      break;
    case kNodesCpus:
      o.nodes_cpus = optarg;
      break;
    case 'u':
      o.preq.unit = optarg;
      break;
    case kL3Sets:
      o.l3_sets = optarg;
      break;
  }
  o.plan_opts = true;
}

// The long options without a number.  kGoOn, or the status of a usage error.
int long_only_option(int c, Options& o) {
  switch (c) {
    case kExpand:
      o.topt.expand = true;
      break;
    case kLive:
      o.live = optarg;
      break;
    case kPlan:
      o.plan = true;
      break;
    case kMemory:
      o.preq.memory = optarg;
      break;
    case kTopology:
      o.topology = true;
      break;
    case kRun:
      // Read only as the first word (main.cpp), before anything is parsed.
      return usage_error(
          "--run must come first: zyg-nox-report --run [ZYG-NOX OPTIONS] -- COMMAND");
  }
  return kGoOn;
}

}  // namespace

int usage_error(const std::string& msg) {
  std::cerr << "zyg-nox-report: " << msg << "\n(zyg-nox-report --help shows the options)\n";
  return kUsage;
}

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
      case 'p':
      case 't':
      case 'n':
      case kNodesCpus:
      case 'u':
      case kL3Sets:
        plan_option(c, o);
        break;
      case kExpand:
      case kLive:
      case kPlan:
      case kMemory:
      case kTopology:
      case kRun:
        if (int st = long_only_option(c, o); st != kGoOn) return st;
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

}  // namespace cli
}  // namespace zr
