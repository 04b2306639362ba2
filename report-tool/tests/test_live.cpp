// Decoding a launch data file image for --live.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>

#include "live.h"

using namespace zr;

namespace {

template <typename T>
void put(std::string& b, std::size_t off, T v) {
  std::memcpy(&b[off], &v, sizeof v);
}

void put_text(std::string& b, std::size_t off, const char* s) { std::memcpy(&b[off], s, std::strlen(s) + 1); }

// A data file of a launch on `n` configured nodes, two of them in use
// (nodes 0 and 2, CPUs 0-1 and 4-5), written by the documented layout.
std::string image(int n = 3) {
  const std::size_t T = 4 + static_cast<std::size_t>(n) * 1032, pt = 2048 + static_cast<std::size_t>(n) * 1288;
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
    put<int32_t>(b, pt + 2 * T + rec, 5 + i);       // proc_log node_launched
    put<int32_t>(b, pt + 2 * T + rec + 8 + 4, 3);   // proc_log cpu_launched[1]
    put<int32_t>(b, pt + 3 * T + rec, 10 + i);      // thrd_log node_launched
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
  EXPECT_EQ(run_live("/nonexistent/zyg-nox.data", -1, out, err), 2);
  EXPECT_NE(err.str().find("cannot read /nonexistent/zyg-nox.data"), std::string::npos) << err.str();
}

}  // namespace
