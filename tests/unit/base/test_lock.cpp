// The futex mutex and condition variable: exclusion among threads and among
// processes that share a mapping, the lock word's states, and the hand-off
// of the condition variable. Also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/lock.h"

namespace {

using zyg::cond_var;

using zyg::futex_mutex;

// The futex word: the holder's TID and the waiters flag.
uint32_t load(const futex_mutex* m) {
  return (uint32_t)__atomic_load_n(&m->both, __ATOMIC_ACQUIRE);
}

// --- threads ----------------------------------------------------------------

struct counter_state {
  futex_mutex lock;
  long count;  // plain, non-atomic: only the mutex protects it
  int iterations;
};

void* count_up(void* p) {
  auto* s = static_cast<counter_state*>(p);
  for (int i = 0; i < s->iterations; i++) {
    zyg::mutex_lock(&s->lock);
    long v = s->count;
    if ((i & 63) == 0) sched_yield();  // widen the window a lost update would need
    s->count = v + 1;
    zyg::mutex_unlock(&s->lock);
  }
  return nullptr;
}

TEST(Mutex, ThreadsNeverLoseAnIncrement) {
  counter_state s;
  zyg::mutex_init(&s.lock);
  s.count = 0;
  s.iterations = 20000;
  constexpr int kThreads = 8;
  pthread_t t[kThreads];
  for (auto& th : t) ASSERT_EQ(0, pthread_create(&th, nullptr, count_up, &s));
  for (auto& th : t) pthread_join(th, nullptr);
  EXPECT_EQ(kThreads * (long)s.iterations, s.count);
  EXPECT_EQ(0u, load(&s.lock));
}

struct blocked_state {
  futex_mutex lock;
  int entered;
};

void* lock_then_mark(void* p) {
  auto* s = static_cast<blocked_state*>(p);
  zyg::mutex_lock(&s->lock);
  s->entered = 1;
  zyg::mutex_unlock(&s->lock);
  return nullptr;
}

TEST(Mutex, LockWordStates) {
  blocked_state s;
  zyg::mutex_init(&s.lock);
  s.entered = 0;
  const uint32_t me = (uint32_t)gettid();
  EXPECT_EQ(0u, load(&s.lock));
  EXPECT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(&s.lock));
  EXPECT_EQ(me, load(&s.lock)) << "an uncontended lock holds the holder's TID";
  struct stat ns;
  ASSERT_EQ(0, stat("/proc/self/ns/pid", &ns));
  EXPECT_EQ((uint32_t)ns.st_ino, s.lock.half.ns) << "and its PID namespace beside it";
  zyg::mutex_unlock(&s.lock);
  EXPECT_EQ(0u, load(&s.lock));

  // A second locker adds the waiters flag and is woken by the unlock.
  zyg::mutex_lock(&s.lock);
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, lock_then_mark, &s));
  while (load(&s.lock) != (me | zyg::kLockWaiters)) sched_yield();
  EXPECT_EQ(0, s.entered);
  zyg::mutex_unlock(&s.lock);
  pthread_join(t, nullptr);
  EXPECT_EQ(1, s.entered);
  EXPECT_EQ(0u, load(&s.lock));
}

// A signal handler that interrupts the holder and locks again must not wait
// for its own thread.
TEST(Mutex, TheHolderLockingAgainIsRefusedNotBlocked) {
  futex_mutex w;
  zyg::mutex_init(&w);
  ASSERT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(&w));
  EXPECT_EQ(zyg::LOCK_REENTERED, zyg::mutex_lock(&w));
  EXPECT_EQ((uint32_t)gettid(), load(&w)) << "still held by the first lock";
  zyg::mutex_unlock(&w);
  EXPECT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(&w));
  zyg::mutex_unlock(&w);
}

// A new pthread that takes its identity from its descriptor locks under its
// own TID and the process's namespace, and so does one whose C library shows
// no descriptor (it asks the kernel).
class NewPthread : public ::testing::TestWithParam<bool> {};

struct new_pthread_seen {
  futex_mutex* lock;
  uint32_t tid, cached, word, ns;
};

void* adopt_then_lock(void* p) {
  auto* s = static_cast<new_pthread_seen*>(p);
  zyg::lock_new_pthread();
  zyg::mutex_lock(s->lock);
  s->tid = (uint32_t)gettid();
  s->cached = zyg::lock_self_tid();
  s->word = load(s->lock);
  s->ns = s->lock->half.ns;
  zyg::mutex_unlock(s->lock);
  return nullptr;
}

TEST_P(NewPthread, LocksUnderItsOwnIdentity) {
  zyg::lock_set_tid_field_for_test(GetParam() ? 0 : -1);
  futex_mutex w;
  zyg::mutex_init(&w);
  ASSERT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(&w));  // the process's namespace is known now
  const uint32_t main_ns = w.half.ns;
  zyg::mutex_unlock(&w);
  new_pthread_seen s = {&w, 0, 0, 0, 0};
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, adopt_then_lock, &s));
  pthread_join(t, nullptr);
  zyg::lock_set_tid_field_for_test(0);
  EXPECT_NE((uint32_t)getpid(), s.tid);
  EXPECT_EQ(s.tid, s.cached);
  EXPECT_EQ(s.tid, s.word);
  EXPECT_EQ(main_ns, s.ns);
}

INSTANTIATE_TEST_SUITE_P(Descriptor, NewPthread, ::testing::Bool());

// --- processes --------------------------------------------------------------

struct shared_counter {
  futex_mutex lock;
  long count;
};

TEST(Mutex, ProcessesSharingAMappingNeverLoseAnIncrement) {
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  auto* s = static_cast<shared_counter*>(p);
  zyg::mutex_init(&s->lock);
  s->count = 0;
  constexpr int kChildren = 4;
  constexpr int kIterations = 20000;
  pid_t kids[kChildren];
  for (int c = 0; c < kChildren; c++) {
    kids[c] = fork();
    ASSERT_GE(kids[c], 0);
    if (kids[c] == 0) {
      zyg::lock_forget_tid();  // the library's fork does this in every child
      for (int i = 0; i < kIterations; i++) {
        zyg::mutex_lock(&s->lock);
        long v = s->count;
        if ((i & 63) == 0) sched_yield();
        s->count = v + 1;
        zyg::mutex_unlock(&s->lock);
      }
      _exit(0);
    }
  }
  // The parent competes too.
  for (int i = 0; i < kIterations; i++) {
    zyg::mutex_lock(&s->lock);
    s->count = s->count + 1;
    zyg::mutex_unlock(&s->lock);
  }
  for (pid_t k : kids) {
    int status = 0;
    ASSERT_EQ(k, waitpid(k, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_EQ((kChildren + 1) * (long)kIterations, s->count);
  EXPECT_EQ(0u, load(&s->lock));
  munmap(p, 4096);
}

// --- holders that die or stop ------------------------------------------------

struct lock_attempt {
  futex_mutex* word;
  int result;
  int done;
};

void* try_lock(void* p) {
  auto* a = static_cast<lock_attempt*>(p);
  a->result = zyg::mutex_lock(a->word);
  __atomic_store_n(&a->done, 1, __ATOMIC_RELEASE);
  return nullptr;
}

// Waits up to `ms` for the attempt to finish.
bool finished_within(lock_attempt* a, int ms) {
  for (int i = 0; i < ms; i++) {
    if (__atomic_load_n(&a->done, __ATOMIC_ACQUIRE)) return true;
    usleep(1000);
  }
  return __atomic_load_n(&a->done, __ATOMIC_ACQUIRE) != 0;
}

// A child that takes the shared lock and then dies holding it; `reap` says
// whether the parent reaps it first (gone) or leaves it a zombie.
class DeadHolder : public ::testing::TestWithParam<bool> {};

TEST_P(DeadHolder, LockIsTakenOverWithinASecond) {
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  auto* w = static_cast<futex_mutex*>(p);
  zyg::mutex_init(w);
  pid_t kid = fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    zyg::lock_forget_tid();
    zyg::mutex_lock(w);
    raise(SIGKILL);
    _exit(1);
  }
  while (load(w) == 0) usleep(100);
  if (GetParam()) {
    int status;
    ASSERT_EQ(kid, waitpid(kid, &status, 0));
  }
  lock_attempt a = {w, -9, 0};
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, try_lock, &a));
  bool done = finished_within(&a, 3000);
  if (!GetParam()) waitpid(kid, nullptr, 0);
  ASSERT_TRUE(done) << "a dead holder's lock was never recovered";
  pthread_join(t, nullptr);
  EXPECT_EQ(zyg::LOCK_RECOVERED, a.result);
  zyg::mutex_unlock(w);
  EXPECT_EQ(0u, load(w));
  munmap(p, 4096);
}

INSTANTIATE_TEST_SUITE_P(ReapedOrZombie, DeadHolder, ::testing::Values(true, false));

uint32_t own_pid_ns() {
  struct stat st;
  return stat("/proc/self/ns/pid", &st) == 0 ? (uint32_t)st.st_ino : 0;
}

// A forked child of a process that made a new PID namespace runs in that
// namespace: it must lock under its own namespace, not the one its parent
// had cached (a TID of the new namespace read in the old one names another
// task, or none).
TEST(Mutex, AChildInANewPidNamespaceLocksUnderItsOwnNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "unshare(CLONE_NEWPID) needs root";
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  auto* w = static_cast<futex_mutex*>(p);
  auto* child_ns = reinterpret_cast<uint32_t*>(w + 1);
  zyg::mutex_init(w);
  ASSERT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(w));  // the parent's namespace is cached now
  ASSERT_EQ(own_pid_ns(), w->half.ns);
  zyg::mutex_unlock(w);
  pid_t helper = fork();  // makes the namespace, so that this process keeps its own
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    zyg::lock_new_process();
    if (unshare(CLONE_NEWPID) != 0) _exit(2);
    pid_t kid = fork();
    if (kid == 0) {
      zyg::lock_new_process();
      *child_ns = own_pid_ns();
      zyg::mutex_lock(w);
      _exit(0);
    }
    int status = 0;
    waitpid(kid, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
  }
  int status = 0;
  ASSERT_EQ(helper, waitpid(helper, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_NE(own_pid_ns(), *child_ns);
  EXPECT_EQ(1u, load(w) & zyg::kLockOwnerMask) << "the first process of the namespace";
  EXPECT_EQ(*child_ns, w->half.ns);
  munmap(p, 4096);
}

// A child the C library makes without the library's fork (daemon() forks
// so; in this test program every fork does) inherits the cache of the
// thread that forked it; a vfork child shares that thread's descriptor. Each
// locks under its own TID, whether the lock reads the C library's thread
// descriptor or, without one, asks the kernel.
enum class child_kind { FORK_LOCKS_FIRST, FORK_ASKS_TID_FIRST, VFORK };

class UnseenChild : public ::testing::TestWithParam<std::tuple<child_kind, bool>> {};

TEST_P(UnseenChild, LocksUnderItsOwnTid) {
  const child_kind kind = std::get<0>(GetParam());
  zyg::lock_set_tid_field_for_test(std::get<1>(GetParam()) ? 0 : -1);
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  auto* w = static_cast<futex_mutex*>(p);
  auto* seen_tid = reinterpret_cast<volatile uint32_t*>(w + 1);
  zyg::mutex_init(w);
  ASSERT_EQ(zyg::LOCK_TAKEN, zyg::mutex_lock(w));  // this thread's identity is cached now
  zyg::mutex_unlock(w);
  pid_t kid;
  if (kind == child_kind::VFORK) {
    kid = vfork();
    if (kid == 0) {
      zyg::lock_forget_tid();  // what the library's vfork does in the child
      zyg::mutex_lock(w);
      *seen_tid = zyg::lock_self_tid();
      _exit(0);
    }
    zyg::lock_forget_tid();  // and in the parent once the child has left
  } else {
    kid = fork();
    if (kid == 0) {
      if (kind == child_kind::FORK_ASKS_TID_FIRST) *seen_tid = zyg::lock_self_tid();
      zyg::mutex_lock(w);
      if (kind == child_kind::FORK_LOCKS_FIRST) *seen_tid = zyg::lock_self_tid();
      _exit(0);
    }
  }
  ASSERT_GT(kid, 0);
  int status = 0;
  ASSERT_EQ(kid, waitpid(kid, &status, 0));
  EXPECT_EQ((uint32_t)kid, load(w) & zyg::kLockOwnerMask);
  EXPECT_EQ((uint32_t)kid, *seen_tid);
  EXPECT_EQ((uint32_t)getpid(), zyg::lock_self_tid()) << "the parent keeps its own";
  zyg::lock_set_tid_field_for_test(0);
  munmap(p, 4096);
}

INSTANTIATE_TEST_SUITE_P(Children, UnseenChild,
                         ::testing::Combine(::testing::Values(child_kind::FORK_LOCKS_FIRST,
                                                              child_kind::FORK_ASKS_TID_FIRST,
                                                              child_kind::VFORK),
                                            ::testing::Bool()));

TEST(Mutex, AStoppedHolderIsWaitedForNotRobbed) {
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  auto* w = static_cast<futex_mutex*>(p);
  zyg::mutex_init(w);
  pid_t kid = fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    zyg::lock_forget_tid();
    zyg::mutex_lock(w);
    raise(SIGSTOP);
    zyg::mutex_unlock(w);
    _exit(0);
  }
  int status;
  ASSERT_EQ(kid, waitpid(kid, &status, WUNTRACED));
  ASSERT_TRUE(WIFSTOPPED(status));
  lock_attempt a = {w, -9, 0};
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, try_lock, &a));
  // Several times the waiters' bound: the stopped holder keeps its lock.
  EXPECT_FALSE(finished_within(&a, 5 * zyg::kLockWaitMs));
  EXPECT_EQ((uint32_t)kid, load(w) & zyg::kLockOwnerMask);
  kill(kid, SIGCONT);
  ASSERT_TRUE(finished_within(&a, 3000));
  pthread_join(t, nullptr);
  EXPECT_EQ(zyg::LOCK_TAKEN, a.result);
  zyg::mutex_unlock(w);
  ASSERT_EQ(kid, waitpid(kid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  munmap(p, 4096);
}

// --- condition variable -----------------------------------------------------

struct pingpong {
  futex_mutex lock;
  cond_var to_a, to_b;
  int turn;  // 0: A's move, 1: B's move
  int rounds;
  int moves_a, moves_b;
};

void* player_b(void* p) {
  auto* s = static_cast<pingpong*>(p);
  for (int r = 0; r < s->rounds; r++) {
    zyg::mutex_lock(&s->lock);
    while (s->turn != 1) zyg::cv_wait(&s->to_b, &s->lock);
    s->moves_b++;
    s->turn = 0;
    zyg::mutex_unlock(&s->lock);
    cv_signal(&s->to_a);
  }
  return nullptr;
}

TEST(CondVar, SignalHandsOffBetweenTwoThreads) {
  pingpong s;
  zyg::mutex_init(&s.lock);
  zyg::cv_init(&s.to_a);
  zyg::cv_init(&s.to_b);
  s.turn = 0;
  s.rounds = 5000;
  s.moves_a = s.moves_b = 0;
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, player_b, &s));
  for (int r = 0; r < s.rounds; r++) {
    zyg::mutex_lock(&s.lock);
    while (s.turn != 0) zyg::cv_wait(&s.to_a, &s.lock);
    EXPECT_EQ(s.moves_a, s.moves_b);
    s.moves_a++;
    s.turn = 1;
    zyg::mutex_unlock(&s.lock);
    cv_signal(&s.to_b);
  }
  pthread_join(t, nullptr);
  EXPECT_EQ(s.rounds, s.moves_a);
  EXPECT_EQ(s.rounds, s.moves_b);
}

struct gate {
  futex_mutex lock;
  cond_var cv;
  int open;
  int waiting;
  int passed;
};

void* wait_at_gate(void* p) {
  auto* g = static_cast<gate*>(p);
  zyg::mutex_lock(&g->lock);
  g->waiting++;
  while (!g->open) zyg::cv_wait(&g->cv, &g->lock);
  g->passed++;
  zyg::mutex_unlock(&g->lock);
  return nullptr;
}

TEST(CondVar, BroadcastReleasesEveryWaiter) {
  gate g;
  zyg::mutex_init(&g.lock);
  zyg::cv_init(&g.cv);
  g.open = g.waiting = g.passed = 0;
  constexpr int kWaiters = 6;
  pthread_t t[kWaiters];
  for (auto& th : t) ASSERT_EQ(0, pthread_create(&th, nullptr, wait_at_gate, &g));
  for (;;) {  // all of them inside cv_wait (or about to be)
    zyg::mutex_lock(&g.lock);
    int w = g.waiting;
    zyg::mutex_unlock(&g.lock);
    if (w == kWaiters) break;
    sched_yield();
  }
  zyg::mutex_lock(&g.lock);
  EXPECT_EQ(0, g.passed);
  g.open = 1;
  zyg::mutex_unlock(&g.lock);
  zyg::cv_broadcast(&g.cv);
  for (auto& th : t) pthread_join(th, nullptr);
  EXPECT_EQ(kWaiters, g.passed);
}

struct sleeper {
  futex_mutex lock;
  cond_var cv;
  int done;
};

void* sleep_until_done(void* p) {
  auto* s = static_cast<sleeper*>(p);
  zyg::mutex_lock(&s->lock);
  while (!s->done) zyg::cv_wait(&s->cv, &s->lock);
  zyg::mutex_unlock(&s->lock);
  return nullptr;
}

TEST(CondVar, SignalReturnsTheNumberOfWokenWaiters) {
  sleeper s;
  zyg::mutex_init(&s.lock);
  zyg::cv_init(&s.cv);
  s.done = 0;
  EXPECT_EQ(0, cv_signal(&s.cv)) << "nobody waits";
  pthread_t t;
  ASSERT_EQ(0, pthread_create(&t, nullptr, sleep_until_done, &s));
  // Signal until one signal finds the waiter asleep in the kernel; every
  // wake before that is a spurious return the waiter's loop absorbs.
  long woken;
  while ((woken = cv_signal(&s.cv)) == 0) sched_yield();
  EXPECT_EQ(1, woken);
  zyg::mutex_lock(&s.lock);
  s.done = 1;
  zyg::mutex_unlock(&s.lock);
  zyg::cv_broadcast(&s.cv);
  pthread_join(t, nullptr);
  EXPECT_EQ(0, cv_signal(&s.cv));
}

}  // namespace
