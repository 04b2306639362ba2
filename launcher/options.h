// options.h - the launcher's command line: the option table, the short-option
// string derived from it, and the parse with its refusals. Accepted launch
// options are appended to the command's environment as they are read.
#pragma once

#include <cstdio>
#include <string>

#include "launch_env.h"

namespace zyg::launcher {

struct OptionDef {
  const char* long_name;
  int short_name;  // getopt_long's value for the option
  bool has_arg;
  int max_len;           // longest value accepted, in characters
  const char* env_name;  // launch variable set, null for -h and -r
  const char* repeat_label;
  const char* empty_label;
};

inline constexpr int kOptionCount = 15;

// getopt_long's value for --version: long only, outside the printable
// letters, so the short-option string stays as it is.
inline constexpr int kVersionOption = 0x100;
// getopt_long's value for --memory, long only like --version.
inline constexpr int kMemoryOption = 0x101;
// --job: the ranks of a job step on a host share one launch (launcher/job.h).
inline constexpr int kJobOption = 0x102;
extern const OptionDef kOptionTable[kOptionCount];

// "+" then every printable short letter, with ':' when it takes a value.
std::string build_short_options();

enum class ParseAction {
  kLaunch,  // go on with the background clean-up and the command
  kRemove,  // -r alone: remove stale data files, exit 0
  kExit,    // refused, -h or --version: exit with exit_status
};

struct ParseResult {
  ParseAction action = ParseAction::kExit;
  int exit_status = 1;
  int command_index = 0;       // first word after the options
  bool launch_option = false;  // at least one launch option was accepted
  bool debug = false;          // -d / --debug selects the debug library
  bool other_write = false;    // -w: the launch's files are made 0666
  bool job = false;            // --job
  int memory_mode = 0;         // --memory: a mode of shared/memory_tiers.h
};

// Parses argv with getopt_long (from optind = 0, so it may be called again).
// Refusals and the usage text go to err; getopt_long's own diagnostics go to
// stderr. Launch options append their entry to env.
ParseResult parse_options(int argc, char** argv, LaunchEnv* env, FILE* err);

}  // namespace zyg::launcher
