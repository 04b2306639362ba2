// The launcher's command line: any words after the program name are parsed
// as the user could type them; refusals go to /dev/null.
#include <stdio.h>

#include <vector>

#include "fuzz_util.h"
#include "launch_env.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* err = fopen("/dev/null", "w");
  std::vector<std::string> w = zyg_fuzz::words(data, size, 64);
  std::vector<char*> argv;
  static char prog[] = "zyg-nox";
  argv.push_back(prog);
  for (std::string& s : w) argv.push_back(s.data());
  argv.push_back(nullptr);
  zyg::launcher::LaunchEnv env;
  if (zyg::launcher::launch_env_init(&env, nullptr) != 0) return 0;
  zyg::launcher::ParseResult r =
      zyg::launcher::parse_options((int)argv.size() - 1, argv.data(), &env, err);
  if (r.action == zyg::launcher::ParseAction::kLaunch &&
      (r.command_index < 1 || r.command_index > (int)argv.size() - 1))
    __builtin_trap();  // the command must be inside argv
  zyg::launcher::launch_env_free(&env);
  return 0;
}
