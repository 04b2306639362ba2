// Rebuilding a launch from its records: the tree, threads, execs and ends,
// the node table; the recorded logs' rows add up.
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
  const EndKind want_kind[4] = {EndKind::kWithProcess, EndKind::kExited, EndKind::kExited,
                                EndKind::kExited};
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
  std::string text =
      banner("rr_tree", "none", "No", "0-1", 100, 2, 2) + header() +
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
  std::string text =
      banner("none", "none", "No", "0", 100, 1, 1) + header() +
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

TEST(BuildLaunch, RepeatedEntryNumbersMeanSeveralLaunches) {
  std::string text = banner() + header() + rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(2, 1, 200, 200, 1, "0", "-1", "initial exec start");
  Launch L = build(text);
  EXPECT_EQ(L.roots.size(), 2u);
  EXPECT_TRUE(has_warning(L, "more than one launch"));
  EXPECT_TRUE(has_warning(L, "separate process trees"));
}

// A launched command without the library (a static shell): the programs it
// started are the roots, each its child, and nothing about that is wrong;
// roots of another parent still are.
TEST(BuildLaunch, ChildrenOfAnUnloggedCommandAreNoSeparateTrees) {
  auto text = [](long second_parent) {
    return banner("rr_tree", "none", "No", "0", 90) + header() +
           rec(10, 1, 100, 100, 90, "0", "-1", "child exec start", "true") +
           rec(20, 2, 100, 100, 90, "0", "-1", "implicit exit()", "true") +
           rec(30, 3, 101, 101, second_parent, "0", "-1", "child exec start", "true") +
           rec(40, 4, 101, 101, second_parent, "0", "-1", "implicit exit()", "true");
  };
  Launch L = build(text(90));
  EXPECT_EQ(L.roots.size(), 2u);
  EXPECT_TRUE(L.warnings.empty()) << L.warnings.front();
  EXPECT_TRUE(has_warning(build(text(77)), "separate process trees"));
}

std::vector<std::string> recorded_logs() {
  std::vector<std::string> names;
  for (const auto& e :
       std::filesystem::directory_iterator(ZYG_SOURCE_DIR "/report-tool/tests/data"))
    if (e.path().extension() == ".log") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class RecordedLog : public ::testing::TestWithParam<std::string> {};

// The per-node rows add up to the launch's totals: a main thread is not a
// thread of its own.
TEST_P(RecordedLog, NodeRowsAddUpToTheTotals) {
  std::ifstream in(ZYG_SOURCE_DIR "/report-tool/tests/data/" + GetParam() + ".log",
                   std::ios::binary);
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

}  // namespace
