/*
 * zyg-syscalls - raw creation and system calls for the tests of the
 * creation interposers. Runs its argv words as actions, in order, and
 * reports "KEY key=value ..." lines on standard output, one write(2) each.
 *
 * Actions:
 *   getpid         "GETPID sys=<syscall(SYS_getpid)> libc=<getpid()>"
 *   mmap           syscall(SYS_mmap) of one page, written and read back:
 *                  "MMAP addr=0x.. libc=0x.. ok=1" (libc: an mmap() page for
 *                  comparison of the address range)
 *   join           pthread_create a thread whose start routine returns a
 *                  64-bit pointer value; "JOIN rc= got=0x.. want=0x.."
 *   clonethread    clone(CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|
 *                  CLONE_THREAD|CLONE_SYSVSEM|CLONE_PARENT_SETTID|
 *                  CLONE_CHILD_CLEARTID): "CLONETHREAD tid= ptid= cpus=" with
 *                  the new thread's affinity as it saw it
 *   clonevfork     clone(CLONE_VM|CLONE_VFORK|SIGCHLD) whose function writes
 *                  into the shared memory and returns 7:
 *                  "CLONEVFORK pid= status= cpus= seen=" (seen: 1 when the
 *                  parent sees the child's write)
 *   threadexit     a pthread that ends with syscall(SYS_exit, 0); joined:
 *                  "THREADEXIT rc="
 *   lastexit N     syscall(SYS_exit, N) from the main thread, when it is
 *                  the only thread: the process ends with status N
 *   clonefail      clone with CLONE_THREAD but no CLONE_SIGHAND (refused by
 *                  the kernel): "CLONEFAIL rc= errno="
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void out(const char *fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf) - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n > sizeof(buf) - 2) n = (int)sizeof(buf) - 2;
  buf[n++] = '\n';
  if (write(STDOUT_FILENO, buf, (size_t)n) < 0) _exit(3);
}

/* A CPU mask as "0-1,4" text. */
static void cpulist(const unsigned long *mask, size_t words, char *text, size_t size) {
  size_t len = 0;
  text[0] = '\0';
  int bits = (int)(words * 8 * sizeof(unsigned long));
  for (int c = 0; c < bits; ++c) {
    if (!(mask[c / 64] & (1UL << (c % 64)))) continue;
    int e = c;
    while (e + 1 < bits && (mask[(e + 1) / 64] & (1UL << ((e + 1) % 64)))) ++e;
    int n = e == c ? snprintf(text + len, size - len, "%s%d", len ? "," : "", c)
                   : snprintf(text + len, size - len, "%s%d-%d", len ? "," : "", c, e);
    if (n < 0 || (size_t)n >= size - len) break;
    len += (size_t)n;
    c = e;
  }
}

#define MASK_WORDS 16
static unsigned long child_mask[MASK_WORDS];
static volatile int child_wrote;

/* Runs in clone children that share our memory: raw system calls only. */
static void child_affinity(void) {
  memset(child_mask, 0, sizeof(child_mask));
  syscall(SYS_sched_getaffinity, 0, sizeof(child_mask), child_mask);
}

static char clone_stack[256 * 1024] __attribute__((aligned(16)));

static int clone_thread_fn(void *arg) {
  (void)arg;
  child_affinity();
  return 0;
}

static int clone_vfork_fn(void *arg) {
  child_affinity();
  *(volatile int *)arg = 1;
  return 7;
}

static void *join_fn(void *arg) {
  (void)arg;
  return (void *)(uintptr_t)0x123456789abcdef0ULL;
}

static void *thread_exit_fn(void *arg) {
  (void)arg;
  syscall(SYS_exit, 0);
  return NULL;
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "getpid") == 0) {
      long s = syscall(SYS_getpid);
      out("GETPID sys=%ld libc=%d", s, (int)getpid());
    } else if (strcmp(a, "mmap") == 0) {
      long r = syscall(SYS_mmap, 0L, 4096L, (long)(PROT_READ | PROT_WRITE),
                       (long)(MAP_PRIVATE | MAP_ANONYMOUS), -1L, 0L);
      void *libc = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      int ok = 0;
      if (r != -1) {
        volatile char *p = (volatile char *)r;
        p[0] = 42;
        p[4095] = 43;
        ok = p[0] == 42 && p[4095] == 43;
      }
      out("MMAP addr=0x%lx libc=0x%lx ok=%d", (unsigned long)r, (unsigned long)libc, ok);
    } else if (strcmp(a, "join") == 0) {
      pthread_t t;
      void *got = NULL;
      int rc = pthread_create(&t, NULL, join_fn, NULL);
      if (rc == 0) rc = pthread_join(t, &got);
      out("JOIN rc=%d got=0x%lx want=0x%lx", rc, (unsigned long)got,
          (unsigned long)join_fn(NULL));
    } else if (strcmp(a, "clonethread") == 0) {
      pid_t ptid = 0;
      volatile pid_t ctid = 1;
      int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                  CLONE_SYSVSEM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
      int tid = clone(clone_thread_fn, clone_stack + sizeof(clone_stack), flags, NULL, &ptid,
                      NULL, (pid_t *)&ctid);
      if (tid > 0) {
        /* The kernel clears ctid and wakes us when the thread has ended. */
        pid_t v;
        while ((v = ctid) != 0) syscall(SYS_futex, &ctid, FUTEX_WAIT, v, NULL, NULL, 0);
      }
      char cpus[1024];
      cpulist(child_mask, MASK_WORDS, cpus, sizeof(cpus));
      out("CLONETHREAD tid=%d ptid=%d cpus=%s errno=%d", tid, (int)ptid, cpus,
          tid < 0 ? errno : 0);
    } else if (strcmp(a, "clonevfork") == 0) {
      int seen = 0;
      child_wrote = 0;
      int pid = clone(clone_vfork_fn, clone_stack + sizeof(clone_stack),
                      CLONE_VM | CLONE_VFORK | SIGCHLD, (void *)&child_wrote);
      int st = 0;
      if (pid > 0) waitpid(pid, &st, 0);
      seen = child_wrote;
      char cpus[1024];
      cpulist(child_mask, MASK_WORDS, cpus, sizeof(cpus));
      out("CLONEVFORK pid=%d status=%d cpus=%s seen=%d", pid,
          pid > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1, cpus, seen);
    } else if (strcmp(a, "threadexit") == 0) {
      pthread_t t;
      int rc = pthread_create(&t, NULL, thread_exit_fn, NULL);
      if (rc == 0) rc = pthread_join(t, NULL);
      out("THREADEXIT rc=%d", rc);
    } else if (strcmp(a, "lastexit") == 0) {
      if (i + 1 >= argc) {
        out("ERROR lastexit needs a status");
        return 2;
      }
      syscall(SYS_exit, atoi(argv[i + 1]));
      out("ERROR lastexit returned");
      return 2;
    } else if (strcmp(a, "clonefail") == 0) {
      errno = 0;
      int rc = clone(clone_thread_fn, clone_stack + sizeof(clone_stack), CLONE_VM | CLONE_THREAD,
                     NULL);
      out("CLONEFAIL rc=%d errno=%d", rc, errno);
    } else {
      out("ERROR unknown action '%s'", a);
      return 2;
    }
  }
  return 0;
}
