// sys.h - raw Linux system calls for the library's own use.
//
// The library exports its own `syscall`, `fork`, `exit` ... so it must never
// reach the kernel through those names itself. These inline wrappers issue the
// system call instruction directly; they allocate nothing, touch no libc state
// and are async-signal-safe, so they may be used in a forked child before user
// code runs. Results follow the kernel convention, which is all of base's
// (errors.h): a negative errno on failure (errno is NOT set).
#pragma once

#include <stdint.h>
#include <sys/syscall.h>

#include "base/layout.h"

namespace zyg {

// The kernel's directory record, as getdents64 returns it.
struct dirent64_rec {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

inline long raw_syscall6(long n, long a1, long a2, long a3, long a4, long a5, long a6) {
  long ret;
  register long r10 __asm__("r10") = a4;
  register long r8 __asm__("r8") = a5;
  register long r9 __asm__("r9") = a6;
  __asm__ volatile("syscall"
                   : "=a"(ret)
                   : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return ret;
}
inline long raw_syscall3(long n, long a1, long a2, long a3) {
  return raw_syscall6(n, a1, a2, a3, 0, 0, 0);
}

inline long sys_gettid() { return raw_syscall3(SYS_gettid, 0, 0, 0); }
ZYG_HOT_INLINE int sys_getpid() { return (int)raw_syscall3(SYS_getpid, 0, 0, 0); }
inline int sys_getppid() { return (int)raw_syscall3(SYS_getppid, 0, 0, 0); }

// futex on a word that may live in memory shared between processes
// (no FUTEX_PRIVATE_FLAG: the kernel keys private futexes by address space).
inline long sys_futex(uint32_t* word, int op, uint32_t val) {
  return raw_syscall6(SYS_futex, (long)word, op, (long)val, 0, 0, 0);
}

// FUTEX_WAIT with a relative timeout; -ETIMEDOUT when it ran out.
inline long sys_futex_wait_for(uint32_t* word, uint32_t val, const void* timeout) {
  return raw_syscall6(SYS_futex, (long)word, 0 /* FUTEX_WAIT */, (long)val, (long)timeout, 0, 0);
}

// The few file calls of start-up in an exec'd program (attaching the launch
// data): through the C library they would cost every program the pages of
// the C library's code they sit on, and fstat there reads an empty path
// string from another page (newfstatat(fd, "", AT_EMPTY_PATH)).
inline long sys_stat_path(const char* path, void* st) {
  return raw_syscall6(SYS_newfstatat, -100 /* AT_FDCWD */, (long)path, (long)st, 0, 0, 0);
}
inline long sys_fstat_fd(int fd, void* st) { return raw_syscall3(SYS_fstat, fd, (long)st, 0); }
inline long sys_open_path(const char* path, int flags) {
  return raw_syscall6(SYS_openat, -100 /* AT_FDCWD */, (long)path, flags, 0, 0, 0);
}
ZYG_HOT_INLINE long sys_close_fd(int fd) { return raw_syscall3(SYS_close, fd, 0, 0); }
// A shared mapping of a whole file: its address, or a negative errno. A
// file of up to kPopulateBytes has its pages mapped by the call itself
// (MAP_POPULATE): the one trap the first read would take costs more than the
// kernel's mapping of a few pages that are in memory anyway.
inline constexpr unsigned long kPopulateBytes = 65536;
inline long sys_map_shared(int fd, unsigned long size, int prot) {
  const long flags =
      0x01 /* MAP_SHARED */ | (size <= kPopulateBytes ? 0x8000 /* MAP_POPULATE */ : 0);
  return raw_syscall6(SYS_mmap, 0, (long)size, prot, flags, fd, 0);
}
inline long sys_unmap(void* addr, unsigned long size) {
  return raw_syscall3(SYS_munmap, (long)addr, (long)size, 0);
}

// kill(tid, 0): 0 while the task exists, -ESRCH once it is gone.
inline long sys_probe_task(int tid) { return raw_syscall3(SYS_kill, tid, 0, 0); }

[[noreturn]] inline void sys_exit_group(int status) {
  for (;;) raw_syscall3(SYS_exit_group, status, 0, 0);
}

}  // namespace zyg
