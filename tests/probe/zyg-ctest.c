/*
 * zyg-ctest - the creation and termination instrument of the VM tests
 * (tests/vm/test_proc_*, test_thrd_*, test_term_*, test_stress_*).
 *
 * Runs the actions given as argv words, in order, and reports what it sees as
 * "KEY k=v ..." lines on standard output, each written with one write(2), so
 * lines of many tasks never mix (tests/zygtest.py parse_probe reads them).
 * Unlike zyg-probe's "info", "self" reports the calling task only, read from
 * its own /proc/<pid>/task/<tid>/status, so concurrent threads never report
 * each other half-placed.
 *
 * Actions (a block is "{" ACTIONS "}", braces are separate words):
 *   self LABEL          "SELF label= pid= tid= ppid= cpus=" (Cpus_allowed_list)
 *   echo WORD           "ECHO WORD"
 *   forkw { A }         fork, the child runs A then exit(0); the parent waits:
 *                       "CHILD pid= status=" / "CHILD pid= signal="
 *   fork { A }          the same without waiting (see waitall)
 *   forks N { A }       N such children at once, not waited for
 *   vforkw { A }        vfork, the child runs A then _exit(0); waited for
 *   clonefork { A }     clone(fn, stack, SIGCHLD): fn runs A and returns 0
 *   clonevfork { A }    clone(fn, stack, CLONE_VM|CLONE_VFORK|SIGCHLD)
 *   clonevm { A }       clone(fn, stack, CLONE_VM|SIGCHLD): a task sharing memory
 *   clonethread { A }   clone with the flags of a thread (CLONE_THREAD ...);
 *                       "CLONE tid= ptid=" then waits for its end
 *                       (every clone child is waited for: "CHILD ...", or
 *                       "CLONEDONE tid=" for the thread)
 *   sysclone { A }      syscall(SYS_clone, SIGCHLD, 0...): a raw fork whose
 *                       child runs A and ends by a raw exit_group system call
 *                       (no C library and no interposer on its way out)
 *   threadw { A }       pthread_create a thread running A, then join it
 *   thread { A } / threads N { A } / join    threads at once, joined later
 *   waitall             wait for every child: "CHILD ..." and "WAITED count="
 *   getpid              "GETPID sys= real="  (syscall(SYS_getpid) vs getpid())
 *   mmap                "MMAP addr= high= ok=": syscall(SYS_mmap) of one page,
 *                       written through and inside a range of /proc/self/maps
 *   sysneg              "SYSNEG r= errno=" of syscall(SYS_close, -1)
 *   joinptr             "JOINPTR ok= want= got=": a thread returns a pointer
 *   many C M            C threads each create M threads; all of them wait on
 *                       one barrier until every one exists: "MANY created= failed="
 *   raceexit N          two threads call _exit(N) at the same moment
 *   threadsysexit       a thread ends by syscall(SYS_exit, 0); joined
 *   lastsysexit N       waits until this is the process's only task, then
 *                       syscall(SYS_exit, N)
 *   exit N / _exit N / _Exit N / exitgroup N (syscall(SYS_exit_group, N))
 *   pin CPU             binds the calling thread to CPU
 *   nproc N             soft RLIMIT_NPROC = N;  nproc_restore: back to the old
 *   forktry             fork once: "FORKFAIL errno=" or "FORKOK pid=" (child
 *                       exits at once, waited for)
 *   cgjoin DIR          writes "0" to DIR/cgroup.procs (moves this process)
 *   ptfail N            N pthread_create calls that fail (a 1 TiB stack):
 *                       "PTFAIL failed= rc="
 *   clonefail fork|thread N   N clone calls refused with EINVAL (CLONE_SIGHAND
 *                       without CLONE_VM; CLONE_THREAD without CLONE_SIGHAND):
 *                       "CLONEFAILS failed= errno="
 *   errnokeep           sets errno to 77 before a successful fork, pthread_create
 *                       and thread clone and reports it after each:
 *                       "ERRNO fork= thread= clone=
 *   sleep MS
 * Falling off the end returns 0 from main.  Bad usage: "ERROR ..." and exit 2.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
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
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_THREADS 4096
#define STACK_SIZE (256 * 1024)

static void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void out(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf) - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n > sizeof(buf) - 2) n = (int)sizeof(buf) - 2;
  buf[n++] = '\n';
  const char *p = buf;
  while (n > 0) {
    ssize_t w = write(STDOUT_FILENO, p, (size_t)n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= (int)w;
  }
}

static void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2), noreturn));
static void fail(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  out("ERROR %s", buf);
  _exit(2);
}

static long num(char **w, int n, int i, const char *what) {
  if (i >= n) fail("%s needs a number", what);
  char *end;
  errno = 0;
  long v = strtol(w[i], &end, 10);
  if (errno != 0 || end == w[i] || *end != '\0') fail("%s needs a number, got '%s'", what, w[i]);
  return v;
}

static pid_t tid_now(void) { return (pid_t)syscall(SYS_gettid); }

/* A raw exit_group: no C library function and so no interposer. */
static __attribute__((noreturn)) void raw_exit_group(int status) {
  for (;;) __asm__ volatile("syscall" : : "a"(SYS_exit_group), "D"(status) : "rcx", "r11", "memory");
}

static void own_cpus(char *val, size_t size) {
  char path[128], buf[4096];
  snprintf(val, size, "?");
  snprintf(path, sizeof(path), "/proc/%d/task/%d/status", (int)getpid(), (int)tid_now());
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t got = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (got <= 0) return;
  buf[got] = '\0';
  const char *key = "\nCpus_allowed_list:";
  char *p = strstr(buf, key);
  if (!p) return;
  p += strlen(key);
  while (*p == ' ' || *p == '\t') ++p;
  size_t len = strcspn(p, "\n");
  snprintf(val, size, "%.*s", (int)len, p);
}

static void report_self(const char *label) {
  char cpus[256];
  own_cpus(cpus, sizeof(cpus));
  out("SELF label=%s pid=%d tid=%d ppid=%d cpus=%s", label, (int)getpid(), (int)tid_now(),
      (int)getppid(), cpus);
}

static void report_status(pid_t pid, int st) {
  if (WIFEXITED(st))
    out("CHILD pid=%d status=%d", (int)pid, WEXITSTATUS(st));
  else if (WIFSIGNALED(st))
    out("CHILD pid=%d signal=%d", (int)pid, WTERMSIG(st));
}

static void wait_one(pid_t pid) {
  int st;
  for (;;) {
    pid_t r = waitpid(pid, &st, __WALL);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      out("WAITFAIL pid=%d errno=%d", (int)pid, errno);
      return;
    }
  }
  report_status(pid, st);
}

static void run(char **w, int n);

static int block_end(char **w, int n, int open) {
  if (open >= n || strcmp(w[open], "{") != 0) fail("expected '{' after %s", w[open - 1]);
  int depth = 0;
  for (int i = open; i < n; ++i) {
    if (strcmp(w[i], "{") == 0) ++depth;
    if (strcmp(w[i], "}") == 0 && --depth == 0) return i;
  }
  fail("unbalanced '{'");
}

struct block {
  char **w;
  int n;
};

/* ---- threads */

static pthread_mutex_t thread_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t threads[MAX_THREADS];
static int thread_count;
static struct block thread_blocks[MAX_THREADS];

static void *thread_main(void *arg) {
  struct block *b = arg;
  run(b->w, b->n);
  return NULL;
}

static void start_thread(char **w, int n) {
  pthread_mutex_lock(&thread_lock);
  if (thread_count >= MAX_THREADS) fail("too many threads");
  int slot = thread_count++;
  thread_blocks[slot].w = w;
  thread_blocks[slot].n = n;
  int rc = pthread_create(&threads[slot], NULL, thread_main, &thread_blocks[slot]);
  if (rc != 0) {
    --thread_count;
    out("THREADFAIL errno=%d", rc);
  }
  pthread_mutex_unlock(&thread_lock);
}

static void join_all(void) {
  for (;;) {
    pthread_mutex_lock(&thread_lock);
    if (thread_count == 0) {
      pthread_mutex_unlock(&thread_lock);
      return;
    }
    pthread_t t = threads[--thread_count];
    pthread_mutex_unlock(&thread_lock);
    pthread_join(t, NULL);
  }
}

static void thread_wait(char **w, int n) {
  struct block b = {w, n};
  pthread_t t;
  int rc = pthread_create(&t, NULL, thread_main, &b);
  if (rc != 0) {
    out("THREADFAIL errno=%d", rc);
    return;
  }
  pthread_join(t, NULL);
}

/* A pointer with bits above 32 set, so a result cut to an int shows. */
static char join_target[64];
static void *return_pointer(void *arg) {
  (void)arg;
  return join_target + 37;
}

static void do_joinptr(void) {
  pthread_t t;
  void *got = NULL;
  int rc = pthread_create(&t, NULL, return_pointer, NULL);
  if (rc != 0) {
    out("THREADFAIL errno=%d", rc);
    return;
  }
  pthread_join(t, &got);
  void *want = join_target + 37;
  out("JOINPTR ok=%d want=%p got=%p", got == want, want, got);
}

static pthread_barrier_t many_barrier;
static int many_per_creator;
static int many_created, many_failed;

static void *many_leaf(void *arg) {
  (void)arg;
  pthread_barrier_wait(&many_barrier);
  return NULL;
}

static void *many_creator(void *arg) {
  (void)arg;
  pthread_t *mine = calloc((size_t)many_per_creator, sizeof(pthread_t));
  int ok = 0;
  for (int i = 0; i < many_per_creator; ++i) {
    if (pthread_create(&mine[ok], NULL, many_leaf, NULL) == 0)
      ++ok;
    else
      __atomic_add_fetch(&many_failed, 1, __ATOMIC_SEQ_CST);
  }
  __atomic_add_fetch(&many_created, ok, __ATOMIC_SEQ_CST);
  for (int i = 0; i < ok; ++i) pthread_join(mine[i], NULL);
  free(mine);
  return NULL;
}

/* C creators each make M threads; every leaf waits on one barrier with the
 * main thread, so all C*M threads exist at once before any of them ends. */
static void do_many(int creators, int per) {
  many_per_creator = per;
  pthread_barrier_init(&many_barrier, NULL, (unsigned)(creators * per + 1));
  pthread_t *cs = calloc((size_t)creators, sizeof(pthread_t));
  for (int i = 0; i < creators; ++i)
    if (pthread_create(&cs[i], NULL, many_creator, NULL) != 0) fail("creator thread");
  pthread_barrier_wait(&many_barrier);
  for (int i = 0; i < creators; ++i) pthread_join(cs[i], NULL);
  free(cs);
  out("MANY created=%d failed=%d", many_created, many_failed);
}

static pthread_barrier_t race_barrier;
static int race_status;
static void *race_exit(void *arg) {
  (void)arg;
  pthread_barrier_wait(&race_barrier);
  _exit(race_status);
}

static void do_raceexit(int status) {
  race_status = status;
  pthread_barrier_init(&race_barrier, NULL, 2);
  pthread_t a, b;
  if (pthread_create(&a, NULL, race_exit, NULL) != 0) fail("race thread");
  if (pthread_create(&b, NULL, race_exit, NULL) != 0) fail("race thread");
  for (;;) pause();
}

static void *sys_exit_thread(void *arg) {
  (void)arg;
  syscall(SYS_exit, 0);
  return NULL;
}

static int task_count(void) {
  struct stat st;
  if (stat("/proc/self/task", &st) != 0) return -1;
  return (int)st.st_nlink - 2;
}

static void do_ptfail(int count) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, (size_t)1 << 40);
  int failed = 0, rc = 0;
  for (int i = 0; i < count; ++i) {
    pthread_t t;
    rc = pthread_create(&t, &attr, return_pointer, NULL);
    if (rc != 0)
      ++failed;
    else
      pthread_join(t, NULL);
  }
  pthread_attr_destroy(&attr);
  out("PTFAIL failed=%d rc=%d", failed, rc);
}

static int clone_nothing(void *arg) {
  (void)arg;
  return 0;
}

/* ---- processes */

static char clone_stack[STACK_SIZE] __attribute__((aligned(16)));
static struct block clone_block;
static volatile int clone_ctid;

static int clone_main(void *arg) {
  struct block *b = arg;
  /* No reset of the thread table: some clone children share our memory. */
  run(b->w, b->n);
  return 0;
}

static void do_clone(const char *kind, char **w, int n) {
  clone_block.w = w;
  clone_block.n = n;
  char *top = clone_stack + sizeof(clone_stack);
  if (strcmp(kind, "clonethread") == 0) {
    int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM |
                CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
    pid_t ptid = 0;
    clone_ctid = -1;
    int r = clone(clone_main, top, flags, &clone_block, &ptid, NULL, &clone_ctid);
    if (r < 0) {
      out("CLONEFAIL errno=%d", errno);
      return;
    }
    out("CLONE tid=%d ptid=%d", r, (int)ptid);
    /* The kernel clears clone_ctid and wakes it when the thread ends. */
    for (;;) {
      int v = __atomic_load_n(&clone_ctid, __ATOMIC_SEQ_CST);
      if (v == 0) break;
      syscall(SYS_futex, &clone_ctid, FUTEX_WAIT, v, NULL, NULL, 0);
    }
    out("CLONEDONE tid=%d", r);
    return;
  }
  int flags = SIGCHLD;
  if (strcmp(kind, "clonevfork") == 0) flags |= CLONE_VM | CLONE_VFORK;
  if (strcmp(kind, "clonevm") == 0) flags |= CLONE_VM;
  int r = clone(clone_main, top, flags, &clone_block);
  if (r < 0) {
    out("CLONEFAIL errno=%d", errno);
    return;
  }
  out("FORK pid=%d fn=%s", r, kind);
  wait_one(r);
}

static void do_clonefail(const char *kind, int count) {
  int flags = strcmp(kind, "thread") == 0 ? CLONE_VM | CLONE_THREAD : SIGCHLD | CLONE_SIGHAND;
  int failed = 0, err = 0;
  for (int i = 0; i < count; ++i) {
    errno = 0;
    int r = clone(clone_nothing, clone_stack + sizeof(clone_stack), flags, NULL);
    if (r < 0) {
      ++failed;
      err = errno;
    } else if (!(flags & CLONE_THREAD)) {
      wait_one(r);
    }
  }
  out("CLONEFAILS failed=%d errno=%d", failed, err);
}

static void do_errnokeep(void) {
  errno = 77;
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int after_fork = errno;
  if (pid > 0) waitpid(pid, NULL, 0);
  pthread_t t;
  errno = 77;
  int rc = pthread_create(&t, NULL, return_pointer, NULL);
  int after_thread = errno;
  if (rc == 0) pthread_join(t, NULL);
  int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM |
              CLONE_CHILD_CLEARTID;
  clone_ctid = -1;
  errno = 77;
  int r = clone(clone_nothing, clone_stack + sizeof(clone_stack), flags, NULL, NULL, NULL,
                &clone_ctid);
  int after_clone = errno;
  for (int v; r > 0 && (v = __atomic_load_n(&clone_ctid, __ATOMIC_SEQ_CST)) != 0;)
    syscall(SYS_futex, &clone_ctid, FUTEX_WAIT, v, NULL, NULL, 0);
  out("ERRNO fork=%d thread=%d clone=%d", after_fork, after_thread, after_clone);
}

static __attribute__((noinline)) void do_vfork(char **w, int n) {
  pid_t pid = vfork();
  if (pid == 0) {
    run(w, n);
    _exit(0);
  }
  if (pid < 0) {
    out("FORKFAIL errno=%d", errno);
    return;
  }
  out("FORK pid=%d fn=vfork", (int)pid);
  wait_one(pid);
}

static pid_t do_fork(char **w, int n) {
  pid_t pid = fork();
  if (pid == 0) {
    thread_count = 0;
    run(w, n);
    exit(0);
  }
  if (pid < 0)
    out("FORKFAIL errno=%d", errno);
  else
    out("FORK pid=%d fn=fork", (int)pid);
  return pid;
}

static void wait_all(void) {
  int count = 0, st;
  for (;;) {
    pid_t c = waitpid(-1, &st, __WALL);
    if (c < 0) {
      if (errno == EINTR) continue;
      break;
    }
    ++count;
    report_status(c, st);
  }
  out("WAITED count=%d", count);
}

static struct rlimit saved_nproc;
static int nproc_saved;

static void do_mmap(void) {
  long r = syscall(SYS_mmap, 0L, 4096L, (long)(PROT_READ | PROT_WRITE),
                   (long)(MAP_PRIVATE | MAP_ANONYMOUS), -1L, 0L);
  void *want = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  int ok = 0;
  if (r != -1) {
    /* Writable and listed in /proc/self/maps at exactly that address. */
    ((volatile char *)r)[0] = 'x';
    char line[512];
    FILE *f = fopen("/proc/self/maps", "r");
    while (f && fgets(line, sizeof(line), f)) {
      unsigned long lo, hi;
      if (sscanf(line, "%lx-%lx", &lo, &hi) == 2 && lo <= (unsigned long)r &&
          (unsigned long)r + 4096 <= hi)
        ok = 1;
    }
    if (f) fclose(f);
  }
  out("MMAP addr=%lx high=%d ok=%d libc=%lx", (unsigned long)r, (unsigned long)r > 0xffffffffUL,
      ok, (unsigned long)want);
}

static void run(char **w, int n) {
  int i = 0;
  while (i < n) {
    const char *a = w[i];
    if (strcmp(a, "self") == 0 || strcmp(a, "echo") == 0) {
      if (i + 1 >= n) fail("%s needs a word", a);
      if (a[0] == 's')
        report_self(w[i + 1]);
      else
        out("ECHO %s", w[i + 1]);
      i += 2;
    } else if (strcmp(a, "forkw") == 0 || strcmp(a, "fork") == 0) {
      int end = block_end(w, n, i + 1);
      pid_t pid = do_fork(w + i + 2, end - i - 2);
      if (pid > 0 && a[4] == 'w') wait_one(pid);
      i = end + 1;
    } else if (strcmp(a, "forks") == 0 || strcmp(a, "threads") == 0) {
      long count = num(w, n, i + 1, a);
      int end = block_end(w, n, i + 2);
      for (long k = 0; k < count; ++k) {
        if (a[0] == 'f')
          do_fork(w + i + 3, end - i - 3);
        else
          start_thread(w + i + 3, end - i - 3);
      }
      i = end + 1;
    } else if (strcmp(a, "vforkw") == 0) {
      int end = block_end(w, n, i + 1);
      do_vfork(w + i + 2, end - i - 2);
      i = end + 1;
    } else if (strncmp(a, "clone", 5) == 0 && strcmp(a, "clonefail") != 0) {
      int end = block_end(w, n, i + 1);
      do_clone(a, w + i + 2, end - i - 2);
      i = end + 1;
    } else if (strcmp(a, "sysclone") == 0) {
      int end = block_end(w, n, i + 1);
      long pid = syscall(SYS_clone, (long)SIGCHLD, 0L, 0L, 0L, 0L);
      if (pid == 0) {
        thread_count = 0;
        run(w + i + 2, end - i - 2);
        raw_exit_group(0);
      }
      if (pid < 0) {
        out("FORKFAIL errno=%d", errno);
      } else {
        out("FORK pid=%ld fn=sysclone", pid);
        wait_one((pid_t)pid);
      }
      i = end + 1;
    } else if (strcmp(a, "threadw") == 0 || strcmp(a, "thread") == 0) {
      int end = block_end(w, n, i + 1);
      if (a[6] == 'w')
        thread_wait(w + i + 2, end - i - 2);
      else
        start_thread(w + i + 2, end - i - 2);
      i = end + 1;
    } else if (strcmp(a, "join") == 0) {
      join_all();
      ++i;
    } else if (strcmp(a, "waitall") == 0) {
      wait_all();
      ++i;
    } else if (strcmp(a, "getpid") == 0) {
      long s = syscall(SYS_getpid);
      out("GETPID sys=%ld real=%d", s, (int)getpid());
      ++i;
    } else if (strcmp(a, "mmap") == 0) {
      do_mmap();
      ++i;
    } else if (strcmp(a, "sysneg") == 0) {
      errno = 0;
      long r = syscall(SYS_close, -1L);
      out("SYSNEG r=%ld errno=%d", r, errno);
      ++i;
    } else if (strcmp(a, "joinptr") == 0) {
      do_joinptr();
      ++i;
    } else if (strcmp(a, "many") == 0) {
      do_many((int)num(w, n, i + 1, a), (int)num(w, n, i + 2, a));
      i += 3;
    } else if (strcmp(a, "raceexit") == 0) {
      do_raceexit((int)num(w, n, i + 1, a));
    } else if (strcmp(a, "threadsysexit") == 0) {
      pthread_t t;
      if (pthread_create(&t, NULL, sys_exit_thread, NULL) != 0) fail("thread");
      pthread_join(t, NULL);
      ++i;
    } else if (strcmp(a, "lastsysexit") == 0) {
      int st = (int)num(w, n, i + 1, a);
      /* A joined thread may still be on its way out of the kernel. */
      while (task_count() > 1) usleep(1000);
      syscall(SYS_exit, st);
      fail("SYS_exit returned");
    } else if (strcmp(a, "exit") == 0 || strcmp(a, "_exit") == 0 || strcmp(a, "_Exit") == 0 ||
               strcmp(a, "exitgroup") == 0) {
      int st = (int)num(w, n, i + 1, a);
      if (strcmp(a, "exit") == 0) exit(st);
      if (strcmp(a, "_exit") == 0) _exit(st);
      if (strcmp(a, "_Exit") == 0) _Exit(st);
      syscall(SYS_exit_group, st);
      fail("SYS_exit_group returned");
    } else if (strcmp(a, "pin") == 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET((int)num(w, n, i + 1, a), &set);
      if (sched_setaffinity(0, sizeof(set), &set) != 0) out("PINFAIL errno=%d", errno);
      i += 2;
    } else if (strcmp(a, "nproc") == 0) {
      struct rlimit rl;
      getrlimit(RLIMIT_NPROC, &rl);
      if (!nproc_saved) {
        saved_nproc = rl;
        nproc_saved = 1;
      }
      rl.rlim_cur = (rlim_t)num(w, n, i + 1, a);
      if (setrlimit(RLIMIT_NPROC, &rl) != 0) out("NPROCFAIL errno=%d", errno);
      i += 2;
    } else if (strcmp(a, "nproc_restore") == 0) {
      if (nproc_saved && setrlimit(RLIMIT_NPROC, &saved_nproc) != 0)
        out("NPROCFAIL errno=%d", errno);
      ++i;
    } else if (strcmp(a, "forktry") == 0) {
      pid_t pid = fork();
      if (pid == 0) _exit(0);
      if (pid < 0) {
        out("FORKFAIL errno=%d", errno);
      } else {
        out("FORKOK pid=%d", (int)pid);
        wait_one(pid);
      }
      ++i;
    } else if (strcmp(a, "ptfail") == 0) {
      do_ptfail((int)num(w, n, i + 1, a));
      i += 2;
    } else if (strcmp(a, "clonefail") == 0) {
      if (i + 1 >= n) fail("clonefail needs fork or thread");
      do_clonefail(w[i + 1], (int)num(w, n, i + 2, a));
      i += 3;
    } else if (strcmp(a, "errnokeep") == 0) {
      do_errnokeep();
      ++i;
    } else if (strcmp(a, "cgjoin") == 0) {
      if (i + 1 >= n) fail("cgjoin needs a directory");
      char path[512];
      snprintf(path, sizeof(path), "%s/cgroup.procs", w[i + 1]);
      int fd = open(path, O_WRONLY | O_CLOEXEC);
      if (fd < 0 || write(fd, "0", 1) != 1) out("CGFAIL errno=%d", errno);
      if (fd >= 0) close(fd);
      i += 2;
    } else if (strcmp(a, "sleep") == 0) {
      long ms = num(w, n, i + 1, a);
      struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
      while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
      }
      i += 2;
    } else {
      fail("unknown action '%s'", a);
    }
  }
}

int main(int argc, char **argv) {
  run(argv + 1, argc - 1);
  return 0;
}
