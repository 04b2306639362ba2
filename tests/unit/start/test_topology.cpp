// Masks, node lists, the node/CPU cache, l_nodes, and the calling thread's
// launch nodes and CPU. Machine-dependent cases use made-up caches so that
// they mean the same on any host; the rest run against this host's libnuma.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <numa.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/mask.h"
#include "core/ldata.h"
#include "core/state.h"
#include "core/topology.h"
#include "placement/bind.h"
#include "report/where.h"
#include "start/topology_setup.h"

namespace {

using namespace zyg;

// --- test helpers -----------------------------------------------------------

bitmask* mask_of(unsigned nbits, std::initializer_list<unsigned> bits) {
  bitmask* m = mask_alloc(nbits);
  for (unsigned b : bits) mask_setbit(m, b);
  return m;
}

std::vector<unsigned> bits_of(const bitmask* m) {
  std::vector<unsigned> v;
  for (unsigned i = 0; i < m->size; i++)
    if (mask_isbitset(m, i)) v.push_back(i);
  return v;
}

std::string list_of(const bitmask* m, size_t size) {
  std::vector<char> buf(size + 1, 'X');
  format_node_list(m, buf.data(), size);
  return buf.data();
}

int online_cpus() { return (int)sysconf(_SC_NPROCESSORS_ONLN); }

// Runs fn in a new thread whose affinity is exactly `cpus`.
void run_on(std::initializer_list<int> cpus, const std::function<void()>& fn) {
  std::thread t([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus) CPU_SET(c, &set);
    ASSERT_EQ(0, pthread_setaffinity_np(pthread_self(), sizeof set, &set));
    fn();
  });
  t.join();
}

std::vector<int> affinity_now() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  std::vector<int> v;
  for (int c = 0; c < CPU_SETSIZE; c++)
    if (CPU_ISSET(c, &set)) v.push_back(c);
  return v;
}

// A mask of ours (its words follow the structure) or one libnuma made.
void free_any(bitmask* m) {
  if (m->maskp == reinterpret_cast<unsigned long*>(m + 1)) mask_free(m);
  else numa_bitmask_free(m);
}

// Launch data and per-process masks made up for one test, put back after it.
class Topo : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ld_ = ld;
    saved_cache_ = node_cpu_cache;
    saved_cnt_ = node_cpu_cache_cnt;
    saved_all_ = all_nodes_mask;
    saved_init_nodes_ = initial_node_mask;
    saved_init_cpus_ = initial_cpu_mask;
    saved_initial_ = is_initial_process;
    saved_inited_ = launch_initialized;
  }
  // Masks are kept for the life of a process image; a test gives back what it
  // and the code under test allocated.
  void free_masks() {
    if (node_cpu_cache && node_cpu_cache != saved_cache_ && node_cpu_cache != cache_.data()) {
      for (int i = 0; i < node_cpu_cache_cnt; i++)
        mask_free(node_cpu_cache[i]);
      image_free(node_cpu_cache);
    }
    node_cpu_cache = saved_cache_;
    mask_free(node_cpu_pending);
    mask_free(node_cpu_known);
    node_cpu_pending = node_cpu_known = nullptr;
    for (bitmask* m : cache_)
      mask_free(m);
    cache_.clear();
    for (bitmask** m : {&all_nodes_mask, &initial_node_mask, &initial_cpu_mask}) {
      bitmask* saved = m == &all_nodes_mask    ? saved_all_
                       : m == &initial_node_mask ? saved_init_nodes_
                                                 : saved_init_cpus_;
      if (*m && *m != saved) free_any(*m);
      *m = saved;
    }
  }
  void TearDown() override {
    free_masks();
    if (mem_) munmap(mem_, size_);
    ld = saved_ld_;
    node_cpu_cache = saved_cache_;
    node_cpu_cache_cnt = saved_cnt_;
    all_nodes_mask = saved_all_;
    initial_node_mask = saved_init_nodes_;
    initial_cpu_mask = saved_init_cpus_;
    is_initial_process = saved_initial_;
    launch_initialized = saved_inited_;
  }

  // A header for n configured nodes, mapped into ld.
  ldata_hdr* make_ldata(int n, int possible_cpus, int possible_nodes = 64) {
    size_ = ldata_file_size(n);
    mem_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    auto* h = static_cast<ldata_hdr*>(mem_);
    size_t t = table_size(n);
    h->version = 1;
    h->l_nodes_offset = 2048;
    h->proc_tree_offset = (uint32_t)(2048 + n * sizeof(l_node));
    h->thrd_tree_offset = (uint32_t)(h->proc_tree_offset + t);
    h->proc_log_offset = (uint32_t)(h->proc_tree_offset + 2 * t);
    h->thrd_log_offset = (uint32_t)(h->proc_tree_offset + 3 * t);
    h->config_node_cnt = n;
    h->possible_cpu_cnt = possible_cpus;
    h->possible_node_cnt = possible_nodes;
    h->config_cpu_cnt = online_cpus();
    memset(&ld, 0, sizeof ld);
    ldata_set_pointers(&ld, mem_, size_);
    ld.fd = -1;
    return h;
  }

  // A made-up cache: node i owns the CPUs listed in cpus[i]; every node is
  // usable unless listed in `unusable`.
  void make_cache(const std::vector<std::vector<unsigned>>& cpus,
                  std::initializer_list<unsigned> unusable = {}) {
    const unsigned bits = (unsigned)ld.hdr->possible_cpu_cnt;
    cache_.assign(cpus.size(), nullptr);
    for (size_t n = 0; n < cpus.size(); n++) {
      cache_[n] = mask_alloc(bits);
      for (unsigned c : cpus[n]) mask_setbit(cache_[n], c);
    }
    node_cpu_cache = cache_.data();
    node_cpu_cache_cnt = (int)cpus.size();
    all_nodes_mask = mask_alloc(64);
    for (unsigned n = 0; n < cpus.size(); n++) mask_setbit(all_nodes_mask, n);
    for (unsigned n : unusable) m_clear(all_nodes_mask, n);
  }

  static void m_clear(bitmask* m, unsigned n) { m->maskp[n / 64] &= ~(1UL << (n % 64)); }

  void* mem_ = nullptr;
  size_t size_ = 0;
  std::vector<bitmask*> cache_;

 private:
  ldata_view saved_ld_;
  bitmask** saved_cache_;
  int saved_cnt_;
  bitmask *saved_all_, *saved_init_nodes_, *saved_init_cpus_;
  uint32_t saved_initial_, saved_inited_;
};

// --- masks ------------------------------------------------------------------

TEST(Mask, AllocSetTestWeightClear) {
  EXPECT_EQ(nullptr, mask_alloc(0));
  bitmask* m = mask_alloc(130);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(130u, m->size);
  EXPECT_EQ(0u, mask_weight(m));
  for (unsigned b : {0u, 63u, 64u, 129u}) mask_setbit(m, b);
  mask_setbit(m, 130);  // not below the size: ignored
  mask_setbit(m, 5000);
  EXPECT_EQ(4u, mask_weight(m));
  EXPECT_EQ((std::vector<unsigned>{0, 63, 64, 129}), bits_of(m));
  EXPECT_EQ(0, mask_isbitset(m, 1));
  EXPECT_EQ(0, mask_isbitset(m, 130));
  EXPECT_EQ(0, mask_isbitset(m, 100000));
  // libnuma reads the same layout.
  EXPECT_EQ(1, numa_bitmask_isbitset(m, 129));
  EXPECT_EQ(4u, numa_bitmask_weight(m));
  mask_clearall(m);
  EXPECT_EQ(0u, mask_weight(m));
  EXPECT_EQ(0, mask_isbitset(m, 64));
  mask_free(m);
}

TEST(Mask, WeightIgnoresBitsPastTheSize) {
  bitmask* m = mask_alloc(3);
  m->maskp[0] = ~0UL;  // stray bits above bit 2
  EXPECT_EQ(3u, mask_weight(m));
  EXPECT_EQ(0, mask_isbitset(m, 3));
  mask_free(m);
}

TEST(NodeList, AscendingItemsNeverRanges) {
  bitmask* m = mask_of(64, {3, 1, 0, 2});
  EXPECT_EQ("0,1,2,3", list_of(m, 256));
  mask_clearall(m);
  for (unsigned b : {0u, 2u, 3u, 4u, 7u, 63u}) mask_setbit(m, b);
  EXPECT_EQ("0,2,3,4,7,63", list_of(m, 256));
  mask_clearall(m);
  EXPECT_EQ("", list_of(m, 256));
  mask_free(m);
  EXPECT_EQ("", list_of(nullptr, 16));
}

TEST(NodeList, ItemsThatDoNotFitAreLeftOut) {
  bitmask* m = mask_of(2048, {1, 2, 3});
  EXPECT_EQ("1,2,3", list_of(m, 6));   // 5 characters and the terminator
  EXPECT_EQ("1,2", list_of(m, 5));
  EXPECT_EQ("1", list_of(m, 2));
  EXPECT_EQ("", list_of(m, 1));
  mask_setbit(m, 1000);
  EXPECT_EQ("1,2,3", list_of(m, 8));   // ",1000" needs 5 more
  EXPECT_EQ("1,2,3,1000", list_of(m, 11));
  mask_clearall(m);
  mask_setbit(m, 1000);
  mask_setbit(m, 2000);
  EXPECT_EQ("", list_of(m, 4));
  EXPECT_EQ("1000", list_of(m, 9));    // no leading comma when the list starts later
  char untouched = 'X';
  format_node_list(m, &untouched, 0);
  EXPECT_EQ('X', untouched);
  mask_free(m);
}

// --- the calling thread's launch nodes and CPU ------------------------------

TEST_F(Topo, LaunchNodesFollowTheThreadsAffinity) {
  make_ldata(3, numa_num_possible_cpus());
  make_cache({{0}, {1}, {}});
  bitmask* out = mask_alloc(64);
  run_on({0}, [&] {
    mask_setbit(out, 40);  // cleared first
    get_launch_nodes(out);
    EXPECT_EQ((std::vector<unsigned>{0}), bits_of(out));
    EXPECT_EQ(0, get_launch_node());
    EXPECT_EQ(0, get_launch_cpu());
  });
  if (online_cpus() >= 2) {
    run_on({1}, [&] {
      get_launch_nodes(out);
      EXPECT_EQ((std::vector<unsigned>{1}), bits_of(out));
      EXPECT_EQ(1, get_launch_node());
      EXPECT_EQ(1, get_launch_cpu());
    });
    run_on({0, 1}, [&] {
      get_launch_nodes(out);
      EXPECT_EQ((std::vector<unsigned>{0, 1}), bits_of(out));
      EXPECT_EQ(0, get_launch_node());
      EXPECT_EQ(-1, get_launch_cpu()) << "two CPUs are no single launch CPU";
    });
  }
  mask_free(out);
}

TEST_F(Topo, NodesOutsideTheUsableSetAreNoLaunchNodes) {
  make_ldata(2, numa_num_possible_cpus());
  make_cache({{0}, {0}}, {0});
  run_on({0}, [&] {
    bitmask* out = mask_alloc(64);
    get_launch_nodes(out);
    EXPECT_EQ((std::vector<unsigned>{1}), bits_of(out));
    mask_free(out);
  });
}

TEST_F(Topo, NoLaunchNodeGivesPossibleNodeCountPlusOne) {
  make_ldata(2, numa_num_possible_cpus(), 16);
  make_cache({{}, {}});
  run_on({0}, [&] { EXPECT_EQ(17, get_launch_node()); });
}

TEST_F(Topo, CpuNumbersAboveTheConfiguredCountStillCount) {
  // Sparse CPU numbering (offline CPUs): CPU 1 belongs to node 0 even when
  // only one CPU is configured.
  if (online_cpus() < 2) GTEST_SKIP() << "needs CPU 1";
  ldata_hdr* h = make_ldata(1, numa_num_possible_cpus());
  h->config_cpu_cnt = 1;
  make_cache({{1}});
  run_on({1}, [&] { EXPECT_EQ(0, get_launch_node()); });
}

TEST_F(Topo, ManyPossibleCpusUseALargerBuffer) {
  // More possible CPUs than the on-stack buffer holds.
  make_ldata(2, 4096);
  make_cache({{0, 4000}, {1}});
  run_on({0}, [&] {
    bitmask* out = mask_alloc(64);
    get_launch_nodes(out);
    EXPECT_EQ((std::vector<unsigned>{0}), bits_of(out));
    EXPECT_EQ(0, get_launch_cpu());
    mask_free(out);
  });
}

TEST_F(Topo, ResetPutsTheThreadOnTheInitialCpus) {
  ldata_hdr* h = make_ldata(1, numa_num_possible_cpus());
  strcpy(h->launch_nodes, "0");
  initial_cpu_mask = mask_of((unsigned)h->possible_cpu_cnt, {0});
  if (online_cpus() >= 2) {
    run_on({1}, [&] {
      reset_initial_launch_nodes();
      EXPECT_EQ((std::vector<int>{0}), affinity_now());
    });
  }
  // Without initial launch nodes nothing changes.
  h->launch_nodes[0] = 0;
  int last = online_cpus() - 1;
  run_on({last}, [&] {
    reset_initial_launch_nodes();
    EXPECT_EQ((std::vector<int>{last}), affinity_now());
  });
}

// --- l_nodes ----------------------------------------------------------------

class LNodes : public Topo {
 protected:
  void SetUp() override {
    Topo::SetUp();
    bitmask* run = numa_get_run_node_mask();
    run0_ = run && numa_bitmask_isbitset(run, 0);
    if (run) numa_bitmask_free(run);
    char tmpl[] = "/tmp/zyg-topo-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    std::string cmd = "rm -rf " + dir_;
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup";
    Topo::TearDown();
  }
  void write_cpulist(int node, const std::string& text) {
    std::string d = dir_ + "/node" + std::to_string(node);
    mkdir(d.c_str(), 0755);
    int fd = open((d + "/cpulist").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    close(fd);
  }
  bool run0_ = false;
  std::string dir_;
};

TEST_F(LNodes, BigNodeKeepsItsFirst256CpusAndTheCpulistIsCut) {
  if (!run0_) GTEST_SKIP() << "node 0 not in the run node mask";
  ldata_hdr* h = make_ldata(2, 512);
  std::vector<unsigned> cpus;
  for (unsigned c = 0; c < 300; c++) cpus.push_back(c + 10);
  make_cache({cpus, {}});
  std::string list(300, '9');
  write_cpulist(0, list);
  build_l_nodes(dir_.c_str(), nullptr);
  EXPECT_EQ(1, h->avail_node_cnt);
  EXPECT_EQ(256, h->avail_cpu_cnt);
  EXPECT_EQ(0, ld.l_nodes[0].node_id);
  EXPECT_EQ(256, ld.l_nodes[0].num_cpus);
  EXPECT_EQ(10u, ld.l_nodes[0].cpus[0]);
  EXPECT_EQ(265u, ld.l_nodes[0].cpus[255]);
  EXPECT_EQ(std::string(255, '9'), ld.l_nodes[0].cpulist);
  EXPECT_EQ(-1, ld.l_nodes[1].node_id);
  EXPECT_EQ(0, ldata_validate(h, size_));
}

TEST_F(LNodes, CpulistIsCopiedAsTheSystemShowsIt) {
  if (!run0_) GTEST_SKIP() << "node 0 not in the run node mask";
  ldata_hdr* h = make_ldata(1, 64);
  make_cache({{0, 1, 2, 3, 8}});
  write_cpulist(0, "0-3,8\n");
  build_l_nodes(dir_.c_str(), nullptr);
  EXPECT_EQ(1, h->avail_node_cnt);
  EXPECT_EQ(5, h->avail_cpu_cnt);
  EXPECT_EQ(5, ld.l_nodes[0].num_cpus);
  EXPECT_EQ(8u, ld.l_nodes[0].cpus[4]);
  EXPECT_STREQ("0-3,8\n", ld.l_nodes[0].cpulist);
}

TEST_F(LNodes, NodeWithoutCpusIsNoLaunchNode) {
  if (!run0_) GTEST_SKIP() << "node 0 not in the run node mask";
  ldata_hdr* h = make_ldata(1, 64);
  make_cache({{}});
  build_l_nodes(dir_.c_str(), nullptr);  // no cpulist needed: the node is skipped
  EXPECT_EQ(0, h->avail_node_cnt);
  EXPECT_EQ(0, h->avail_cpu_cnt);
  EXPECT_EQ(-1, ld.l_nodes[0].node_id);
  EXPECT_EQ(0, ld.l_nodes[0].num_cpus);
}

TEST_F(LNodes, MissingCpulistIsTerminating) {
  if (!run0_) GTEST_SKIP() << "node 0 not in the run node mask";
  make_ldata(1, 64);
  make_cache({{0}});
  EXPECT_EXIT(build_l_nodes(dir_.c_str(), nullptr), ::testing::ExitedWithCode(1), "");
}

// --- the cache on this machine ----------------------------------------------

TEST_F(Topo, CacheOfThisMachine) {
  const int n = numa_num_configured_nodes();
  ldata_hdr* h = make_ldata(n, numa_num_possible_cpus(), numa_num_possible_nodes());
  is_initial_process = 1;
  ASSERT_EQ(0, build_node_cpu_cache());
  EXPECT_EQ(n, node_cpu_cache_cnt);
  EXPECT_EQ(nullptr, node_cpus(-1));
  EXPECT_EQ(nullptr, node_cpus(n));
  unsigned total = 0;
  for (int i = 0; i < n; i++) {
    ASSERT_NE(nullptr, node_cpus(i));
    EXPECT_EQ((unsigned long)h->possible_cpu_cnt, node_cpus(i)->size);
    total += mask_weight(node_cpus(i));
  }
  EXPECT_EQ((unsigned)numa_num_configured_cpus(), total) << "every CPU is on one node";

  // Without a node list the run node mask becomes the list.
  setup_initial_launch_nodes();
  bitmask* run = numa_get_run_node_mask();
  std::string expect;
  for (unsigned i = 0; i < run->size; i++)
    if (numa_bitmask_isbitset(run, i)) expect += (expect.empty() ? "" : ",") + std::to_string(i);
  numa_bitmask_free(run);
  EXPECT_EQ(expect, h->launch_nodes);
  ASSERT_NE(nullptr, initial_cpu_mask);
  EXPECT_EQ(total, mask_weight(initial_cpu_mask));

  // An exec'd process rebuilds its initial masks from the launch nodes the
  // first process recorded in l_nodes.
  build_l_nodes(kSysNodeDir, nullptr);
  free_masks();
  is_initial_process = 0;
  ASSERT_EQ(0, build_node_cpu_cache());
  ASSERT_NE(nullptr, initial_node_mask);
  EXPECT_EQ(expect, list_of(initial_node_mask, 256));
  EXPECT_EQ(total, mask_weight(initial_cpu_mask));
  EXPECT_EQ(nullptr, node_cpu_pending) << "every node is a launch node";
}

// An exec'd process reads a node outside the launch only once a thread's
// affinity reaches its CPUs: then the node counts as the thread's.
TEST_F(Topo, ExecdProcessReadsANodeOutsideTheLaunchWhenReached) {
  const int n = numa_num_configured_nodes() + 1;  // the last one is made up
  ldata_hdr* h = make_ldata(n, numa_num_possible_cpus(), numa_num_possible_nodes());
  h->avail_node_cnt = 1;
  ld.l_nodes[0].node_id = n - 1;
  ld.l_nodes[0].num_cpus = 1;
  ld.l_nodes[0].cpus[0] = (unsigned)numa_num_possible_cpus() - 1;
  ldata_keep_bounds(&ld, h);
  is_initial_process = 0;
  ASSERT_EQ(0, build_node_cpu_cache());
  ASSERT_NE(nullptr, node_cpu_pending) << "this machine's nodes are not read at start-up";
  EXPECT_EQ(0u, mask_weight(node_cpus(0)));
  EXPECT_EQ(0, get_launch_node());
  EXPECT_EQ(nullptr, node_cpu_pending);
  EXPECT_LT(0u, mask_weight(node_cpus(0)));
}

// A launch node this process may not take memory from (its cpuset allows
// fewer nodes than the first process's did).
TEST_F(Topo, ExecdProcessRefusesAnUnusableNodeList) {
  const int n = numa_num_configured_nodes() + 1;
  ldata_hdr* h = make_ldata(n, numa_num_possible_cpus(), numa_num_possible_nodes());
  strcpy(h->launch_nodes, std::to_string(n - 1).c_str());
  h->avail_node_cnt = 1;
  ld.l_nodes[0].node_id = n - 1;
  ld.l_nodes[0].num_cpus = 1;
  ld.l_nodes[0].cpus[0] = 0;
  ldata_keep_bounds(&ld, h);
  is_initial_process = 0;
  EXPECT_EQ(-1, build_node_cpu_cache());
}

TEST_F(Topo, InitialProcessWithANodeListMovesOntoIt) {
  ldata_hdr* h = make_ldata(numa_num_configured_nodes(), numa_num_possible_cpus(),
                            numa_num_possible_nodes());
  bitmask* run = numa_get_run_node_mask();
  std::string first;
  for (unsigned i = 0; i < run->size && first.empty(); i++)
    if (numa_bitmask_isbitset(run, i)) first = std::to_string(i);
  numa_bitmask_free(run);
  strcpy(h->launch_nodes, first.c_str());
  is_initial_process = 1;
  // In a child: the process's own placement changes.
  EXPECT_EXIT(
      {
        build_node_cpu_cache();
        setup_initial_launch_nodes();
        bool ok = list_of(initial_node_mask, 64) == first && mask_weight(initial_cpu_mask) > 0 &&
                  std::string(h->launch_nodes) == first;
        _exit(ok ? 3 : 4);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
