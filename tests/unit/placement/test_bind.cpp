// Binding the calling thread: single CPU, whole node, back to the initial
// launch nodes, memory policy reset, and the failures that disable launch.
// Runs on any host.
#include <errno.h>
#include <gtest/gtest.h>
#include <numa.h>
#include <numaif.h>
#include <sched.h>
#include <unistd.h>

#include <string>

#include "core/state.h"
#include "core/topology.h"
#include "fake_ldata.h"
#include "placement/bind.h"
#include "report/report.h"
#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"

using zyg_test::FakeLdata;

namespace {

bool reports_reach_stderr() {
  testing::internal::CaptureStderr();
  zyg::report_recovering("probe", zyg::RC_MEMFREE);
  return !testing::internal::GetCapturedStderr().empty();
}

class Bind : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sched_getaffinity(0, sizeof(saved_), &saved_), 0);
    first_cpu_ = -1;
    for (int c = 0; c < CPU_SETSIZE; c++)
      if (CPU_ISSET(c, &saved_)) {
        first_cpu_ = c;
        break;
      }
    ASSERT_GE(first_cpu_, 0);
    saved_cache_ = zyg::node_cpu_cache;
    saved_cache_cnt_ = zyg::node_cpu_cache_cnt;
    saved_initial_ = zyg::initial_cpu_mask;
  }
  void TearDown() override {
    sched_setaffinity(0, sizeof(saved_), &saved_);
    zyg::node_cpu_cache = saved_cache_;
    zyg::node_cpu_cache_cnt = saved_cache_cnt_;
    zyg::initial_cpu_mask = saved_initial_;
    zyg::launch_disabled = 0;
  }
  static cpu_set_t current() {
    cpu_set_t s;
    CPU_ZERO(&s);
    sched_getaffinity(0, sizeof(s), &s);
    return s;
  }
  static int mempolicy_mode() {
    int mode = -1;
    get_mempolicy(&mode, nullptr, 0, nullptr, 0);
    return mode;
  }
  static void prefer_node0() {
    unsigned long mask = 1;
    set_mempolicy(MPOL_PREFERRED, &mask, 64);
  }
  FakeLdata d{{{0, {0, 1}}}, 1, 11, 1, 11, false, 4};
  cpu_set_t saved_;
  int first_cpu_ = -1;
  bitmask** saved_cache_ = nullptr;
  int saved_cache_cnt_ = 0;
  bitmask* saved_initial_ = nullptr;
};

}  // namespace

TEST_F(Bind, SingleCpuIsExactlyThatCpuWithTheDefaultMemoryPolicy) {
  d.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  prefer_node0();
  ASSERT_EQ(zyg::set_launch(0, first_cpu_), 0);
  cpu_set_t s = current();
  EXPECT_EQ(CPU_COUNT(&s), 1);
  EXPECT_TRUE(CPU_ISSET(first_cpu_, &s));
  EXPECT_EQ(mempolicy_mode(), MPOL_DEFAULT);
  EXPECT_EQ(zyg::launch_disabled, 0u);
}

TEST_F(Bind, NoNodeWithAProcessPolicyOnlyResetsTheMemoryPolicy) {
  d.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  cpu_set_t before = current();
  prefer_node0();
  errno = 77;
  EXPECT_EQ(zyg::set_launch(-1, first_cpu_), 0);  // the CPU is not used without a node
  EXPECT_EQ(errno, 77);
  cpu_set_t after = current();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
  EXPECT_EQ(mempolicy_mode(), MPOL_DEFAULT);
}

TEST_F(Bind, NoNodeWithOnlyAThreadPolicyGoesBackToTheInitialCpus) {
  d.hdr()->proc_kind = 0;
  int possible = numa_num_possible_cpus();
  d.hdr()->possible_cpu_cnt = possible;
  bitmask* initial = numa_allocate_cpumask();
  numa_bitmask_setbit(initial, first_cpu_);
  zyg::initial_cpu_mask = initial;
  ASSERT_EQ(zyg::set_launch(-1, -1), 0);
  cpu_set_t s = current();
  EXPECT_EQ(CPU_COUNT(&s), 1);
  EXPECT_TRUE(CPU_ISSET(first_cpu_, &s));
  numa_free_cpumask(initial);
}

TEST_F(Bind, WholeNodeTakesTheNodeCpuMask) {
  d.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  if (CPU_COUNT(&saved_) < 2) GTEST_SKIP() << "a single CPU: a node's CPUs are that one CPU";
  // Node 0's cache entry holds every CPU this thread may use; the thread
  // starts on one of them and must come out on all of them.
  bitmask* entries[4] = {numa_allocate_cpumask(), nullptr, nullptr, nullptr};
  for (int c = 0; c < CPU_SETSIZE && c < (int)entries[0]->size; c++)
    if (CPU_ISSET(c, &saved_)) numa_bitmask_setbit(entries[0], c);
  zyg::node_cpu_cache = entries;
  zyg::node_cpu_cache_cnt = 4;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first_cpu_, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  ASSERT_EQ(zyg::set_launch(0, -1), 0);
  cpu_set_t s = current();
  EXPECT_TRUE(CPU_EQUAL(&s, &saved_));
  numa_free_cpumask(entries[0]);
}

TEST_F(Bind, UnknownNodeIsReportedAndRefused) {
  d.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  bitmask* entries[4] = {nullptr, nullptr, nullptr, nullptr};
  zyg::node_cpu_cache = entries;
  zyg::node_cpu_cache_cnt = 4;
  bool check = reports_reach_stderr();
  cpu_set_t before = current();
  for (int node : {7, 4, -2, 2}) {  // beyond the 4 configured nodes, negative, no cache entry
    testing::internal::CaptureStderr();
    EXPECT_EQ(zyg::set_launch(node, -1), EINVAL) << node;
    std::string err = testing::internal::GetCapturedStderr();
    if (check) {
      EXPECT_NE(err.find("Can't obtain cpu mask for node " + std::to_string(node)),
                std::string::npos)
          << err;
    }
  }
  cpu_set_t after = current();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));  // the task keeps running where it was
}

TEST_F(Bind, ImpossibleCpuIsReportedWithTheThreadAndProcess) {
  d.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  bool check = reports_reach_stderr();
  testing::internal::CaptureStderr();
  int cpu = d.hdr()->possible_cpu_cnt + 5;
  // The caller gets the bind's own error (it reports it under its fatal
  // line), while errno stays what it was.
  errno = ENOTTY;
  EXPECT_EQ(zyg::set_launch(0, cpu), EINVAL);
  EXPECT_EQ(errno, ENOTTY);
  std::string err = testing::internal::GetCapturedStderr();
  if (check) {
    std::string want = "Can't launch tid " + std::to_string(gettid()) + " / pid " +
                       std::to_string(getpid()) + " on cpu " + std::to_string(cpu) + " of node 0";
    EXPECT_NE(err.find(want), std::string::npos) << err;
  }
}

// Under L3 units a choice names an l_nodes entry, not a node: the memory
// node comes from that entry. Entry 1 lies on node 0; asking for "node 1"
// would find no entry and leave the task on local memory.
TEST_F(Bind, MemoryNodeUnderL3UnitsComesFromTheChosenEntry) {
  FakeLdata l3{{{0, {(unsigned)first_cpu_}}, {0, {(unsigned)first_cpu_}}}, 1, 11, 1, 11, true};
  l3.hdr()->possible_cpu_cnt = numa_num_possible_cpus();
  zyg::ld.b.unit_kind = zyg::UNIT_L3;
  const int32_t mem_nodes[] = {-1, 0};
  zyg::ld.mem_nodes = mem_nodes;
  for (uint32_t mode : {zyg::MEMORY_NEAREST_MEMONLY, zyg::MEMORY_INTERLEAVE_MEMONLY}) {
    zyg::ld.memory_mode = mode;
    ASSERT_EQ(zyg::set_launch(1, first_cpu_), 0);
    const int got = mempolicy_mode();
    if (mode == zyg::MEMORY_INTERLEAVE_MEMONLY)
      EXPECT_EQ(got, MPOL_INTERLEAVE);
    else
      EXPECT_TRUE(got == MPOL_PREFERRED_MANY || got == MPOL_PREFERRED) << got;
    set_mempolicy(MPOL_DEFAULT, nullptr, 0);
  }
}
