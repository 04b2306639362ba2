// The L3 domains of a launch, built from a made-up sysfs cache tree: one
// unit per L3 set and node within the launch's CPUs, by lowest CPU; and the
// l_nodes entries built from them once the launch CPUs are fixed, the nodes
// taking turns.
#include <gtest/gtest.h>
#include <numa.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "base/mask.h"
#include "core/ldata.h"
#include "core/topology.h"
#include "fake_ldata.h"
#include "start/l3_units.h"

namespace {

using zyg::mask_alloc;
using zyg::mask_setbit;

struct Unit {
  int node;
  std::vector<unsigned> cpus;
  bool operator==(const Unit& o) const { return node == o.node && cpus == o.cpus; }
};

struct Case {
  const char* name;
  std::vector<std::string> l3;  // each CPU's L3 shared_cpu_list, "" for no level 3
  std::vector<std::vector<unsigned>> nodes;
  std::vector<unsigned> launch;
  int rc;
  std::vector<Unit> want;
};

class L3Units : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-l3-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const Case& c = GetParam();
    for (size_t cpu = 0; cpu < c.l3.size(); cpu++) {
      std::string base = dir_ + "/cpu" + std::to_string(cpu) + "/cache";
      mkdir((dir_ + "/cpu" + std::to_string(cpu)).c_str(), 0755);
      mkdir(base.c_str(), 0755);
      // L1d, L1i, L2, then L3 when the CPU has one.
      const char* levels[] = {"1", "1", "2", "3"};
      int entries = c.l3[cpu].empty() ? 3 : 4;
      for (int k = 0; k < entries; k++) {
        std::string idx = base + "/index" + std::to_string(k);
        mkdir(idx.c_str(), 0755);
        std::ofstream(idx + "/level") << levels[k] << "\n";
        std::ofstream(idx + "/shared_cpu_list")
            << (k == 3 ? c.l3[cpu] : std::to_string(cpu)) << "\n";
      }
    }
  }
  void TearDown() override { (void)!system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST_P(L3Units, FromTheCacheTree) {
  const Case& c = GetParam();
  bitmask* launch = mask_alloc(64);
  for (unsigned cpu : c.launch) mask_setbit(launch, cpu);
  std::vector<bitmask*> nodes;
  for (const auto& n : c.nodes) {
    nodes.push_back(mask_alloc(64));
    for (unsigned cpu : n) mask_setbit(nodes.back(), cpu);
  }
  zyg::l3_units u;
  int bad = -1;
  int rc = zyg::find_l3_units(dir_.c_str(), launch, nodes.data(), (int)nodes.size(), &u, &bad);
  ASSERT_EQ(rc, c.rc);
  std::vector<Unit> got;
  for (int i = 0; rc == 0 && i < u.cnt; i++) {
    Unit x{u.node[i], {}};
    for (unsigned b = 0; b < 64; b++)
      if (zyg::mask_isbitset(u.cpus[i], b)) x.cpus.push_back(b);
    got.push_back(x);
  }
  EXPECT_TRUE(got == c.want) << c.name;
  if (rc == 0) {
    zyg::free_l3_units(&u);
  } else {
    EXPECT_EQ(bad, 0);
  }
  for (bitmask* n : nodes) zyg::mask_free(n);
  zyg::mask_free(launch);
}

const std::vector<std::vector<unsigned>> kTwoNodes = {{0, 1, 2, 3}, {4, 5, 6, 7}};
const std::vector<std::string> kPairs = {"0-1", "0-1", "2-3", "2-3", "4-5", "4-5", "6-7", "6-7"};

INSTANTIATE_TEST_SUITE_P(
    Cases, L3Units,
    testing::Values(
        Case{"two per node",
             kPairs,
             kTwoNodes,
             {0, 1, 2, 3, 4, 5, 6, 7},
             0,
             {{0, {0, 1}}, {0, {2, 3}}, {1, {4, 5}}, {1, {6, 7}}}},
        Case{"confined to 0-2", kPairs, kTwoNodes, {0, 1, 2}, 0, {{0, {0, 1}}, {0, {2}}}},
        // One cache over both nodes (sub-NUMA clustering): a unit per node.
        Case{"cache over two nodes",
             {"0-7", "0-7", "0-7", "0-7", "0-7", "0-7", "0-7", "0-7"},
             kTwoNodes,
             {1, 2, 5},
             0,
             {{0, {1, 2}}, {1, {5}}}},
        Case{"no level 3", {"", "", "", ""}, {{0, 1, 2, 3}}, {0, 1, 2, 3}, -1, {}}),
    [](const testing::TestParamInfo<Case>& i) {
      std::string n = i.param.name;
      for (char& ch : n)
        if (!isalnum((unsigned char)ch)) ch = '_';
      return n;
    });

// --- l_nodes from the domains ------------------------------------------------

struct EntryCase {
  const char* name;
  std::vector<Unit> domains;     // as find_l3_units gives them
  std::vector<unsigned> launch;  // the launch CPUs; empty: no cut
  int entries;                   // the layout's entry count
  std::vector<Unit> want;        // l_nodes entries in use
  const char* first_cpulist;
};

class L3Entries : public testing::TestWithParam<EntryCase> {};

zyg::l3_units units_of(const std::vector<Unit>& domains) {
  zyg::l3_units u{};
  u.cap = (int)domains.size();
  u.cpus = static_cast<bitmask**>(zyg::image_alloc(domains.size() * sizeof(bitmask*)));
  u.node = static_cast<int*>(zyg::image_alloc(domains.size() * sizeof(int)));
  for (const Unit& d : domains) {
    u.cpus[u.cnt] = mask_alloc(64);
    for (unsigned cpu : d.cpus) mask_setbit(u.cpus[u.cnt], cpu);
    u.node[u.cnt++] = d.node;
  }
  return u;
}

TEST_P(L3Entries, EachDomainCutToTheLaunchCpusIsAnEntry) {
  const EntryCase& c = GetParam();
  zyg_test::FakeLdata fake({}, 1, 11, 0, 10, false, c.entries);
  zyg::ldata_hdr* h = fake.hdr();
  h->unit_kind = zyg::UNIT_L3;
  h->unit_entry_cnt = c.entries;
  h->config_node_cnt = 2;
  fake.keep_bounds();
  bitmask* launch = nullptr;
  if (!c.launch.empty()) {
    launch = mask_alloc(64);
    for (unsigned cpu : c.launch) mask_setbit(launch, cpu);
  }
  zyg::l3_units u = units_of(c.domains);
  zyg::build_l3_entries(&u, launch);
  EXPECT_EQ(u.cnt, 0) << "the domains are freed";
  std::vector<Unit> got;
  int cpus = 0;
  for (int i = 0; i < h->avail_node_cnt; i++) {
    const zyg::l_node& e = zyg::ld.l_nodes[i];
    Unit x{e.node_id, {e.cpus, e.cpus + e.num_cpus}};
    got.push_back(x);
    cpus += e.num_cpus;
    // Every image's mask of the entry is its CPUs.
    for (unsigned b = 0; b < 64; b++)
      EXPECT_EQ(zyg::mask_isbitset(zyg::unit_cpu_cache[i], b) != 0,
                std::count(x.cpus.begin(), x.cpus.end(), b) == 1);
  }
  EXPECT_TRUE(got == c.want) << c.name;
  EXPECT_EQ(h->avail_cpu_cnt, cpus);
  EXPECT_EQ(zyg::ld.b.avail_node_cnt, (int)c.want.size()) << "the bounds follow";
  EXPECT_STREQ(zyg::ld.l_nodes[0].cpulist, c.first_cpulist);
  zyg::mask_free(launch);
}

const std::vector<Unit> kFourDomains = {{0, {0, 1}}, {0, {2, 3}}, {1, {4, 5}}, {1, {6, 7}}};
const std::vector<Unit> kTurns = {{0, {0, 1}}, {1, {4, 5}}, {0, {2, 3}}, {1, {6, 7}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, L3Entries,
    testing::Values(
        // The nodes take turns: round robin reaches node 1 with its second task.
        EntryCase{"whole launch", kFourDomains, {0, 1, 2, 3, 4, 5, 6, 7}, 4, kTurns, "0-1"},
        EntryCase{"not cut without launch CPUs", kFourDomains, {}, 4, kTurns, "0-1"},
        // A domain left without CPUs takes no entry, and the turns are
        // taken among those left.
        EntryCase{"cut to the launch CPUs",
                  kFourDomains,
                  {1, 2, 3, 6},
                  4,
                  {{0, {1}}, {1, {6}}, {0, {2, 3}}},
                  "1"},
        EntryCase{"one node's domains left",
                  kFourDomains,
                  {0, 1, 2, 3},
                  4,
                  {{0, {0, 1}}, {0, {2, 3}}},
                  "0-1"},
        EntryCase{"no more entries than the layout has",
                  kFourDomains,
                  {4, 5, 6, 7},
                  1,
                  {{1, {4, 5}}},
                  "4-5"}),
    [](const testing::TestParamInfo<EntryCase>& i) {
      std::string n = i.param.name;
      for (char& ch : n)
        if (!isalnum((unsigned char)ch)) ch = '_';
      return n;
    });

}  // namespace
