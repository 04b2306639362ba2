/*
 * bench_startup - how long a command takes from fork to its exit.
 *
 * usage: bench_startup [-n RUNS] [-w WARMUP] [-e NAME=VALUE]... [-l LABEL] -- COMMAND [ARG]...
 *
 * Forks and execs COMMAND (searched in PATH) RUNS times, one after another,
 * waits for each and measures the wall time from just before fork to the end
 * of the wait.  WARMUP runs before them are not counted (they fill the page
 * cache).  -e adds or replaces an environment entry of the command only: the
 * benchmark itself never runs with it, so LD_PRELOAD can be given here
 * without loading a preload library into the benchmark.
 *
 * Prints one line:
 *   LABEL runs=N mean_us=M median_us=D min_us=A max_us=B
 * Exits 1 when the command cannot be run or does not exit with status 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#define MAX_EXTRA 32

static void usage(void) {
  fprintf(stderr,
          "usage: bench_startup [-n RUNS] [-w WARMUP] [-e NAME=VALUE]... [-l LABEL] -- "
          "COMMAND [ARG]...\n");
  exit(2);
}

static long number(const char *s) {
  char *end;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < 0 || v > 1000000) usage();
  return v;
}

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

/* The command's environment: ours, with every -e entry replacing an entry
 * of the same name or added at the end. */
static char **build_env(char **extra, int n_extra) {
  size_t count = 0;
  while (environ && environ[count]) ++count;
  char **env = calloc(count + (size_t)n_extra + 1, sizeof(char *));
  if (!env) {
    perror("calloc");
    exit(1);
  }
  size_t k = 0;
  for (size_t i = 0; i < count; ++i) {
    int replaced = 0;
    for (int j = 0; j < n_extra; ++j) {
      size_t len = (size_t)(strchr(extra[j], '=') - extra[j]) + 1;
      if (strncmp(environ[i], extra[j], len) == 0) replaced = 1;
    }
    if (!replaced) env[k++] = environ[i];
  }
  for (int j = 0; j < n_extra; ++j) env[k++] = extra[j];
  env[k] = NULL;
  return env;
}

/* One run: fork, exec, wait. Returns its time in microseconds. */
static double run_once(char **argv, char **env) {
  double t0 = now_us();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(1);
  }
  if (pid == 0) {
    execvpe(argv[0], argv, env);
    fprintf(stderr, "bench_startup: can't execute %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  double t = now_us() - t0;
  if (r != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "bench_startup: %s did not exit with status 0\n", argv[0]);
    exit(1);
  }
  return t;
}

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

int main(int argc, char **argv) {
  long runs = 200, warmup = 10;
  const char *label = "startup";
  char *extra[MAX_EXTRA];
  int n_extra = 0;
  int i = 1;
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    if (i + 1 >= argc) usage();
    if (strcmp(argv[i], "-n") == 0) {
      runs = number(argv[++i]);
    } else if (strcmp(argv[i], "-w") == 0) {
      warmup = number(argv[++i]);
    } else if (strcmp(argv[i], "-l") == 0) {
      label = argv[++i];
    } else if (strcmp(argv[i], "-e") == 0) {
      if (n_extra >= MAX_EXTRA || !strchr(argv[i + 1], '=')) usage();
      extra[n_extra++] = argv[++i];
    } else {
      usage();
    }
  }
  if (i >= argc || runs < 1) usage();
  char **cmd = argv + i;
  char **env = build_env(extra, n_extra);

  for (long k = 0; k < warmup; ++k) run_once(cmd, env);
  double *t = malloc((size_t)runs * sizeof(double));
  if (!t) {
    perror("malloc");
    return 1;
  }
  double sum = 0;
  for (long k = 0; k < runs; ++k) {
    t[k] = run_once(cmd, env);
    sum += t[k];
  }
  qsort(t, (size_t)runs, sizeof(double), cmp_double);
  double median = runs % 2 ? t[runs / 2] : (t[runs / 2 - 1] + t[runs / 2]) / 2;
  printf("%s runs=%ld mean_us=%.1f median_us=%.1f min_us=%.1f max_us=%.1f\n", label, runs,
         sum / (double)runs, median, t[0], t[runs - 1]);
  free(t);
  free(env);
  return 0;
}
