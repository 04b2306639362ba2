/*
 * zyg-hybrid - an MPI + OpenMP + fork program for the VM tests under mpirun
 * and srun (tests/vm/test_hpc_mpi.py, test_hpc_slurm.py).
 *
 *   zyg-hybrid [CHILDREN]      (default 2)
 *
 * Each rank reports, one write(2) per line so lines of many tasks never mix:
 *   RANK rank= size= pid= ldata=       (ldata: its ZYG_LAUNCH_DATA_FILE, or -)
 *   SELF label=r<R>c<I> pid= tid= cpus=   from each of CHILDREN forked
 *                                      children (each ends with _exit(0))
 *   SELF label=r<R>t<N> pid= tid= cpus=   from each thread of one OpenMP
 *                                      parallel region (OMP_NUM_THREADS),
 *                                      after a barrier so all exist at once
 *   DONE rank= children_ok= sum=       after the children were waited for
 *                                      and an MPI_Allreduce of the thread
 *                                      numbers of every rank
 * cpus is Cpus_allowed_list of the reporting task, read from its own
 * /proc/<pid>/task/<tid>/status while it runs.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <mpi.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

static int say(const char *line) {
  size_t n = strlen(line);
  return write(STDOUT_FILENO, line, n) == (ssize_t)n ? 0 : -1;
}

static void report_self(int rank, char kind, int index) {
  char cpus[256], line[512];
  own_cpus(cpus, sizeof(cpus));
  snprintf(line, sizeof(line), "SELF label=r%d%c%d pid=%d tid=%ld cpus=%s\n", rank, kind, index,
           (int)getpid(), syscall(SYS_gettid), cpus);
  say(line);
}

int main(int argc, char **argv) {
  int children = argc > 1 ? atoi(argv[1]) : 2;
  int rank = 0, size = 0;
  char line[512];

  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const char *ldata = getenv("ZYG_LAUNCH_DATA_FILE");
  snprintf(line, sizeof(line), "RANK rank=%d size=%d pid=%d ldata=%s\n", rank, size,
           (int)getpid(), ldata ? ldata : "-");
  say(line);

  // The children touch nothing of MPI: they report and leave.
  int children_ok = 0;
  for (int i = 0; i < children; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      report_self(rank, 'c', i);
      _exit(0);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0)
      ++children_ok;
  }

  long sum = 0;
#pragma omp parallel reduction(+ : sum)
  {
#pragma omp barrier
    report_self(rank, 't', omp_get_thread_num());
    sum += omp_get_thread_num();
  }

  long total = 0;
  MPI_Allreduce(&sum, &total, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
  snprintf(line, sizeof(line), "DONE rank=%d children_ok=%d sum=%ld\n", rank, children_ok, total);
  say(line);
  MPI_Finalize();
  return children_ok == children ? 0 : 3;
}
