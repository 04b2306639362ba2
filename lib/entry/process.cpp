// process.cpp - the exported fork and vfork.
//
// vfork is made by the vfork system call itself, in a few instructions of
// assembly: the child runs on the parent's stack until it execs or ends, so
// nothing the parent still needs after the call may live there. The return
// address is popped into a register before the call and pushed back after it
// (the kernel gives both processes the registers of the moment of the call),
// and the library's steps run in calls of their own on either side: the
// placement is chosen before, the child binds itself and returns to the
// application, and the parent, once the child exec'd or ended, takes back
// what the child left on its thread. Two words carry the plan from one side
// to the other in registers: nothing the child does can change them.
#include <stdint.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/lock.h"
#include "base/scratch.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/membership.h"
#include "entry/entry.h"
#include "exec/env.h"
#include "placement/create.h"
#include "placement/policy.h"

namespace zyg {

namespace {

// What the children of a fork would otherwise each make for themselves, made
// once here: the environment entries an exec hands on.
void prepare_fork() {
  if (ld.hdr != nullptr) build_launch_env_entries();
}

}  // namespace

ZYG_HOT_CODE pid_t entry_fork() {
  entry_resolve(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE fork() PRINTF\n");
  if (!entry_started()) return real.fork();
  prepare_fork();
  return fork_placed(REC_FORK_START, false);
}

// syscall(SYS_vfork): the C library's syscall returns through a frame the
// child would share, so the process is made by fork.
pid_t entry_vfork() {
  entry_resolve(GROUP_VFORK);
  entry_resolve(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE vfork() PRINTF\n");
  if (!entry_started()) return real.fork();
  prepare_fork();
  return fork_placed(REC_VFORK_START, true);
}

}  // namespace zyg

ZYG_EXPORT ZYG_HOT_CODE pid_t fork() noexcept { return zyg::entry_fork(); }

#if defined(__x86_64__)

namespace {

// Word a: kVforkPlaced, the policy kind in bits 8-15, the thread's vfork
// depth before the call in bits 32-63. Word b: node (low half), CPU (high).
constexpr uint64_t kVforkPlaced = 1;

struct vfork_words {
  uint64_t a;
  uint64_t b;
};

}  // namespace

// The parent, before the system call: returned in rax:rdx.
extern "C" __attribute__((visibility("hidden"), used)) vfork_words zyg_vfork_before() noexcept {
  using namespace zyg;
  errno_guard keep;
  vfork_words w = {(uint64_t)vfork_depth() << 32, 0};
  entry_resolve(GROUP_VFORK);
  if (launching_off()) return w;
  ZYG_TRACE("THIS IS THE vfork() PRINTF\n");
  if (!entry_started()) return w;
  launch_choice c = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", c.unit, c.cpu);
  ZYG_TRACE("Calling the real vfork()\n");
  w.a |= kVforkPlaced | ((uint64_t)(uint8_t)c.kind << 8);
  w.b = (uint64_t)(uint32_t)c.unit | ((uint64_t)(uint32_t)c.cpu << 32);
  return w;
}

// The child, on the parent's stack below the caller's frame and on the
// vforking thread's storage.
extern "C" __attribute__((visibility("hidden"), used)) void zyg_vfork_child(uint64_t a,
                                                                            uint64_t b) noexcept {
  using namespace zyg;
  errno_guard keep;
  vfork_child_begin();
  lock_forget_tid();  // the cached TID is the parent thread's
  if (a & kVforkPlaced) vfork_child_start((int)(uint32_t)b, (int)(uint32_t)(b >> 32));
}

// The parent, once the child exec'd or ended; `result` is the system call's.
extern "C" __attribute__((visibility("hidden"), used)) pid_t zyg_vfork_after(long result,
                                                                             uint64_t a,
                                                                             uint64_t b) noexcept {
  using namespace zyg;
  {
    errno_guard keep;
    member_vfork_resumed((uint32_t)(a >> 32));
    lock_forget_tid();
  }
  if (a & kVforkPlaced) {
    return vfork_finish(result, (int)(uint32_t)b, (int)(uint32_t)(b >> 32), (int)((a >> 8) & 0xff));
  }
  if (result < 0) {
    errno = (int)-result;
    return -1;
  }
  return (pid_t)result;
}

// On entry rsp is 8 below a 16-byte boundary (the caller's call pushed the
// return address); each inner call is made from a 16-byte boundary.
__asm__(
    ".text\n"
    ".globl vfork\n"
    ".type vfork, @function\n"
    ".p2align 4\n"
    "vfork:\n"
    "  .cfi_startproc\n"
    "  subq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  call zyg_vfork_before\n"
    "  addq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  movq %rax, %rsi\n"
    // The return address leaves the stack the child will share.
    "  popq %rdi\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  .cfi_register %rip, %rdi\n"
    "  movl $58, %eax\n"  // __NR_vfork
    "  syscall\n"
    "  pushq %rdi\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  .cfi_rel_offset %rip, 0\n"
    "  testq %rax, %rax\n"
    "  jnz 1f\n"
    "  movq %rsi, %rdi\n"
    "  movq %rdx, %rsi\n"
    "  subq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  call zyg_vfork_child\n"
    "  addq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  xorl %eax, %eax\n"
    "  ret\n"
    "1:\n"
    "  movq %rax, %rdi\n"
    "  subq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  call zyg_vfork_after\n"
    "  addq $8, %rsp\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  ret\n"
    "  .cfi_endproc\n"
    ".size vfork, .-vfork\n");

#else

// Elsewhere the process is made by fork: the child gets a copy of the
// parent's memory instead of sharing it.
ZYG_EXPORT pid_t vfork() noexcept { return zyg::entry_vfork(); }

#endif
