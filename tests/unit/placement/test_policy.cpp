// Placement policies: node and CPU choices, counting, and taking a failed
// process creation back, on an in-memory launch data.
#include <gtest/gtest.h>

#include <vector>

#include "fake_ldata.h"
#include "placement/policy.h"

using zyg::get_proc_launch;
using zyg::get_thrd_launch;
using zyg::launch_choice;
using zyg_test::FakeLdata;

namespace {

constexpr int RR = zyg::KIND_RR, FF = zyg::KIND_FF, PACK = zyg::KIND_PACK, NONE = zyg::KIND_NONE;
constexpr int FLAT = zyg::SCOPE_FLAT, TREE = zyg::SCOPE_TREE, RR_PACK = zyg::SCOPE_RR_PACK;

std::vector<int> proc_nodes(int count) {
  std::vector<int> v;
  for (int i = 0; i < count; i++) v.push_back(get_proc_launch().unit);
  return v;
}

zyg::node_rec* rec(zyg::node_table* t, int i) { return zyg::table_node(t, i); }

}  // namespace

TEST(RoundRobin, TreeScopeContinuesAcrossTheTree) {
  FakeLdata d({{0, {0}}, {2, {1}}, {5, {2}}}, RR, TREE, NONE, FLAT, false);
  // First process, its three children, then a child of the first child: all
  // share proc_tree.
  EXPECT_EQ(proc_nodes(5), (std::vector<int>{0, 2, 5, 0, 2}));
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->node_launched, 2);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 1)->node_launched, 2);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 2)->node_launched, 1);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(rec(zyg::ld.proc_log, i)->node_launched, rec(zyg::ld.proc_tree, i)->node_launched);
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 2);
}

TEST(RoundRobin, ChoiceReportsTheAppliedKindAndNoCpuWithoutCpuLaunch) {
  FakeLdata d({{0, {0, 1}}, {1, {2, 3}}}, RR, TREE, NONE, FLAT, false);
  launch_choice c = get_proc_launch();
  EXPECT_EQ(c.unit, 0);
  EXPECT_EQ(c.cpu, -1);
  EXPECT_EQ(c.kind, RR);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->cpu_launched[0], 0);
}

TEST(RoundRobin, FlatScopeStartsAfterTheProcessOwnNode) {
  FakeLdata d({{0, {0}}, {2, {1}}, {5, {2}}}, RR, FLAT, NONE, FLAT, false);
  zyg::mark_proc_launch(2, -1);  // the process runs on node 2
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{5, 0, 2}));
  // The private table holds the process itself, the log only its children.
  EXPECT_EQ(rec(zyg::ld.proc_flat, 1)->node_launched, 2);
  EXPECT_EQ(rec(zyg::ld.proc_log, 1)->node_launched, 1);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 1)->node_launched, 0);
}

TEST(RoundRobin, ForkedChildClearsInheritedFlatCountsAndCountsItself) {
  FakeLdata d({{0, {0, 1}}, {2, {2, 3}}, {5, {4, 5}}}, RR, FLAT, RR, FLAT, true);
  zyg::mark_proc_launch(0, 0);
  proc_nodes(4);  // the parent's counts: node 0 x2 (with itself), 2 x2, 5 x1
  zyg::ld.thrd_flat->next_node_index = 2;
  rec(zyg::ld.thrd_flat, 1)->node_launched = 7;
  rec(zyg::ld.thrd_flat, 1)->next_cpu_index = 1;
  rec(zyg::ld.thrd_flat, 1)->cpu_launched[1] = 3;

  zyg::reset_proc_flat(2, 3);  // the child was placed on node 2, CPU 3
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(rec(zyg::ld.proc_flat, i)->node_launched, i == 1 ? 1 : 0);
    EXPECT_EQ(rec(zyg::ld.proc_flat, i)->cpu_launched[0], 0);
    EXPECT_EQ(rec(zyg::ld.proc_flat, i)->cpu_launched[1], i == 1 ? 1 : 0);
  }
  EXPECT_EQ(rec(zyg::ld.proc_flat, 1)->next_cpu_index, 0);  // wrapped past CPU 3
  EXPECT_EQ(zyg::ld.proc_flat->next_node_index, 2);
  launch_choice c = get_proc_launch();
  EXPECT_EQ(c.unit, 5);
  EXPECT_EQ(c.cpu, 4);

  zyg::reset_thrd_flat();
  EXPECT_EQ(rec(zyg::ld.thrd_flat, 1)->node_launched, 0);
  EXPECT_EQ(rec(zyg::ld.thrd_flat, 1)->cpu_launched[1], 0);
  EXPECT_EQ(rec(zyg::ld.thrd_flat, 1)->next_cpu_index, 0);
  EXPECT_EQ(zyg::ld.thrd_flat->next_node_index, 2);  // inherited cursor kept
}

TEST(RoundRobin, ResetsDoNothingForTreeScopesOrNoPolicy) {
  FakeLdata d({{0, {0}}, {1, {1}}}, RR, TREE, RR, TREE, false);
  proc_nodes(3);
  get_thrd_launch();
  auto before = d.snapshot();
  zyg::reset_proc_flat(1, -1);
  zyg::reset_thrd_flat();
  zyg::mark_proc_launch(1, -1);
  EXPECT_EQ(d.snapshot(), before);
}

TEST(RoundRobin, RrPackChoosesOverTheSharedTable) {
  FakeLdata d({{0, {0}}, {1, {1}}}, RR, RR_PACK, NONE, FLAT, false);
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->node_launched, 2);
  auto before = d.snapshot();
  zyg::mark_proc_launch(1, -1);  // rr_pack never uses a private table
  EXPECT_EQ(d.snapshot(), before);
}

TEST(FirstFit, FillsEachNodeUpToItsCpuCount) {
  FakeLdata d({{0, {0, 1, 2, 3}}, {1, {4, 5, 6, 7}}}, FF, TREE, NONE, FLAT, true);
  std::vector<int> nodes, cpus;
  for (int i = 0; i < 9; i++) {
    launch_choice c = get_proc_launch();
    EXPECT_EQ(c.kind, FF);
    nodes.push_back(c.unit);
    cpus.push_back(c.cpu);
  }
  EXPECT_EQ(nodes, (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1, 0}));
  EXPECT_EQ(cpus, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 0}));
}

TEST(FirstFit, FlatProcessFillsItsOwnNodeFirst) {
  FakeLdata d({{0, {0, 1}}, {1, {2, 3}}}, FF, FLAT, NONE, FLAT, false);
  zyg::mark_proc_launch(1, -1);
  EXPECT_EQ(proc_nodes(4), (std::vector<int>{1, 0, 0, 1}));
}

TEST(CpuLaunch, HandsOutTheNodeCpusInOrderAndWraps) {
  FakeLdata d({{3, {8, 9, 10, 11}}}, RR, TREE, NONE, FLAT, true);
  std::vector<int> cpus;
  for (int i = 0; i < 5; i++) {
    launch_choice c = get_proc_launch();
    EXPECT_EQ(c.unit, 3);
    cpus.push_back(c.cpu);
  }
  EXPECT_EQ(cpus, (std::vector<int>{8, 9, 10, 11, 8}));
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->cpu_launched[0], 2);
  EXPECT_EQ(rec(zyg::ld.proc_log, 0)->cpu_launched[0], 2);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->cpu_launched[3], 1);
}

TEST(CpuLaunch, ProcessCountedOnLastCpuMakesTheNextChoiceWrap) {
  FakeLdata d({{3, {8, 9, 10, 11}}}, RR, FLAT, NONE, FLAT, true);
  zyg::mark_proc_launch(3, 11);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->cpu_launched[3], 1);
  launch_choice c = get_proc_launch();
  EXPECT_EQ(c.cpu, 8);
  EXPECT_EQ(get_proc_launch().cpu, 9);
}

TEST(CpuLaunch, CpuNotInTheListCountsOnTheFirstCpu) {
  FakeLdata d({{3, {8, 9, 10, 11}}}, RR, FLAT, NONE, FLAT, true);
  zyg::mark_proc_launch(3, 40);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->cpu_launched[0], 1);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->next_cpu_index, 1);
}

TEST(Lookups, NodeAndCpuIndexes) {
  FakeLdata d({{0, {0, 1}}, {2, {4, 5}}, {5, {8, 9}}}, RR, TREE, NONE, FLAT, true, 6);
  EXPECT_EQ(zyg::node_index_of(0), 0);
  EXPECT_EQ(zyg::node_index_of(2), 1);
  EXPECT_EQ(zyg::node_index_of(5), 2);
  EXPECT_EQ(zyg::node_index_of(3), 0);
  EXPECT_EQ(zyg::node_index_of(-1), 0);  // l_nodes entries not in use are -1
  EXPECT_EQ(zyg::cpu_index_of(2, 9), 1);
  EXPECT_EQ(zyg::cpu_index_of(2, 4), 0);
  EXPECT_EQ(zyg::cpu_index_of(1, 5), 1);
}

TEST(Lookups, UnknownNodeIsCountedOnTheFirstLaunchNode) {
  FakeLdata d({{0, {0}}, {2, {1}}, {5, {2}}}, RR, FLAT, NONE, FLAT, false);
  zyg::mark_proc_launch(7, -1);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->node_launched, 1);
  EXPECT_EQ(zyg::ld.proc_flat->next_node_index, 1);
}

TEST(Unset, RoundRobinFailedCreationRestoresEveryCounterAndCursor) {
  for (int scope : {TREE, FLAT}) {
    FakeLdata d({{0, {0, 1, 2}}, {2, {3, 4}}, {5, {5}}}, RR, scope, NONE, FLAT, true);
    proc_nodes(4);  // move cursors away from zero
    auto before = d.snapshot();
    launch_choice c = get_proc_launch();
    EXPECT_NE(d.snapshot(), before);
    zyg::unset_proc_launch(c.unit, c.cpu, c.kind);
    EXPECT_EQ(d.snapshot(), before) << "scope " << scope;
  }
}

TEST(Unset, FirstFitRewindsWhenTheNextNodeIsStillEmpty) {
  FakeLdata d({{0, {0, 1, 2, 3}}, {1, {4, 5, 6, 7}}}, FF, TREE, NONE, FLAT, true);
  proc_nodes(3);
  auto before = d.snapshot();
  launch_choice c = get_proc_launch();  // fills node 0, cursor moves to node 1
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 1);
  zyg::unset_proc_launch(c.unit, c.cpu, c.kind);
  EXPECT_EQ(d.snapshot(), before);
  EXPECT_EQ(get_proc_launch().unit, 0);
}

TEST(Unset, FirstFitKeepsTheCursorWhenTheNextNodeIsAlreadyUsed) {
  FakeLdata d({{0, {0, 1, 2, 3}}, {1, {4, 5, 6, 7}}}, FF, TREE, NONE, FLAT, false);
  proc_nodes(3);
  launch_choice failed = get_proc_launch();  // fills node 0
  launch_choice other = get_proc_launch();   // another process lands on node 1
  EXPECT_EQ(other.unit, 1);
  zyg::unset_proc_launch(failed.unit, failed.cpu, failed.kind);
  EXPECT_EQ(zyg::ld.proc_tree->next_node_index, 1);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 0)->node_launched, 3);
  EXPECT_EQ(rec(zyg::ld.proc_log, 0)->node_launched, 3);
  EXPECT_EQ(rec(zyg::ld.proc_tree, 1)->node_launched, 1);
}

TEST(Unset, CpuCursorGoesBackEvenForKindsWithoutNodeCounting) {
  FakeLdata d({{0, {0, 1}}}, PACK, FLAT, NONE, FLAT, true);
  auto before = d.snapshot();
  launch_choice c = get_proc_launch();
  EXPECT_EQ(c.kind, PACK);
  zyg::unset_proc_launch(c.unit, c.cpu, c.kind);
  EXPECT_EQ(d.snapshot(), before);
  // An unknown kind leaves the node counts alone but still returns the CPU.
  c = get_proc_launch();
  zyg::unset_proc_launch(c.unit, c.cpu, 9);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->node_launched, 1);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->cpu_launched[0], 0);
  EXPECT_EQ(rec(zyg::ld.proc_flat, 0)->next_cpu_index, 0);
}

TEST(Pack, EveryChildGoesToTheProcessNodeAndTheCursorStays) {
  FakeLdata d({{0, {0}}, {2, {1}}, {5, {2}}}, PACK, FLAT, PACK, FLAT, false);
  zyg::mark_proc_launch(5, -1);
  EXPECT_EQ(proc_nodes(4), (std::vector<int>{5, 5, 5, 5}));
  EXPECT_EQ(zyg::ld.proc_flat->next_node_index, 2);
  zyg::mark_thrd_launch(5, -1);
  for (int i = 0; i < 3; i++) EXPECT_EQ(get_thrd_launch().unit, 5);
}

TEST(Pack, FirstProcessPacksOnTheFirstLaunchNode) {
  FakeLdata d({{1, {0}}, {3, {1}}}, PACK, FLAT, NONE, FLAT, false);
  EXPECT_EQ(proc_nodes(3), (std::vector<int>{1, 1, 1}));
}

TEST(NoPolicy, ChoosesNothingAndCountsNothing) {
  FakeLdata d({{0, {0}}, {1, {1}}}, NONE, FLAT, NONE, FLAT, true);
  auto before = d.snapshot();
  launch_choice c = get_proc_launch();
  EXPECT_EQ(c.unit, -1);
  EXPECT_EQ(c.cpu, -1);
  EXPECT_EQ(c.kind, 0);
  c = get_thrd_launch();
  EXPECT_EQ(c.unit, -1);
  EXPECT_EQ(c.cpu, -1);
  zyg::unset_proc_launch(1, 1, RR);
  zyg::mark_proc_launch(1, 1);
  zyg::reset_proc_flat(1, 1);
  zyg::reset_thrd_flat();
  zyg::mark_thrd_launch(1, 1);
  EXPECT_EQ(d.snapshot(), before);
}

TEST(Threads, TreeScopeCountsInThreadTables) {
  FakeLdata d({{0, {0}}, {1, {1}}}, NONE, FLAT, RR, TREE, true);
  launch_choice c = get_thrd_launch();
  EXPECT_EQ(c.unit, 0);
  EXPECT_EQ(c.cpu, 0);
  EXPECT_EQ(get_thrd_launch().unit, 1);
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 0)->node_launched, 1);
  EXPECT_EQ(rec(zyg::ld.thrd_log, 1)->cpu_launched[0], 1);
  EXPECT_EQ(rec(zyg::ld.proc_log, 0)->node_launched, 0);
}

TEST(Threads, MainThreadMovesTheCursorOnlyWhenItIsTheFirstCounted) {
  FakeLdata d({{0, {0, 1}}, {2, {2, 3}}, {5, {4, 5}}}, RR, TREE, RR, TREE, true);
  zyg::mark_thrd_launch(2, 3);  // first process's main thread
  EXPECT_EQ(zyg::ld.thrd_tree->next_node_index, 2);
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 1)->next_cpu_index, 0);  // wrapped past CPU 3
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 1)->cpu_launched[1], 1);
  EXPECT_EQ(rec(zyg::ld.thrd_log, 1)->node_launched, 1);
  EXPECT_EQ(rec(zyg::ld.thrd_log, 1)->cpu_launched[1], 0);  // not in the log

  zyg::mark_thrd_launch(0, 0);  // another process's main thread, later
  EXPECT_EQ(zyg::ld.thrd_tree->next_node_index, 2);
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 0)->next_cpu_index, 0);
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 0)->node_launched, 1);
  EXPECT_EQ(rec(zyg::ld.thrd_tree, 0)->cpu_launched[0], 1);
  EXPECT_EQ(get_thrd_launch().unit, 5);
}

TEST(Threads, MainThreadUnderFirstFitKeepsTheCursorOnItsNode) {
  FakeLdata d({{0, {0, 1}}, {2, {2, 3}}}, RR, FLAT, FF, FLAT, false);
  zyg::mark_thrd_launch(2, -1);
  EXPECT_EQ(zyg::ld.thrd_flat->next_node_index, 1);
  EXPECT_EQ(get_thrd_launch().unit, 2);  // fills node 2 (2 CPUs) first
  EXPECT_EQ(get_thrd_launch().unit, 0);
}

// L3 units: entries share nodes, so a choice names its entry. A failed
// creation on the second domain of node 0 is taken back from that domain
// (a node id would name the first), and a task counted where it runs is
// counted in its own domain.
TEST(L3Units, ChoicesNameTheirEntry) {
  for (int scope : {TREE, FLAT}) {
    FakeLdata d({{0, {0, 1}}, {0, {2, 3}}, {1, {4, 5}}, {1, {6, 7}}}, RR, scope, NONE, FLAT, false);
    d.hdr()->unit_kind = zyg::UNIT_L3;
    d.keep_bounds();
    EXPECT_EQ(proc_nodes(2), (std::vector<int>{0, 1}));
    auto before = d.snapshot();
    launch_choice c = get_proc_launch();
    EXPECT_EQ(c.unit, 2);
    zyg::unset_proc_launch(c.unit, c.cpu, c.kind);
    EXPECT_EQ(d.snapshot(), before) << "scope " << scope;
    if (scope != FLAT) continue;
    zyg::reset_proc_flat(3, -1);  // a child running in the last domain
    EXPECT_EQ(rec(zyg::ld.proc, 3)->node_launched, 1);
    EXPECT_EQ(get_proc_launch().unit, 0);
  }
}

// Under L3 units the entries are in round-robin order, the nodes taking
// turns; first-fill still fills the domains in CPU order: 0-1, 2-3, 4-5, 6-7
// from entries 0-1@0, 4-5@1, 2-3@0, 6-7@1, then round again.
TEST(L3Units, FirstFitFillsTheDomainsInCpuOrder) {
  FakeLdata d({{0, {0, 1}}, {1, {4, 5}}, {0, {2, 3}}, {1, {6, 7}}}, FF, TREE, NONE, FLAT, false);
  d.hdr()->unit_kind = zyg::UNIT_L3;
  d.keep_bounds();
  EXPECT_EQ(proc_nodes(9), (std::vector<int>{0, 0, 2, 2, 1, 1, 3, 3, 0}));
}
