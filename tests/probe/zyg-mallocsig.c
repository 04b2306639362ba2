/* zyg-mallocsig [--execv] PROGRAM [ARGS...]: execs PROGRAM from a signal
 * handler that interrupted malloc while malloc held its lock, with an
 * environment that lacks the launch entries (so the library must build a new
 * one), or with --execv through execv and the process's own environment.
 *
 * The program brings its own malloc family (a bump allocator behind a
 * spin lock that is not re-entrant), so every malloc in the process, the
 * preload library's included, comes here. The 50th allocation after main
 * starts raises SIGUSR1 while holding the lock, and the handler calls
 * execve with an explicit environment (async-signal-safe). An exec path
 * that allocates from the heap spins for ever on that lock: the test's
 * timeout is the failure. Prints nothing itself; PROGRAM's output shows it
 * ran. Exit status 111 when execve failed.
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

static char arena[64 << 20] __attribute__((aligned(64)));
static size_t used;
static volatile int locked;
static volatile int armed;
static int calls;
static char **exec_argv;
static int use_execv;

static void take(void) {
  while (__sync_lock_test_and_set(&locked, 1)) {
  }
}

static void give(void) { __sync_lock_release(&locked); }

static void *bump(size_t size, size_t align) {
  take();
  if (armed && ++calls == 50) raise(SIGUSR1); /* the handler runs with the lock held */
  size_t at = (used + align - 1) & ~(align - 1);
  void *p = NULL;
  if (at + size <= sizeof arena) {
    p = arena + at;
    used = at + size;
  }
  give();
  return p;
}

void *malloc(size_t size) { return bump(size ? size : 1, 16); }
void free(void *p) { (void)p; }
void *calloc(size_t n, size_t size) {
  size_t total = n * size;
  void *p = bump(total > 0 ? total : 1, 16);
  if (p) memset(p, 0, total);
  return p;
}
void *realloc(void *old, size_t size) {
  void *p = bump(size ? size : 1, 16);
  if (p && old) memcpy(p, old, size); /* the arena is one block: reading past is safe */
  return p;
}
void *memalign(size_t align, size_t size) { return bump(size ? size : 1, align < 16 ? 16 : align); }
void *aligned_alloc(size_t align, size_t size) { return memalign(align, size); }
int posix_memalign(void **out, size_t align, size_t size) {
  *out = memalign(align, size);
  return *out ? 0 : 12;
}

/* An environment without the launch entries: the exec must add them. */
static char *const new_env[] = {"PATH=/usr/bin:/bin", "ZYG_MALLOCSIG=1", NULL};

static void on_usr1(int sig) {
  (void)sig;
  if (use_execv) execv(exec_argv[0], exec_argv);
  else execve(exec_argv[0], exec_argv, new_env);
  _exit(111);
}

int main(int argc, char **argv) {
  use_execv = argc > 1 && strcmp(argv[1], "--execv") == 0;
  if (argc < 2 + use_execv) return 2;
  exec_argv = argv + 1 + use_execv;
  signal(SIGUSR1, on_usr1);
  armed = 1;
  for (int i = 0; i < 100; i++) {
    volatile char *p = malloc(32);
    if (p) p[0] = 1;
  }
  return 3; /* the handler never ran */
}
