#include "usage.h"

#include "shared/names.h"

namespace zyg::launcher {

// Positional arguments: %1$s is the program name, %2$s..%10$s the policy
// names, so every name is spelt in one place and may be listed twice.
#define ZYG_USAGE_TEXT                                                              \
  "\n"                                                                              \
  "Usage:\n"                                                                        \
  "\n"                                                                              \
  "    %1$s  [ --process=<policy>    | -p <policy>     ]\n"                         \
  "             [ --thread=<policy>     | -t <policy>     ]\n"                      \
  "             [ --memfree=<limit>     | -m <limit>      ]\n"                      \
  "             [ --log=<log-file>      | -l <log-file>   ]\n"                      \
  "             [ --nodes=<node-list>   | -n <node-list>  ]\n"                      \
  "             [ --error=<error-file>  | -e <error-file> ]\n"                      \
  "             [ --cpu                 | -c ]\n"                                   \
  "             [ --write-by-other      | -w ]\n"                                   \
  "             command  [ command arguments ... ]\n"                               \
  "\n"                                                                              \
  "    %1$s  [ --remove-data-files   | -r ]\n"                                      \
  "\n"                                                                              \
  "    %1$s  [ --help                | -h ]\n"                                      \
  "\n"                                                                              \
  "    where:\n"                                                                    \
  "\n"                                                                              \
  "          process <policy> can be one of:\n"                                     \
  "                 %2$s  %3$s  %4$s  %5$s  %6$s  %7$s\n"                           \
  "                 %8$s  %9$s  %10$s\n"                                            \
  "                 (the process default is none if not specified)\n"               \
  "\n"                                                                              \
  "          thread <policy> can be one of:\n"                                      \
  "                 %2$s  %3$s  %4$s  %5$s  %6$s\n"                                 \
  "                 %8$s  %9$s  %10$s\n"                                            \
  "                 (the thread default, if not specified, is to inherit\n"         \
  "                 the launch node from the initial thread of the process)\n"      \
  "\n"                                                                              \
  "          <node-list> is a comma delimited list of node numbers or A-B ranges\n" \
  "                 in the format of \"2-4\", \"1,3,5\", or \"1,3,6-8\"\n"          \
  "                 all nodes and ranges can be inverted with !\n"                  \
  "                 (the default is the current node affinity if not specified)\n"  \
  "\n"

void print_usage(FILE* out) {
  fprintf(out, ZYG_USAGE_TEXT, kProgName, "rr_tree", "rr_flat", "ff_tree", "ff_flat", "pack",
          "rr_pack", "memfree_tree", "memfree_flat", "none");
  fflush(out);
}

#undef ZYG_USAGE_TEXT

}  // namespace zyg::launcher
