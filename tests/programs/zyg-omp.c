/*
 * zyg-omp - an OpenMP program for the VM tests: one parallel region of
 * OMP_NUM_THREADS threads; each thread reports its own affinity as
 * "SELF label=omp<N> pid= tid= cpus=" (one write per line), read from
 * /proc/<pid>/task/<tid>/status, after a barrier so that all threads exist
 * at once.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <omp.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static void own_cpus(char *val, size_t size) {
  char path[128], buf[4096];
  snprintf(val, size, "?");
  snprintf(path, sizeof(path), "/proc/%d/task/%ld/status", (int)getpid(), syscall(SYS_gettid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t got = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (got <= 0) return;
  buf[got] = '\0';
  char *p = strstr(buf, "\nCpus_allowed_list:");
  if (!p) return;
  p += strlen("\nCpus_allowed_list:");
  while (*p == ' ' || *p == '\t') ++p;
  snprintf(val, size, "%.*s", (int)strcspn(p, "\n"), p);
}

int main(void) {
  long sum = 0;
#pragma omp parallel reduction(+ : sum)
  {
#pragma omp barrier
    char cpus[256], line[512];
    own_cpus(cpus, sizeof(cpus));
    int n = snprintf(line, sizeof(line), "SELF label=omp%d pid=%d tid=%ld cpus=%s\n",
                     omp_get_thread_num(), (int)getpid(), syscall(SYS_gettid), cpus);
    if (write(STDOUT_FILENO, line, (size_t)n) != n) sum -= 1000;
    sum += omp_get_thread_num();
  }
  printf("SUM value=%ld threads=%d\n", sum, omp_get_max_threads());
  return 0;
}
