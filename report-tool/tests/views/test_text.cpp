// The text report: where a task ran last, alike leaves grouped, --depth and
// --top, the L3 domains and memory placement only when the banner has them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "launches.h"
#include "views/views.h"

using namespace zr;
using namespace zr_test;

namespace {

TEST(Outputs, WhereATaskRanLastIsShown) {
  ParsedLog log;
  Launch L = build(numactl_in_the_tree(), &log);
  const Process* p = find(L, 101);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->node, "1");
  EXPECT_EQ(p->last_node(), "3");
  Report rep{"x", {}, {L}};
  std::ostringstream text;
  write_text(text, rep, TextOptions{});
  EXPECT_NE(text.str().find("101 sh > numactl > sh  [node 3 (placed on node 1)]"),
            std::string::npos)
      << text.str();
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

TEST(Outputs, TextGroupsAlikeLeavesAndHonoursDepthAndTop) {
  std::string text = banner("rr_tree", "none", "No", "0-3", 100) + header() +
                     rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start", "make", "make ");
  int e = 2;
  for (int i = 0; i < 6; ++i) {
    long pid = 200 + i;
    text += rec(10 + i, e++, 100, 100, 1, "0", "-1", "Created PID " + std::to_string(pid), "make",
                "make ");
    text += rec(20 + i, e++, pid, pid, 100, "1", "-1", "child start in fork()", "make", "make ");
    text += rec(30 + i, e++, pid, pid, 100, "1", "-1", "execve(/usr/bin/cc)", "make", "make ");
    text += rec(40 + i, e++, pid, pid, 100, "1", "-1", "child exec start", "cc", "cc -c x.c ");
    text += rec(50 + i, e++, pid, pid, 100, "1", "-1", "exit()", "cc", "cc -c x.c ");
  }
  ParsedLog log;
  Launch L = build(text, &log);
  Report rep{"x", {}, {L}};
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
  EXPECT_NE(shallow.str().find("6 descendant processes below depth 0"), std::string::npos)
      << shallow.str();
}

// The unit lines only a launch under --unit=l3 writes in its banner.
std::string with_l3_lines(std::string text) {
  const std::string at = "Available node count  | 4\n";
  return text.insert(
      text.find(at) + at.size(),
      "Placement unit        | l3\nL3 domains            | 0-1@0 2-3@0 4-5@1 6-7@1\n");
}

}  // namespace

// Under L3 units the settings show the unit and each domain with its node,
// in the text and in the JSON; a launch under node units shows neither.
TEST(UnitView, SettingsShowTheDomainsOnlyUnderL3) {
  const std::string log = banner("rr_tree", "rr_flat", "No", "0-1", 100, 2, 4) + header() +
                          rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start");
  for (bool l3 : {false, true}) {
    Built b;
    build(l3 ? with_l3_lines(log) : log, b);
    std::ostringstream text, json;
    write_text(text, b.rep, TextOptions{});
    write_json(json, b.rep);
    const auto settings = nlohmann::json::parse(json.str())["launches"][0]["settings"];
    EXPECT_EQ(count(text.str(), "Placement unit     l3\n"), l3 ? 1u : 0u);
    EXPECT_EQ(count(text.str(), "L3 domains         0-1@0 2-3@0 4-5@1 6-7@1"), l3 ? 1u : 0u);
    // Under L3 units the banner's available count is the domains'.
    EXPECT_EQ(count(text.str(), l3 ? "Nodes              2 configured; 4 L3 domains available\n"
                                   : "Nodes              4 available of 2 configured\n"),
              1u)
        << text.str();
    EXPECT_EQ(settings.contains("unit"), l3);
    EXPECT_EQ(count(text.str(), "Per L3 domain"), l3 ? 1u : 0u);
    EXPECT_FALSE(
        nlohmann::json::parse(json.str())["launches"][0]["processes"][0].contains("l3_domain"));
    if (!l3) continue;
    EXPECT_EQ(settings["unit"], "l3");
    EXPECT_EQ(settings["l3_domains"], nlohmann::json::parse(R"([{"cpus":"0-1","node":0},
      {"cpus":"2-3","node":0},{"cpus":"4-5","node":1},{"cpus":"6-7","node":1}])"));
    EXPECT_TRUE(b.log.sections[0].banner.unit == "l3");
  }
}

// Under L3 units each record names its domain: the text counts the tasks per
// domain of the banner (and "-" for those within none) and shows each task's
// domain in the tree; the JSON has it per task, null for "-".
TEST(UnitView, TasksPerDomainFromTheL3Column) {
  const std::string log =
      with_l3_lines(banner("rr_tree", "rr_flat", "No", "0-1", 100, 2, 4)) + header(true) +
      rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start", "app", "app ", "0-1") +
      rec(10, 2, 100, 100, 1, "0", "-1", "Created PID 101", "app", "app ", "0-1") +
      rec(20, 3, 101, 101, 100, "1", "-1", "child start in fork()", "app", "app ", "4-5") +
      rec(30, 4, 102, 101, 100, "1", "-1", "child start in pthread_create() by user", "app", "app ",
          "4-5") +
      rec(40, 5, 100, 100, 1, "0", "-1", "Created PID 103", "app", "app ", "0-1") +
      rec(50, 6, 103, 103, 100, "0,1", "-1", "child start in fork()", "app", "app ", "-");
  Built b;
  build(log, b);
  EXPECT_TRUE(b.log.bad_lines.empty());
  std::ostringstream text, json;
  write_text(text, b.rep, TextOptions{});
  write_json(json, b.rep);
  EXPECT_NE(text.str().find("Per L3 domain\n"
                            "  Domain CPUs  Node  Processes  Threads\n"
                            "  0-1             0          1        0\n"
                            "  2-3             0          0        0\n"
                            "  4-5             1          1        1\n"
                            "  6-7             1          0        0\n"
                            "  -               -          1        0\n"),
            std::string::npos)
      << text.str();
  EXPECT_EQ(count(text.str(), "101 app  [node 1 l3 4-5]"), 1u) << text.str();
  EXPECT_EQ(count(text.str(), "thread 102  [node 1 l3 4-5]"), 1u) << text.str();
  const auto procs = nlohmann::json::parse(json.str())["launches"][0]["processes"];
  EXPECT_EQ(procs[0]["l3_domain"], "0-1");
  EXPECT_EQ(procs[1]["l3_domain"], "4-5");
  EXPECT_EQ(procs[1]["threads"][0]["l3_domain"], "4-5");
  EXPECT_TRUE(procs[2]["l3_domain"].is_null());
}

// A launch under --memory: the banner's "Memory  placement" line shows in
// the settings, as a per-node column and in the JSON; a log without it shows
// none of them.
TEST(Outputs, MemoryPlacementOnlyWhenTheBannerHasIt) {
  std::string plain = banner("rr_tree", "none", "No", "0-1", 100, 4, 2);
  std::string with = plain;
  with.insert(with.find("\n\nPossibly"), "\nMemory  placement     | nearest-memonly 0:2 1:3");
  for (const std::string* b : {&plain, &with}) {
    const bool memory = b == &with;
    Built built;
    build(*b + header() + rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start") +
              rec(9, 2, 100, 100, 1, "0", "-1", "exit()"),
          built);
    EXPECT_TRUE(built.log.bad_lines.empty());
    std::ostringstream text, json;
    write_text(text, built.rep, TextOptions{});
    write_json(json, built.rep);
    EXPECT_EQ(memory,
              text.str().find("  Memory             nearest-memonly (node 0 -> 2, node 1 -> "
                              "3)\n") != std::string::npos);
    EXPECT_EQ(memory, text.str().find("Peak alive  Memory node\n") != std::string::npos);
    const nlohmann::json j = nlohmann::json::parse(json.str());
    const auto& launch = j["launches"][0];
    EXPECT_EQ(memory, launch["settings"].contains("memory_mode"));
    EXPECT_EQ(memory, launch["nodes"][0].contains("memory_node"));
    if (memory) {
      EXPECT_EQ(launch["settings"]["memory_nodes"][1],
                (nlohmann::json{{"memory_node", 3}, {"node", 1}}));
      EXPECT_EQ(launch["nodes"][0]["memory_node"], 2);
    }
  }
}
