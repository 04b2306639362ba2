// spank_zyg_nox.cpp - the Slurm SPANK plugin: srun --zyg-nox=OPTIONS (and
// sbatch --zyg-nox=OPTIONS, which hands the option on to the job's steps)
// starts each task of a step as `zyg-nox --job OPTIONS COMMAND...` would.
//
// The plugin acts in the task itself, in slurm_spank_task_init: slurmstepd
// has forked the task, bound it as the step asked, become the user and set
// the task's environment. It does more before the exec (the task prolog and
// the variables it exports, the resource limits --propagate carries), so a
// command that loads preload libraries is started from inside itself: the
// plugin preloads zyg-nox_spank_start.so (task_start.cpp), which execs the
// launcher with the command once slurmstepd has exec'd it. A command that
// cannot load it (a static program, one of another C library's loader) is
// started by an exec of the launcher from here, without what slurmstepd
// would have done after this hook. Either way the launcher finds the job
// and rank in SLURM_* as it does when a user writes it in front of the
// command, and a binding made by --cpu-bind is the allowance the task is
// placed in. A batch script and the extern and interactive steps are not
// tasks of a step and are left as they are.
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shared/elf_check.h"
#include "task_args.h"

// Slurm's header declares the plugin's entry points for C without saying
// so to C++; the names Slurm looks up are the only ones the plugin exports
// (it is built with hidden visibility).
#pragma GCC visibility push(default)
extern "C" {
#include <slurm/slurm.h>
#include <slurm/spank.h>

#ifndef ZYG_LAUNCHER_PATH
#error "ZYG_LAUNCHER_PATH: the installed launcher's path"
#endif
#ifndef ZYG_TASK_START_PATH
#error "ZYG_TASK_START_PATH: the installed task-start library's path"
#endif

extern const char plugin_name[];
extern const char plugin_type[];
extern const unsigned int plugin_version;
extern const unsigned int spank_plugin_version;
}
#pragma GCC visibility pop

const char plugin_name[] = "zyg-nox";
const char plugin_type[] = "spank";
const unsigned int plugin_version = SLURM_VERSION_NUMBER;
const unsigned int spank_plugin_version = 1;

namespace {

constexpr std::size_t kOptionTextMax = 4096;

// The words of a value, kept in the plugin's own storage.
struct OptionWords {
  char text[kOptionTextMax];
  char* words[zyg::slurm::kMaxOptionWords];
  int count;
};

OptionWords g_words;

// srun and sbatch check the value when the user gives it, so a value the
// task could not use is refused before the job starts.
int check_value(int, const char* value, int) {
  if (value != nullptr &&
      zyg::slurm::split_options(value, g_words.text, sizeof g_words.text, g_words.words,
                                zyg::slurm::kMaxOptionWords) >= 0)
    return 0;
  slurm_error("zyg-nox: --zyg-nox=%s: an unbalanced quote or backslash, or too long",
              value != nullptr ? value : "");
  return -1;
}

struct spank_option g_option = {
    const_cast<char*>("zyg-nox"),
    const_cast<char*>("OPTIONS"),
    const_cast<char*>("Start each task as `zyg-nox --job OPTIONS`: the ranks on a host "
                      "share one NUMA placement (see zyg-nox(1))"),
    1,
    0,
    check_value};

bool is_step_of_tasks(spank_t sp) {
  uint32_t step = 0;
  if (spank_get_item(sp, S_JOB_STEPID, &step) != ESPANK_SUCCESS) return false;
  return step != SLURM_BATCH_SCRIPT && step != SLURM_EXTERN_CONT && step != SLURM_INTERACTIVE_STEP;
}

// The file the task's command names: itself with a '/', else found on the
// task's PATH as its exec will find it; false when there is none.
bool command_file(spank_t sp, const char* name, char* path, std::size_t size) {
  if (std::strchr(name, '/') != nullptr) {
    std::snprintf(path, size, "%s", name);
    return true;
  }
  char dirs[4096];
  if (spank_getenv(sp, "PATH", dirs, sizeof dirs) != ESPANK_SUCCESS) return false;
  for (char* dir = dirs; dir != nullptr;) {
    char* end = std::strchr(dir, ':');
    if (end != nullptr) *end = '\0';
    const int n = std::snprintf(path, size, "%s/%s", *dir != '\0' ? dir : ".", name);
    if (n > 0 && static_cast<std::size_t>(n) < size && access(path, X_OK) == 0) return true;
    dir = end != nullptr ? end + 1 : nullptr;
  }
  return false;
}

// Whether the command will load a preload library: a dynamic program of
// the C library's loader (or a script of one) that runs under the caller's
// own identity.
bool loads_preload(spank_t sp, const char* name) {
  char path[4096];
  if (!command_file(sp, name, path, sizeof path)) return false;
  zyg::exec_target t;
  zyg::check_exec_target(path, &t);
  return !t.ignores_preload && !t.foreign_loader && !t.thirty_two && !t.setid;
}

// Hands the task to zyg-nox_spank_start.so in its own environment: 0; 1
// when its LD_PRELOAD is too long to be kept (the launcher is then exec'd
// from here); -1 when the environment cannot be changed.
int start_in_command(spank_t sp, const char* value) {
  char preload[4096], pid[32], both[sizeof preload + sizeof ZYG_TASK_START_PATH + 1];
  const spank_err_t got = spank_getenv(sp, "LD_PRELOAD", preload, sizeof preload);
  if (got != ESPANK_SUCCESS && got != ESPANK_ENV_NOEXIST) return 1;
  const bool had = got == ESPANK_SUCCESS;
  std::snprintf(pid, sizeof pid, "%ld", static_cast<long>(getpid()));
  std::snprintf(both, sizeof both, "%s%s%s", ZYG_TASK_START_PATH, had ? ":" : "",
                had ? preload : "");
  if ((had && spank_setenv(sp, zyg::slurm::kEnvPreload, preload, 1) != ESPANK_SUCCESS) ||
      spank_setenv(sp, zyg::slurm::kEnvOptions, value, 1) != ESPANK_SUCCESS ||
      spank_setenv(sp, zyg::slurm::kEnvTaskPid, pid, 1) != ESPANK_SUCCESS ||
      spank_setenv(sp, "LD_PRELOAD", both, 1) != ESPANK_SUCCESS) {
    slurm_error("zyg-nox: cannot set the task's environment for --zyg-nox=%s", value);
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" {

int slurm_spank_init(spank_t sp, int, char**) {
  // Registered in every context: srun and sbatch show and take the option,
  // slurmstepd reads its value back.
  return spank_option_register(sp, &g_option) == ESPANK_SUCCESS ? 0 : -1;
}

int slurm_spank_task_init(spank_t sp, int, char**) {
  char* value = nullptr;
  if (spank_option_getopt(sp, &g_option, &value) != ESPANK_SUCCESS || value == nullptr) return 0;
  if (!is_step_of_tasks(sp)) return 0;
  int word_cnt = zyg::slurm::split_options(value, g_words.text, sizeof g_words.text, g_words.words,
                                           zyg::slurm::kMaxOptionWords);
  int argc = 0;
  char** argv = nullptr;
  char** env = nullptr;
  if (word_cnt < 0 || spank_get_item(sp, S_JOB_ARGV, &argc, &argv) != ESPANK_SUCCESS ||
      spank_get_item(sp, S_JOB_ENV, &env) != ESPANK_SUCCESS || argc < 1) {
    slurm_error("zyg-nox: cannot read the task's command for --zyg-nox=%s", value);
    return -1;
  }
  if (loads_preload(sp, argv[0])) {
    const int r = start_in_command(sp, value);
    if (r <= 0) return r;
  }
  const int max = argc + word_cnt + 4;
  char** args = static_cast<char**>(std::calloc(static_cast<std::size_t>(max), sizeof(char*)));
  if (args == nullptr || zyg::slurm::task_argv(ZYG_LAUNCHER_PATH, g_words.words, word_cnt, argv,
                                               argc, args, max) < 0) {
    slurm_error("zyg-nox: no memory for the task's command");
    return -1;
  }
  execve(ZYG_LAUNCHER_PATH, args, env);
  slurm_error("zyg-nox: cannot start %s: %s", ZYG_LAUNCHER_PATH, std::strerror(errno));
  return -1;
}

}  // extern "C"
