// Membership: lib_loaded_cnt drops once per process, whatever the number of
// threads, exit paths and execs in flight, a forked child is counted on its
// own; and the placement mark names the process that is placed.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/membership.h"
#include "fake_ldata.h"

using zyg_test::FakeLdata;

namespace {

struct Termination : ::testing::Test {
  FakeLdata d{{{0, {0}}}, 1, 11, 0, 10, false};
  void SetUp() override {
    zyg::lib_loaded_rearm();
    d.hdr()->lib_loaded_cnt = 5;
  }
  void TearDown() override { zyg::lib_loaded_rearm(); }
};

}  // namespace

TEST_F(Termination, ProcessIsCountedOutOnceEvenWhenManyThreadsRace) {
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  for (int i = 0; i < 16; i++)
    ts.emplace_back([&] {
      while (!go.load()) {
      }
      for (int k = 0; k < 100; k++) zyg::lib_loaded_decrement();
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
  EXPECT_TRUE(zyg::counted_out(getpid()));
}

TEST_F(Termination, IncrementCountsInAndRearmsTheMarker) {
  zyg::lib_loaded_decrement();
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
  zyg::lib_loaded_increment();
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 5);
  EXPECT_FALSE(zyg::counted_out(getpid()));
  zyg::lib_loaded_decrement();
  zyg::lib_loaded_decrement();
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
}

TEST_F(Termination, TakeBackLowersTheCountWithoutTouchingTheMarker) {
  zyg::lib_loaded_take_back();
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
  EXPECT_FALSE(zyg::counted_out(getpid()));
  zyg::lib_loaded_decrement();  // this process is still counted out later
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 3);
  zyg::lib_loaded_take_back();
  EXPECT_TRUE(zyg::counted_out(getpid()));
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 2);
}

TEST_F(Termination, ForkedChildIsCountedOutIndependentlyOfItsParent) {
  // The counter must be shared with the child as in the real data file.
  auto* shared = static_cast<int32_t*>(
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  zyg::ldata_hdr* real_hdr = zyg::ld.hdr;
  // Put the header copy in shared memory: only lib_loaded_cnt is used here.
  auto* h = reinterpret_cast<zyg::ldata_hdr*>(shared);
  static_assert(sizeof(zyg::ldata_hdr) <= 4096);
  *h = *real_hdr;
  h->lib_loaded_cnt = 1;
  zyg::ld.hdr = h;

  zyg::lib_loaded_decrement();  // the parent was counted out before the fork
  ASSERT_EQ(h->lib_loaded_cnt, 0);
  pid_t pid = fork();
  if (pid == 0) {
    // Child: inherited the parent's marker; creation counts it in.
    zyg::lib_loaded_increment();
    zyg::lib_loaded_decrement();
    zyg::lib_loaded_decrement();
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(h->lib_loaded_cnt, 0);  // +1 and -1 in the child
  EXPECT_TRUE(zyg::counted_out(getpid()));

  // Even without re-arming, the inherited marker holds the parent's pid, not
  // the child's, so the child still counts itself out, once.
  h->lib_loaded_cnt = 1;
  pid = fork();
  if (pid == 0) {
    zyg::lib_loaded_decrement();
    zyg::lib_loaded_decrement();
    _exit(0);
  }
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_EQ(h->lib_loaded_cnt, 0);

  zyg::ld.hdr = real_hdr;
  munmap(shared, 4096);
}

TEST_F(Termination, NoLaunchDataMeansNothingToCount) {
  zyg::ldata_hdr* h = zyg::ld.hdr;
  zyg::ld.hdr = nullptr;
  zyg::lib_loaded_increment();
  zyg::lib_loaded_decrement();
  zyg::lib_loaded_take_back();
  zyg::ld.hdr = h;
  EXPECT_EQ(h->lib_loaded_cnt, 5);
  EXPECT_TRUE(zyg::counted_out(getpid()));
}

namespace {

// A process that shares its parent's memory (clone with CLONE_VM, without
// CLONE_THREAD): it is counted in and ends while its parent goes on.
int vm_child(void*) {
  zyg::lib_loaded_increment();
  zyg::lib_loaded_decrement();
  zyg::lib_loaded_decrement();
  return 0;
}

}  // namespace

TEST_F(Termination, ProcessesSharingMemoryAreEachCountedOutOnce) {
  auto* shared = static_cast<zyg::ldata_hdr*>(
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  zyg::ldata_hdr* real_hdr = zyg::ld.hdr;
  *shared = *real_hdr;
  shared->lib_loaded_cnt = 1;
  zyg::ld.hdr = shared;

  // The parent is counted out first (exit() on its way out), then the child
  // ends, then the parent's finaliser asks again whether it was counted out.
  zyg::lib_loaded_decrement();
  ASSERT_EQ(shared->lib_loaded_cnt, 0);
  const size_t size = 256 * 1024;
  char* stack = static_cast<char*>(malloc(size));
  pid_t pid = clone(vm_child, stack + size, CLONE_VM | SIGCHLD, nullptr);
  ASSERT_GT(pid, 0);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  free(stack);
  EXPECT_EQ(shared->lib_loaded_cnt, 0) << "the child: +1 and -1";
  EXPECT_TRUE(zyg::counted_out(getpid())) << "the child's end did not take the parent's mark";
  zyg::lib_loaded_decrement();
  EXPECT_EQ(shared->lib_loaded_cnt, 0);

  zyg::ld.hdr = real_hdr;
  munmap(shared, 4096);
}

// Execs of several threads at once, all failing: the process is counted out
// while any is in flight and back in once the last one failed, so the count
// ends where it began.
TEST_F(Termination, ConcurrentFailingExecsLeaveTheCountAsItWas) {
  const int pid = getpid();
  std::atomic<bool> go{false};
  std::atomic<int> out_seen{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; i++)
    ts.emplace_back([&] {
      while (!go.load()) {
      }
      for (int k = 0; k < 2000; k++) {
        zyg::exec_count c = zyg::member_exec_begin(pid);
        // While this exec is in flight the process is out of the count.
        if (d.hdr()->lib_loaded_cnt != 4 || !zyg::counted_out(pid)) out_seen++;
        zyg::member_exec_failed(c);
      }
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(out_seen.load(), 0);
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 5);
  EXPECT_FALSE(zyg::counted_out(pid));
}

// A process already counted out (its exit under way, or one a raw clone
// made, which was never counted) is neither counted out nor back in by an
// exec that fails.
TEST_F(Termination, ExecOfAProcessOutOfTheCountChangesNothing) {
  const int pid = getpid();
  zyg::lib_loaded_decrement();
  ASSERT_EQ(d.hdr()->lib_loaded_cnt, 4);
  zyg::exec_count c = zyg::member_exec_begin(pid);
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
  zyg::member_exec_failed(c);
  EXPECT_EQ(d.hdr()->lib_loaded_cnt, 4);
  EXPECT_TRUE(zyg::counted_out(pid));
}

// --- the placement mark -----------------------------------------------------

namespace {

struct MarkCase {
  const char* name;
  const char* mark;
  int pid;
  int ppid;
  bool placed;
};

class Mark : public ::testing::TestWithParam<MarkCase> {
 protected:
  FakeLdata d{{{0, {0}}}, 1, 11, 0, 10, false};
};

}  // namespace

TEST_P(Mark, NamesThePlacedProcessOnly) {
  const MarkCase& c = GetParam();
  // The spawn of serial 7 made process 300 (recorded), serial 8's child is
  // not recorded yet.
  zyg::member_spawn_record(7, 300);
  EXPECT_EQ(zyg::member_marked_placed(c.mark, c.pid, c.ppid), c.placed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mark,
    ::testing::Values(MarkCase{"exec_of_the_process", "123", 123, 1, true},
                      // A static program's fork child, a Go program's raw child: the
                      // exec mark never passes to another process.
                      MarkCase{"child_of_the_named_process", "123", 124, 123, false},
                      MarkCase{"spawned_child_recorded", "100:7", 300, 1, true},
                      MarkCase{"other_child_of_recorded_spawn", "100:7", 301, 300, false},
                      MarkCase{"spawned_child_not_yet_recorded", "100:8", 302, 100, true},
                      MarkCase{"orphan_not_recorded", "100:8", 302, 1, false},
                      MarkCase{"no_mark", nullptr, 5, 1, false}, MarkCase{"empty", "", 5, 1, false},
                      MarkCase{"not_a_number", "abc", 5, 1, false},
                      MarkCase{"no_serial", "100:", 100, 1, false},
                      MarkCase{"serial_not_a_number", "100:x", 5, 100, false},
                      MarkCase{"negative", "-5", -5, 1, false},
                      MarkCase{"trailing", "123 ", 123, 1, false}),
    [](const ::testing::TestParamInfo<MarkCase>& i) { return std::string(i.param.name); });

TEST(MarkEntry, Format) {
  char buf[zyg::kMarkEntrySize];
  zyg::member_mark_entry(buf, sizeof buf, 4242, 0);
  EXPECT_STREQ("ZYG_LAUNCH_PLACED_BY=4242", buf);
  zyg::member_mark_entry(buf, sizeof buf, 4242, 4000000000u);
  EXPECT_STREQ("ZYG_LAUNCH_PLACED_BY=4242:4000000000", buf);
}

// A raw clone's child was not placed: an exec of it marks nothing.
TEST(MarkEntry, RawCloneChildIsNotPlaced) {
  EXPECT_TRUE(zyg::member_process_placed(777));
  zyg::member_raw_clone_child(777);
  EXPECT_FALSE(zyg::member_process_placed(777));
  EXPECT_TRUE(zyg::counted_out(777));
  EXPECT_TRUE(zyg::member_process_placed(778));
}
