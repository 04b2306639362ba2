// Free-memory policy on crafted per-node meminfo files.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_ldata.h"
#include "placement/policy.h"
#include "report/report.h"

using zyg_test::FakeLdata;

namespace {

constexpr int MEMFREE = zyg::KIND_MEMFREE, RR = zyg::KIND_RR, NONE = zyg::KIND_NONE;
constexpr int FLAT = zyg::SCOPE_FLAT, TREE = zyg::SCOPE_TREE;

class Memfree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-memfree-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_dir_ = zyg::memfree_sysfs_dir;
    zyg::memfree_sysfs_dir = dir_.c_str();
  }
  void TearDown() override {
    zyg::memfree_sysfs_dir = saved_dir_;
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }
  void write_node(int node, const std::string& text) {
    std::string d = dir_ + "/node" + std::to_string(node);
    mkdir(d.c_str(), 0755);
    FILE* f = fopen((d + "/meminfo").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(text.c_str(), f);
    fclose(f);
  }
  // A node with `total_mib` MiB of which `free_mib` are free, in the kernel's format.
  void node_mib(int node, unsigned long total_mib, unsigned long free_mib) {
    char text[512];
    snprintf(text, sizeof(text),
             "Node %d MemTotal:       %lu kB\nNode %d MemFree:        %lu kB\n"
             "Node %d MemUsed:        %lu kB\nNode %d Active:         0 kB\n",
             node, total_mib * 1024, node, free_mib * 1024, node, (total_mib - free_mib) * 1024,
             node);
    write_node(node, text);
  }
  std::vector<int> proc_nodes(int count, std::vector<int>* kinds = nullptr) {
    std::vector<int> v;
    for (int i = 0; i < count; i++) {
      zyg::launch_choice c = zyg::get_proc_launch();
      v.push_back(c.unit);
      if (kinds) kinds->push_back(c.kind);
    }
    return v;
  }
  std::string dir_;
  const char* saved_dir_ = nullptr;
};

// Whether the report module writes to standard error yet.
bool reports_reach_stderr() {
  testing::internal::CaptureStderr();
  zyg::report_recovering("probe", zyg::RC_MEMFREE);
  return !testing::internal::GetCapturedStderr().empty();
}

}  // namespace

TEST_F(Memfree, SkipsNodesBelowTheLimit) {
  FakeLdata d({{0, {0}}, {1, {1}}, {2, {2}}}, MEMFREE, TREE, NONE, FLAT, false);
  node_mib(0, 1000, 700);
  node_mib(1, 1000, 300);
  node_mib(2, 1000, 600);
  std::vector<int> kinds;
  EXPECT_EQ(proc_nodes(5, &kinds), (std::vector<int>{0, 2, 0, 2, 0}));
  EXPECT_EQ(kinds, (std::vector<int>(5, RR)));
  EXPECT_EQ(FakeLdata::rec(zyg::ld.proc_tree, 1)->node_launched, 0);
  EXPECT_EQ(FakeLdata::rec(zyg::ld.proc_log, 2)->node_launched, 2);
  EXPECT_EQ(d.hdr()->proc_kind, (uint32_t)MEMFREE);
}

TEST_F(Memfree, AllBelowTheLimitTakesTheNodeWithMostFreeAndKeepsTheCursor) {
  FakeLdata d({{0, {0}}, {1, {1}}, {2, {2}}}, MEMFREE, TREE, MEMFREE, FLAT, true);
  node_mib(0, 1000, 100);
  node_mib(1, 4000, 400);  // most free MiB, same share
  node_mib(2, 1000, 350);
  zyg::ld.proc_tree->next_node_index = 2;
  std::vector<int> kinds;
  EXPECT_EQ(proc_nodes(3, &kinds), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(kinds, (std::vector<int>(3, MEMFREE)));
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 2);
  // Threads use their own cursor and table.
  zyg::launch_choice c = zyg::get_thrd_launch();
  EXPECT_EQ(c.unit, 1);
  EXPECT_EQ(c.cpu, 1);
  EXPECT_EQ(FakeLdata::rec(zyg::ld.thrd_flat, 1)->node_launched, 1);
}

TEST_F(Memfree, TiesForMostFreeKeepTheEarlierNode) {
  FakeLdata d({{0, {0}}, {3, {1}}, {4, {2}}}, MEMFREE, TREE, NONE, FLAT, false);
  node_mib(0, 1000, 100);
  node_mib(3, 1000, 300);
  node_mib(4, 2000, 300);
  EXPECT_EQ(proc_nodes(2), (std::vector<int>{3, 3}));
}

TEST_F(Memfree, LimitZeroIsRoundRobin) {
  FakeLdata d({{0, {0}}, {1, {1}}, {2, {2}}}, MEMFREE, FLAT, NONE, FLAT, false);
  d.hdr()->memfree_limit = 0;
  node_mib(0, 1000, 0);
  node_mib(1, 1000, 10);
  node_mib(2, 1000, 999);
  EXPECT_EQ(proc_nodes(4), (std::vector<int>{0, 1, 2, 0}));
}

TEST_F(Memfree, LimitHundredNeedsAtLeast99AndAHalfPercent) {
  FakeLdata d({{0, {0}}, {1, {1}}, {2, {2}}}, MEMFREE, TREE, NONE, FLAT, false);
  d.hdr()->memfree_limit = 100;
  node_mib(0, 1000, 994);  // 99.4 % rounds to 99
  node_mib(1, 1000, 995);  // 99.5 % rounds to 100
  node_mib(2, 1000, 1000);
  std::vector<int> kinds;
  EXPECT_EQ(proc_nodes(4, &kinds), (std::vector<int>{1, 2, 1, 2}));
  EXPECT_EQ(kinds[0], RR);
}

TEST_F(Memfree, NodeWithoutMemoryHasNoFreeShare) {
  FakeLdata d({{0, {0}}, {1, {1}}}, MEMFREE, TREE, NONE, FLAT, false);
  d.hdr()->memfree_limit = 0;  // even limit 0: share 0 is not below 0
  node_mib(0, 0, 0);
  node_mib(1, 1000, 600);
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{0, 1, 0}));
  d.hdr()->memfree_limit = 1;
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{1, 1, 1}));
}

TEST_F(Memfree, NoNodeWithOneMibFreeGivesTheFirstLaunchNode) {
  FakeLdata d({{2, {0}}, {3, {1}}}, MEMFREE, TREE, NONE, FLAT, false);
  node_mib(2, 1000, 0);
  node_mib(3, 0, 0);
  zyg::ld.proc_tree->next_node_index = 1;
  std::vector<int> kinds;
  EXPECT_EQ(proc_nodes(2, &kinds), (std::vector<int>{2, 2}));
  EXPECT_EQ(kinds, (std::vector<int>(2, MEMFREE)));
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 1);
}

TEST_F(Memfree, ReadsNumbersInAnyBaseAndIgnoresOtherLines) {
  FakeLdata d({{0, {0}}, {1, {1}}}, MEMFREE, TREE, NONE, FLAT, false);
  // 0x19000 kB = 100 MiB total; 070000 kB (octal) = 28 MiB free: 28 %.
  write_node(0,
             "Node 0 HugePages_Free: 99999999\nNode 0 MemTotal:\t0x19000 kB\n"
             "Node 0 MemFree:   070000 kB\n");
  node_mib(1, 100, 60);
  EXPECT_EQ(proc_nodes(2), (std::vector<int>{1, 1}));
}

TEST_F(Memfree, LongLinesAndMissingTrailingNewline) {
  FakeLdata d({{0, {0}}, {1, {1}}}, MEMFREE, TREE, NONE, FLAT, false);
  std::string junk(1500, 'x');
  write_node(0, junk + "\nNode 0 MemTotal: 1024000 kB\n" + junk + "\nNode 0 MemFree: 921600 kB");
  node_mib(1, 1000, 100);
  d.hdr()->memfree_limit = 80;  // node 0 has 90 %, node 1 10 %
  EXPECT_EQ(proc_nodes(2), (std::vector<int>{0, 0}));
}

TEST_F(Memfree, MissingFileFallsBackToRoundRobinForThatTaskType) {
  FakeLdata d({{0, {0}}, {1, {1}}, {2, {2}}}, MEMFREE, TREE, MEMFREE, TREE, false);
  node_mib(0, 1000, 700);
  node_mib(2, 1000, 700);  // node1/meminfo does not exist
  zyg::ld.proc_tree->next_node_index = 1;
  bool check_messages = reports_reach_stderr();
  testing::internal::CaptureStderr();
  zyg::launch_choice c = zyg::get_proc_launch();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.unit, 1);  // the cursor's node, as round robin
  EXPECT_EQ(c.kind, RR);
  EXPECT_EQ(d.hdr()->proc_kind, (uint32_t)RR);
  EXPECT_EQ(d.hdr()->thrd_kind, (uint32_t)MEMFREE);
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 2);
  if (check_messages) {
    std::string path = dir_ + "/node1/meminfo";
    EXPECT_NE(err.find("Can't open " + path), std::string::npos) << err;
    EXPECT_NE(err.find("Disabling the memfree launch policy, defaulting to rr"),
              std::string::npos)
        << err;
  }
  // From now on processes are placed by plain round robin, without messages.
  testing::internal::CaptureStderr();
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{2, 0, 1}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Memfree, IncompleteFileFallsBackToRoundRobinForThreads) {
  FakeLdata d({{0, {0}}, {1, {1}}}, RR, TREE, MEMFREE, TREE, false);
  node_mib(0, 1000, 700);
  write_node(1, "Node 1 MemTotal: 1024000 kB\nNode 1 MemFree: kB\n");
  bool check_messages = reports_reach_stderr();
  testing::internal::CaptureStderr();
  zyg::launch_choice c = zyg::get_thrd_launch();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.unit, 0);
  EXPECT_EQ(d.hdr()->thrd_kind, (uint32_t)RR);
  EXPECT_EQ(d.hdr()->proc_kind, (uint32_t)RR);
  if (check_messages) {
    EXPECT_NE(err.find("Can't find MemTotal or MemFree in " + dir_ + "/node1/meminfo"),
              std::string::npos)
        << err;
  }
  EXPECT_EQ(zyg::get_thrd_launch().unit, 1);
}

TEST_F(Memfree, ReadingKeepsErrno) {
  FakeLdata d({{0, {0}}, {1, {1}}}, MEMFREE, TREE, NONE, FLAT, false);
  node_mib(0, 1000, 700);
  errno = 1234;
  zyg::get_proc_launch();  // node1 missing: a failed open on the way
  EXPECT_EQ(errno, 1234);
}
