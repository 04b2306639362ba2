// task_start.cpp - zyg-nox_spank_start.so, preloaded by the SPANK plugin
// into a task's command: it starts the command under `zyg-nox --job OPTIONS`
// from inside it, once slurmstepd has done all it does before the exec (the
// task prolog and the variables it exports, the resource limits --propagate
// carries). Its constructor execs the launcher with the command's own
// argv, read from /proc/self/cmdline, and the environment as the command
// got it, the task's own LD_PRELOAD put back; the command itself then runs
// from the launcher's exec. Any other program that inherits the
// environment (a task prolog that slurmstepd runs with it) is left as it is.
//
// C-style code linked with the C driver, as the plugin: it is loaded into
// whatever the task runs.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "task_args.h"

#ifndef ZYG_LAUNCHER_PATH
#error "ZYG_LAUNCHER_PATH: the installed launcher's path"
#endif

namespace {

constexpr std::size_t kOptionTextMax = 4096;
// The command's argv as /proc/self/cmdline gives it; larger ones are read
// into a buffer that grows.
constexpr std::size_t kCmdlineStart = 1 << 16;

[[noreturn]] void fail(const char* what, int err) {
  dprintf(2, "zyg-nox: cannot start the task under %s: %s: %s\n", ZYG_LAUNCHER_PATH, what,
          strerror(err));
  _exit(127);
}

// The whole of /proc/self/cmdline in a buffer of its own; its length in *len.
char* read_cmdline(std::size_t* len) {
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("/proc/self/cmdline", errno);
  std::size_t size = kCmdlineStart, used = 0;
  char* buf = static_cast<char*>(malloc(size));
  for (;;) {
    if (buf == nullptr) fail("the command's arguments", ENOMEM);
    ssize_t n = read(fd, buf + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("/proc/self/cmdline", errno);
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (used == size) buf = static_cast<char*>(realloc(buf, size *= 2));
  }
  close(fd);
  *len = used;
  return buf;
}

// The task's command as the plugin left it: its options, and whether this
// process is the task (not a program it or a prolog started).
bool is_the_task(const char** options) {
  *options = getenv(zyg::slurm::kEnvOptions);
  const char* pid = getenv(zyg::slurm::kEnvTaskPid);
  return *options != nullptr && pid != nullptr && atol(pid) == static_cast<long>(getpid());
}

__attribute__((constructor)) void start_task() {
  const char* value = nullptr;
  if (!is_the_task(&value)) return;
  static char text[kOptionTextMax];
  static char* words[zyg::slurm::kMaxOptionWords];
  const int word_cnt =
      zyg::slurm::split_options(value, text, sizeof text, words, zyg::slurm::kMaxOptionWords);
  if (word_cnt < 0) fail("--zyg-nox", EINVAL);
  // The environment the command would have had without us.
  const char* preload = getenv(zyg::slurm::kEnvPreload);
  if (preload != nullptr ? setenv("LD_PRELOAD", preload, 1) : unsetenv("LD_PRELOAD"))
    fail("LD_PRELOAD", errno);
  unsetenv(zyg::slurm::kEnvPreload);
  unsetenv(zyg::slurm::kEnvTaskPid);
  unsetenv(zyg::slurm::kEnvOptions);

  std::size_t len = 0;
  char* cmdline = read_cmdline(&len);
  const int max_cmd = static_cast<int>(len) + 1;
  char** command = static_cast<char**>(calloc(static_cast<std::size_t>(max_cmd), sizeof(char*)));
  if (command == nullptr) fail("the command's arguments", ENOMEM);
  const int cmd_cnt = zyg::slurm::cmdline_words(cmdline, len, command, max_cmd);
  if (cmd_cnt <= 0) fail("/proc/self/cmdline", EINVAL);
  const int max = cmd_cnt + word_cnt + 4;
  char** args = static_cast<char**>(calloc(static_cast<std::size_t>(max), sizeof(char*)));
  if (args == nullptr ||
      zyg::slurm::task_argv(ZYG_LAUNCHER_PATH, words, word_cnt, command, cmd_cnt, args, max) < 0)
    fail("the command's arguments", ENOMEM);
  execve(ZYG_LAUNCHER_PATH, args, environ);
  fail(ZYG_LAUNCHER_PATH, errno);
}

}  // namespace
