/*
 * bench_create - what one task creation costs, measured inside the program
 * that creates (so under zyg-nox the preload library's creation paths are
 * what is measured, not the launch).
 *
 * usage: bench_create [-n RUNS] [-w WARMUP] [-l LABEL] OP
 *
 *   thread    pthread_create of a thread that returns at once, then pthread_join
 *   fork      fork of a child that calls _exit(0) at once, then waitpid
 *   forkexec  fork, execv("/bin/true") in the child, then waitpid
 *   spawn     posix_spawn of /bin/true, then waitpid
 *   clonethread  clone of a thread (CLONE_VM ... CLONE_THREAD) that returns at
 *             once, then a wait for its exit through the cleared child TID
 *   cloneask  clonethread whose thread asks the kernel its own affinity
 *             (one sched_getaffinity) before it returns, run bare: the least
 *             a placed thread costs that makes one system call
 *   vforkexec vfork, execv("/bin/true") in the child, then waitpid
 *   system    system("true")
 *   syscall   1000 calls of syscall(SYS_gettid): what the syscall interposer
 *             costs a call it only passes through (times are per 1000 calls)
 *   threadlog pthread_create + join where the three launch-log records of a
 *             placed thread (its creator's "Created TID", its start and its
 *             end) are written by hand, each with what a record shows (the
 *             process's comm read anew, the thread's affinity and ids, a
 *             check of the log descriptor, one O_APPEND write, to a file in
 *             /tmp): the least a logged thread can cost, run bare
 *
 * Each of RUNS operations is timed on its own (CLOCK_MONOTONIC, from just
 * before the creation to the end of the join or wait); WARMUP operations
 * before them are not counted.  Prints one line:
 *   LABEL op=OP runs=N mean_us=M median_us=D min_us=A max_us=B
 * Exits 1 when a creation fails or a child does not exit with status 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void usage(void) {
  fprintf(stderr,
          "usage: bench_create [-n RUNS] [-w WARMUP] [-l LABEL] "
          "thread|fork|forkexec|spawn|clonethread|cloneask|vforkexec|system|syscall|threadlog\n");
  exit(2);
}

static long number(const char *s) {
  char *end;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < 0 || v > 10000000) usage();
  return v;
}

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static void *nothing(void *arg) { return arg; }

static int log_fd = -1;

static void record_by_hand(void) {
  char path[64], comm[32], line[512];
  pid_t pid = getpid();
  snprintf(path, sizeof path, "/proc/%d/comm", (int)pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t n = fd >= 0 ? read(fd, comm, sizeof comm - 1) : -1;
  if (fd >= 0) close(fd);
  comm[n > 0 ? n - 1 : 0] = '\0';
  cpu_set_t set;
  sched_getaffinity(0, sizeof set, &set);
  struct stat st;
  fstat(log_fd, &st);
  int len = snprintf(line, sizeof line,
                     "%15.6f | %6d | %7ld | %7d | %7d | %4s | %3d | %-31s | %-20s | %s\n", 0.0, 1,
                     (long)syscall(SYS_gettid), (int)pid, (int)getppid(), "0", -1,
                     "child start in pthread_create() by user", comm, "bench_create threadlog");
  if (write(log_fd, line, (size_t)len) != len) {
    perror("write");
    exit(1);
  }
}

static void *logged(void *arg) {
  record_by_hand();
  record_by_hand();
  return arg;
}

static void wait_child(pid_t pid) {
  int st;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) {
      perror("waitpid");
      exit(1);
    }
  }
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    fprintf(stderr, "bench_create: child ended with status %#x\n", st);
    exit(1);
  }
}

static char clone_stack[64 * 1024] __attribute__((aligned(16)));
static volatile pid_t clone_tid;
static int ask_mark; /* a non-null argument: the thread asks */

static int clone_body(void *ask) {
  if (ask != NULL) {
    unsigned long mask[16];
    syscall(SYS_sched_getaffinity, 0, sizeof mask, mask);
  }
  return 0;
}

static void clone_thread_once(int ask) {
  const int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                    CLONE_SYSVSEM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
  int tid = clone(clone_body, clone_stack + sizeof clone_stack, flags, ask ? &ask_mark : NULL,
                  &clone_tid, NULL, &clone_tid);
  if (tid < 0) {
    perror("clone");
    exit(1);
  }
  /* The kernel clears the child TID word and wakes it when the thread ends. */
  for (;;) {
    pid_t v = clone_tid;
    if (v == 0) break;
    syscall(SYS_futex, &clone_tid, FUTEX_WAIT, v, NULL, NULL, 0);
  }
}

static void one(const char *op) {
  if (strcmp(op, "syscall") == 0) {
    for (int i = 0; i < 1000; i++) syscall(SYS_gettid);
    return;
  }
  if (strcmp(op, "clonethread") == 0 || strcmp(op, "cloneask") == 0) {
    clone_thread_once(strcmp(op, "cloneask") == 0);
    return;
  }
  if (strcmp(op, "system") == 0) {
    if (system("true") != 0) {
      fprintf(stderr, "bench_create: system failed\n");
      exit(1);
    }
    return;
  }
  if (strcmp(op, "vforkexec") == 0) {
    pid_t pid = vfork();
    if (pid < 0) {
      perror("vfork");
      exit(1);
    }
    if (pid == 0) {
      char *argv[] = {"true", NULL};
      execv("/bin/true", argv);
      _exit(127);
    }
    wait_child(pid);
    return;
  }
  if (strcmp(op, "thread") == 0 || strcmp(op, "threadlog") == 0) {
    pthread_t t;
    int rc = pthread_create(&t, NULL, op[6] == 'l' ? logged : nothing, NULL);
    if (rc == 0 && op[6] == 'l') record_by_hand();
    if (rc != 0) {
      fprintf(stderr, "bench_create: pthread_create: %s\n", strerror(rc));
      exit(1);
    }
    pthread_join(t, NULL);
    return;
  }
  if (strcmp(op, "spawn") == 0) {
    char *argv[] = {"true", NULL};
    pid_t child;
    int rc = posix_spawn(&child, "/bin/true", NULL, NULL, argv, environ);
    if (rc != 0) {
      fprintf(stderr, "bench_create: posix_spawn: %s\n", strerror(rc));
      exit(1);
    }
    wait_child(child);
    return;
  }
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(1);
  }
  if (pid == 0) {
    if (op[4] == 'e') {
      char *argv[] = {"true", NULL};
      execv("/bin/true", argv);
    }
    _exit(op[4] == 'e' ? 127 : 0);
  }
  wait_child(pid);
}

static int cmp(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  long runs = 1000, warm = 20;
  const char *label = "run";
  int opt;
  while ((opt = getopt(argc, argv, "n:w:l:")) != -1) {
    if (opt == 'n') runs = number(optarg);
    else if (opt == 'w') warm = number(optarg);
    else if (opt == 'l') label = optarg;
    else usage();
  }
  if (optind != argc - 1 || runs < 1) usage();
  const char *op = argv[optind];
  static const char *const ops[] = {"thread",   "fork",      "forkexec", "spawn",
                                    "clonethread", "cloneask", "vforkexec", "system",
                                    "syscall",  "threadlog"};
  int known = 0;
  for (size_t i = 0; i < sizeof ops / sizeof ops[0]; i++) known |= strcmp(op, ops[i]) == 0;
  if (!known) usage();
  if (strcmp(op, "threadlog") == 0) {
    char path[64];
    snprintf(path, sizeof path, "/tmp/bench_create.%d.log", (int)getpid());
    log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd < 0) {
      perror(path);
      return 1;
    }
    unlink(path);
  }
  for (long i = 0; i < warm; ++i) one(op);
  double *t = calloc((size_t)runs, sizeof(double));
  if (!t) return 1;
  double sum = 0;
  for (long i = 0; i < runs; ++i) {
    double t0 = now_us();
    one(op);
    t[i] = now_us() - t0;
    sum += t[i];
  }
  qsort(t, (size_t)runs, sizeof(double), cmp);
  printf("%s op=%s runs=%ld mean_us=%.2f median_us=%.2f min_us=%.2f max_us=%.2f\n", label, op,
         runs, sum / (double)runs, t[runs / 2], t[0], t[runs - 1]);
  fflush(stdout);
  free(t);
  return 0;
}
