// Rebuilding a launch from its records: tree, threads, execs, ends, node
// table and warnings; and what the JSON and HTML outputs carry of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "logparse.h"
#include "logtext.h"
#include "model.h"
#include "output.h"

using namespace zr;
using zr_test::banner;
using zr_test::header;
using zr_test::rec;

namespace {

Launch build(const std::string& text, ParsedLog* keep = nullptr) {
  std::istringstream in(text);
  ParsedLog log = parse_log(in);
  EXPECT_EQ(log.sections.size(), 1u);
  Launch L = build_launch(log.sections.at(0));
  if (keep) *keep = std::move(log);
  return L;
}

const Process* find(const Launch& L, long pid) {
  for (const auto& p : L.procs)
    if (p.pid == pid) return &p;
  return nullptr;
}

bool has_warning(const Launch& L, const std::string& part) {
  return std::any_of(L.warnings.begin(), L.warnings.end(),
                     [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

// A small rr_tree launch on four nodes: the first process (100) forks 101
// and 102; 101 execs ls; 102 creates a thread and forks 103, which forks 104.
// The child's start of 101 is written before its parent's "Created PID".
std::string small_tree() {
  return banner("rr_tree", "rr_flat", "No", "0-3", 100) + header() +
         rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh", "sh -c x ") +
         rec(20, 2, 101, 101, 100, "1", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(21, 3, 100, 100, 1, "0", "-1", "Created PID 101", "sh", "sh -c x ") +
         rec(30, 4, 101, 101, 100, "1", "-1", "execve(/bin/ls)", "sh", "sh -c x ") +
         rec(40, 5, 101, 101, 100, "1", "-1", "child exec start", "ls", "ls -l ") +
         rec(50, 6, 100, 100, 1, "0", "-1", "Created PID 102", "sh", "sh -c x ") +
         rec(60, 7, 102, 102, 100, "2", "-1", "child start in vfork()", "sh", "sh -c x ") +
         rec(70, 8, 102, 102, 100, "2", "-1", "user's pthread_create() main thrd", "sh", "sh -c x ") +
         rec(71, 9, 102, 102, 100, "2", "-1", "Created TID 139699604842176", "sh", "sh -c x ") +
         rec(80, 10, 105, 102, 100, "3", "-1", "child start in pthread_create() by user", "sh", "sh -c x ") +
         rec(90, 11, 102, 102, 100, "2", "-1", "Created PID 103", "sh", "sh -c x ") +
         rec(95, 12, 103, 103, 102, "3", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(96, 13, 103, 103, 102, "3", "-1", "Created PID 104", "sh", "sh -c x ") +
         rec(97, 14, 104, 104, 103, "0", "-1", "child start in fork()", "sh", "sh -c x ") +
         rec(200, 15, 105, 102, 100, "3", "-1", "implicit user's pthread_create() exit", "sh", "sh -c x ") +
         rec(300, 16, 101, 101, 100, "1", "-1", "implicit exit()", "ls", "ls -l ") +
         rec(310, 17, 104, 104, 103, "0", "-1", "exit()", "sh", "sh -c x ") +
         rec(320, 18, 103, 103, 102, "3", "-1", "_exit()", "sh", "sh -c x ") +
         rec(400, 19, 102, 102, 100, "2", "-1", "exit()", "sh", "sh -c x ") +
         rec(500, 20, 100, 100, 1, "0", "-1", "exit()", "sh", "sh -c x ");
}

TEST(BuildLaunch, TreeLinksChildrenToTheirCreators) {
  Launch L = build(small_tree());
  ASSERT_EQ(L.procs.size(), 5u);
  ASSERT_EQ(L.roots.size(), 1u);
  const Process& root = L.procs[L.roots[0]];
  EXPECT_EQ(root.pid, 100);
  ASSERT_EQ(root.children.size(), 2u);
  EXPECT_EQ(L.procs[root.children[0]].pid, 101);
  EXPECT_EQ(L.procs[root.children[1]].pid, 102);
  EXPECT_EQ(L.procs[find(L, 104)->parent].pid, 103);
  EXPECT_EQ(root.subtree_size, 5);
  EXPECT_TRUE(L.warnings.empty()) << L.warnings.front();
}

TEST(BuildLaunch, ExecChainThreadsAndEnds) {
  Launch L = build(small_tree());
  const Process* ls = find(L, 101);
  ASSERT_NE(ls, nullptr);
  EXPECT_EQ(ls->chain(), "sh > ls");
  EXPECT_EQ(ls->last_cmdline(), "ls -l");
  ASSERT_EQ(ls->execs.size(), 1u);
  EXPECT_EQ(ls->execs[0].file, "/bin/ls");
  EXPECT_EQ(ls->end_kind, EndKind::kExited);
  EXPECT_EQ(ls->end_how, "implicit exit()");
  EXPECT_DOUBLE_EQ(ls->end - ls->start, 280e-6);

  const Process* p102 = find(L, 102);
  ASSERT_EQ(p102->threads.size(), 1u);
  EXPECT_EQ(p102->threads[0].tid, 105);
  EXPECT_EQ(p102->threads[0].node, "3");
  EXPECT_EQ(p102->threads[0].end_kind, EndKind::kExited);
  EXPECT_EQ(p102->main_thread_node, "2");
  EXPECT_EQ(p102->threads_created, 1);
}

TEST(BuildLaunch, NodeTableCountsProcessesThreadsAndPeak) {
  Launch L = build(small_tree());
  ASSERT_EQ(L.nodes.size(), 4u);
  // Processes: 100 and 104 on 0, 101 on 1, 102 on 2, 103 on 3.
  // Threads: 105 on 3. Main threads placed at their first thread creation
  // (counted apart: each is its process): that of 102 on 2.
  int procs[4] = {2, 1, 1, 1}, threads[4] = {0, 0, 0, 1}, main_threads[4] = {0, 0, 1, 0};
  for (int n = 0; n < 4; ++n) {
    EXPECT_EQ(L.nodes[n].node, std::to_string(n));
    EXPECT_TRUE(L.nodes[n].launch_node);
    EXPECT_EQ(L.nodes[n].processes, procs[n]) << "node " << n;
    EXPECT_EQ(L.nodes[n].threads, threads[n]) << "node " << n;
    EXPECT_EQ(L.nodes[n].main_threads, main_threads[n]) << "node " << n;
  }
  EXPECT_EQ(L.nodes[0].peak_alive, 2);  // 100 and 104 overlap
  EXPECT_EQ(L.nodes[3].peak_alive, 2);  // thread 105 and process 103 overlap
}

// A TID is free again once its thread is gone: an end record belongs to the
// latest thread started with its TID, also when the earlier one's end is
// missing from the log.
TEST(BuildLaunch, ThreadEndGoesToTheLatestThreadOfItsTid) {
  std::string text = banner("none", "rr_flat", "No", "0-1", 100, 2, 2) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(20, 2, 105, 100, 1, "1", "-1", "child start in pthread_create() by user") +
                     rec(30, 3, 105, 100, 1, "0", "-1", "child start in pthread_create() by user") +
                     rec(40, 4, 105, 100, 1, "0", "-1", "implicit user's pthread_create() exit") +
                     rec(50, 5, 106, 100, 1, "1", "-1", "child start in clone()") +
                     rec(60, 6, 106, 100, 1, "1", "-1", "implicit clone() exit") +
                     rec(70, 7, 106, 100, 1, "0", "-1", "child start in clone()") +
                     rec(80, 8, 106, 100, 1, "0", "-1", "implicit clone() exit") +
                     rec(90, 9, 100, 100, 1, "0", "-1", "exit()");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 1u);
  const auto& th = L.procs[0].threads;
  ASSERT_EQ(th.size(), 4u);
  const EndKind want_kind[4] = {EndKind::kWithProcess, EndKind::kExited, EndKind::kExited, EndKind::kExited};
  const double want_end[4] = {90e-6, 40e-6, 60e-6, 80e-6};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(th[i].end_kind, want_kind[i]) << "thread " << i;
    EXPECT_DOUBLE_EQ(th[i].end, want_end[i]) << "thread " << i;
  }
}

TEST(BuildLaunch, KilledChildNeverEnds) {
  std::string text = banner("rr_tree", "none", "No", "0-1", 100, 2, 2) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "Created PID 101") +
                     rec(30, 3, 101, 101, 100, "1", "-1", "child start in fork()") +
                     rec(40, 4, 100, 100, 1, "0", "-1", "exit()");
  Launch L = build(text);
  const Process* child = find(L, 101);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->end_kind, EndKind::kNeverEnded);
  EXPECT_LT(child->end, 0);
  EXPECT_TRUE(has_warning(L, "never ended")) << testing::PrintToString(L.warnings);
  EXPECT_TRUE(has_warning(L, "PID 101"));
}

TEST(BuildLaunch, ThirtyTwoBitExecLeavesTheTree) {
  std::string text = banner("rr_tree", "none", "No", "0-1", 100, 2, 2) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "32-bit executable: execve(/opt/old/app32)");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 1u);
  EXPECT_EQ(L.procs[0].end_kind, EndKind::kLeftTree);
  EXPECT_EQ(L.procs[0].execs.at(0).refused, "32-bit executable");
  EXPECT_FALSE(has_warning(L, "never ended"));
}

TEST(BuildLaunch, FailedExecKeepsTheOldImage) {
  std::string text = banner("none", "none", "No", "0", 100, 1, 1) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "execve(/no/such)", "sh") +
                     rec(30, 3, 100, 100, 1, "0", "-1", "execve(/bin/true)", "sh") +
                     rec(40, 4, 100, 100, 1, "0", "-1", "child exec start", "true") +
                     rec(50, 5, 100, 100, 1, "0", "-1", "implicit exit()", "true");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 1u);
  EXPECT_EQ(L.procs[0].chain(), "sh > true");
  ASSERT_EQ(L.procs[0].execs.size(), 1u);
  EXPECT_EQ(L.procs[0].execs[0].file, "/bin/true");
}

TEST(BuildLaunch, ReusedPidIsANewProcess) {
  std::string text = banner("none", "none", "No", "0", 100, 1, 1) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "Created PID 200") +
                     rec(30, 3, 200, 200, 100, "0", "-1", "child start in fork()") +
                     rec(40, 4, 200, 200, 100, "0", "-1", "exit()") +
                     rec(50, 5, 100, 100, 1, "0", "-1", "Created PID 200") +
                     rec(60, 6, 200, 200, 100, "0", "-1", "child start in fork()") +
                     rec(70, 7, 200, 200, 100, "0", "-1", "exit()") +
                     rec(80, 8, 100, 100, 1, "0", "-1", "exit()");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 3u);
  EXPECT_EQ(L.procs[0].children.size(), 2u);
  EXPECT_DOUBLE_EQ(L.procs[2].start, 60e-6);
  EXPECT_TRUE(L.warnings.empty()) << L.warnings.front();
}

TEST(BuildLaunch, SpawnedProgramHangsUnderItsSpawner) {
  std::string text = banner("rr_tree", "none", "No", "0-1", 100, 2, 2) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "java") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "posix_spawn(/bin/date)", "java") +
                     rec(25, 3, 100, 100, 1, "0", "-1", "Spawned PID 300", "java") +
                     rec(30, 4, 300, 300, 100, "0", "-1", "child exec start", "date", "date ") +
                     rec(40, 5, 300, 300, 100, "0", "-1", "implicit exit()", "date", "date ") +
                     rec(50, 6, 100, 100, 1, "0", "-1", "exit()", "java");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 2u);
  EXPECT_EQ(L.procs[1].parent, 0);
  EXPECT_EQ(L.procs[1].comm, "date");
  EXPECT_EQ(L.procs[0].calls.size(), 1u);
}

// Records of the library that are neither copies of reports nor unknown: a
// process sharing memory (clone(CLONE_VM)), popen and execveat.
TEST(BuildLaunch, VmProcessPopenAndExecveatAreNoReports) {
  std::string text = banner("none", "none", "No", "0", 100, 1, 1) + header() +
                     rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(20, 2, 100, 100, 1, "0", "-1", "Created PID 200") +
                     rec(30, 3, 200, 200, 100, "0", "-1", "child start in clone(CLONE_VM) process") +
                     rec(40, 4, 200, 200, 100, "0", "-1", "implicit clone(CLONE_VM) process exit") +
                     rec(50, 5, 100, 100, 1, "0", "-1", "popen(ls)") +
                     rec(60, 6, 100, 100, 1, "0", "-1", "execveat(/bin/true)") +
                     rec(70, 7, 100, 100, 1, "0", "-1", "child exec start", "true") +
                     rec(80, 8, 100, 100, 1, "0", "-1", "implicit exit()", "true");
  Launch L = build(text);
  ASSERT_EQ(L.procs.size(), 2u);
  EXPECT_EQ(L.procs[1].parent, 0);
  EXPECT_EQ(L.procs[1].end_kind, EndKind::kExited);
  EXPECT_EQ(L.procs[0].calls, std::vector<std::string>{"popen(ls)"});
  EXPECT_EQ(L.procs[0].chain(), "app > true");
  EXPECT_TRUE(L.warnings.empty()) << L.warnings.front();
}

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

// A process placed on node 1 runs numactl, which binds itself to node 3
// and execs a shell: the records from the exec on show node 3.
std::string numactl_in_the_tree() {
  return banner("rr_tree", "none", "No", "0-3", 100) + header() +
         rec(10, 1, 100, 100, 1, "0", "-1", "initial exec start", "sh") +
         rec(20, 2, 100, 100, 1, "0", "-1", "Created PID 101", "sh") +
         rec(30, 3, 101, 101, 100, "1", "-1", "child start in fork()", "sh") +
         rec(40, 4, 101, 101, 100, "1", "-1", "execvp(numactl)", "sh") +
         rec(50, 5, 101, 101, 100, "1", "-1", "child exec start", "numactl", "numactl -N 3 -- sh ") +
         rec(60, 6, 101, 101, 100, "3", "-1", "execvp(sh)", "numactl", "numactl -N 3 -- sh ") +
         rec(70, 7, 101, 101, 100, "3", "-1", "child exec start", "sh", "sh -c work ") +
         rec(80, 8, 101, 101, 100, "3", "-1", "exit()", "sh", "sh -c work ") +
         rec(90, 9, 100, 100, 1, "0", "-1", "exit()", "sh");
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
    EXPECT_NE(L.warnings[0].find("1 task moved outside the launch policy"), std::string::npos) << L.warnings[0];
    EXPECT_NE(L.warnings[0].find(want), std::string::npos) << L.warnings[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placement, Moved,
    ::testing::Values(
        MoveCase{"numactl_in_the_tree", numactl_in_the_tree, "PID 101 (sh > numactl > sh) placed on node 1, ran on node 3"},
        MoveCase{"thread_binds_itself", thread_binds_itself,
                 "thread 105 of PID 100 placed on node 0 cpu 1, ran on node 0 cpu 5"},
        MoveCase{"placed_by_the_library", placed_by_the_library, ""},
        MoveCase{"exec_from_a_thread", exec_from_a_thread, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Outputs, WhereATaskRanLastIsShown) {
  ParsedLog log;
  Launch L = build(numactl_in_the_tree(), &log);
  const Process* p = find(L, 101);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->node, "1");
  EXPECT_EQ(p->last_node(), "3");
  Report rep{"x", &log, {L}};
  std::ostringstream text;
  write_text(text, rep, TextOptions{});
  EXPECT_NE(text.str().find("101 sh > numactl > sh  [node 3 (placed on node 1)]"), std::string::npos) << text.str();
  std::ostringstream out;
  write_json(out, rep);
  auto j = nlohmann::json::parse(out.str());
  const auto& jp = j["launches"][0]["processes"][1];
  EXPECT_EQ(jp["node"], "1");
  EXPECT_EQ(jp["last_node"], "3");
  EXPECT_EQ(jp["execs"][0]["node"], "1");
  EXPECT_EQ(jp["execs"][1]["node"], "3");
  // Where the task really was counts for the nodes' occupancy.
  EXPECT_EQ(L.nodes[3].processes, 0);
  EXPECT_EQ(L.nodes[3].peak_alive, 1);
}

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
    text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i], "child start in pthread_create() by user", "omp");
    if (!together)
      text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i], "implicit user's pthread_create() exit", "omp");
  }
  for (int i = 0; together && i < 5; ++i)
    text += rec(t++, e++, 101 + i, 100, 1, nodes[i], cpus[i], "implicit user's pthread_create() exit", "omp");
  return text + rec(t, e, 100, 100, 1, "1", "2", "exit()", "omp");
}

TEST(BuildLaunch, CpuHoldingTwoLiveTasksIsAWarning) {
  for (bool together : {true, false}) {
    Launch L = build(omp_on_four_cpus(together));
    EXPECT_EQ(has_warning(L, "under CPU launch, 2 CPUs held more than one live task at the same time: cpu 2 on "
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
    ::testing::Values(
        NodeUseCase{"pack", "pack", "none", {"0", "0", "0", "0"}, {}, ""},
        NodeUseCase{"thread_pack", "rr_tree", "pack", {}, {"0", "0", "0", "0"}, ""},
        NodeUseCase{"threads_unplaced", "rr_tree", "none", {}, {"0", "0", "0", "0"}, ""},
        NodeUseCase{"memfree_one_node", "memfree_tree", "none", {"0", "0", "0"}, {},
                    "under memfree_tree all 4 processes went to node 0: no launch node other than node 0 had the "
                    "free-memory limit's share of its memory free"},
        NodeUseCase{"memfree_threads_one_node", "memfree_tree", "memfree_flat", {"1", "2", "3"}, {"2", "2"},
                    "under memfree_flat all 2 threads went to node 2"},
        NodeUseCase{"memfree_some_nodes", "memfree_tree", "none", {"1", "0", "1"}, {},
                    "launch nodes never used: 2, 3 (memfree skips a node that has less than the free-memory limit's"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildLaunch, RepeatedEntryNumbersMeanSeveralLaunches) {
  std::string text = banner() + header() + rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(2, 1, 200, 200, 1, "0", "-1", "initial exec start");
  Launch L = build(text);
  EXPECT_EQ(L.roots.size(), 2u);
  EXPECT_TRUE(has_warning(L, "more than one launch"));
  EXPECT_TRUE(has_warning(L, "separate process trees"));
}

TEST(Outputs, JsonCarriesTheTree) {
  ParsedLog log;
  Launch L = build(small_tree(), &log);
  Report rep{"run.log", &log, {L}};
  std::ostringstream out;
  write_json(out, rep);
  auto j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["format"], "zyg-nox-report");
  EXPECT_EQ(j["version"], 1);
  const auto& l = j["launches"].at(0);
  EXPECT_EQ(l["settings"]["process_policy"], "rr_tree");
  EXPECT_EQ(l["settings"]["launch_node_list"], nlohmann::json({0, 1, 2, 3}));
  EXPECT_EQ(l["process_count"], 5);
  EXPECT_EQ(l["thread_count"], 1);
  const auto& p101 = l["processes"].at(1);
  EXPECT_EQ(p101["pid"], 101);
  EXPECT_EQ(p101["parent"], 0);
  EXPECT_EQ(p101["chain"], nlohmann::json({"sh", "ls"}));
  EXPECT_EQ(p101["end_kind"], "exited");
  EXPECT_EQ(l["nodes"].at(0)["processes"], 2);
}

// Times are whole microseconds in the log and in the document: no binary
// fraction noise such as 2.1405279999999998.
TEST(Outputs, JsonTimesAreMicroseconds) {
  std::string text = banner() + header() + rec(1000003, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(2140528, 2, 100, 100, 1, "0", "-1", "exit()");
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", &log, {L}};
  std::ostringstream out;
  write_json(out, rep);
  auto j = nlohmann::json::parse(out.str());
  const auto& p = j["launches"][0]["processes"][0];
  EXPECT_EQ(p["start"].dump(), "1.000003");
  EXPECT_EQ(p["end"].dump(), "2.140528");
  EXPECT_EQ(p["lifetime"].dump(), "1.140525");
  EXPECT_EQ(j["launches"][0]["span_seconds"].dump(), "2.140528");
}

TEST(Outputs, JsonSurvivesInvalidUtf8) {
  std::string text = banner() + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start", "app", "app \xff\xfe ");
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", &log, {L}};
  std::ostringstream out;
  write_json(out, rep);
  nlohmann::json j;
  EXPECT_NO_THROW(j = nlohmann::json::parse(out.str()));
  EXPECT_EQ(j["launches"][0]["processes"][0]["cmdline"].get<std::string>().substr(0, 4), "app ");
}

std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) ++n;
  return n;
}

TEST(Outputs, HtmlHasOneBarPerTaskAndEscapesText) {
  std::string tree = small_tree();
  // A command line with markup in it must stay text.
  tree += rec(600, 21, 100, 100, 1, "0", "-1", "Created PID 106", "sh", "sh ");
  tree += rec(610, 22, 106, 106, 100, "1", "-1", "child start in fork()", "sh", "echo <script>&x</script> ");
  ParsedLog log;
  Launch L = build(tree, &log);
  Report rep{"run<1>.log", &log, {L}};
  std::ostringstream out;
  write_html(out, rep, false);
  const std::string html = out.str();
  EXPECT_EQ(count(html, "<rect class=\"bar"), static_cast<std::size_t>(L.task_count()));
  EXPECT_EQ(L.task_count(), 7);
  EXPECT_EQ(count(html, "<script"), 0u);
  EXPECT_NE(html.find("&lt;script&gt;&amp;x"), std::string::npos);
  EXPECT_EQ(count(html, "class=\"lane\""), 4u);
  EXPECT_EQ(count(html, "bar open"), 1u);  // 106 never ended
  std::ostringstream cpu;
  write_html(cpu, rep, true);
  EXPECT_EQ(count(cpu.str(), "<rect class=\"bar"), static_cast<std::size_t>(L.task_count()));
}

TEST(Outputs, MainThreadPlacedAnewMovesTheProcessOn) {
  // Process policy none: the process starts unbound and its main thread is
  // placed on node 1 when it creates its first thread.
  std::string text = banner("none", "rr_tree", "No", "0-1", 100, 2, 2) + header() +
                     rec(10, 1, 100, 100, 1, "0,1", "-1", "initial exec start") +
                     rec(50, 2, 100, 100, 1, "1", "-1", "user's pthread_create() main thrd") +
                     rec(51, 3, 100, 100, 1, "1", "-1", "Created TID 77") +
                     rec(60, 4, 101, 100, 1, "0", "-1", "child start in pthread_create() by user") +
                     rec(70, 5, 101, 100, 1, "0", "-1", "implicit user's pthread_create() exit") +
                     rec(90, 6, 100, 100, 1, "1", "-1", "exit()");
  ParsedLog log;
  Launch L = build(text, &log);
  ASSERT_EQ(L.procs.size(), 1u);
  EXPECT_DOUBLE_EQ(L.procs[0].main_thread_time, 50e-6);
  // Node 1 has the main thread from 50 us on; the unbound lane only before.
  const NodeRow* n1 = nullptr;
  for (const auto& r : L.nodes)
    if (r.node == "1") n1 = &r;
  ASSERT_NE(n1, nullptr);
  EXPECT_EQ(n1->threads, 0);
  EXPECT_EQ(n1->main_threads, 1);
  EXPECT_EQ(n1->peak_alive, 1);
  EXPECT_FALSE(has_warning(L, "never used"));
  Report rep{"x", &log, {L}};
  std::ostringstream out;
  write_html(out, rep, false);
  EXPECT_EQ(count(out.str(), "<rect class=\"bar"), 2u);
  EXPECT_EQ(count(out.str(), "<rect class=\"cont"), 1u);
  EXPECT_NE(out.str().find(" 1 process, 1 thread, "), std::string::npos);
  EXPECT_LT(out.str().find("data-lane=\"0\""), out.str().find("data-lane=\"0,1\""));  // unbound lanes last
}

std::vector<std::string> recorded_logs() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(ZYG_SOURCE_DIR "/report-tool/tests/data"))
    if (e.path().extension() == ".log") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class RecordedLog : public ::testing::TestWithParam<std::string> {};

// The per-node rows add up to the launch's totals: a main thread is not a
// thread of its own.
TEST_P(RecordedLog, NodeRowsAddUpToTheTotals) {
  std::ifstream in(ZYG_SOURCE_DIR "/report-tool/tests/data/" + GetParam() + ".log", std::ios::binary);
  ASSERT_TRUE(in);
  ParsedLog log = parse_log(in);
  ASSERT_FALSE(log.sections.empty());
  for (const auto& s : log.sections) {
    Launch L = build_launch(s);
    int procs = 0, threads = 0;
    for (const auto& row : L.nodes) {
      procs += row.processes;
      threads += row.threads;
    }
    EXPECT_EQ(procs, static_cast<int>(L.procs.size()));
    EXPECT_EQ(threads, L.thread_count());
  }
}

INSTANTIATE_TEST_SUITE_P(Data, RecordedLog, ::testing::ValuesIn(recorded_logs()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(Outputs, TextGroupsAlikeLeavesAndHonoursDepthAndTop) {
  std::string text = banner("rr_tree", "none", "No", "0-3", 100) + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start", "make", "make ");
  int e = 2;
  for (int i = 0; i < 6; ++i) {
    long pid = 200 + i;
    text += rec(10 + i, e++, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid), "make", "make ");
    text += rec(20 + i, e++, pid, pid, 100, "1", "-1", "child start in fork()", "make", "make ");
    text += rec(30 + i, e++, pid, pid, 100, "1", "-1", "execve(/usr/bin/cc)", "make", "make ");
    text += rec(40 + i, e++, pid, pid, 100, "1", "-1", "child exec start", "cc", "cc -c x.c ");
    text += rec(50 + i, e++, pid, pid, 100, "1", "-1", "exit()", "cc", "cc -c x.c ");
  }
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", &log, {L}};
  TextOptions opt;
  std::ostringstream grouped;
  write_text(grouped, rep, opt);
  EXPECT_NE(grouped.str().find("6 x make > cc"), std::string::npos) << grouped.str();
  opt.expand = true;
  std::ostringstream each;
  write_text(each, rep, opt);
  EXPECT_EQ(count(each.str(), "make > cc  [node 1]"), 6u) << each.str();
  opt.top = 2;
  std::ostringstream top;
  write_text(top, rep, opt);
  EXPECT_EQ(count(top.str(), "make > cc  [node 1]"), 2u);
  EXPECT_NE(top.str().find("4 more children"), std::string::npos) << top.str();
  opt = TextOptions{};
  opt.depth = 0;
  std::ostringstream shallow;
  write_text(shallow, rep, opt);
  EXPECT_EQ(count(shallow.str(), "make > cc"), 0u);
  EXPECT_NE(shallow.str().find("6 descendant processes below depth 0"), std::string::npos) << shallow.str();
}

}  // namespace

namespace {

// Whatever the bytes, reading and reporting neither throws nor touches
// memory it should not (the sanitizer builds run this too).
TEST(Robustness, MutatedLogsAreReportedWithoutFailing) {
  const std::string base = small_tree() + banner("pack", "rr_flat", "Yes", "!1", 7, 2, 1) + small_tree();
  unsigned seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xffffff;
  };
  for (int i = 0; i < 400; ++i) {
    std::string text = base;
    switch (i % 4) {
      case 0: text.resize(next() % text.size()); break;
      case 1:
        for (int k = 0; k < 30; ++k) text[next() % text.size()] = static_cast<char>(next() & 0xff);
        break;
      case 2: {
        std::size_t a = next() % text.size(), b = next() % text.size();
        text.insert(a, text.substr(b, next() % 400));
        break;
      }
      default:
        for (int k = 0; k < 20; ++k) {
          std::size_t at = text.find('|', next() % text.size());
          if (at != std::string::npos) text[at] = ' ';
        }
    }
    std::istringstream in(text);
    ParsedLog log = parse_log(in);
    Report rep{"fuzz", &log, {}};
    for (const auto& s : log.sections) rep.launches.push_back(build_launch(s));
    std::ostringstream t, j, h;
    TextOptions opt;
    opt.top = 1 + static_cast<int>(i % 3);
    EXPECT_NO_THROW(write_text(t, rep, opt));
    EXPECT_NO_THROW(write_json(j, rep));
    EXPECT_NO_THROW(write_html(h, rep, i % 2 == 0));
    EXPECT_TRUE(nlohmann::json::accept(j.str())) << "mutation " << i;
  }
}

}  // namespace
