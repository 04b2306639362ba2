// lock_holder.cpp - is the holder of a futex mutex gone? (base/lock_holder.h)
//
// A TID means something only in the PID namespace recorded with it. In the
// waiter's own namespace the kernel answers for the TID (and a pidfd tells a
// zombie from a living process); in any namespace /proc may show the
// holder's namespace, whose tasks are then searched by their own numbers
// there. Whatever cannot be proven counts as alive: the waiter waits on.
// Raw system calls only (base/sys.h): this runs inside the lock's slow path,
// in forked children before user code and in signal handlers.
#include "base/lock_holder.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include "base/layout.h"
#include "base/lock.h"
#include "base/lock_identity.h"
#include "base/sys.h"

namespace zyg {
namespace lock_detail {

namespace {

constexpr uint32_t kInitialPidNs = 0xEFFFFFFCu;  // the kernel's PROC_PID_INIT_INO

inline long sys_fstatat(int dir, const char* path, struct stat* st) {
  return raw_syscall6(SYS_newfstatat, dir, (long)path, (long)st, 0, 0, 0);
}
inline int sys_openat(int dir, const char* path, int flags) {
  return (int)raw_syscall6(SYS_openat, dir, (long)path, flags | O_CLOEXEC, 0, 0, 0);
}
inline void sys_close(int fd) { raw_syscall3(SYS_close, fd, 0, 0); }

}  // namespace

ZYG_HOT_CODE long ns_inode(int dir, const char* path) {
  struct stat st;
  long r = sys_fstatat(dir, path, &st);
  if (r < 0) return r;
  return (long)(uint32_t)st.st_ino == (long)st.st_ino ? (long)st.st_ino : -EOVERFLOW;
}

namespace {

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

}  // namespace

__attribute__((noinline, cold)) bool holder_gone(uint64_t holder, uint64_t me) {
  uint32_t tid = word_of(holder) & kLockOwnerMask;
  uint32_t ns = ns_of(holder);
  if (tid == 0 || ns == 0 || ns == kLockNsUnknown) return false;
  holder_fate fate = HOLDER_UNPROVEN;
  if (ns == ns_of(me)) fate = probe_in_own_ns(tid);
  if (fate == HOLDER_UNPROVEN) fate = search_proc(tid, ns);
  return fate == HOLDER_GONE;
}

}  // namespace lock_detail
}  // namespace zyg
