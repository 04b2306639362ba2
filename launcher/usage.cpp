#include "usage.h"

#include <string.h>

#include "shared/names.h"
#include "shared/policy_table.h"

namespace zyg::launcher {

namespace {

// %1$s is the program name, shown three times.
constexpr char kUsageHead[] =
    "\n"
    "Usage:\n"
    "\n"
    "    %1$s  [ --process=<policy>    | -p <policy>     ]\n"
    "             [ --thread=<policy>     | -t <policy>     ]\n"
    "             [ --memfree=<limit>     | -m <limit>      ]\n"
    "             [ --log=<log-file>      | -l <log-file>   ]\n"
    "             [ --nodes=<node-list>   | -n <node-list>  ]\n"
    "             [ --unit=<unit>         | -u <unit>       ]\n"
    "             [ --error=<error-file>  | -e <error-file> ]\n"
    "             [ --cpu                 | -c ]\n"
    "             [ --write-by-other      | -w ]\n"
    "             [ --memory=<mode> ]\n"
    "             [ --job ]\n"
    "             command  [ command arguments ... ]\n"
    "\n"
    "    %1$s  [ --remove-data-files   | -r ]\n"
    "\n"
    "    %1$s  [ --help                | -h ]\n"
    "\n"
    "    where:\n"
    "\n"
    "          process <policy> can be one of:\n";

constexpr char kUsageBetween[] =
    "                 (the process default is none if not specified)\n"
    "\n"
    "          thread <policy> can be one of:\n";

constexpr char kUsageTail[] =
    "                 (the thread default, if not specified, is to inherit\n"
    "                 the launch node from the initial thread of the process)\n"
    "\n"
    "          <node-list> is a comma delimited list of node numbers or A-B ranges\n"
    "                 in the format of \"2-4\", \"1,3,5\", or \"1,3,6-8\"\n"
    "                 all nodes and ranges can be inverted with !\n"
    "                 (the default is the current node affinity if not specified)\n"
    "\n";

constexpr char kUsageUnit[] =
    "          <unit> is node or l3: what every policy places tasks on\n"
    "                 node: the launch's NUMA nodes (the default)\n"
    "                 l3: the launch's L3-cache domains, each within one node\n"
    "\n";

constexpr char kUsageMemory[] =
    "          memory <mode> can be one of:\n"
    "                 local  nearest-memonly  interleave-memonly\n"
    "                 (the default is local: memory on the task's own node;\n"
    "                 nearest-memonly prefers the nearest node with memory and\n"
    "                 no CPUs, interleave-memonly interleaves over both)\n"
    "\n"
    "          --job: the ranks of an MPI or Slurm job step on a host share\n"
    "                 one launch (the job and rank from the starter's variables)\n"
    "\n";

// The policy names, two spaces apart, in lines of at most kListWidth
// columns after kListIndent.
constexpr char kListIndent[] = "                 ";
constexpr int kListWidth = 70;

void print_policy_names(FILE* out, bool thread) {
  int column = 0;  // 0: at the start of a line
  for (const policy_info& p : kPolicies) {
    if (thread && p.process_only) continue;
    const int len = (int)strlen(p.name);
    if (column > 0 && column + 2 + len > kListWidth) {
      fputc('\n', out);
      column = 0;
    }
    column += fprintf(out, "%s%s", column == 0 ? kListIndent : "  ", p.name);
  }
  fputc('\n', out);
}

}  // namespace

void print_usage(FILE* out) {
  fprintf(out, kUsageHead, kProgName);
  print_policy_names(out, false);
  fputs(kUsageBetween, out);
  print_policy_names(out, true);
  fputs(kUsageTail, out);
  fputs(kUsageUnit, out);
  fputs(kUsageMemory, out);
  fflush(out);
}

}  // namespace zyg::launcher
