/*
 * zyg-counts - creates processes in the less common ways and reports the
 * caller's own state afterwards, for the counting and caller-state tests.
 *
 * Usage: zyg-counts [hold] ACTION [ARGS...]
 *   hold                 first prints "DATA <ZYG_LAUNCH_DATA_FILE>" and reads
 *                        a line from standard input: the test opens the data
 *                        file before anything is created
 * Actions (each waits for every child it made before it returns):
 *   popen N              N x popen("true", "r") and pclose
 *   system_sigign        system("true") with SIGCHLD set to SIG_IGN
 *   clonevm              clone(fn, stack, CLONE_VM | SIGCHLD): a process that
 *                        shares memory; fn returns 0
 *   clonevm_exit         the same, fn calls _exit(0)
 *   rawclone_exec PATH   syscall(SYS_clone, SIGCHLD, 0, ...): the child execs PATH
 *   clone3               syscall(SYS_clone3) with exit_signal SIGCHLD: the
 *                        child calls _exit(0)
 *   clone3_exec PATH     the same, the child execs PATH
 *   exec PATH            fork, the child execs PATH
 *   vfork_exec PATH      vfork, the child execs PATH (or calls _exit(127))
 *   vfork_unbound PATH   a thread that may not change its CPU affinity
 *                        (sched_setaffinity fails with EPERM) vforks; the
 *                        child execs PATH, or calls _exit(0) when PATH is
 *                        "-"; the same thread then forks a child that
 *                        calls _exit(0) and prints "THREADFORKED pid=N";
 *                        then the main thread prints "ENV <entry>" for
 *                        LD_PRELOAD and ZYG_LAUNCH_DATA_FILE, forks a child
 *                        that calls _exit(0) and prints "FORKED pid=N"
 *   clonevfork_unbound PATH  the same with clone(CLONE_VM | CLONE_VFORK)
 *                        on the thread's storage; the child's function
 *                        returns 0 when PATH is "-"
 *   setuid_exec UID PATH fork, the child takes user id UID and execs PATH
 *   exec_by FORM PATH    fork, the child execs PATH through FORM: execveat,
 *                        fexecve or sys_execveat (syscall(SYS_execveat))
 *   exec_argv ARGS...    fork, the child execvp's ARGS
 *   system_noproc UID    fork, the child takes user id UID and a process
 *                        limit of 0, then system("true") (which can make no
 *                        shell): prints "SYSTEM status=<result>"
 *   mempolicy_spawn      MPOL_INTERLEAVE on the allowed nodes, posix_spawn
 *                        /bin/true, then "MEMPOLICY mode= mask=" before and
 *                        after
 *   mempolicy_system     the same around system("true")
 *   mempolicy_popen      the same around popen("true")
 *   execfail_threads N MS  N threads at once, each calling execv of a missing
 *                        file over and over for MS milliseconds
 *   spawn_and_leave PATH ARGS...  posix_spawn PATH, then exit at once: the
 *                        child goes on without its parent (no wait)
 *   popen_cpus N         N x popen of a shell that prints its CPU affinity:
 *                        "POPEN cpus=<list>" each, then "SELF cpus=<list>"
 *                        for the caller afterwards
 * Then prints "DONE" and returns from main.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/mempolicy.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  if (write(1, line, (size_t)n) < 0) _exit(3);
}

static void fail(const char* what) {
  say("ERROR %s errno=%d", what, errno);
  exit(2);
}

static void wait_all(void) {
  int status;
  while (waitpid(-1, &status, __WALL) > 0) {
  }
}

static void exec_or_die(const char* path) {
  char* argv[] = {(char*)path, NULL};
  execv(path, argv);
  _exit(127);
}

static int vm_child(void* arg) {
  if (arg != NULL) _exit(0);
  return 0;
}

static int clone_vfork_child(void* path) {
  if (strcmp(path, "-") == 0) return 0;
  exec_or_die(path);
  return 127;
}

static int unbound_by_clone;

// Runs on a thread of its own: the filter binds only this thread (and the
// children it makes), so the main thread can still be placed afterwards.
static void* vfork_unbound(void* path) {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_sched_setaffinity, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog = {sizeof code / sizeof code[0], code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("PR_SET_NO_NEW_PRIVS");
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) fail("PR_SET_SECCOMP");
  static char stack[256 * 1024] __attribute__((aligned(16)));
  pid_t pid = unbound_by_clone ? clone(clone_vfork_child, stack + sizeof stack,
                                       CLONE_VM | CLONE_VFORK | SIGCHLD, path)
                               : vfork();
  if (pid == 0) {
    if (strcmp(path, "-") == 0) _exit(0);
    exec_or_die(path);
  }
  if (pid < 0) fail("vfork");
  int status;
  if (waitpid(pid, &status, 0) != pid) fail("waitpid");
  // Launching is on again for this thread once its vfork child is gone.
  pid = fork();
  if (pid == 0) _exit(0);
  if (pid < 0) fail("fork");
  say("THREADFORKED pid=%d", (int)pid);
  if (waitpid(pid, &status, 0) != pid) fail("waitpid");
  return NULL;
}

struct clone3_args {
  uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid,
      set_tid_size, cgroup;
};

static void show_policy(const char* when) {
  int mode = -1;
  unsigned long mask[16] = {0};
  if (syscall(SYS_get_mempolicy, &mode, mask, 1024UL, NULL, 0UL) != 0) fail("get_mempolicy");
  say("MEMPOLICY when=%s mode=%d mask=%lx", when, mode, mask[0]);
}

static void interleave(void) {
  int mode;
  unsigned long allowed[16] = {0};
  if (syscall(SYS_get_mempolicy, &mode, allowed, 1024UL, NULL,
              (unsigned long)MPOL_F_MEMS_ALLOWED) != 0)
    fail("get_mempolicy allowed");
  if (syscall(SYS_set_mempolicy, MPOL_INTERLEAVE, allowed, 1025UL) != 0) fail("set_mempolicy");
}

static long execfail_ms;

static void* execfail_loop(void* unused) {
  (void)unused;
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char* argv[] = {(char*)"/nonexistent/zyg-counts-none", NULL};
  do {
    execv(argv[0], argv);
    clock_gettime(CLOCK_MONOTONIC, &now);
  } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 <
           execfail_ms);
  return NULL;
}

int main(int argc, char** argv) {
  int i = 1;
  if (i < argc && strcmp(argv[i], "hold") == 0) {
    const char* data = getenv("ZYG_LAUNCH_DATA_FILE");
    say("DATA %s", data ? data : "");
    char c;
    while (read(0, &c, 1) == 1 && c != '\n') {
    }
    i++;
  }
  if (i >= argc) fail("no action");
  const char* a = argv[i];
  const char* arg = i + 1 < argc ? argv[i + 1] : NULL;

  if (strcmp(a, "execfail_threads") == 0) {
    int n = arg ? atoi(arg) : 4;
    execfail_ms = i + 2 < argc ? atol(argv[i + 2]) : 500;
    pthread_t t[64];
    if (n < 1 || n > 64) fail("thread count");
    for (int k = 0; k < n; k++)
      if (pthread_create(&t[k], NULL, execfail_loop, NULL) != 0) fail("pthread_create");
    for (int k = 0; k < n; k++) pthread_join(t[k], NULL);
  } else if (strcmp(a, "spawn_and_leave") == 0) {
    pid_t pid;
    if (arg == NULL || posix_spawn(&pid, arg, NULL, NULL, argv + i + 1, environ) != 0)
      fail("posix_spawn");
    say("SPAWNED pid=%d", (int)pid);
    _exit(0);
  } else if (strcmp(a, "popen") == 0) {
    int n = arg ? atoi(arg) : 1;
    for (int k = 0; k < n; k++) {
      FILE* f = popen("true", "r");
      if (f == NULL) fail("popen");
      pclose(f);
    }
  } else if (strcmp(a, "system_sigign") == 0) {
    signal(SIGCHLD, SIG_IGN);
    int rc = system("true");
    say("SYSTEM rc=%d", rc);
    signal(SIGCHLD, SIG_DFL);
  } else if (strcmp(a, "clonevm") == 0 || strcmp(a, "clonevm_exit") == 0) {
    size_t size = 256 * 1024;
    char* stack = malloc(size);
    if (stack == NULL) fail("malloc");
    void* exit_arg = strcmp(a, "clonevm_exit") == 0 ? (void*)1 : NULL;
    pid_t pid = clone(vm_child, stack + size, CLONE_VM | SIGCHLD, exit_arg);
    if (pid < 0) fail("clone");
    int status;
    if (waitpid(pid, &status, 0) != pid) fail("waitpid");
    free(stack);
  } else if (strcmp(a, "rawclone_exec") == 0) {
    long pid = syscall(SYS_clone, (long)SIGCHLD, 0L, 0L, 0L, 0L);
    if (pid == 0) exec_or_die(arg);
    if (pid < 0) fail("SYS_clone");
  } else if (strcmp(a, "clone3") == 0 || strcmp(a, "clone3_exec") == 0) {
    struct clone3_args ca;
    memset(&ca, 0, sizeof ca);
    ca.exit_signal = SIGCHLD;
    long pid = syscall(SYS_clone3, &ca, sizeof ca);
    if (pid == 0) {
      if (strcmp(a, "clone3_exec") == 0) exec_or_die(arg);
      _exit(0);
    }
    if (pid < 0) fail("SYS_clone3");
  } else if (strcmp(a, "exec") == 0) {
    pid_t pid = fork();
    if (pid == 0) exec_or_die(arg);
    if (pid < 0) fail("fork");
  } else if (strcmp(a, "vfork_exec") == 0) {
    pid_t pid = vfork();
    if (pid == 0) exec_or_die(arg);
    if (pid < 0) fail("vfork");
  } else if (strcmp(a, "vfork_unbound") == 0 || strcmp(a, "clonevfork_unbound") == 0) {
    unbound_by_clone = a[0] == 'c';
    pthread_t t;
    if (pthread_create(&t, NULL, vfork_unbound, (void*)arg) != 0) fail("pthread_create");
    pthread_join(t, NULL);
    const char* names[] = {"LD_PRELOAD", "ZYG_LAUNCH_DATA_FILE"};
    for (int k = 0; k < 2; k++) {
      const char* v = getenv(names[k]);
      if (v != NULL) say("ENV %s=%s", names[k], v);
    }
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    if (pid < 0) fail("fork");
    say("FORKED pid=%d", (int)pid);
  } else if (strcmp(a, "setuid_exec") == 0) {
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid((gid_t)atoi(arg)) != 0 || setuid((uid_t)atoi(arg)) != 0) _exit(126);
      exec_or_die(argv[i + 2]);
    }
    if (pid < 0) fail("fork");
  } else if (strcmp(a, "exec_by") == 0) {
    const char* path = argv[i + 2];
    pid_t pid = fork();
    if (pid == 0) {
      char* args[] = {(char*)path, NULL};
      extern char** environ;
      if (strcmp(arg, "execveat") == 0) {
        execveat(AT_FDCWD, path, args, environ, 0);
      } else {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (strcmp(arg, "fexecve") == 0)
          fexecve(fd, args, environ);
        else
          syscall(SYS_execveat, fd, "", args, environ, AT_EMPTY_PATH);
      }
      _exit(127);
    }
    if (pid < 0) fail("fork");
  } else if (strcmp(a, "exec_argv") == 0) {
    pid_t pid = fork();
    if (pid == 0) {
      execvp(argv[i + 1], argv + i + 1);
      _exit(127);
    }
    if (pid < 0) fail("fork");
  } else if (strcmp(a, "system_noproc") == 0) {
    pid_t pid = fork();
    if (pid == 0) {
      struct rlimit none = {0, 0};
      if (setgid((gid_t)atoi(arg)) != 0 || setuid((uid_t)atoi(arg)) != 0 ||
          setrlimit(RLIMIT_NPROC, &none) != 0)
        _exit(126);
      say("SYSTEM status=%d", system("true"));
      _exit(0);
    }
    if (pid < 0) fail("fork");
  } else if (strcmp(a, "popen_cpus") == 0) {
    int n = arg ? atoi(arg) : 1;
    for (int k = 0; k < n; k++) {
      // exec: the shell itself reports (a forked grep would be placed anew).
      FILE* f = popen("exec grep Cpus_allowed_list: /proc/self/status", "r");
      if (f == NULL) fail("popen");
      char line[256] = "";
      if (fgets(line, sizeof line, f) == NULL) fail("popen read");
      pclose(f);
      char* v = strchr(line, ':');
      v = v ? v + 1 : line;
      while (*v == ' ' || *v == '\t') v++;
      v[strcspn(v, "\n")] = '\0';
      say("POPEN cpus=%s", v);
    }
    FILE* s = fopen("/proc/self/status", "r");
    char line[256];
    while (s && fgets(line, sizeof line, s))
      if (strncmp(line, "Cpus_allowed_list:", 18) == 0) {
        char* v = line + 18;
        while (*v == ' ' || *v == '\t') v++;
        v[strcspn(v, "\n")] = '\0';
        say("SELF label=caller cpus=%s", v);
      }
    if (s) fclose(s);
  } else if (strncmp(a, "mempolicy_", 10) == 0) {
    interleave();
    show_policy("before");
    if (strcmp(a, "mempolicy_spawn") == 0) {
      pid_t pid;
      char* args[] = {"true", NULL};
      int rc = posix_spawn(&pid, "/bin/true", NULL, NULL, args, environ);
      if (rc != 0) fail("posix_spawn");
    } else if (strcmp(a, "mempolicy_system") == 0) {
      if (system("true") != 0) fail("system");
    } else {
      FILE* f = popen("true", "r");
      if (f == NULL) fail("popen");
      pclose(f);
    }
    show_policy("after");
  } else {
    fail("unknown action");
  }
  wait_all();
  say("DONE");
  return 0;
}
