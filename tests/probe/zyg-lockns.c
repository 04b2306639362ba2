/* zyg-lockns: the tree's lock held on one side of a PID namespace boundary
 * and wanted on the other.
 *
 *   zyg-lockns SIDE FATE
 *     SIDE   outer: the holder runs in the launch's PID namespace, the waiter
 *            in a new namespace below it (made with unshare(CLONE_NEWPID));
 *            inner: the holder runs in the new namespace, under a TID that
 *            names no task in the launch's namespace, and the waiter in the
 *            launch's namespace.
 *     FATE   lives: the holder stays inside its locked section for ten of the
 *            lock's waiting rounds, then goes on; dies: it is killed there.
 *
 * The holder loops over refused clone calls (each is placed and taken back
 * under the tree's lock); a SIGALRM handler that finds the tree's lock word
 * naming its own thread is inside that locked section, says so, and stays or
 * dies there. Meanwhile the waiter forks, which needs the lock. The process
 * that made the new namespace keeps it alive (and visible) until the end.
 * Prints "DONE recoveries=<lock_recoveries of the launch data>" once every
 * process has ended. Must run as root (unshare, ns_last_pid).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kLockWord = 128, kRecoveries = 108 };
static const uint32_t kOwnerMask = (1u << 30) - 1;
static const int kHoldMs = 1000; /* ten rounds of the lock's 100 ms wait */

static const volatile uint32_t *header;
static int held_fd = -1;
static int dies;
static volatile sig_atomic_t done;

static void die(const char *what) {
  perror(what);
  exit(1);
}

static uint32_t lock_owner(void) {
  return __atomic_load_n(&header[kLockWord / 4], __ATOMIC_ACQUIRE) & kOwnerMask;
}

static void on_alarm(int sig) {
  (void)sig;
  if (done) return;
  uint32_t me = (uint32_t)gettid();
  if (lock_owner() != me) return;
  int saved = errno;
  if (write(held_fd, "h", 1) != 1) _exit(3);
  if (dies) kill(getpid(), SIGKILL);
  struct timespec ms = {0, 1000000L};
  for (int i = 0; i < kHoldMs && lock_owner() == me; i++) nanosleep(&ms, NULL);
  done = 1;
  errno = saved;
}

static char clone_stack[64 * 1024] __attribute__((aligned(16)));
static int clone_child(void *arg) { return arg != NULL; }

static void hold_the_lock(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_alarm;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &sa, NULL);
  struct itimerval it = {{0, 1000}, {0, 1000}};
  setitimer(ITIMER_REAL, &it, NULL);
  while (!done) clone(clone_child, clone_stack + sizeof clone_stack, CLONE_SIGHAND, NULL);
  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, NULL);
  _exit(0);
}

/* A process creation: takes the tree's lock in the calling process. */
static int fork_once(void) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(0);
  return waitpid(pid, NULL, 0) == pid ? 0 : -1;
}

static void wait_byte(int fd) {
  char c;
  if (read(fd, &c, 1) != 1) die("read");
}

static int reap(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) die("waitpid");
  return status;
}

/* A number that names no task in this namespace, for the inner holder. */
static long unused_pid(void) {
  FILE *f = fopen("/proc/sys/kernel/pid_max", "r");
  long max = 32768;
  if (f != NULL) {
    if (fscanf(f, "%ld", &max) != 1) max = 32768;
    fclose(f);
  }
  for (long n = max - 1; n > 300; n--)
    if (kill((pid_t)n, 0) != 0 && errno == ESRCH) return n;
  return -1;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc != 3 || (strcmp(argv[1], "outer") != 0 && strcmp(argv[1], "inner") != 0) ||
      (strcmp(argv[2], "lives") != 0 && strcmp(argv[2], "dies") != 0)) {
    fprintf(stderr, "usage: zyg-lockns outer|inner lives|dies\n");
    return 2;
  }
  int inner = strcmp(argv[1], "inner") == 0;
  dies = strcmp(argv[2], "dies") == 0;
  const char *path = getenv("ZYG_LAUNCH_DATA_FILE");
  if (path == NULL) {
    fprintf(stderr, "not launched: no ZYG_LAUNCH_DATA_FILE\n");
    return 2;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) die(path);
  void *map = mmap(NULL, 4096, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) die("mmap");
  close(fd);
  header = map;

  /* held: the holder is inside its section; start: the holder may begin;
   * go: the waiter may lock; stay: the new namespace's first process stays
   * until it is closed. */
  int held[2], start[2], go[2], stay[2];
  if (pipe(held) != 0 || pipe(start) != 0 || pipe(go) != 0 || pipe(stay) != 0) die("pipe");
  held_fd = held[1];

  if (!inner) {
    /* The holder here, the waiter in the namespace made next. */
    pid_t holder = fork();
    if (holder < 0) die("fork");
    if (holder == 0) {
      wait_byte(start[0]);
      hold_the_lock();
    }
    if (unshare(CLONE_NEWPID) != 0) die("unshare");
    pid_t waiter = fork();
    if (waiter < 0) die("fork");
    if (waiter == 0) {
      wait_byte(go[0]);
      _exit(fork_once() == 0 ? 0 : 4);
    }
    close(held[1]);  /* a holder that ends without the lock ends the wait */
    if (write(start[1], "s", 1) != 1) die("write");
    wait_byte(held[0]);
    if (write(go[1], "g", 1) != 1) die("write");
    int ws = reap(waiter);
    reap(holder);
    if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0) {
      fprintf(stderr, "waiter status %d\n", ws);
      return 1;
    }
  } else {
    /* The holder in the new namespace, under a number that is free here. */
    long tid = unused_pid();
    if (tid < 0) die("no free process number");
    if (unshare(CLONE_NEWPID) != 0) die("unshare");
    pid_t keeper = fork();
    if (keeper < 0) die("fork");
    if (keeper == 0) {
      close(stay[1]);
      FILE *f = fopen("/proc/sys/kernel/ns_last_pid", "w");
      if (f == NULL || fprintf(f, "%ld", tid - 1) < 0 || fclose(f) != 0) die("ns_last_pid");
      pid_t holder = fork();
      if (holder < 0) die("fork");
      if (holder == 0) {
        if (getpid() != tid) _exit(5);
        hold_the_lock();
      }
      close(held[1]);
      reap(holder);
      char c;
      while (read(stay[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(held[1]);
    close(stay[0]);
    wait_byte(held[0]);
    if (fork_once() != 0) die("fork as the waiter");
    close(stay[1]);
    reap(keeper);
  }
  printf("DONE recoveries=%u\n", __atomic_load_n(&header[kRecoveries / 4], __ATOMIC_ACQUIRE));
  return 0;
}
