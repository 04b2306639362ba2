// Threads made by clone: the creator gets back the errno the C library's
// clone left, as from any interposed call.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/real.h"
#include "core/state.h"
#include "fake_ldata.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"

using zyg_test::FakeLdata;

namespace {

volatile int ran;

int thread_body(void*) {
  __atomic_store_n(&ran, 1, __ATOMIC_SEQ_CST);
  return 0;
}

// Waits until the kernel clears *tid at the thread's end.
void wait_cleared(volatile pid_t* tid) {
  for (;;) {
    pid_t v = __atomic_load_n(tid, __ATOMIC_SEQ_CST);
    if (v == 0) return;
    syscall(SYS_futex, tid, FUTEX_WAIT, v, nullptr, nullptr, 0);
  }
}

TEST(CloneThread, SuccessLeavesTheCallersErrno) {
  // No thread policy: the new thread runs the function where it is.
  FakeLdata d{{{0, {0}}}, zyg::KIND_NONE, zyg::SCOPE_FLAT, zyg::KIND_NONE, zyg::SCOPE_FLAT, false};
  ASSERT_EQ(zyg::clone_arg_init(zyg::CLONE_ARG_START_UP), 0);
  zyg::ensure_resolved(zyg::GROUP_CLONE);
  zyg::main_thread_handled = 1;

  const size_t stack_size = 256 * 1024;
  void* stack = mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
  ASSERT_NE(stack, MAP_FAILED);
  volatile pid_t tid = 0;
  const int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                    CLONE_SYSVSEM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
  ran = 0;
  errno = 4321;
  int r = zyg::clone_thread(thread_body, static_cast<char*>(stack) + stack_size, flags, nullptr,
                            const_cast<pid_t*>(&tid), nullptr, const_cast<pid_t*>(&tid));
  int err = errno;
  ASSERT_GT(r, 0);
  wait_cleared(&tid);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(err, 4321) << "errno after a successful clone";
  zyg::main_thread_handled = 0;
  munmap(stack, stack_size);
}

}  // namespace
