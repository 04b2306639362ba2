// The page at any size: one bar per task drawn, text escaped, a large
// launch drawn in part and summarised; and no log, however mutated, makes a
// view fail.
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
    // Said above the lanes, which are summed up by a strip each: the bars
    // drawn are a few hundred that tell something.
    EXPECT_LT(html.find(" bars not drawn"), html.find("class=\"timeline\""));
    EXPECT_EQ(count(html, "<g class=\"density\""), count(html, "class=\"lane\""));
    EXPECT_LE(bars, 700u);
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

TEST(Outputs, HtmlHasOneBarPerTaskAndEscapesText) {
  std::string tree = small_tree();
  // A command line with markup in it must stay text.
  tree += rec(600, 21, 100, 100, 1, "0", "-1", "Created PID 106", "sh", "sh ");
  tree += rec(610, 22, 106, 106, 100, "1", "-1", "child start in fork()", "sh",
              "echo <script>&x</script> ");
  ParsedLog log;
  Launch L = build(tree, &log);
  Report rep{"run<1>.log", {}, {L}};
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
  Report rep{"x", {}, {L}};
  std::ostringstream out;
  write_html(out, rep, false);
  EXPECT_EQ(count(out.str(), "<rect class=\"bar"), 2u);
  EXPECT_EQ(count(out.str(), "<rect class=\"cont"), 1u);
  EXPECT_NE(out.str().find(" 1 process, 1 thread, "), std::string::npos);
  EXPECT_LT(out.str().find("data-lane=\"0\""),
            out.str().find("data-lane=\"0,1\""));  // unbound lanes last
}

// A launch under L3 units and a memory mode: the page shows the unit, the
// domains in their order, a table per domain and each node's memory node;
// the lanes are the domains, and each bar names its domain and memory node.
TEST(Outputs, PageKnowsTheUnitAndTheMemoryMode) {
  std::string text = with_l3(banner("rr_tree", "rr_flat", "No", "0-1", 100, 4, 2), "0-1@0 4-5@1");
  text = with_setting(text, zyg::BAN_MEMORY, "nearest-memonly 0:2 1:3") + header(true) +
         rec(3, 1, 100, 100, 1, "0", "-1", "initial exec start", "app", "app ", "0-1") +
         rec(4, 2, 100, 100, 1, "0", "-1", "Created PID 101", "app", "app ", "0-1") +
         rec(5, 3, 101, 101, 100, "1", "-1", "child start in fork()", "app", "app ", "4-5") +
         rec(9, 4, 101, 101, 100, "1", "-1", "exit()", "app", "app ", "4-5") +
         rec(9, 5, 100, 100, 1, "0", "-1", "exit()", "app", "app ", "0-1");
  Built b;
  build(text, b);
  std::ostringstream out;
  write_html(out, b.rep, false);
  const std::string html = out.str();
  EXPECT_NE(html.find("unit <b>l3</b>, L3 domains in the order round robin takes them "
                      "(CPUs@node): <b>0-1@0 4-5@1</b>"),
            std::string::npos);
  EXPECT_NE(html.find("memory <b>nearest-memonly</b>: node 0 -&gt; 2, node 1 -&gt; 3"),
            std::string::npos);
  EXPECT_NE(html.find("<h3>Per L3 domain</h3>"), std::string::npos);
  EXPECT_NE(html.find("<tr><td>4-5</td><td>1</td><td>1</td><td>0</td><td>3</td></tr>"),
            std::string::npos);
  EXPECT_EQ(count(html, "<th>Memory node</th>"), 2u);  // the node and the domain tables
  EXPECT_NE(html.find("data-lane=\"1 / l3 4-5\""), std::string::npos);
  EXPECT_NE(html.find("node 1, L3 4-5, memory node 3, "), std::string::npos);  // 101's bar
}

// With lanes per CPU every CPU of the launch has one, a task or not: the
// launch's CPUs come from its banner (the L3 domains, or the launch nodes'
// CPUs of a CPU launch), so that a stacked CPU shows beside an idle one.
TEST(Outputs, CpuLanesShowTheIdleCpus) {
  const std::string tasks = header() + rec(3, 1, 100, 100, 1, "0", "0", "initial exec start") +
                            rec(5, 2, 101, 100, 1, "0", "0", "child start in pthread_create() by user");
  const std::string cpu = banner("rr_tree", "rr_tree", "Yes", "0-1", 100, 2, 2);
  for (const bool known : {false, true}) {
    Built b;
    build((known ? with_setting(cpu, zyg::BAN_LAUNCH_CPUS, "0-1@0 2-3@1") : cpu) + tasks, b);
    std::ostringstream out;
    write_html(out, b.rep, true);
    EXPECT_EQ(count(out.str(), "class=\"lane\""), known ? 4u : 1u);
    EXPECT_EQ(count(out.str(), "data-lane=\"1 / cpu 3\""), known ? 1u : 0u);
  }
}

// Whatever the bytes, reading and reporting neither throws nor touches
// memory it should not (the sanitizer builds run this too).
TEST(Robustness, MutatedLogsAreReportedWithoutFailing) {
  const std::string base =
      small_tree() + banner("pack", "rr_flat", "Yes", "!1", 7, 2, 1) + small_tree();
  unsigned seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xffffff;
  };
  for (int i = 0; i < 400; ++i) {
    std::string text = base;
    switch (i % 4) {
      case 0:
        text.resize(next() % text.size());
        break;
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
    const Report rep = build_report("fuzz", log);
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
