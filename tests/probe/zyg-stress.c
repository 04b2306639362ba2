/* zyg-stress: programs that try to make a launched tree hang.
 *
 *   sigfork MS      for MS milliseconds the main thread makes refused clone
 *                   calls (each is placed and taken back under the tree's
 *                   lock, so the thread spends its time inside that lock),
 *                   while a SIGALRM firing 100 us after the last one's fork
 *                   forks from its handler (the child _exits). The main flow makes no
 *                   fork or thread of its own: the C library's fork is not
 *                   safe to enter from a handler that interrupted the C
 *                   library's own fork or malloc. Prints "DONE
 *                   clones=<n> handler_forks=<n>"
 *   cancel N        N times: a thread is created and cancelled at once, then
 *                   joined; then one ordinary thread; prints "DONE"
 *   killstorm MS    4 children loop over refused clone calls (each one is
 *                   placed and taken back under the tree's lock), forks,
 *                   vforks and thread creations; every 2-5 ms one of them is killed with
 *                   SIGKILL and replaced. Afterwards one fork and one thread
 *                   must still complete. Prints "DONE kills=<n>
 *                   recoveries=<lock_recoveries of the launch data>"
 *
 * Exit status 0 when everything completed; a hang is the failure the tests
 * look for (they run this under a timeout).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void *nothing(void *arg) { return arg; }

static void thread_once(void) {
  pthread_t t;
  if (pthread_create(&t, NULL, nothing, NULL) == 0) pthread_join(t, NULL);
}

static void fork_once(void) {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid > 0) waitpid(pid, NULL, 0);
}

static void vfork_once(void) {
  pid_t pid = vfork();
  if (pid == 0) _exit(0);
  if (pid > 0) waitpid(pid, NULL, 0);
}

/* --- sigfork ------------------------------------------------------------ */

static volatile sig_atomic_t handler_forks;

/* The timer is re-armed once the handler's fork is done: on a machine where
 * a fork takes longer than the interval, a periodic timer would be pending
 * again at every return and the main flow would never run. */
static const struct itimerval next_alarm = {{0, 0}, {0, 100}};

static void on_alarm(int sig) {
  (void)sig;
  int saved = errno;
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid > 0) handler_forks++;
  setitimer(ITIMER_REAL, &next_alarm, NULL);
  errno = saved;
}

static void reap_all(void) {
  while (waitpid(-1, NULL, WNOHANG) > 0) {
  }
}

static char clone_stack[64 * 1024] __attribute__((aligned(16)));

static int clone_child(void *arg) { return arg != NULL; }

/* Refused (CLONE_SIGHAND needs CLONE_VM): placed and taken back. */
static void refused_clone(void) {
  clone(clone_child, clone_stack + sizeof clone_stack, CLONE_SIGHAND, NULL);
}

static int run_sigfork(long ms) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_alarm;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &sa, NULL);
  setitimer(ITIMER_REAL, &next_alarm, NULL);
  long end = now_ms() + ms;
  long clones = 0;
  while (now_ms() < end) {
    for (int i = 0; i < 100; i++) refused_clone();
    clones += 100;
    reap_all();
  }
  signal(SIGALRM, SIG_IGN);
  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, NULL);
  reap_all();
  printf("DONE clones=%ld handler_forks=%ld\n", clones, (long)handler_forks);
  return 0;
}

/* --- cancel ------------------------------------------------------------- */

static void *wait_forever(void *arg) {
  for (;;) pause();
  return arg;
}

static int run_cancel(long n) {
  for (long i = 0; i < n; i++) {
    pthread_t t;
    if (pthread_create(&t, NULL, wait_forever, NULL) != 0) return 1;
    pthread_cancel(t);
    pthread_join(t, NULL);
  }
  thread_once();
  printf("DONE\n");
  return 0;
}

/* --- killstorm ---------------------------------------------------------- */

static void busy_child(void) {
  for (unsigned i = 0;; i++) {
    refused_clone();
    if (i % 8 == 0) fork_once();
    if (i % 8 == 2) vfork_once();
    if (i % 8 == 4) thread_once();
  }
}

static pid_t start_busy(void) {
  pid_t pid = fork();
  if (pid == 0) {
    busy_child();
    _exit(0);
  }
  return pid;
}

static long lock_recoveries(void) {
  const char *path = getenv("ZYG_LAUNCH_DATA_FILE");
  if (path == NULL) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  uint32_t v = 0;
  long r = pread(fd, &v, sizeof v, 108) == (ssize_t)sizeof v ? (long)v : -1;
  close(fd);
  return r;
}

static int run_killstorm(long ms) {
  enum { kChildren = 4 };
  pid_t kids[kChildren];
  for (int i = 0; i < kChildren; i++) kids[i] = start_busy();
  srand((unsigned)getpid());
  long kills = 0;
  long end = now_ms() + ms;
  while (now_ms() < end) {
    usleep((useconds_t)(2000 + rand() % 3000));
    int k = rand() % kChildren;
    if (kids[k] > 0) {
      kill(kids[k], SIGKILL);
      waitpid(kids[k], NULL, 0);
      kills++;
    }
    kids[k] = start_busy();
  }
  for (int i = 0; i < kChildren; i++) {
    if (kids[i] <= 0) continue;
    kill(kids[i], SIGKILL);
    waitpid(kids[i], NULL, 0);
  }
  fork_once();
  thread_once();
  printf("DONE kills=%ld recoveries=%ld\n", kills, lock_recoveries());
  return 0;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc == 3 && strcmp(argv[1], "sigfork") == 0) return run_sigfork(atol(argv[2]));
  if (argc == 3 && strcmp(argv[1], "cancel") == 0) return run_cancel(atol(argv[2]));
  if (argc == 3 && strcmp(argv[1], "killstorm") == 0) return run_killstorm(atol(argv[2]));
  fprintf(stderr, "usage: zyg-stress sigfork MS | cancel N | killstorm MS\n");
  return 2;
}
