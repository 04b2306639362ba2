// zyg-nox: reads the launch options, starts the background removal of stale
// launch data files, refuses commands the preload library cannot serve, and
// replaces itself with the command under the preload library.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cleanup.h"
#include "command_check.h"
#include "job.h"
#include "launch_env.h"
#include "memory_check.h"
#include "options.h"
#include "shared/elf_check.h"
#include "shared/memory_tiers.h"
#include "shared/names.h"
#include "usage.h"

extern char** environ;

namespace {

using namespace zyg;
using namespace zyg::launcher;

// The launch's files and environment: the host's launch of the job under
// --job, else a launch of its own. 0, or 1 after a message.
int start_launch(const ParseResult& opts, const JobInfo* job, LaunchEnv* env,
                 std::string* data_file) {
  const unsigned mode = opts.other_write ? kFileModeOther : kFileMode;
  if (opts.job) {
    std::string why;
    const char* log = launch_env_value(env, kEnvLogFile);
    const char* error = launch_env_value(env, kEnvErrorFile);
    if (job_start_launch(env, *job, getpid(), mode, log ? log : "", error ? error : "", data_file,
                         &why) != 0) {
      fprintf(stderr, "Error: %s --job: %s\n", kProgName, why.c_str());
      return 1;
    }
    return 0;
  }
  if (int r = launch_env_start_launch(env, (int)getpid(), mode, data_file); r != 0) {
    if (r == -ENOMEM) {
      fprintf(stderr, "Error: %s failed to allocate memory\n", kProgName);
    } else {
      fprintf(stderr, "Error: %s can't create the launch data file: %s\n", kProgName, strerror(-r));
    }
    return 1;
  }
  return 0;
}

// %h %r %j %p in the log and error file names. 0, or 1 after a message.
int expand_names(const ParseResult& opts, const JobInfo* job, LaunchEnv* env) {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  for (const char* name : {kEnvLogFile, kEnvErrorFile}) {
    const char* value = launch_env_value(env, name);
    if (value == nullptr || strchr(value, '%') == nullptr) continue;
    std::string out, why;
    if (!expand_name(value, job, opts.job, host, getpid(), &out, &why)) {
      fprintf(stderr, "Error: %s: %s\n", kProgName, why.c_str());
      return 1;
    }
    if (out.size() > static_cast<size_t>(kMaxPath)) {
      fprintf(stderr, "\nError: name length is too large: %s\n", out.c_str());
      return 1;
    }
    if (launch_env_set(env, name, out.c_str()) != 0) {
      fprintf(stderr, "Error: %s failed to allocate memory\n", kProgName);
      return 1;
    }
  }
  return 0;
}

int launch(char** argv, int command_index, const ParseResult& opts, const JobInfo* job,
           LaunchEnv* env) {
  const char* word = argv[command_index];

  std::string path;
  try {
    path = resolve_command_path(word, getenv("PATH"));
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "Error: command execution failed with: %s\n", strerror(ENOMEM));
    return 1;
  }
  switch (check_command(path)) {
    case CommandVerdict::kSetId:
      fprintf(stderr, "Error: %s: Cannot launch a setuid/setgid command\n", kProgName);
      return 1;
    case CommandVerdict::k32Bit:
      fprintf(stderr, "\nError: %s does not support 32-bit executables\n\n", kProgName);
      return 1;
    case CommandVerdict::kOk:
      break;
  }

  std::string data_file;
  if (opts.launch_option) {
    const char* lib = opts.debug ? kDebugLibPath : kReleaseLibPath;
    if (check_shared_lib(lib) != 1) {
      if (opts.debug) {
        print_usage(stderr);
      } else {
        fprintf(stderr, "\nError: %s not installed correctly. Please reinstall.\n\n", kProgName);
      }
      return 1;
    }
    if (uses_foreign_loader(path)) {
      fprintf(stderr, "\nError: %s does not support programs of another C library: %s\n\n",
              kProgName, path.c_str());
      return 1;
    }
    if (launch_env_append(env, kEnvLib64, lib) != 0) {
      fprintf(stderr, "Error: %s failed to allocate memory\n", kProgName);
      return 1;
    }
    if (start_launch(opts, job, env, &data_file) != 0) return 1;
    if (launch_env_add_preload(env, lib) != 0) {
      fprintf(stderr, "\nError: %s - out of memory.\n", kProgName);
      if (!opts.job) unlink(data_file.c_str());
      return 1;
    }
  }

  execvpe(word, argv + command_index, env->entries);
  int err = errno;
  // Nothing of the launch runs: its file goes with it (a job's launch is
  // the other ranks' too).
  if (!data_file.empty() && !opts.job) unlink(data_file.c_str());
  fprintf(stderr, "\n%s: can't execute `%s': %s\n", kProgName, word, strerror(err));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  LaunchEnv env;
  if (launch_env_init(&env, environ) != 0) {
    fprintf(stderr, "Error: %s failed to allocate memory\n", kProgName);
    return 1;
  }

  ParseResult opts = parse_options(argc, argv, &env, stderr);
  switch (opts.action) {
    case ParseAction::kExit:
      return opts.exit_status;
    case ParseAction::kRemove:
      require_fuser();
      remove_stale_data_files();
      return 0;
    case ParseAction::kLaunch:
      break;
  }

  start_background_cleanup();

  if (opts.command_index >= argc) {
    fprintf(stderr, "\nError: no command specified\n");
    print_usage(stderr);
    return 1;
  }
  if (opts.memory_mode != MEMORY_LOCAL && !memory_mode_usable(opts.memory_mode, env, stderr))
    return 1;
  JobInfo job;
  const bool in_job = find_job(environ, getppid(), &job);
  if (opts.job && !in_job) {
    fprintf(stderr,
            "Error: %s --job: no job in the environment (the variables of Slurm, Open MPI, PMIx "
            "or MPICH)\n",
            kProgName);
    return 1;
  }
  const char* proc_policy = launch_env_value(&env, kEnvProcPolicy);
  if (opts.job && proc_policy != nullptr && strcmp(proc_policy, "rr_pack") == 0) {
    fprintf(stderr,
            "Error: %s --job: rr_pack places the children of one first process; a job's ranks "
            "cannot share it\n",
            kProgName);
    return 1;
  }
  if (expand_names(opts, in_job ? &job : nullptr, &env) != 0) return 1;
  int rc = launch(argv, opts.command_index, opts, in_job ? &job : nullptr, &env);
  launch_env_free(&env);
  return rc;
}
