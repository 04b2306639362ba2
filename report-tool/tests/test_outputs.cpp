// The JSON and HTML outputs at any size: the JSON document streamed in the
// bytes nlohmann-json writes for it, the page of a large launch drawn in
// part and summarised.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1)) ++n;
  return n;
}

struct Built {
  ParsedLog log;
  Report rep;
};

void build(const std::string& text, Built& b) {
  std::istringstream in(text);
  b.log = parse_log(in);
  b.rep.source = "run.log";
  b.rep.log = &b.log;
  for (const auto& s : b.log.sections) b.rep.launches.push_back(build_launch(s));
}

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

// A tree of `n` processes, each forking up to 8 children, all alive at
// once on nodes 0-3.
std::string tree_log(int n) {
  std::string t = banner("rr_tree", "none", "No", "0-3", 1000) + header();
  int entry = 0;
  t += rec(1, ++entry, 1000, 1000, 1, "0", "-1", "initial exec start", "driver", "driver ");
  for (int i = 1; i < n; ++i) {
    const int pid = 1000 + i, ppid = 1000 + (i - 1) / 8;
    t += rec(10L * i, ++entry, pid, pid, ppid, std::to_string(i % 4).c_str(), "-1",
             "child start in fork()", "worker", "worker ");
  }
  for (int i = n - 1; i >= 0; --i)
    t += rec(10L * n + 10L * (n - i), ++entry, 1000 + i, 1000 + i, 1, std::to_string(i % 4).c_str(),
             "-1", "exit()", "worker", "worker ");
  return t;
}

struct PageCase {
  int processes;
  bool all_drawn;
};

class Page : public ::testing::TestWithParam<PageCase> {};

// Above the lanes a chart of the tasks alive per node (a line per node of
// the table); beside them the process tree; a large launch has only part
// of its bars drawn, a line that says how many are not, and a tree cut to
// what a person reads.
TEST_P(Page, ShowsTheChartTheTreeAndWhatIsNotDrawn) {
  Built b;
  build(tree_log(GetParam().processes), b);
  const Launch& L = b.rep.launches.at(0);
  std::ostringstream out;
  write_html(out, b.rep, false);
  const std::string html = out.str();
  EXPECT_EQ(count(html, "<polyline class=\"node-line\""), L.nodes.size());
  EXPECT_LT(html.find("class=\"occupancy\""), html.find("class=\"timeline\""));
  EXPECT_GT(count(html, "<details"), 0u);
  const std::size_t bars = count(html, "<rect class=\"bar");
  const std::string tree = html.substr(html.find("<div class=\"tree\">"));
  const std::size_t tree_rows = count(tree, "<li>");  // a process with children: <li><details>
  if (GetParam().all_drawn) {
    EXPECT_EQ(bars, L.procs.size());
    EXPECT_EQ(tree_rows, L.procs.size());
    EXPECT_EQ(count(html, "not drawn"), 0u);
  } else {
    EXPECT_LT(bars, L.procs.size() / 2);
    EXPECT_LT(tree_rows, L.procs.size() / 2);
    EXPECT_EQ(count(html, std::to_string(L.procs.size() - bars) + " bars not drawn"), 1u);
    EXPECT_EQ(count(html, std::to_string(tree_rows) + " of " + std::to_string(L.procs.size()) +
                              " processes listed"),
              1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Page,
                         ::testing::Values(PageCase{200, true}, PageCase{20000, false}),
                         [](const auto& info) {
                           return "p" + std::to_string(info.param.processes);
                         });

}  // namespace

namespace {

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
    EXPECT_EQ(settings.contains("unit"), l3);
    EXPECT_EQ(count(text.str(), "Per L3 domain"), l3 ? 1u : 0u);
    EXPECT_FALSE(nlohmann::json::parse(json.str())["launches"][0]["processes"][0].contains(
        "l3_domain"));
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
