// zyg-policy-list FILE: writes the library's policy table as text, one line
// per policy in the table's order: its name, then what it may be given to
// ("process", "thread", "plan" for --plan). Run by the build: the bash
// completions and the tests' list of names are made from this file, so that
// the names are written only in lib/shared/policy_table.h.
#include <cstdio>

#include "shared/policy_table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zyg-policy-list FILE\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  for (const zyg::policy_info& p : zyg::kPolicies)
    std::fprintf(out, "%s process%s%s\n", p.name, p.process_only ? "" : " thread", p.plannable ? " plan" : "");
  return std::fclose(out) == 0 ? 0 : 1;
}
