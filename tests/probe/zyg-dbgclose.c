/*
 * zyg-dbgclose - a program that closes every descriptor it did not open
 * itself, from 3 up, as daemons and some shells do, and then goes on working:
 * it creates a thread, forks a child, waits for it and ends with exit(0).
 * Prints "CLOSED count=<n>" (descriptors that were open and got closed) and,
 * at the end, "DONE status=<child's exit status>".
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static void *thread_main(void *arg) { return arg; }

int main(void) {
  int closed = 0;
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; fd++)
    if (close(fd) == 0) closed++;
  printf("CLOSED count=%d\n", closed);
  fflush(stdout);

  pthread_t t;
  if (pthread_create(&t, NULL, thread_main, NULL) != 0) return 2;
  pthread_join(t, NULL);

  pid_t pid = fork();
  if (pid < 0) return 3;
  if (pid == 0) exit(0);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 4;
  printf("DONE status=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  fflush(stdout);
  exit(0);
}
