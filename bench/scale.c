/*
 * bench_scale - many creations at once, and many threads alive at once.
 *
 * usage: bench_scale threads P T    P processes (forked at once) each create
 *                                   T threads one after another (create, then
 *                                   join); prints "THREADS procs=P per_proc=T
 *                                   seconds=S per_sec=R" (wall time from the
 *                                   first fork to the last child's end)
 *        bench_scale live N         one process creates N threads (64 KiB
 *                                   stacks) that all wait until the last one
 *                                   exists; prints "LIVE threads=N rss_kb=K"
 *                                   (the process's VmRSS with all of them
 *                                   alive), then lets them end and joins them
 *        bench_scale rss            "RSS rss_kb=K" of this process at once
 *
 * Exits 1 when a creation fails or a child does not end with status 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void *nothing(void *arg) { return arg; }

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static long rss_kb(void) {
  char buf[4096];
  int fd = open("/proc/self/status", O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char *p = strstr(buf, "VmRSS:");
  return p ? strtol(p + 6, NULL, 10) : -1;
}

static int creator(long count) {
  for (long i = 0; i < count; ++i) {
    pthread_t t;
    int rc = pthread_create(&t, NULL, nothing, NULL);
    if (rc != 0) {
      fprintf(stderr, "pthread_create: %s\n", strerror(rc));
      return 1;
    }
    pthread_join(t, NULL);
  }
  return 0;
}

static int run_threads(long procs, long per_proc) {
  double start = now_s();
  for (long p = 0; p < procs; ++p) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      return 1;
    }
    if (pid == 0) _exit(creator(per_proc));
  }
  int failed = 0, status;
  while (wait(&status) > 0) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = 1;
  }
  double s = now_s() - start;
  printf("THREADS procs=%ld per_proc=%ld seconds=%.6f per_sec=%.1f\n", procs, per_proc, s,
         (double)(procs * per_proc) / s);
  return failed;
}

static int released;  /* futex word: 1 once every thread exists */

static void *waiter(void *arg) {
  while (__atomic_load_n(&released, __ATOMIC_ACQUIRE) == 0)
    syscall(SYS_futex, &released, FUTEX_WAIT_PRIVATE, 0, NULL, NULL, 0);
  return arg;
}

static int run_live(long n) {
  pthread_t *threads = calloc((size_t)n, sizeof(pthread_t));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  long made = 0;
  int failed = 0;
  for (; made < n; ++made) {
    int rc = pthread_create(&threads[made], &attr, waiter, NULL);
    if (rc != 0) {
      fprintf(stderr, "pthread_create %ld: %s\n", made, strerror(rc));
      failed = 1;
      break;
    }
  }
  if (!failed) printf("LIVE threads=%ld rss_kb=%ld\n", made, rss_kb());
  fflush(stdout);
  __atomic_store_n(&released, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, &released, FUTEX_WAKE_PRIVATE, 0x7fffffff, NULL, NULL, 0);
  for (long i = 0; i < made; ++i) pthread_join(threads[i], NULL);
  free(threads);
  return failed;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc == 4 && strcmp(argv[1], "threads") == 0)
    return run_threads(atol(argv[2]), atol(argv[3]));
  if (argc == 3 && strcmp(argv[1], "live") == 0) return run_live(atol(argv[2]));
  if (argc == 2 && strcmp(argv[1], "rss") == 0) {
    printf("RSS rss_kb=%ld\n", rss_kb());
    return 0;
  }
  fprintf(stderr, "usage: bench_scale threads P T | live N | rss\n");
  return 2;
}
