#include "options.h"

#include <getopt.h>
#include <sched.h>

#include <cctype>
#include <cstring>

#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"
#include "shared/names.h"
#include "shared/version.h"
#include "usage.h"

namespace zyg::launcher {

// The order of this table fixes the short-option string.
const OptionDef kOptionTable[kOptionCount] = {
    {"cpu", 'c', false, 0, kEnvCpuPolicy, "-c / --cpu", nullptr},
    {"help", 'h', false, 0, nullptr, nullptr, nullptr},
    {"remove-data-files", 'r', false, 0, nullptr, "-r / --remove-data-files", nullptr},
    {"write-by-other", 'w', false, 0, kEnvOtherWrite, "-w / --write-by-other", nullptr},
    {"process", 'p', true, kMaxPolicyName, kEnvProcPolicy, "-p / --process", "-p/--process"},
    {"thread", 't', true, kMaxPolicyName, kEnvThrdPolicy, "-t / --thread", "-t/--thread"},
    {"log", 'l', true, kMaxPath, kEnvLogFile, "-l / --log", "-l/--log"},
    {"nodes", 'n', true, kMaxPath, kEnvNodes, "-n / --nodes", "-n/--nodes"},
    {"error", 'e', true, kMaxPath, kEnvErrorFile, "-e / --error", "-e/--error"},
    {"memfree", 'm', true, kMaxMemfree, kEnvMemfree, "-m / --memfree", "-m/--memfree"},
    {"debug", 'd', true, kMaxPath, kEnvDebugFile, "-d / --debug", "-d/--debug"},
    {"version", kVersionOption, false, 0, nullptr, nullptr, nullptr},
    {"unit", 'u', true, kMaxPolicyName, kEnvUnit, "-u / --unit", "-u/--unit"},
    {"memory", kMemoryOption, true, kMaxPolicyName, kEnvMemory, "--memory", "--memory"},
    {"job", kJobOption, false, 0, nullptr, "--job", nullptr},
};

std::string build_short_options() {
  std::string s = "+";
  for (const OptionDef& o : kOptionTable) {
    if (o.short_name > 0 && o.short_name < 128 && isprint(o.short_name)) {
      s += static_cast<char>(o.short_name);
      if (o.has_arg) s += ':';
    }
  }
  return s;
}

namespace {

ParseResult refuse(FILE* err) {
  print_usage(err);
  ParseResult r;
  r.action = ParseAction::kExit;
  r.exit_status = 1;
  return r;
}

// --unit's value: a unit name, and under l3 level-3 cache information for
// every CPU the launch may use (the library would refuse it later, after
// the command's start-up). One line on err when refused.
bool unit_accepted(const char* value, FILE* err) {
  const int kind = unit_kind_of(value);
  if (kind < 0) {
    fprintf(err, "Error: unknown unit: %s (node or l3)\n", value);
    return false;
  }
  if (kind == 0) return true;
  cpu_set_t own;
  if (sched_getaffinity(0, sizeof own, &own) != 0) return true;  // the library will tell
  constexpr size_t kWords = sizeof own / sizeof(unsigned long);
  unsigned long cpus[kWords], set[kWords], covered[kWords];
  memcpy(cpus, &own, sizeof cpus);
  int bad = -1;
  if (walk_l3_sets(kSysCpuDir, cpus, kWords, set, covered, nullptr, nullptr, &bad) == 0)
    return true;
  fprintf(err, "Error: --unit=l3: no level-3 cache information for CPU %d\n", bad);
  return false;
}

int find_option(int value) {
  for (int i = 0; i < kOptionCount; ++i) {
    if (kOptionTable[i].short_name == value) return i;
  }
  return -1;
}

// --memory's value into r; false, after a one-line refusal, for an unknown
// mode.
bool memory_mode_known(const char* value, ParseResult* r, FILE* err) {
  r->memory_mode = memory_mode_named(value);
  if (r->memory_mode >= 0) return true;
  fprintf(err,
          "Error: unknown --memory value \"%s\" (local, nearest-memonly or "
          "interleave-memonly)\n",
          value);
  return false;
}

// Long names read besides the table's, each as the option of its short
// name: --mem meant --memfree for as long as no other option began so, and
// keeps that meaning beside --memory (getopt_long takes an exact name
// before any abbreviation).
struct OptionAlias {
  const char* name;
  int short_name;
};
constexpr OptionAlias kAliases[] = {{"mem", 'm'}};
constexpr int kAliasCount = sizeof kAliases / sizeof kAliases[0];

// getopt_long's table: the option table's names, then the aliases.
void fill_long_options(struct option* longopts) {
  for (int i = 0; i < kOptionCount; ++i) {
    longopts[i].name = kOptionTable[i].long_name;
    longopts[i].has_arg = kOptionTable[i].has_arg ? required_argument : no_argument;
    longopts[i].flag = nullptr;
    longopts[i].val = kOptionTable[i].short_name;
  }
  for (int i = 0; i < kAliasCount; ++i) {
    const OptionDef& o = kOptionTable[find_option(kAliases[i].short_name)];
    longopts[kOptionCount + i] = {kAliases[i].name, o.has_arg ? required_argument : no_argument,
                                  nullptr, o.short_name};
  }
  longopts[kOptionCount + kAliasCount] = {nullptr, 0, nullptr, 0};
}

}  // namespace

ParseResult parse_options(int argc, char** argv, LaunchEnv* env, FILE* err) {
  const std::string shortopts = build_short_options();
  struct option longopts[kOptionCount + kAliasCount + 1];
  fill_long_options(longopts);

  bool seen[kOptionCount] = {};
  int accepted = 0;
  ParseResult result;

  optind = 0;  // full re-initialisation of getopt's state
  opterr = 1;
  for (;;) {
    int c = getopt_long(argc, argv, shortopts.c_str(), longopts, nullptr);
    if (c == -1) break;
    int idx = find_option(c);
    if (idx < 0) return refuse(err);  // getopt_long has said what was wrong
    const OptionDef& o = kOptionTable[idx];
    if (c == 'h') return refuse(err);
    if (c == kVersionOption) {
      printf("%s %s\n", kProgName, kVersionText);
      ParseResult r;
      r.exit_status = fflush(stdout) == 0 ? 0 : 1;
      return r;
    }
    if (seen[idx]) {
      fprintf(err, "\nError: option %s can only be specified once\n", o.repeat_label);
      return refuse(err);
    }
    const char* value = "1";
    if (o.has_arg) {
      value = optarg != nullptr ? optarg : "";
      if (value[0] == '\0') {
        fprintf(err, "\nError: Missing %s option value\n", o.empty_label);
        return refuse(err);
      }
      if (strlen(value) > static_cast<size_t>(o.max_len)) {
        fprintf(err, "\nError: name length is too large: %s\n", value);
        return refuse(err);
      }
    }
    if (c == 'u' && !unit_accepted(value, err)) return ParseResult{};
    if (c == kMemoryOption && !memory_mode_known(value, &result, err)) return ParseResult{};
    seen[idx] = true;
    ++accepted;
    if (o.env_name != nullptr) {
      if (launch_env_append(env, o.env_name, value) != 0) {
        fprintf(err, "Error: %s failed to allocate memory\n", kProgName);
        ParseResult r;
        return r;
      }
      result.launch_option = true;
    }
    if (c == 'd') result.debug = true;
    if (c == 'w') result.other_write = true;
    if (c == kJobOption) {
      result.job = true;
      result.launch_option = true;
    }
  }

  if (seen[find_option('r')]) {
    if (accepted != 1 || optind < argc) {
      fprintf(err, "\nError: -r / --remove-data-files must be specified by itself\n");
      return refuse(err);
    }
    result.action = ParseAction::kRemove;
    result.exit_status = 0;
    return result;
  }
  result.action = ParseAction::kLaunch;
  result.exit_status = 0;
  result.command_index = optind;
  return result;
}

}  // namespace zyg::launcher
