/*
 * zyg-probe - the instrument of the integration and VM tests.
 *
 * Runs the actions given as argv words, in order, and reports what it sees as
 * "KEY key=value ..." lines on standard output. Every line is written with
 * exactly one write(2) on fd 1 and no stdio buffering, so lines of many
 * processes and threads never mix and fork never duplicates pending output.
 *
 * Actions (a block is "{" ACTIONS "}", braces are separate words, blocks nest):
 *   env                  "ENV <entry>" per environ entry, in order
 *   info                 "INFO pid= ppid= tid= comm=" for the calling thread,
 *                        then "TASK pid= tid= cpus= mems=" for every task of
 *                        the process (Cpus_allowed_list / Mems_allowed_list)
 *   echo WORD            "ECHO <word>" (a marker)
 *   fork { A }           fork; the child runs A and calls exit(0);
 *                        the parent prints "FORK pid=<child>" and goes on
 *   vfork { A }          vfork; the child runs A and calls _exit(0). A vfork
 *                        child shares the parent's memory and stack: only the
 *                        exec actions and _exit belong in A.
 *   policy / prefer NODE  "POLICY tid= mode=" (get_mempolicy) / "PREFER rc="
 *                        (syscall(SYS_set_mempolicy, MPOL_PREFERRED, NODE))
 *   vforkexec PATH ARGS... ;  the classic vfork idiom: the child sets a flag in
 *                        the parent's memory, execv's PATH and, if that fails,
 *                        stores errno there and calls _exit(127); the parent,
 *                        as soon as vfork returns, prints "VFORKEXEC pid= ran=
 *                        errno=" (what it sees of the two) and then waits:
 *                        "CHILD pid= status=" (or signal=)
 *   vforkenv N ENTRY... -- PATH ARGS... ;  N times: vfork, execve PATH with
 *                        exactly those entries, wait; then "VFORKENV count=N
 *                        grew_kb=<growth of VmSize over the N>"
 *   reserve MB           maps MB MiB of private writable memory, untouched
 *                        (charged in full under strict overcommit): "RESERVE
 *                        ok=1" or "RESERVE ok=0 errno="
 *   touch MB             maps MB MiB of private writable memory and writes
 *                        every page (the calling thread's memory policy
 *                        places them): "TOUCH ok=1 addr=<hex> pid=" (addr as
 *                        /proc/<pid>/numa_maps names the mapping, which an
 *                        inaccessible page on each side keeps apart from its
 *                        neighbours) or "TOUCH ok=0 errno="
 *   clone { A }          raw clone(SIGCHLD) through glibc's clone(): a process
 *   sysfork { A }        syscall(SYS_clone, SIGCHLD, ...): a raw fork
 *   thread { A }         pthread_create a thread that runs A
 *   threads N { A }      N threads at once, each running A
 *   join                 join every thread this process created so far
 *   wait                 wait for all children: "CHILD pid= status=" (normal
 *                        exit) or "CHILD pid= signal=", then "WAITED count=N"
 *   exec PATH ARGS... ;  execv (the argument words end at ";" or at the end of
 *                        the enclosing block; ARGS start with argv[0])
 *   execv execve execvp execvpe execl execlp execle fexecve  likewise, with
 *                        the current environ where an environment is passed;
 *                        execl* take at most 16 argument words
 *   execveat PATH ARGS... ;  execveat(AT_FDCWD, PATH, ..., environ, 0)
 *   execve_env ENTRY... -- PATH ARGS... ;   execve with exactly those entries
 *   execvpe_env ENTRY... -- NAME ARGS... ;  execvpe with exactly those entries
 *                        A failed exec prints "EXECFAIL fn= errno=" and the
 *                        actions go on.
 *   spawn PATH ARGS... ;     posix_spawn:  "SPAWN pid= rc="
 *   spawnp NAME ARGS... ;    posix_spawnp: "SPAWN pid= rc="
 *   spawnnull PATH ARGS... ; posix_spawn with a null pid pointer: "SPAWN rc="
 *   readline             reads standard input up to a newline (or its end):
 *                        the test decides when the probe goes on
 *   system CMD           system() with the one word CMD:
 *                        "SYSTEM rc=<raw> status=<exit status or -1>"
 *   popen CMD            popen(CMD, "r"): the shell's output is copied to
 *                        standard output, then "POPEN status=<pclose's exit
 *                        status or -1>"
 *   sleep MS             sleep MS milliseconds
 *   setenv NAME=VALUE    setenv with overwrite;  unsetenv NAME
 *   exit N / _exit N / _Exit N / sysexit N (raw exit_group)
 * Bad usage prints "ERROR <text>" and exits with status 2.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#define MAX_THREADS 1024
#define MAX_ARGS 256
#define LINE_MAX_LEN 8192

static pthread_mutex_t thread_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t threads[MAX_THREADS];
static int thread_count;

static void write_all(const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(STDOUT_FILENO, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= (size_t)w;
  }
}

static void out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void out(const char* fmt, ...) {
  char buf[LINE_MAX_LEN];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf) - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n > sizeof(buf) - 2) n = (int)sizeof(buf) - 2;
  buf[n++] = '\n';
  write_all(buf, (size_t)n);
}

static void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2), noreturn));
static void fail(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  out("ERROR %s", buf);
  _exit(2);
}

static long to_long(const char* word, const char* what) {
  char* end;
  errno = 0;
  long v = strtol(word, &end, 10);
  if (errno != 0 || end == word || *end != '\0') fail("%s needs a number, got '%s'", what, word);
  return v;
}

static pid_t gettid_now(void) { return (pid_t)syscall(SYS_gettid); }

/* Reads "Key:\tvalue" from a status file into val. */
static void status_field(const char* path, const char* key, char* val, size_t size) {
  snprintf(val, size, "?");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[8192];
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return;
  buf[n] = '\0';
  size_t klen = strlen(key);
  for (char* line = buf; line && *line;) {
    char* nl = strchr(line, '\n');
    if (nl) *nl = '\0';
    if (strncmp(line, key, klen) == 0 && line[klen] == ':') {
      const char* v = line + klen + 1;
      while (*v == ' ' || *v == '\t') ++v;
      snprintf(val, size, "%s", v);
      return;
    }
    line = nl ? nl + 1 : NULL;
  }
}

static void do_info(void) {
  char comm[64] = "?";
  int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = read(fd, comm, sizeof(comm) - 1);
    close(fd);
    if (n > 0) {
      comm[n] = '\0';
      char* nl = strchr(comm, '\n');
      if (nl) *nl = '\0';
    }
  }
  pid_t pid = getpid();
  out("INFO pid=%d ppid=%d tid=%d comm=%s", (int)pid, (int)getppid(), (int)gettid_now(), comm);
  DIR* d = opendir("/proc/self/task");
  if (!d) return;
  struct dirent* e;
  while ((e = readdir(d)) != NULL) {
    if (e->d_name[0] == '.') continue;
    char path[512], cpus[4096], mems[1024];
    snprintf(path, sizeof(path), "/proc/%d/task/%s/status", (int)pid, e->d_name);
    status_field(path, "Cpus_allowed_list", cpus, sizeof(cpus));
    status_field(path, "Mems_allowed_list", mems, sizeof(mems));
    out("TASK pid=%d tid=%s cpus=%s mems=%s", (int)pid, e->d_name, cpus, mems);
  }
  closedir(d);
}

static void run(char** w, int n);

/* Index of the "}" matching the "{" at w[open]. */
static int block_end(char** w, int n, int open) {
  if (open >= n || strcmp(w[open], "{") != 0)
    fail("expected '{' after %s", open > 0 ? w[open - 1] : "?");
  int depth = 0;
  for (int i = open; i < n; ++i) {
    if (strcmp(w[i], "{") == 0) ++depth;
    if (strcmp(w[i], "}") == 0 && --depth == 0) return i;
  }
  fail("unbalanced '{'");
}

/* The argument words of an exec-like action: up to ";" or the end. */
static int args_end(char** w, int n, int start) {
  int i = start;
  while (i < n && strcmp(w[i], ";") != 0) ++i;
  return i;
}

struct block {
  char** w;
  int n;
};

static void* thread_main(void* arg) {
  struct block* b = arg;
  run(b->w, b->n);
  return NULL;
}

/* A thread's block is never reused: a slot of threads[] is, as soon as a
   join has taken its thread out, possibly before a thread created through
   it has read its block. */
static void start_thread(char** w, int n) {
  static struct block blocks[MAX_THREADS];
  static int blocks_used;
  pthread_mutex_lock(&thread_lock);
  if (thread_count >= MAX_THREADS || blocks_used >= MAX_THREADS) fail("too many threads");
  int slot = thread_count++;
  struct block* b = &blocks[blocks_used++];
  b->w = w;
  b->n = n;
  int rc = pthread_create(&threads[slot], NULL, thread_main, b);
  if (rc != 0) {
    --thread_count;
    pthread_mutex_unlock(&thread_lock);
    out("THREADFAIL errno=%d", rc);
    return;
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

static void wait_all(void) {
  int count = 0;
  for (;;) {
    int st;
    pid_t c = waitpid(-1, &st, 0);
    if (c < 0) {
      if (errno == EINTR) continue;
      break;
    }
    ++count;
    if (WIFEXITED(st))
      out("CHILD pid=%d status=%d", (int)c, WEXITSTATUS(st));
    else if (WIFSIGNALED(st))
      out("CHILD pid=%d signal=%d", (int)c, WTERMSIG(st));
  }
  out("WAITED count=%d", count);
}

/* A forked child's copy of the parent's thread table names nothing it owns. */
static void child_reset(void) { thread_count = 0; }

static void copy_args(char** dst, char** w, int from, int to) {
  int k = 0;
  for (int i = from; i < to && k < MAX_ARGS - 1; ++i) dst[k++] = w[i];
  dst[k] = NULL;
}

#define L16(a)                                                                                   \
  a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], \
      a[15], a[16]

/* Runs one exec-family action on words w[s..e). */
static void do_exec(const char* fn, char** w, int s, int e) {
  if (s >= e) fail("%s needs a path", fn);
  char* argv[MAX_ARGS];
  char* envv[MAX_ARGS];
  const char* file = w[s];
  int explicit_env = strcmp(fn, "execve_env") == 0 || strcmp(fn, "execvpe_env") == 0;
  char** envp = environ;
  if (explicit_env) {
    int k = 0, i = s;
    while (i < e && strcmp(w[i], "--") != 0) {
      if (k < MAX_ARGS - 1) envv[k++] = w[i];
      ++i;
    }
    envv[k] = NULL;
    if (i >= e - 1) fail("%s needs ENTRY... -- PATH", fn);
    envp = envv;
    file = w[i + 1];
    s = i + 1;
  }
  copy_args(argv, w, s + 1, e);
  int count = e - s - 1;
  if (strcmp(fn, "exec") == 0 || strcmp(fn, "execv") == 0) {
    execv(file, argv);
  } else if (strcmp(fn, "execve") == 0 || strcmp(fn, "execve_env") == 0) {
    execve(file, argv, envp);
  } else if (strcmp(fn, "execvp") == 0) {
    execvp(file, argv);
  } else if (strcmp(fn, "execvpe") == 0 || strcmp(fn, "execvpe_env") == 0) {
    execvpe(file, argv, envp);
  } else if (strcmp(fn, "execveat") == 0) {
    syscall(SYS_execveat, AT_FDCWD, file, argv, environ, 0);
  } else if (strcmp(fn, "fexecve") == 0) {
    int fd = open(file, O_RDONLY);
    if (fd >= 0) {
      fexecve(fd, argv, environ);
      int err = errno;
      close(fd);
      errno = err;
    }
  } else if (strcmp(fn, "execl") == 0 || strcmp(fn, "execlp") == 0 || strcmp(fn, "execle") == 0) {
    if (count > 16) fail("%s takes at most 16 argument words", fn);
    /* a[count] ends the argument list; execle finds its environment in
       the slot after that terminator. */
    char* a[18];
    for (int i = 0; i < 18; ++i) a[i] = i < count ? argv[i] : NULL;
    if (strcmp(fn, "execl") == 0) {
      execl(file, L16(a), (char*)NULL);
    } else if (strcmp(fn, "execlp") == 0) {
      execlp(file, L16(a), (char*)NULL);
    } else {
      a[count + 1] = (char*)environ;
      execle(file, L16(a), a[17], (char*)NULL, environ);
    }
  } else {
    fail("unknown exec action %s", fn);
  }
  out("EXECFAIL fn=%s errno=%d", fn, errno);
}

static void do_spawn(int path_search, char** w, int s, int e) {
  if (s >= e) fail("%s needs a path", path_search ? "spawnp" : "spawn");
  char* argv[MAX_ARGS];
  copy_args(argv, w, s + 1, e);
  pid_t pid = -1;
  int rc = path_search ? posix_spawnp(&pid, w[s], NULL, NULL, argv, environ)
                       : posix_spawn(&pid, w[s], NULL, NULL, argv, environ);
  out("SPAWN pid=%d rc=%d", rc == 0 ? (int)pid : -1, rc);
}

static void do_spawn_null(char** w, int s, int e) {
  if (s >= e) fail("spawnnull needs a path");
  char* argv[MAX_ARGS];
  copy_args(argv, w, s + 1, e);
  int rc = posix_spawn(NULL, w[s], NULL, NULL, argv, environ);
  out("SPAWN rc=%d", rc);
}

static void do_readline(void) {
  char c;
  while (read(0, &c, 1) == 1 && c != '\n') {
  }
}

static char clone_stack[256 * 1024] __attribute__((aligned(16)));
static struct block clone_block;

static int clone_main(void* arg) {
  struct block* b = arg;
  child_reset();
  run(b->w, b->n);
  exit(0);
}

static void print_child(pid_t pid, int status) {
  if (WIFEXITED(status))
    out("CHILD pid=%d status=%d", (int)pid, WEXITSTATUS(status));
  else
    out("CHILD pid=%d signal=%d", (int)pid, WTERMSIG(status));
}

static volatile int vfork_child_ran, vfork_exec_errno;

static __attribute__((noinline)) void do_vfork_exec(char** w, int s, int e) {
  if (s >= e) fail("vforkexec needs a path");
  char* argv[MAX_ARGS];
  copy_args(argv, w, s + 1, e);
  vfork_child_ran = 0;
  vfork_exec_errno = 0;
  pid_t pid = vfork();
  if (pid == 0) {
    vfork_child_ran = 1;
    execv(w[s], argv);
    vfork_exec_errno = errno;
    _exit(127);
  }
  if (pid < 0) {
    out("FORKFAIL fn=vfork errno=%d", errno);
    return;
  }
  out("VFORKEXEC pid=%d ran=%d errno=%d", (int)pid, vfork_child_ran, vfork_exec_errno);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  print_child(pid, status);
}

static long vm_size_kb(void) {
  char buf[4096];
  int fd = open("/proc/self/status", O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char* p = strstr(buf, "VmSize:");
  return p ? strtol(p + 7, NULL, 10) : -1;
}

static __attribute__((noinline)) void do_vfork_env(char** w, int s, int e) {
  if (s >= e) fail("vforkenv needs a count");
  long count = to_long(w[s], "vforkenv");
  char* envv[MAX_ARGS];
  char* argv[MAX_ARGS];
  int k = 0, i = s + 1;
  while (i < e && strcmp(w[i], "--") != 0) {
    if (k < MAX_ARGS - 1) envv[k++] = w[i];
    ++i;
  }
  envv[k] = NULL;
  if (i >= e - 1) fail("vforkenv needs N ENTRY... -- PATH");
  const char* path = w[i + 1];
  copy_args(argv, w, i + 2, e);
  long before = vm_size_kb();
  for (long r = 0; r < count; ++r) {
    pid_t pid = vfork();
    if (pid == 0) {
      execve(path, argv, envv);
      _exit(127);
    }
    if (pid < 0) fail("vfork: errno %d", errno);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  out("VFORKENV count=%ld grew_kb=%ld", count, vm_size_kb() - before);
}

/* Kept apart from run() so that no variable of the loop lives across vfork. */
static __attribute__((noinline)) void do_vfork(char** w, int n) {
  pid_t pid = vfork();
  if (pid == 0) {
    run(w, n);
    _exit(0);
  }
  if (pid < 0)
    out("FORKFAIL fn=vfork errno=%d", errno);
  else
    out("FORK pid=%d fn=vfork", (int)pid);
}

static void run(char** w, int n) {
  int i = 0;
  while (i < n) {
    const char* a = w[i];
    if (strcmp(a, "env") == 0) {
      for (char** e = environ; e && *e; ++e) out("ENV %s", *e);
      ++i;
    } else if (strcmp(a, "info") == 0) {
      do_info();
      ++i;
    } else if (strcmp(a, "echo") == 0) {
      if (i + 1 >= n) fail("echo needs a word");
      out("ECHO %s", w[i + 1]);
      i += 2;
    } else if (strcmp(a, "fork") == 0 || strcmp(a, "sysfork") == 0) {
      int end = block_end(w, n, i + 1);
      pid_t pid = strcmp(a, "fork") == 0 ? fork() : (pid_t)syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
      if (pid == 0) {
        child_reset();
        run(w + i + 2, end - i - 2);
        exit(0);
      }
      if (pid < 0)
        out("FORKFAIL fn=%s errno=%d", a, errno);
      else
        out("FORK pid=%d fn=%s", (int)pid, a);
      i = end + 1;
    } else if (strcmp(a, "vfork") == 0) {
      int end = block_end(w, n, i + 1);
      do_vfork(w + i + 2, end - i - 2);
      i = end + 1;
    } else if (strcmp(a, "reserve") == 0) {
      if (i + 1 >= n) fail("reserve needs a size in MiB");
      size_t len = (size_t)to_long(w[i + 1], "reserve") << 20;
      void* p = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED)
        out("RESERVE ok=0 errno=%d", errno);
      else
        out("RESERVE ok=1");
      i += 2;
    } else if (strcmp(a, "touch") == 0) {
      if (i + 1 >= n) fail("touch needs a size in MiB");
      size_t len = (size_t)to_long(w[i + 1], "touch") << 20;
      char* p = mmap(NULL, len + 8192, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED || mprotect(p + 4096, len, PROT_READ | PROT_WRITE) != 0) {
        out("TOUCH ok=0 errno=%d", errno);
      } else {
        p += 4096;
        for (size_t off = 0; off < len; off += 4096) p[off] = 1;
        out("TOUCH ok=1 addr=%lx pid=%d", (unsigned long)p, (int)getpid());
      }
      i += 2;
    } else if (strcmp(a, "policy") == 0) {
      int mode = -1;
      if (syscall(SYS_get_mempolicy, &mode, NULL, 0UL, NULL, 0UL) != 0) mode = -1;
      out("POLICY tid=%ld mode=%d", (long)syscall(SYS_gettid), mode);
      i += 1;
    } else if (strcmp(a, "prefer") == 0 && i + 1 < n) {
      unsigned long mask = 1UL << to_long(w[i + 1], "prefer");
      out("PREFER rc=%ld", syscall(SYS_set_mempolicy, 1 /* MPOL_PREFERRED */, &mask, 64UL));
      i += 2;
    } else if (strcmp(a, "vforkexec") == 0 || strcmp(a, "vforkenv") == 0) {
      int end = args_end(w, n, i + 1);
      if (strcmp(a, "vforkexec") == 0)
        do_vfork_exec(w, i + 1, end);
      else
        do_vfork_env(w, i + 1, end);
      i = end + 1;
    } else if (strcmp(a, "clone") == 0) {
      int end = block_end(w, n, i + 1);
      clone_block.w = w + i + 2;
      clone_block.n = end - i - 2;
      pid_t pid = clone(clone_main, clone_stack + sizeof(clone_stack), SIGCHLD, &clone_block);
      if (pid < 0)
        out("FORKFAIL fn=clone errno=%d", errno);
      else
        out("FORK pid=%d fn=clone", (int)pid);
      i = end + 1;
    } else if (strcmp(a, "thread") == 0) {
      int end = block_end(w, n, i + 1);
      start_thread(w + i + 2, end - i - 2);
      i = end + 1;
    } else if (strcmp(a, "threads") == 0) {
      if (i + 1 >= n) fail("threads needs a count");
      long count = to_long(w[i + 1], "threads");
      int end = block_end(w, n, i + 2);
      for (long k = 0; k < count; ++k) start_thread(w + i + 3, end - i - 3);
      i = end + 1;
    } else if (strcmp(a, "join") == 0) {
      join_all();
      ++i;
    } else if (strcmp(a, "wait") == 0) {
      wait_all();
      ++i;
    } else if (strncmp(a, "exec", 4) == 0 || strcmp(a, "fexecve") == 0) {
      int end = args_end(w, n, i + 1);
      do_exec(a, w, i + 1, end);
      i = end + 1;
    } else if (strcmp(a, "spawn") == 0 || strcmp(a, "spawnp") == 0) {
      int end = args_end(w, n, i + 1);
      do_spawn(strcmp(a, "spawnp") == 0, w, i + 1, end);
      i = end + 1;
    } else if (strcmp(a, "spawnnull") == 0) {
      int end = args_end(w, n, i + 1);
      do_spawn_null(w, i + 1, end);
      i = end + 1;
    } else if (strcmp(a, "readline") == 0) {
      do_readline();
      ++i;
    } else if (strcmp(a, "system") == 0) {
      if (i + 1 >= n) fail("system needs a command word");
      int rc = system(w[i + 1]);
      out("SYSTEM rc=%d status=%d", rc, rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1);
      i += 2;
    } else if (strcmp(a, "popen") == 0) {
      if (i + 1 >= n) fail("popen needs a command word");
      FILE* f = popen(w[i + 1], "r");
      int status = -1;
      if (f != NULL) {
        char buf[4096];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f)) > 0) write_all(buf, got);
        int rc = pclose(f);
        status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
      }
      out("POPEN status=%d", status);
      i += 2;
    } else if (strcmp(a, "sleep") == 0) {
      if (i + 1 >= n) fail("sleep needs milliseconds");
      long ms = to_long(w[i + 1], "sleep");
      struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
      while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
      }
      i += 2;
    } else if (strcmp(a, "setenv") == 0) {
      if (i + 1 >= n || !strchr(w[i + 1], '=')) fail("setenv needs NAME=VALUE");
      char name[1024];
      const char* eq = strchr(w[i + 1], '=');
      snprintf(name, sizeof(name), "%.*s", (int)(eq - w[i + 1]), w[i + 1]);
      if (setenv(name, eq + 1, 1) != 0) out("SETENVFAIL errno=%d", errno);
      i += 2;
    } else if (strcmp(a, "unsetenv") == 0) {
      if (i + 1 >= n) fail("unsetenv needs a name");
      unsetenv(w[i + 1]);
      i += 2;
    } else if (strcmp(a, "exit") == 0 || strcmp(a, "_exit") == 0 || strcmp(a, "_Exit") == 0 ||
               strcmp(a, "sysexit") == 0) {
      if (i + 1 >= n) fail("%s needs a status", a);
      int st = (int)to_long(w[i + 1], a);
      if (strcmp(a, "exit") == 0) exit(st);
      if (strcmp(a, "_exit") == 0) _exit(st);
      if (strcmp(a, "_Exit") == 0) _Exit(st);
      syscall(SYS_exit_group, st);
      _exit(st);
    } else {
      fail("unknown action '%s'", a);
    }
  }
}

int main(int argc, char** argv) {
  run(argv + 1, argc - 1);
  return 0;
}
