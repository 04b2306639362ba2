// The JSON document: what it carries of the model, streamed in the bytes
// nlohmann-json writes for it whatever the log holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "launches.h"
#include "views/views.h"

using namespace zr;
using namespace zr_test;

namespace {

// Text from the log that JSON must escape or replace: quotes, control
// bytes, invalid UTF-8; and times whose binary fractions are long.
std::string odd_log() {
  return banner("rr_tree", "rr_flat", "No", "0-1", 100, 2, 2) + header() +
         rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start", "a\"b", "x \"y\" \\z \x01 ") +
         rec(2140528, 2, 101, 101, 100, "1", "-1", "child start in fork()", "sh", "\xff\xfe bad ") +
         rec(2140529, 3, 100, 100, 1, "0", "-1", "Created PID 101", "sh", "sh ") +
         rec(9999999, 4, 100, 100, 1, "0", "-1", "exit()", "sh", "sh ");
}

class JsonBytes : public ::testing::TestWithParam<std::string> {};

// The streamed document is byte for byte what nlohmann-json writes for
// the same document (members in name order, its number and string forms),
// as the report wrote it when it built the document as one tree.
TEST_P(JsonBytes, AreWhatNlohmannWrites) {
  std::string text;
  if (GetParam() == "odd") {
    text = odd_log();
  } else {
    std::ifstream in(ZYG_SOURCE_DIR "/report-tool/tests/data/" + GetParam() + ".log",
                     std::ios::binary);
    ASSERT_TRUE(in);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  Built b;
  build(text, b);
  std::ostringstream out;
  write_json(out, b.rep);
  const auto doc = nlohmann::json::parse(out.str());
  EXPECT_EQ(out.str(), doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

std::vector<std::string> json_cases() {
  std::vector<std::string> names{"odd"};
  for (const auto& e :
       std::filesystem::directory_iterator(ZYG_SOURCE_DIR "/report-tool/tests/data"))
    if (e.path().extension() == ".log") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Logs, JsonBytes, ::testing::ValuesIn(json_cases()), [](const auto& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

// A node's threads in version 1 are every placement of the thread policy,
// as the library counts them: a main thread placed at its first thread
// creation is one (main_threads says how many).
TEST(Outputs, NodeThreadsKeepTheirFirstMeaning) {
  ParsedLog log;
  Launch L = build(small_tree(), &log);
  Report rep{"run.log", {}, {L}};
  std::ostringstream out;
  write_json(out, rep);
  const auto nodes = nlohmann::json::parse(out.str())["launches"][0]["nodes"];
  std::map<std::string, std::pair<int, int>> rows;
  for (const auto& n : nodes) rows[n["node"]] = {n["threads"], n["main_threads"]};
  EXPECT_EQ(rows["2"], std::make_pair(1, 1));  // 102's main thread
  EXPECT_EQ(rows["3"], std::make_pair(1, 0));  // its thread 105
}

// Under L3 units the JSON has the per-domain table the text shows.
TEST(Outputs, DomainTableUnderL3) {
  const std::string text =
      with_l3(banner("rr_tree", "rr_flat", "No", "0-1", 100, 2, 2), "0-1@0 2-3@1") + header(true) +
      rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start", "app", "app ", "0-1") +
      rec(4, 2, 100, 100, 1, "0", "-1", "user's pthread_create() main thrd", "app", "app ", "0-1") +
      rec(5, 3, 101, 100, 1, "1", "-1", "child start in pthread_create() by user", "app", "app ",
          "2-3");
  Built b;
  build(text, b);
  std::ostringstream out;
  write_json(out, b.rep);
  EXPECT_EQ(nlohmann::json::parse(out.str())["launches"][0]["domains"],
            nlohmann::json::parse(R"([
      {"cpus":"0-1","main_threads":1,"node":0,"processes":1,"threads":1},
      {"cpus":"2-3","main_threads":0,"node":1,"processes":0,"threads":1}])"));
}

TEST(Outputs, JsonCarriesTheTree) {
  ParsedLog log;
  Launch L = build(small_tree(), &log);
  Report rep{"run.log", {}, {L}};
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
  std::string text = banner() + header() +
                     rec(1000003, 1, 100, 100, 1, "0", "-1", "initial exec start") +
                     rec(2140528, 2, 100, 100, 1, "0", "-1", "exit()");
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", {}, {L}};
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
  std::string text =
      banner() + header() +
      rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start", "app", "app \xff\xfe ");
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", {}, {L}};
  std::ostringstream out;
  write_json(out, rep);
  nlohmann::json j;
  EXPECT_NO_THROW(j = nlohmann::json::parse(out.str()));
  EXPECT_EQ(j["launches"][0]["processes"][0]["cmdline"].get<std::string>().substr(0, 4), "app ");
}

// A job's document: the bytes nlohmann-json writes for it, and each rank
// and host pointing at its own launch and process.
TEST(Outputs, JobJsonIsNlohmannsBytesAndItsIndexesPointHome) {
  HostLog a(job_banner("slurm 9.0", "hosta", "3, 2 on this host"));
  a.rank(100, "Job rank 1 of 3 (local 0)", "0", "-1", 10, 900);
  a.child(100, 101, "1", "-1", 20, 100);
  a.rank(200, "Job rank 0 of 3 (local 1)", "1", "-1", 12, 950);
  HostLog b(job_banner("slurm 9.0", "hostb", "3, 1 on this host", "Yes"));
  b.root(50, "0", "0", 5, 20);
  b.rank(60, "Job rank 2", "1", "1", 10, 900);
  BuiltJob built;
  build({{"run.hosta.log", a.text()}, {"run.hostb.log", b.text()}}, built);
  std::ostringstream out;
  write_json(out, built.job);
  const auto doc = nlohmann::json::parse(out.str());
  EXPECT_EQ(out.str(), doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  EXPECT_EQ(doc["format"], "zyg-nox-job-report");
  ASSERT_EQ(doc["ranks"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& r = doc["ranks"][i];
    EXPECT_EQ(r["rank"], i);
    const auto& launch = doc["logs"][r["log"].get<int>()]["launches"][r["launch"].get<int>()];
    EXPECT_EQ(launch["processes"][r["process"].get<int>()]["pid"], r["pid"]);
    const auto& host = doc["hosts"][r["host"].get<int>()];
    EXPECT_NE(std::find(host["ranks"].begin(), host["ranks"].end(), i), host["ranks"].end());
  }
  EXPECT_EQ(doc["settings"]["cpu_launch"], nullptr);
  EXPECT_EQ(doc["settings"]["differences"][0]["setting"], "CPU launch");
}

}  // namespace
