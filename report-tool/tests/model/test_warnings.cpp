// The warnings of a launch: imbalance by the policy's prediction, unused
// launch nodes, tasks moved outside the policy, CPUs shared under CPU
// launch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "launches.h"
#include "model/launch.h"

using namespace zr;
using namespace zr_test;

namespace {

struct SpreadCase {
  const char* name;
  const char* policy;
  std::vector<const char*> child_nodes;
  bool warns;
};

class Imbalance : public ::testing::TestWithParam<SpreadCase> {};

// The first process sits on node 0; its children land as given.
TEST_P(Imbalance, WarnsOnlyBeyondWhatThePolicyPredicts) {
  const auto& c = GetParam();
  std::string text = banner(c.policy, "none", "No", "0-3", 100) + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start");
  int e = 2, t = 10;
  long pid = 101;
  for (const char* node : c.child_nodes) {
    text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid));
    text += rec(t++, e++, pid, pid, 100, node, "-1", "child start in fork()");
    text += rec(t++, e++, pid, pid, 100, node, "-1", "exit()");
    ++pid;
  }
  text += rec(t++, e++, 100, 100, 1, "0", "-1", "exit()");
  Launch L = build(text);
  bool warned = has_warning(L, "unevenly") || has_warning(L, "not on its creator's node");
  EXPECT_EQ(warned, c.warns) << testing::PrintToString(L.warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, Imbalance,
    ::testing::Values(SpreadCase{"rr_tree_even", "rr_tree", {"1", "2", "3", "0", "1"}, false},
                      SpreadCase{"rr_tree_skewed", "rr_tree", {"1", "1", "1", "1", "2"}, true},
                      SpreadCase{"rr_flat_even", "rr_flat", {"1", "2", "3", "0"}, false},
                      SpreadCase{"rr_flat_skewed", "rr_flat", {"1", "1", "1", "3"}, true},
                      SpreadCase{"pack_kept", "pack", {"0", "0", "0"}, false},
                      SpreadCase{"pack_escaped", "pack", {"0", "2", "0"}, true},
                      SpreadCase{"ff_not_judged", "ff_tree", {"0", "0", "0", "0"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildLaunch, UnusedLaunchNodeIsReported) {
  std::string text = banner("rr_tree", "none", "No", "0-3", 100) + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start");
  for (int i = 0; i < 4; ++i) {
    long pid = 101 + i;
    text += rec(10 + i, 2 + 2 * i, pid, pid, 100, i % 2 ? "1" : "2", "-1", "child start in fork()");
    text += rec(20 + i, 3 + 2 * i, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid));
  }
  Launch L = build(text);
  EXPECT_TRUE(has_warning(L, "launch nodes never used: 3")) << testing::PrintToString(L.warnings);
}

// Under CPU launch a thread binds itself to another CPU: its end record
// shows where it went.
std::string thread_binds_itself() {
  return banner("rr_tree", "rr_tree", "Yes", "0-1", 100, 2, 2) + header() +
         rec(10, 1, 100, 100, 1, "0", "0", "initial exec start") +
         rec(20, 2, 100, 100, 1, "0", "0", "user's pthread_create() main thrd") +
         rec(21, 3, 100, 100, 1, "0", "0", "Created TID 77") +
         rec(30, 4, 105, 100, 1, "0", "1", "child start in pthread_create() by user") +
         rec(40, 5, 105, 100, 1, "0", "5", "implicit user's pthread_create() exit") +
         rec(90, 6, 100, 100, 1, "0", "0", "exit()");
}

// Moves the library makes itself: a spawn's records are written while the
// caller is bound where its child goes; the thread policy places the main
// thread at its first thread creation.
std::string placed_by_the_library() {
  return banner("none", "rr_tree", "No", "0-1", 100, 2, 2) + header() +
         rec(10, 1, 100, 100, 1, "0,1", "-1", "initial exec start") +
         rec(20, 2, 100, 100, 1, "1", "-1", "posix_spawn(/bin/date)") +
         rec(25, 3, 100, 100, 1, "1", "-1", "Spawned PID 300") +
         rec(30, 4, 300, 300, 100, "1", "-1", "child exec start", "date", "date ") +
         rec(40, 5, 300, 300, 100, "1", "-1", "implicit exit()", "date", "date ") +
         rec(50, 6, 100, 100, 1, "0", "-1", "user's pthread_create() main thrd") +
         rec(51, 7, 100, 100, 1, "0", "-1", "Created TID 77") +
         rec(60, 8, 101, 100, 1, "1", "-1", "child start in pthread_create() by user") +
         rec(70, 9, 101, 100, 1, "1", "-1", "implicit user's pthread_create() exit") +
         rec(90, 10, 100, 100, 1, "0", "-1", "exit()");
}

// The thread policy puts a thread on node 1; the thread execs, and the new
// image's main thread is that thread.
std::string exec_from_a_thread() {
  return banner("rr_tree", "rr_tree", "No", "0-1", 100, 2, 2) + header() +
         rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
         rec(20, 2, 100, 100, 1, "0", "-1", "user's pthread_create() main thrd") +
         rec(21, 3, 100, 100, 1, "0", "-1", "Created TID 77") +
         rec(30, 4, 105, 100, 1, "1", "-1", "child start in pthread_create() by user") +
         rec(40, 5, 105, 100, 1, "1", "-1", "execve(/bin/true)") +
         rec(50, 6, 100, 100, 1, "1", "-1", "child exec start", "true", "true ") +
         rec(90, 7, 100, 100, 1, "1", "-1", "implicit exit()", "true", "true ");
}

struct MoveCase {
  const char* name;
  std::string (*log)();
  const char* warning;  // the part naming the task, empty for none
};

class Moved : public ::testing::TestWithParam<MoveCase> {};

TEST_P(Moved, OutsideThePolicyIsAWarningNamingTheTask) {
  Launch L = build(GetParam().log());
  const std::string want = GetParam().warning;
  if (want.empty()) {
    EXPECT_TRUE(L.warnings.empty()) << testing::PrintToString(L.warnings);
  } else {
    ASSERT_EQ(L.warnings.size(), 1u) << testing::PrintToString(L.warnings);
    EXPECT_NE(L.warnings[0].find("1 task moved outside the launch policy"), std::string::npos)
        << L.warnings[0];
    EXPECT_NE(L.warnings[0].find(want), std::string::npos) << L.warnings[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placement, Moved,
    ::testing::Values(MoveCase{"numactl_in_the_tree", numactl_in_the_tree,
                               "PID 101 (sh > numactl > sh) placed on node 1, ran on node 3"},
                      MoveCase{"thread_binds_itself", thread_binds_itself,
                               "thread 105 of PID 100 placed on node 0 cpu 1, ran on node 0 cpu 5"},
                      MoveCase{"placed_by_the_library", placed_by_the_library, ""},
                      MoveCase{"exec_from_a_thread", exec_from_a_thread, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// OMP_NUM_THREADS=6 under -t ff_flat -c on two nodes of two CPUs: the main
// thread and five threads on four CPUs, alive together or one after another.
std::string omp_on_four_cpus(bool together) {
  std::string text = banner("none", "ff_flat", "Yes", "1-2", 100) + header() +
                     rec(10, 1, 100, 100, 1, "1,2", "-1", "initial exec start", "omp") +
                     rec(20, 2, 100, 100, 1, "1", "2", "user's pthread_create() main thrd", "omp");
  const char* cpus[5] = {"3", "4", "5", "2", "3"};
  const char* nodes[5] = {"1", "2", "2", "1", "1"};
  int e = 3;
  long t = 30;
  for (int i = 0; i < 5; ++i) {
    text += rec(t++, e++, 100, 100, 1, "1", "2", "Created TID " + std::to_string(77 + i), "omp");
    text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i],
                "child start in pthread_create() by user", "omp");
    if (!together)
      text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i],
                  "implicit user's pthread_create() exit", "omp");
  }
  for (int i = 0; together && i < 5; ++i)
    text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i],
                "implicit user's pthread_create() exit", "omp");
  return text + rec(t, e, 100, 100, 1, "1", "2", "exit()", "omp");
}

TEST(BuildLaunch, CpuHoldingTwoLiveTasksIsAWarning) {
  for (bool together : {true, false}) {
    Launch L = build(omp_on_four_cpus(together));
    EXPECT_EQ(
        has_warning(
            L,
            "under CPU launch, 2 CPUs held more than one live task at the same time: cpu 2 on "
            "node 1 (2 tasks), cpu 3 on node 1 (2 tasks)"),
        together)
        << testing::PrintToString(L.warnings);
    // The main thread holds CPU 2 as the fourth thread does.
    ASSERT_EQ(L.nodes[0].node, "1");
    EXPECT_EQ(L.nodes[0].cpus, (std::map<int, int>{{2, 2}, {3, 2}}));
  }
}

struct NodeUseCase {
  const char* name;
  const char* proc;
  const char* thrd;
  std::vector<const char*> child_nodes;   // one process each
  std::vector<const char*> thread_nodes;  // threads of the first process
  const char* warning;                    // empty for none
};

class NodeUse : public ::testing::TestWithParam<NodeUseCase> {};

// The first process sits on node 0 of four launch nodes.
TEST_P(NodeUse, UnusedNodesAreJudgedByThePolicy) {
  const auto& c = GetParam();
  std::string text = banner(c.proc, c.thrd, "No", "0-3", 100) + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start");
  int e = 2, t = 10;
  long tid = 200;
  for (const char* node : c.thread_nodes) {
    text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created TID " + std::to_string(tid));
    text += rec(t++, e++, tid, 100, 1, node, "-1", "child start in pthread_create() by user");
    text += rec(t++, e++, tid, 100, 1, node, "-1", "implicit user's pthread_create() exit");
    ++tid;
  }
  long pid = 101;
  for (const char* node : c.child_nodes) {
    text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid));
    text += rec(t++, e++, pid, pid, 100, node, "-1", "child start in fork()");
    text += rec(t++, e++, pid, pid, 100, node, "-1", "exit()");
    ++pid;
  }
  text += rec(t++, e++, 100, 100, 1, "0", "-1", "exit()");
  Launch L = build(text);
  if (*c.warning) {
    ASSERT_EQ(L.warnings.size(), 1u) << testing::PrintToString(L.warnings);
    EXPECT_NE(L.warnings[0].find(c.warning), std::string::npos) << L.warnings[0];
  } else {
    EXPECT_TRUE(L.warnings.empty()) << testing::PrintToString(L.warnings);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Policies, NodeUse,
    ::testing::Values(NodeUseCase{"pack", "pack", "none", {"0", "0", "0", "0"}, {}, ""},
                      NodeUseCase{"thread_pack", "rr_tree", "pack", {}, {"0", "0", "0", "0"}, ""},
                      NodeUseCase{
                          "threads_unplaced", "rr_tree", "none", {}, {"0", "0", "0", "0"}, ""},
                      NodeUseCase{"memfree_one_node",
                                  "memfree_tree",
                                  "none",
                                  {"0", "0", "0"},
                                  {},
                                  "under memfree_tree all 4 processes went to node 0: no launch "
                                  "node other than node 0 had the "
                                  "free-memory limit's share of its memory free"},
                      NodeUseCase{"memfree_threads_one_node",
                                  "memfree_tree",
                                  "memfree_flat",
                                  {"1", "2", "3"},
                                  {"2", "2"},
                                  "under memfree_flat all 2 threads went to node 2"},
                      NodeUseCase{"memfree_some_nodes",
                                  "memfree_tree",
                                  "none",
                                  {"1", "0", "1"},
                                  {},
                                  "launch nodes never used: 2, 3 (memfree skips a node that has "
                                  "less than the free-memory limit's"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A launch under L3 units confined by taskset to 0-2 and 4 of the l3
// machine: three domains, 0-1 and 2 on node 0, 4 on node 1, in the order
// round robin takes them (the nodes in turn). Processes go round the
// domains, each starting a thread in the domain after its own.
std::string three_domains(int processes, bool skewed = false) {
  const char* domains[] = {"0-1", "4", "2"};
  const char* nodes[] = {"0", "1", "0"};
  std::string text =
      with_l3(banner("rr_tree", "rr_flat", "No", "0-1", 100, 2, 3), "0-1@0 4@1 2@0") + header(true);
  int e = 1, t = 1;
  for (int i = 0; i < processes; ++i) {
    const long pid = 100 + 10 * i;
    const int d = skewed ? 0 : i % 3, td = (d + 1) % 3;
    if (i > 0)
      text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid), "app",
                  "app ", "0-1");
    text += rec(t++, e++, pid, pid, i ? 100 : 1, nodes[d], "-1",
                i ? "child start in fork()" : "initial exec start", "app", "app ", domains[d]);
    text += rec(t++, e++, pid, pid, 100, nodes[d], "-1", "user's pthread_create() main thrd", "app",
                "app ", domains[d]);
    text += rec(t++, e++, pid + 1, pid, 100, nodes[td], "-1",
                "child start in pthread_create() by user", "app", "app ", domains[td]);
  }
  return text;
}

}  // namespace

// Round robin over three domains puts two of every three tasks on node 0:
// what it predicts, judged over the domains rather than the nodes.
TEST(L3Units, SpreadIsJudgedOverTheDomains) {
  const Launch L = build(three_domains(4));
  EXPECT_FALSE(has_warning(L, "unevenly")) << testing::PrintToString(L.warnings);
  // Every process in the first domain is beyond round robin's prediction.
  EXPECT_TRUE(has_warning(build(three_domains(4, true)),
                          "processes are unevenly spread for rr_tree (domain 0-1: 4, domain 4: 0, "
                          "domain 2: 0;"));
}

// The domain table counts what the library counts: a main thread placed by
// the thread policy (an OpenMP thread 0) in the domain it was placed in.
TEST(L3Units, MainThreadsCountInTheirDomain) {
  const Launch L = build(three_domains(2));
  std::map<std::string, std::pair<int, int>> rows;
  for (const auto& d : L.domains) rows[d.cpus] = {d.threads, d.main_threads};
  EXPECT_EQ(rows["0-1"], std::make_pair(1, 1));  // the first process's main thread
  EXPECT_EQ(rows["4"], std::make_pair(2, 1));    // its thread, and the child's main thread
  EXPECT_EQ(rows["2"], std::make_pair(1, 0));    // the child's thread
}

// zyg-nox run inside the tree: the process that execs it leaves this
// launch for one of its own and is neither never ended nor warned about.
TEST(BuildLaunch, ANestedLaunchLeavesTheTree) {
  const std::string text =
      banner("rr_tree", "none", "No", "0-1", 100, 2, 2) + header() +
      rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh") +
      rec(2, 2, 100, 100, 1, "0", "-1", "Created PID 101", "sh") +
      rec(3, 3, 101, 101, 100, "1", "-1", "child start in fork()", "sh") +
      rec(4, 4, 101, 101, 100, "1", "-1", "execvp(zyg-nox)", "sh") +
      rec(5, 5, 101, 101, 100, "1", "-1", "child exec start", "zyg-nox", "zyg-nox -p rr_flat true ") +
      rec(6, 6, 101, 101, 100, "1", "-1", "new launch: execvpe(true)", "zyg-nox") +
      rec(9, 7, 100, 100, 1, "0", "-1", "_exit()", "sh");
  const Launch L = build(text);
  EXPECT_TRUE(L.warnings.empty()) << testing::PrintToString(L.warnings);
  const Process* p = find(L, 101);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->end_kind, EndKind::kLeftTree);
  EXPECT_EQ(p->end_how, "new launch: true");
}
