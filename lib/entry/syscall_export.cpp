// syscall_export.cpp - the exported syscall.
//
// The C library declares syscall(long number, ...). On x86-64 a variadic
// call passes its integer arguments exactly as a call with six fixed ones
// does (registers, then the stack), so syscall is defined here with fixed
// arguments, as the C library's own assembly does: a number we do not act
// on then costs a compare and the system call, with no argument list to
// walk. The kernel takes at most six arguments, each at full width. This
// file includes none of the C library's declarations of syscall.
#include <errno.h>

#include "base/os.h"
#include "base/sys.h"
#include "entry/syscall_export.h"

extern "C" __attribute__((visibility("default"))) long syscall(long number, long a1, long a2,
                                                               long a3, long a4, long a5,
                                                               long a6) noexcept {
  switch (number) {
    case SYS_clone:
    case SYS_clone3:
    case SYS_fork:
    case SYS_vfork:
    case SYS_execve:
    case SYS_execveat:
    case SYS_exit:
    case SYS_exit_group: {
      // Handed over in our own frame: a call that reused our incoming
      // argument area would write where a caller that passed fewer
      // arguments keeps its own data.
      const long args[6] = {a1, a2, a3, a4, a5, a6};
      return zyg::entry_syscall_routed(number, args);
    }
    case SYS_set_mempolicy:
      // The application's own policy: what this thread knew of its policy
      // no longer holds.
      zyg::os_mempolicy_forget();
      break;
    default:
      break;
  }
  // The system call itself, made the way the C library's syscall makes it:
  // the result, or -1 with errno.
  long r = zyg::raw_syscall6(number, a1, a2, a3, a4, a5, a6);
  if ((unsigned long)r > -4096UL) {
    errno = (int)-r;
    return -1;
  }
  return r;
}
