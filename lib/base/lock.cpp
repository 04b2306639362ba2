// lock.cpp - the futex mutex and condition variable.
//
// A three-state futex lock (free, held, held with waiters possible) whose
// held states carry the holder's identity (TID and PID namespace), so that a
// holder that died can be told from one that is merely slow, whatever
// namespace either side runs in. Taking a free lock and releasing one nobody
// waits for are a single atomic instruction each; only contention enters the
// kernel. Every futex call uses the shared operations: `ldata_lock` lives in
// a file that several processes map, and the kernel keys private futexes by
// address space, so a private wait in one process would never see a wake from
// another.
//
// Everything here uses the raw system calls of base/sys.h: the lock is taken
// in forked children before user code runs and inside signal handlers, and
// must leave errno as it found it.
#include "base/lock.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include "base/layout.h"
#include "base/sys.h"

// The C library's description of where its thread descriptor keeps the TID
// (bits, count, offset from the thread pointer), which it publishes for
// debuggers as _thread_db_pthread_tid. Weak, so that a C library without it
// leaves the address null; unversioned, so that the library asks for no
// version of the C library's private ones.
extern "C" __attribute__((weak)) const uint32_t kCLibraryTidField[3];
__asm__(".symver kCLibraryTidField, _thread_db_pthread_tid@");

namespace zyg {

namespace {

// The calling thread's identity as the lock records it: TID | ns << 32. The
// namespace half is 0 until looked up (the TID half may be known before).
__thread uint64_t cached_identity;
// Set by lock_forget_tid: the thread is perhaps a child sharing its parent's
// memory, whose namespace must not come from (nor go into) the process's.
__thread bool identity_in_question;
// The process's PID namespace; 0 until looked up.
uint32_t process_ns;
// Set by lock_new_process: the process's namespace is its parent's unless
// the parent is invisible to it (checked at its first lock).
uint32_t process_ns_in_question;

// Where the C library's thread descriptor keeps the thread's TID, from the
// thread pointer: 0 until learnt, -1 when the C library shows none we can
// read (the word at the thread pointer is the descriptor's pointer to
// itself, never the TID).
long tid_field;

constexpr uint32_t kInitialPidNs = 0xEFFFFFFCu;  // the kernel's PROC_PID_INIT_INO

inline uint64_t pack(uint32_t word, uint32_t ns) { return word | (uint64_t)ns << 32; }
inline uint32_t word_of(uint64_t v) { return (uint32_t)v; }
inline uint32_t ns_of(uint64_t v) { return (uint32_t)(v >> 32); }

// Old value of the lock; the swap happened when it equals `expected`.
inline uint64_t cas(futex_mutex* m, uint64_t expected, uint64_t desired) {
  __atomic_compare_exchange_n(&m->both, &expected, desired, false, __ATOMIC_ACQUIRE,
                              __ATOMIC_RELAXED);
  return expected;
}

inline long futex_wake(uint32_t* w, uint32_t count) { return sys_futex(w, FUTEX_WAKE, count); }

// Sleeps while *w == val, at most kLockWaitMs. Returns on a wake, a signal
// (EINTR), a changed word (EAGAIN) or the timeout (-ETIMEDOUT); callers
// re-test the word, which is how every case but the timeout is retried.
inline long futex_wait_bounded(uint32_t* w, uint32_t val) {
  struct timespec t = {0, kLockWaitMs * 1000000L};
  return sys_futex_wait_for(w, val, &t);
}

inline long sys_fstatat(int dir, const char* path, struct stat* st) {
  return raw_syscall6(SYS_newfstatat, dir, (long)path, (long)st, 0, 0, 0);
}
inline int sys_openat(int dir, const char* path, int flags) {
  return (int)raw_syscall6(SYS_openat, dir, (long)path, flags | O_CLOEXEC, 0, 0, 0);
}
inline void sys_close(int fd) { raw_syscall3(SYS_close, fd, 0, 0); }

// The inode number of the namespace file at `path` (relative to `dir`), or a
// negative errno.
ZYG_HOT_CODE long ns_inode(int dir, const char* path) {
  struct stat st;
  long r = sys_fstatat(dir, path, &st);
  if (r < 0) return r;
  return (long)(uint32_t)st.st_ino == (long)st.st_ino ? (long)st.st_ino : -EOVERFLOW;
}

ZYG_HOT_CODE __attribute__((noinline)) uint32_t look_up_own_ns() {
  long ino = ns_inode(AT_FDCWD, "/proc/self/ns/pid");
  return ino > (long)kLockNsUnknown ? (uint32_t)ino : kLockNsUnknown;
}

ZYG_HOT_CODE __attribute__((noinline, cold)) uint64_t resolve_identity() {
  uint64_t id = cached_identity;
  uint32_t tid = word_of(id);
  if (tid == 0) tid = (uint32_t)sys_gettid();
  uint32_t ns = 0;
  if (identity_in_question) {
    // Perhaps a child that shares its parent's memory: the process's value
    // below is the parent's, and ours too only if the parent is visible
    // here (a parent we cannot see lives in a namespace above ours) and has
    // settled its own. Otherwise the thread keeps what it looks up to itself.
    identity_in_question = false;
    if (sys_getppid() == 0 || __atomic_load_n(&process_ns_in_question, __ATOMIC_ACQUIRE))
      ns = look_up_own_ns();
  }
  if (ns == 0) {
    // A new process with memory of its own: its parent's value stands
    // unless the parent is invisible here.
    if (__atomic_load_n(&process_ns_in_question, __ATOMIC_ACQUIRE)) {
      if (sys_getppid() == 0) __atomic_store_n(&process_ns, 0u, __ATOMIC_RELAXED);
      __atomic_store_n(&process_ns_in_question, 0u, __ATOMIC_RELEASE);
    }
    ns = __atomic_load_n(&process_ns, __ATOMIC_RELAXED);
    if (ns == 0) {
      ns = look_up_own_ns();
      __atomic_store_n(&process_ns, ns, __ATOMIC_RELAXED);
    }
  }
  id = pack(tid, ns);
  cached_identity = id;
  return id;
}

// Learnt at the first lock, not at start-up: a program that never locks
// never reads the C library's page. A plain load, safe in a forked child and
// in a signal handler.
__attribute__((noinline, cold)) long learn_tid_field() {
  const uint32_t* d = &kCLibraryTidField[0];
  long off = -1;
  if (d != nullptr && d[0] == 32 && d[1] == 1 && d[2] > 0 && d[2] < 4096 && d[2] % 4 == 0)
    off = d[2];
  __atomic_store_n(&tid_field, off, __ATOMIC_RELAXED);
  return off;
}

// The cache may name another task than the calling thread: the descriptor
// names another, or there is no descriptor to ask.
inline bool cache_in_doubt(uint64_t id) {
  long off = __atomic_load_n(&tid_field, __ATOMIC_RELAXED);
  if (__builtin_expect(off == 0, 0)) off = learn_tid_field();
  if (off < 0) return true;
  uint32_t tid;
  __asm__ volatile("movl %%fs:(%1), %0" : "=r"(tid) : "r"(off));
  return tid != word_of(id);
}

// The cache and the descriptor disagree: a child the C library forked
// without us, still holding its parent's cache; or a child that shares its
// parent's descriptor (vfork) and whose cache, its own TID, is right. The
// kernel tells which.
ZYG_HOT_CODE __attribute__((noinline, cold)) uint64_t recheck_identity(uint64_t id) {
  if (word_of(id) != 0 && (uint32_t)sys_gettid() != word_of(id)) lock_new_process();
  id = cached_identity;
  return ns_of(id) == 0 ? resolve_identity() : id;
}

inline uint64_t self_identity() {
  uint64_t id = cached_identity;
  if (__builtin_expect(ns_of(id) == 0 || cache_in_doubt(id), 0)) id = recheck_identity(id);
  return id;
}

// --- is the holder gone? ------------------------------------------------------

enum holder_fate { HOLDER_ALIVE, HOLDER_GONE, HOLDER_UNPROVEN };

inline bool is_number(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// Gone for good, in the state letter of /proc/<pid>/status or stat.
inline bool dead_state(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

// Reads the state letter and the task's own number (the last of "NSpid:")
// from the status file at `path` under `dir`, in small pieces. 0, or a
// negative errno (-ENOENT and -ESRCH when the task is gone).
__attribute__((noinline)) long read_task_status(int dir, const char* path, char* state,
                                                uint32_t* own_tid) {
  int fd = sys_openat(dir, path, O_RDONLY);
  if (fd < 0) return fd;
  static const char kState[] = "State:";
  static const char kNsPid[] = "NSpid:";
  char buf[192];
  int col = 0;
  int mode = 0;  // 0 line start, 1 state value, 2 NSpid values, 3 rest of line
  bool may_state = true, may_nspid = true, in_number = false, have_state = false,
       have_number = false;
  uint32_t number = 0;
  long result = -EINVAL;
  for (;;) {
    long n = raw_syscall3(SYS_read, fd, (long)buf, (long)sizeof buf);
    if (n == -EINTR) continue;
    if (n <= 0) {
      if (n < 0) result = n;
      break;
    }
    for (long i = 0; i < n; i++) {
      char c = buf[i];
      if (c == '\n') {
        if (mode == 2) {
          if (in_number) *own_tid = number;
          result = (have_state && (have_number || in_number)) ? 0 : -EINVAL;
          goto done;
        }
        col = 0;
        mode = 0;
        may_state = may_nspid = true;
        continue;
      }
      if (mode == 0) {
        may_state = may_state && c == kState[col];
        may_nspid = may_nspid && c == kNsPid[col];
        col++;
        if (!may_state && !may_nspid)
          mode = 3;
        else if (col == 6)
          mode = may_state ? 1 : 2;
      } else if (mode == 1) {
        if (c != ' ' && c != '\t') {
          *state = c;
          have_state = true;
          mode = 3;
        }
      } else if (mode == 2) {
        if (c >= '0' && c <= '9') {
          number = (in_number ? number * 10 : 0) + (uint32_t)(c - '0');
          in_number = true;
        } else if (in_number) {
          *own_tid = number;
          in_number = false;
          have_number = true;
        }
      }
    }
  }
done:
  sys_close(fd);
  return result;
}

inline bool task_gone(long err) { return err == -ENOENT || err == -ESRCH; }

struct holder_search {
  uint32_t tid;
  uint32_t ns;
  bool ns_seen;  // a task of the holder's namespace is visible
  bool doubt;    // some task could not be looked at
};

// The tasks of the process open at `pfd`: a process of the holder's
// namespace when `in_ns`, else one whose namespace could not be read, which
// leaves doubt only if it has a living task under the holder's number.
__attribute__((noinline)) holder_fate look_at_tasks(int pfd, holder_search* s, bool in_ns) {
  int tfd = sys_openat(pfd, "task", O_RDONLY | O_DIRECTORY);
  if (tfd < 0) {
    if (!task_gone(tfd)) s->doubt = true;
    return HOLDER_UNPROVEN;
  }
  holder_fate fate = HOLDER_UNPROVEN;
  alignas(8) char buf[256];
  while (fate == HOLDER_UNPROVEN) {
    long n = raw_syscall3(SYS_getdents64, tfd, (long)buf, (long)sizeof buf);
    if (n <= 0) {
      if (n < 0 && !task_gone(n)) s->doubt = true;
      break;
    }
    for (long at = 0; at < n && fate == HOLDER_UNPROVEN;) {
      const dirent64_rec* d = reinterpret_cast<const dirent64_rec*>(buf + at);
      at += d->reclen;
      if (!is_number(d->name)) continue;
      char path[32];
      int len = 0;
      for (const char* p = d->name; *p && len < 11; ++p) path[len++] = *p;
      for (const char* p = "/status"; *p; ++p) path[len++] = *p;
      path[len] = '\0';
      char state = 0;
      uint32_t own = 0;
      long r = read_task_status(tfd, path, &state, &own);
      if (r < 0) {
        if (!task_gone(r)) s->doubt = true;
        continue;
      }
      if (own != s->tid) continue;
      if (in_ns) {
        fate = dead_state(state) ? HOLDER_GONE : HOLDER_ALIVE;
        break;
      }
      if (!dead_state(state)) s->doubt = true;
    }
  }
  sys_close(tfd);
  return fate;
}

// The process /proc/<name>: the holder's fate when it is one of its tasks.
__attribute__((noinline)) holder_fate look_at_process(int proc, const char* name,
                                                      holder_search* s) {
  // Everything below goes through this descriptor: it stays with this
  // process even if its number is reused meanwhile.
  int pfd = sys_openat(proc, name, O_RDONLY | O_DIRECTORY);
  if (pfd < 0) {
    if (!task_gone(pfd)) s->doubt = true;
    return HOLDER_UNPROVEN;
  }
  holder_fate fate = HOLDER_UNPROVEN;
  long ino = ns_inode(pfd, "ns/pid");  // a zombie still has it
  if (ino >= 0 && (uint32_t)ino == s->ns) {
    s->ns_seen = true;
    fate = look_at_tasks(pfd, s, true);
  } else if (ino < 0 && !task_gone(ino)) {
    // Not ours to inspect (another user's, or a process that forbids it):
    // its tasks' numbers are still public.
    look_at_tasks(pfd, s, false);
  }
  sys_close(pfd);
  return fate;
}

// Looks for the holder through /proc, in the numbers of whichever namespace
// that /proc shows. The holder exists from before the search began (the lock
// has not moved), and a task does not leave /proc's listing while it exists,
// so not finding it alive among the visible tasks of its namespace proves it
// gone.
__attribute__((noinline)) holder_fate search_proc(uint32_t tid, uint32_t ns) {
  int proc = sys_openat(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY);
  if (proc < 0) return HOLDER_UNPROVEN;
  holder_search s = {tid, ns, false, false};
  // First the process under the holder's own number: it is the holder's when
  // /proc shows the holder's namespace.
  char name[12];
  int d = 0;
  char digits[12];
  for (uint32_t v = tid; v > 0; v /= 10) digits[d++] = (char)('0' + v % 10);
  int n = 0;
  while (d > 0) name[n++] = digits[--d];
  name[n] = '\0';
  holder_fate fate = look_at_process(proc, name, &s);
  alignas(8) char buf[384];
  while (fate == HOLDER_UNPROVEN) {
    long got = raw_syscall3(SYS_getdents64, proc, (long)buf, (long)sizeof buf);
    if (got <= 0) {
      if (got < 0) s.doubt = true;
      break;
    }
    for (long at = 0; at < got && fate == HOLDER_UNPROVEN;) {
      const dirent64_rec* e = reinterpret_cast<const dirent64_rec*>(buf + at);
      at += e->reclen;
      if (is_number(e->name)) fate = look_at_process(proc, e->name, &s);
    }
  }
  if (fate == HOLDER_UNPROVEN && !s.doubt &&
      (s.ns_seen || ns_inode(proc, "1/ns/pid") == (long)kInitialPidNs))
    fate = HOLDER_GONE;
  sys_close(proc);
  return fate;
}

// The holder in the waiter's own namespace, without /proc: a TID that names
// no task is gone; a pidfd of a process tells whether the process has ended
// (a zombie). Unproven for a thread that is not a process's main thread
// (pidfds name processes) or a kernel without pidfds.
holder_fate probe_in_own_ns(uint32_t tid) {
  if (sys_probe_task((int)tid) == -ESRCH) return HOLDER_GONE;
  long fd = raw_syscall3(SYS_pidfd_open, (long)tid, 0, 0);
  if (fd == -EINVAL) return HOLDER_ALIVE;  // a thread, and threads do not linger
  if (fd < 0) return fd == -ESRCH ? HOLDER_GONE : HOLDER_UNPROVEN;
  struct pollfd p = {(int)fd, POLLIN, 0};
  long r = raw_syscall3(SYS_poll, (long)&p, 1, 0);
  sys_close((int)fd);
  if (r < 0) return HOLDER_UNPROVEN;
  return (r > 0 && (p.revents & POLLIN)) ? HOLDER_GONE : HOLDER_ALIVE;
}

__attribute__((noinline, cold)) bool holder_gone(uint64_t holder, uint64_t me) {
  uint32_t tid = word_of(holder) & kLockOwnerMask;
  uint32_t ns = ns_of(holder);
  if (tid == 0 || ns == 0 || ns == kLockNsUnknown) return false;
  holder_fate fate = HOLDER_UNPROVEN;
  if (ns == ns_of(me)) fate = probe_in_own_ns(tid);
  if (fate == HOLDER_UNPROVEN) fate = search_proc(tid, ns);
  return fate == HOLDER_GONE;
}

// Rarely run, but a process that meets the lock taken (its parent writing
// a log record) may be one that only starts and ends.
ZYG_HOT_CODE __attribute__((noinline, cold)) lock_result mutex_lock_slow(futex_mutex* m,
                                                                         uint64_t me,
                                                                         uint64_t seen) {
  for (;;) {
    if (seen == 0) {
      // Whoever takes the lock from here takes it with the waiters flag:
      // other waiters may still sleep on the word and must be woken.
      seen = cas(m, 0, me | kLockWaiters);
      if (seen == 0) return LOCK_TAKEN;
      continue;
    }
    if ((seen & ~(uint64_t)kLockWaiters) == me) return LOCK_REENTERED;
    if (!(seen & kLockWaiters)) {
      uint64_t now = cas(m, seen, seen | kLockWaiters);
      if (now != seen) {
        seen = now;
        continue;
      }
      seen |= kLockWaiters;
    }
    long r = futex_wait_bounded(&m->half.word, word_of(seen));
    uint64_t now = __atomic_load_n(&m->both, __ATOMIC_RELAXED);
    if (r == -ETIMEDOUT && now == seen && holder_gone(seen, me)) {
      // The holder died between lock and unlock. What it protected may be
      // off by its one half-done step; waiting for it would be forever.
      now = cas(m, seen, me | kLockWaiters);
      if (now == seen) return LOCK_RECOVERED;
    }
    seen = now;
  }
}

}  // namespace

uint32_t lock_self_tid() {
  uint64_t id = cached_identity;
  if (__builtin_expect(word_of(id) == 0 || cache_in_doubt(id), 0)) {
    uint32_t tid = (uint32_t)sys_gettid();
    if (tid == word_of(id)) return tid;
    if (word_of(id) != 0) lock_new_process();  // forked by the C library alone
    cached_identity = tid;                     // the namespace stays to be looked up
    return tid;
  }
  return word_of(id);
}

void lock_forget_tid() {
  cached_identity = 0;
  identity_in_question = true;
}

ZYG_HOT_CODE void lock_new_process() {
  cached_identity = 0;
  identity_in_question = false;
  __atomic_store_n(&process_ns_in_question, 1u, __ATOMIC_RELEASE);
}

void lock_new_pthread() {
  long off = __atomic_load_n(&tid_field, __ATOMIC_RELAXED);
  if (off == 0) off = learn_tid_field();
  if (off < 0) return;
  uint32_t ns = __atomic_load_n(&process_ns, __ATOMIC_RELAXED);
  if (ns == 0 || __atomic_load_n(&process_ns_in_question, __ATOMIC_ACQUIRE)) return;
  uint32_t tid;
  __asm__ volatile("movl %%fs:(%1), %0" : "=r"(tid) : "r"(off));
  if (tid != 0) cached_identity = pack(tid, ns);
}

void lock_set_tid_field_for_test(long offset) {
  __atomic_store_n(&tid_field, offset, __ATOMIC_RELAXED);
}

ZYG_HOT_CODE void mutex_init(futex_mutex* m) {
  // A sequentially consistent exchange is the store and the full barrier in
  // one instruction (and, unlike a bare fence, ThreadSanitizer models it).
  __atomic_exchange_n(&m->both, (uint64_t)0, __ATOMIC_SEQ_CST);
}

ZYG_HOT_CODE lock_result mutex_lock(futex_mutex* m) {
  uint64_t me = self_identity();
  uint64_t seen = cas(m, 0, me);
  if (__builtin_expect(seen == 0, 1)) return LOCK_TAKEN;
  return mutex_lock_slow(m, me, seen);
}

ZYG_HOT_CODE void mutex_unlock(futex_mutex* m) {
  if (__atomic_exchange_n(&m->both, (uint64_t)0, __ATOMIC_RELEASE) & kLockWaiters)
    futex_wake(&m->half.word, 1);
}

ZYG_HOT_CODE void cv_init(cond_var* cv) {
  __atomic_store_n(&cv->seq, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&cv->last_seen, 0u, __ATOMIC_RELAXED);
}

void cv_wait(cond_var* cv, futex_mutex* mutex) {
  uint32_t s = __atomic_load_n(&cv->seq, __ATOMIC_RELAXED);
  __atomic_store_n(&cv->last_seen, s, __ATOMIC_RELAXED);
  mutex_unlock(mutex);
  // A signal between the unlock and the wait has already moved the sequence
  // word past s, so the wait returns at once instead of missing it.
  futex_wait_bounded(&cv->seq, s);
  mutex_lock(mutex);
}

namespace {
inline long cv_wake(cond_var* cv, uint32_t count) {
  uint32_t next = __atomic_load_n(&cv->last_seen, __ATOMIC_RELAXED) + 1;
  __atomic_store_n(&cv->seq, next, __ATOMIC_RELEASE);
  return futex_wake(&cv->seq, count);
}
}  // namespace

long cv_broadcast(cond_var* cv) { return cv_wake(cv, 2147483647u); }

}  // namespace zyg

extern "C" __attribute__((visibility("default"))) long cv_signal(void* cv) {
  return zyg::cv_wake(static_cast<zyg::cond_var*>(cv), 1);
}
