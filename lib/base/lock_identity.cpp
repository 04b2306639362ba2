// lock_identity.cpp - the calling thread's identity for the futex mutex:
// its TID as the C library keeps it for the thread, and its PID namespace
// (base/lock_identity.h). A new task forgets what the task that made it had
// cached (lock_forget_tid, lock_new_process, lock_new_pthread in base/lock.h).
#include "base/lock_identity.h"

#include <fcntl.h>

#include "base/lock.h"
#include "base/lock_holder.h"
#include "base/sys.h"

// The C library's description of where its thread descriptor keeps the TID
// (bits, count, offset from the thread pointer), which it publishes for
// debuggers as _thread_db_pthread_tid. Weak, so that a C library without it
// leaves the address null; unversioned, so that the library asks for no
// version of the C library's private ones.
extern "C" __attribute__((weak)) const uint32_t kCLibraryTidField[3];
__asm__(".symver kCLibraryTidField, _thread_db_pthread_tid@");

namespace zyg {
namespace lock_detail {

__thread uint64_t cached_identity;
long tid_field;

namespace {

// Set by lock_forget_tid: the thread is perhaps a child sharing its parent's
// memory, whose namespace must not come from (nor go into) the process's.
__thread bool identity_in_question;
// The process's PID namespace; 0 until looked up.
uint32_t process_ns;
// Set by lock_new_process: the process's namespace is its parent's unless
// the parent is invisible to it (checked at its first lock).
uint32_t process_ns_in_question;

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

}  // namespace

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

// The cache and the descriptor disagree: a child the C library forked
// without us, still holding its parent's cache; or a child that shares its
// parent's descriptor (vfork) and whose cache, its own TID, is right. The
// kernel tells which.
ZYG_HOT_CODE __attribute__((noinline, cold)) uint64_t recheck_identity(uint64_t id) {
  if (word_of(id) != 0 && (uint32_t)sys_gettid() != word_of(id)) lock_new_process();
  id = cached_identity;
  return ns_of(id) == 0 ? resolve_identity() : id;
}

}  // namespace lock_detail

using namespace lock_detail;

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

}  // namespace zyg
