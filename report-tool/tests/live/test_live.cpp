// Decoding a launch data file image for --live, and reading where a
// process's memory is.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/ldata.h"
#include "live/data_file.h"
#include "live/live.h"
#include "live/memory.h"
#include "live/view.h"

using namespace zr;

namespace {

template <typename T>
void put(std::string& b, std::size_t off, T v) {
  std::memcpy(&b[off], &v, sizeof v);
}

void put_text(std::string& b, std::size_t off, const char* s) {
  std::memcpy(&b[off], s, std::strlen(s) + 1);
}

// A data file of a launch on `n` configured nodes, two of them in use
// (nodes 0 and 2, CPUs 0-1 and 4-5), written by the documented layout.
std::string image(int n = 3) {
  const std::size_t T = 4 + static_cast<std::size_t>(n) * 1032,
                    pt = 2048 + static_cast<std::size_t>(n) * 1288;
  std::string b(pt + 4 * T, '\0');
  put<uint32_t>(b, 0, 1);
  put<uint32_t>(b, 4, 2048);
  put<uint32_t>(b, 8, static_cast<uint32_t>(pt));
  put<uint32_t>(b, 12, static_cast<uint32_t>(pt + T));
  put<uint32_t>(b, 16, static_cast<uint32_t>(pt + 2 * T));
  put<uint32_t>(b, 20, static_cast<uint32_t>(pt + 3 * T));
  put<int32_t>(b, 24, 3);   // lib_loaded_cnt
  put<int32_t>(b, 28, 2);   // avail_node_cnt
  put<int32_t>(b, 32, n);   // config_node_cnt
  put<int32_t>(b, 36, 4);   // avail_cpu_cnt
  put<uint32_t>(b, 44, 1);  // cpu_launch
  put<int32_t>(b, 80, 4321);
  put<uint32_t>(b, 88, 17);
  put_text(b, 311, "0,2");
  put_text(b, 568, "/dev/shm/zyg-nox.4321");
  put_text(b, 633, "/tmp/run.log");
  put_text(b, 1918, "rr_tree");
  put_text(b, 1983, "rr_flat");
  const int ids[2] = {0, 2};
  for (int i = 0; i < 2; ++i) {
    std::size_t e = 2048 + static_cast<std::size_t>(i) * 1288;
    put<int32_t>(b, e, ids[i]);
    put<int32_t>(b, e + 4, 2);
    put_text(b, e + 8, i == 0 ? "0-1\n" : "4-5\n");  // as sysfs writes it
    put<uint32_t>(b, e + 264, static_cast<uint32_t>(ids[i] * 2));
    put<uint32_t>(b, e + 268, static_cast<uint32_t>(ids[i] * 2 + 1));
    std::size_t rec = 4 + static_cast<std::size_t>(i) * 1032;
    put<int32_t>(b, pt + 2 * T + rec, 5 + i);      // proc_log node_launched
    put<int32_t>(b, pt + 2 * T + rec + 8 + 4, 3);  // proc_log cpu_launched[1]
    put<int32_t>(b, pt + 3 * T + rec, 10 + i);     // thrd_log node_launched
  }
  return b;
}

TEST(DataFile, DecodesHeaderNodesAndCounters) {
  LiveData d;
  std::string why;
  ASSERT_TRUE(decode_data_file(image(), d, why)) << why;
  EXPECT_EQ(d.initial_pid, 4321);
  EXPECT_EQ(d.lib_loaded_cnt, 3);
  EXPECT_TRUE(d.cpu_launch);
  EXPECT_EQ(d.launch_nodes, "0,2");
  EXPECT_EQ(d.proc_policy, "rr_tree");
  EXPECT_EQ(d.thrd_policy, "rr_flat");
  EXPECT_EQ(d.log_file, "/tmp/run.log");
  EXPECT_EQ(d.log_entry_cnt, 17u);
  ASSERT_EQ(d.nodes.size(), 2u);
  EXPECT_EQ(d.nodes[1].node_id, 2);
  EXPECT_EQ(d.nodes[1].cpus, (std::vector<int>{4, 5}));
  EXPECT_EQ(d.nodes[1].cpulist, "4-5");
  EXPECT_EQ(d.nodes[0].proc_log, 5);
  EXPECT_EQ(d.nodes[1].proc_log, 6);
  EXPECT_EQ(d.nodes[1].thrd_log, 11);
  EXPECT_EQ(d.nodes[0].cpu_proc, (std::vector<int>{0, 3}));
}

// The numbers of the data file's layout that this tool reads, as image()
// writes them: a change to core/ldata.h that moves one of them changes what
// every reader of an existing file sees, and must come with a new version.
TEST(DataFile, LayoutNumbersArePinned) {
#define ZYG_AT(type, field, at) \
  { #type "." #field, offsetof(zyg::type, field), at }
#define ZYG_SIZE(type, at) \
  { "sizeof " #type, sizeof(zyg::type), at }
#define ZYG_FIELD_SIZE(type, field, at) \
  { "sizeof " #type "." #field, sizeof(zyg::type::field), at }
  const struct {
    const char* what;
    std::size_t is, pinned;
  } pins[] = {
      {"kLdataVersion", zyg::kLdataVersion, 1},
      {"kMaxCpusPerNode", zyg::kMaxCpusPerNode, 256},
      {"kMaxConfigNodes", zyg::kMaxConfigNodes, 4096},
      ZYG_SIZE(ldata_hdr, 2048),
      ZYG_AT(ldata_hdr, version, 0),
      ZYG_AT(ldata_hdr, l_nodes_offset, 4),
      ZYG_AT(ldata_hdr, proc_tree_offset, 8),
      ZYG_AT(ldata_hdr, thrd_tree_offset, 12),
      ZYG_AT(ldata_hdr, proc_log_offset, 16),
      ZYG_AT(ldata_hdr, thrd_log_offset, 20),
      ZYG_AT(ldata_hdr, lib_loaded_cnt, 24),
      ZYG_AT(ldata_hdr, avail_node_cnt, 28),
      ZYG_AT(ldata_hdr, config_node_cnt, 32),
      ZYG_AT(ldata_hdr, avail_cpu_cnt, 36),
      ZYG_AT(ldata_hdr, cpu_launch, 44),
      ZYG_AT(ldata_hdr, initial_pid, 80),
      ZYG_AT(ldata_hdr, log_entry_cnt, 88),
      ZYG_AT(ldata_hdr, launch_nodes, 311),
      ZYG_FIELD_SIZE(ldata_hdr, launch_nodes, 257),
      ZYG_AT(ldata_hdr, data_file, 568),
      ZYG_FIELD_SIZE(ldata_hdr, data_file, 65),
      ZYG_AT(ldata_hdr, log_file, 633),
      ZYG_FIELD_SIZE(ldata_hdr, log_file, 257),
      ZYG_AT(ldata_hdr, error_file, 890),
      ZYG_FIELD_SIZE(ldata_hdr, error_file, 257),
      ZYG_AT(ldata_hdr, proc_policy_name, 1918),
      ZYG_FIELD_SIZE(ldata_hdr, proc_policy_name, 65),
      ZYG_AT(ldata_hdr, thrd_policy_name, 1983),
      ZYG_FIELD_SIZE(ldata_hdr, thrd_policy_name, 65),
      ZYG_SIZE(l_node, 1288),
      ZYG_AT(l_node, node_id, 0),
      ZYG_AT(l_node, num_cpus, 4),
      ZYG_AT(l_node, cpulist, 8),
      ZYG_FIELD_SIZE(l_node, cpulist, 256),
      ZYG_AT(l_node, cpus, 264),
      ZYG_SIZE(node_table, 4),
      ZYG_SIZE(node_rec, 1032),
      ZYG_AT(node_rec, node_launched, 0),
      ZYG_AT(node_rec, cpu_launched, 8),
  };
#undef ZYG_AT
#undef ZYG_SIZE
#undef ZYG_FIELD_SIZE
  for (const auto& p : pins) EXPECT_EQ(p.is, p.pinned) << p.what;
}

struct Broken {
  const char* name;
  std::size_t offset;
  uint32_t value;
  const char* why_part;
};

class BrokenDataFile : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenDataFile, IsRefusedWithAReason) {
  std::string b = image();
  put<uint32_t>(b, GetParam().offset, GetParam().value);
  LiveData d;
  std::string why;
  EXPECT_FALSE(decode_data_file(b, d, why));
  EXPECT_NE(why.find(GetParam().why_part), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(Fields, BrokenDataFile,
                         ::testing::Values(Broken{"version", 0, 2, "version 2"},
                                           Broken{"node_count", 32, 0, "node count"},
                                           Broken{"offsets", 8, 4096, "offsets"},
                                           Broken{"avail_nodes", 28, 9, "available node count"},
                                           Broken{"cpus_per_node", 2048 + 4, 300, "CPUs"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DataFile, ShortOrCutFilesAreRefused) {
  LiveData d;
  std::string why;
  EXPECT_FALSE(decode_data_file(std::string(100, '\0'), d, why));
  std::string b = image();
  b.resize(b.size() - 1);
  EXPECT_FALSE(decode_data_file(b, d, why));
  EXPECT_NE(why.find("layout needs"), std::string::npos) << why;
}

// A data file named by its path that is not there cannot be read (status 2);
// only a launch that was named by its PID, or that was already shown, has
// ended when its file is gone (status 5).
TEST(Live, MissingFileNamedByPathCannotBeRead) {
  std::ostringstream out, err;
  EXPECT_EQ(run_live({"/nonexistent/zyg-nox.data"}, out, err), 2);
  EXPECT_NE(err.str().find("cannot read /nonexistent/zyg-nox.data"), std::string::npos)
      << err.str();
}

// One line of /proc/<pid>/numa_maps, and the bytes it adds: the process's
// own pages per node, and every page.
struct NumaLine {
  const char* name;
  const char* line;
  std::map<int, uint64_t> own;
  uint64_t resident;
};

class NumaMapsLine : public ::testing::TestWithParam<NumaLine> {};

TEST_P(NumaMapsLine, CountsItsPagesByNode) {
  const ProcMemory m = parse_numa_maps(GetParam().line, 4096);
  EXPECT_EQ(m.own, GetParam().own);
  EXPECT_EQ(m.resident, GetParam().resident);
}

constexpr uint64_t kPage = 4096, kHuge = 2048 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Lines, NumaMapsLine,
    ::testing::Values(
        NumaLine{"heap",
                 "55d0 default heap anon=33 dirty=33 N0=30 N1=3 kernelpagesize_kB=4",
                 {{0, 30 * kPage}, {1, 3 * kPage}},
                 33 * kPage},
        NumaLine{"bound_anon",
                 "7f00 bind:3 anon=16384 dirty=16384 N3=16384 kernelpagesize_kB=4",
                 {{3, 16384 * kPage}},
                 16384 * kPage},
        NumaLine{
            "shared_library",
            "7f10 default file=/usr/lib/libc.so.6 mapped=40 mapmax=60 N0=40 kernelpagesize_kB=4",
            {},
            40 * kPage},
        NumaLine{"private_copy",
                 "7f20 default file=/usr/lib/libc.so.6 anon=2 dirty=2 N2=2 kernelpagesize_kB=4",
                 {},
                 2 * kPage},
        NumaLine{"shared_anonymous",
                 "7f30 default file=/dev/zero\\040(deleted) dirty=5 N1=5 kernelpagesize_kB=4",
                 {{1, 5 * kPage}},
                 5 * kPage},
        NumaLine{"huge_pages",
                 "7f40 default file=/anon_hugepage\\040(deleted) huge dirty=3 N1=3 "
                 "kernelpagesize_kB=2048",
                 {{1, 3 * kHuge}},
                 3 * kHuge},
        NumaLine{"no_page_size", "7f50 default anon=2 dirty=2 N0=2", {{0, 2 * kPage}}, 2 * kPage},
        NumaLine{"nothing_resident", "7f60 default stack anon=0", {}, 0},
        NumaLine{"garbage", "N0=x N=3 Nx=4 N1=5y", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NumaMaps, LinesAddUp) {
  const ProcMemory m = parse_numa_maps(
      "1 default heap anon=4 dirty=4 N0=4 kernelpagesize_kB=4\n"
      "2 default file=/usr/bin/python3 mapped=10 N2=10 kernelpagesize_kB=4\n"
      "3 default anon=8 dirty=8 N0=6 N2=2 kernelpagesize_kB=4\n",
      4096);
  EXPECT_EQ(m.own, (std::map<int, uint64_t>{{0, 10 * kPage}, {2, 2 * kPage}}));
  EXPECT_EQ(m.resident, 22 * kPage);
}

// The own pages on nodes the tasks do not run on, as a share of all own
// pages, and when that share is warned about.
struct Share {
  const char* name;
  std::map<int, uint64_t> own;
  std::set<int> run_nodes;
  uint64_t remote;
  double share;
  bool warns;
};

class MemoryShareOf : public ::testing::TestWithParam<Share> {};

TEST_P(MemoryShareOf, SplitsLocalAndRemote) {
  const Share& c = GetParam();
  const MemoryShare s = memory_share(c.own, c.run_nodes);
  uint64_t all = 0;
  for (const auto& [node, bytes] : c.own) all += bytes;
  EXPECT_EQ(s.remote, c.remote);
  EXPECT_EQ(s.local, all - c.remote);
  EXPECT_DOUBLE_EQ(s.share, c.share);
  EXPECT_EQ(memory_warns(s), c.warns);
}

constexpr uint64_t kMiB = 1 << 20;

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryShareOf,
    ::testing::Values(
        Share{"all_local", {{2, 64 * kMiB}}, {2}, 0, 0.0, false},
        Share{"all_remote", {{1, 64 * kMiB}}, {3}, 64 * kMiB, 1.0, true},
        Share{"two_run_nodes",
              {{0, 8 * kMiB}, {1, 8 * kMiB}, {2, 16 * kMiB}},
              {0, 1},
              16 * kMiB,
              0.5,
              true},
        Share{"at_the_threshold", {{0, 48 * kMiB}, {1, 16 * kMiB}}, {0}, 16 * kMiB, 0.25, false},
        Share{"above_the_threshold",
              {{0, 47 * kMiB}, {1, 17 * kMiB}},
              {0},
              17 * kMiB,
              17.0 / 64,
              true},
        Share{"small_remote", {{0, kMiB}, {1, 3 * kMiB}}, {0}, 3 * kMiB, 0.75, false},
        Share{"no_memory", {}, {0}, 0, 0.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- One look, built by hand -------------------------------------------------

// A process of `cpus` (its tasks' allowed CPUs) whose own memory is `own`.
live::Proc proc(long pid, std::vector<std::pair<std::string, int>> tasks,
                std::map<int, uint64_t> own) {
  live::Proc p;
  p.pid = pid;
  p.comm = "app";
  for (auto& [allowed, cpu] : tasks) {
    live::Task t;
    t.tid = pid + static_cast<long>(p.tasks.size());
    t.allowed = allowed;
    t.processor = cpu;
    t.state = 'S';
    p.tasks.push_back(t);
  }
  p.memory_known = true;
  p.memory.own = std::move(own);
  return p;
}

live::View hbm_view(const char* mode) {
  live::View v;
  v.d.memory_mode = mode;
  v.d.proc_policy = "rr_tree";
  v.d.thrd_policy = "none";
  for (int n : {0, 1}) {
    LiveNode e;
    e.node_id = n;
    e.cpulist = n ? "4-7" : "0-3";
    e.cpus = n ? std::vector<int>{4, 5, 6, 7} : std::vector<int>{0, 1, 2, 3};
    e.mem_node = n + 2;
    v.d.nodes.push_back(e);
  }
  return v;
}

// Under --memory, memory on the memory node the launch chose for a task's
// node is the process's own: no warning for pages exactly where the mode
// put them, one naming both for pages elsewhere.
TEST(LiveMemory, TheChosenMemoryNodeIsNotRemote) {
  live::View v = hbm_view("nearest-memonly");
  v.procs = {proc(10, {{"0-3", 1}}, {{2, 64 * kMiB}}),
             proc(20, {{"4-7", 5}}, {{2, 32 * kMiB}, {3, 32 * kMiB}})};
  live::place_view(v);
  EXPECT_EQ(v.procs[0].memory_nodes, (std::set<int>{2}));
  EXPECT_EQ(v.procs[0].share.remote, 0u);
  const auto warnings = live::memory_warnings(v);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0],
            "PID 20 (app): 50% of its own memory (32.0 MiB) is on nodes other than 1, where its "
            "tasks run, and 3, where --memory puts it");
  std::ostringstream text, json;
  live::write_live_text(text, v);
  live::write_live_json(json, v);
  EXPECT_NE(text.str().find("  memory nearest-memonly (node 0 -> 2, node 1 -> 3)\n"),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("tasks now  Memory node\n"), std::string::npos) << text.str();
  const auto doc = nlohmann::json::parse(json.str());
  EXPECT_EQ(doc["memory_mode"], "nearest-memonly");
  EXPECT_EQ(doc["unit"], "node");
  EXPECT_EQ(doc["nodes"][1]["memory_node"], 3);
  EXPECT_EQ(doc["processes"][0]["memory_nodes"], nlohmann::json({2}));
}

// Under L3 units each entry is a domain: its row says so, and counts the
// tasks on its own CPUs, not its node's.
TEST(LiveDomains, RowsAreDomainsWithTheirOwnTasks) {
  live::View v;
  v.d.l3 = true;
  v.d.memory_mode = "local";
  const std::pair<const char*, int> domains[] = {{"0-1", 0}, {"4-5", 1}, {"2-3", 0}, {"6-7", 1}};
  for (const auto& [list, node] : domains) {
    LiveNode e;
    e.node_id = node;
    e.cpulist = list;
    v.d.nodes.push_back(e);
  }
  v.procs = {proc(10, {{"0-1", 0}, {"4-5", 4}, {"2-3", 3}}, {}),
             proc(20, {{"4-5", 5}, {"2-3", 2}, {"6-7", 7}}, {})};
  live::place_view(v);
  EXPECT_EQ(live::tasks_now(v), (std::map<int, int>{{0, 1}, {1, 2}, {2, 2}, {3, 1}}));
  std::ostringstream text, json;
  live::write_live_text(text, v);
  live::write_live_json(json, v);
  EXPECT_NE(text.str().find("  unit l3 (4 L3 domains)\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("  L3 domain    Node "), std::string::npos) << text.str();
  const auto doc = nlohmann::json::parse(json.str());
  EXPECT_EQ(doc["unit"], "l3");
  EXPECT_EQ(doc["nodes"][2]["l3_domain"], "2-3");
  EXPECT_EQ(doc["nodes"][2]["tasks_now"], 2);
}

}  // namespace
