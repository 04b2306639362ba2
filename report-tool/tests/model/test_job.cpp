// A job from the logs of its hosts: the ranks' records, the hosts' tables
// and the totals they add up to, the settings the logs differ in, and the
// warnings only the job as a whole shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launches.h"
#include "model/events.h"
#include "model/job.h"

using namespace zr;
using namespace zr_test;

namespace {

constexpr char kJob[] = "openmpi prterun-x-123@1";

bool job_warns(const Job& job, const std::string& part) {
  return std::any_of(job.warnings.begin(), job.warnings.end(),
                     [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

std::string rank_text(long rank, long size, long local) {
  return "Job rank " + std::to_string(rank) + " of " + std::to_string(size) + " (local " +
         std::to_string(local) + ")";
}

// The value of one banner setting replaced.
std::string with_setting(std::string text, zyg::banner_field field, const std::string& value) {
  const std::size_t key = text.find(zyg::kBannerKeys[field]);
  const std::size_t from = text.find("| ", key) + 2, to = text.find('\n', key);
  return text.replace(from, to - from, value);
}

struct RankRecordCase {
  const char* text;
  bool is_rank;
  long rank, size, local;
};

class RankRecord : public ::testing::TestWithParam<RankRecordCase> {};

TEST_P(RankRecord, PartsTheStarterDoesNotSayAreLeftOut) {
  const auto& c = GetParam();
  RankOf r;
  ASSERT_EQ(parse_job_rank(c.text, r), c.is_rank);
  if (!c.is_rank) return;
  EXPECT_EQ(r.rank, c.rank);
  EXPECT_EQ(r.size, c.size);
  EXPECT_EQ(r.local, c.local);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RankRecord,
    ::testing::Values(RankRecordCase{"Job rank 3 of 8 (local 1)", true, 3, 8, 1},
                      RankRecordCase{"Job rank 3", true, 3, -1, -1},
                      RankRecordCase{"Job rank 3 (local 1)", true, 3, -1, 1},
                      RankRecordCase{"Job rank 3 of 8", true, 3, 8, -1},
                      RankRecordCase{"Job rank x of 8", false, -1, -1, -1},
                      RankRecordCase{"Job rank 3 of", false, -1, -1, -1},
                      RankRecordCase{"Job rank 3 of 8 (local 1", false, -1, -1, -1},
                      RankRecordCase{"Job rank 3 of 8 (local 1) more", false, -1, -1, -1}));

// Host a: rank 1 (PID 100, node 0) with a child on node 1 and a thread on
// node 1; rank 0 (PID 200, node 1) with a child on node 0 whose own child is
// on node 1, and two threads on node 0; PID 300 of no rank on node 0.
// Host b: rank 2 (PID 100 again, another host's) with a thread, rank 3.
std::vector<std::pair<std::string, std::string>> two_hosts() {
  HostLog a(job_banner(kJob, "hosta", "4, 2 on this host"));
  a.rank(100, rank_text(1, 4, 0), "0", "-1", 10, 900);
  a.child(100, 101, "1", "-1", 20, 100);
  a.thread(100, 150, "1", "-1", 30, 200);
  a.rank(200, rank_text(0, 4, 1), "1", "-1", 12, 950);
  a.child(200, 201, "0", "-1", 40, 500);
  a.child(201, 202, "1", "-1", 50, 400);
  a.thread(201, 250, "0", "-1", 60, 300);
  a.thread(201, 251, "0", "-1", 61, 300);
  a.root(300, "0", "-1", 5, 960);
  HostLog b(job_banner(kJob, "hostb", "4, 2 on this host"));
  b.rank(100, rank_text(2, 4, 0), "0", "-1", 10, 900);
  b.thread(100, 150, "0", "-1", 30, 200);
  b.rank(110, rank_text(3, 4, 1), "1", "-1", 11, 900);
  return {{"run.hosta.log", a.text()}, {"run.hostb.log", b.text()}};
}

TEST(Job, RanksInRankOrderWithTheirTrees) {
  BuiltJob b;
  build(two_hosts(), b);
  const Job& job = b.job;
  ASSERT_EQ(job.ranks.size(), 4u);
  const long pids[] = {200, 100, 100, 110};
  const char* hosts[] = {"hosta", "hosta", "hostb", "hostb"};
  const int processes[] = {3, 2, 1, 1}, threads[] = {2, 1, 1, 0};
  for (std::size_t i = 0; i < 4; ++i) {
    const JobRank& r = job.ranks[i];
    EXPECT_EQ(r.of.rank, static_cast<long>(i));
    EXPECT_EQ(r.pid, pids[i]) << i;
    EXPECT_EQ(job.hosts[r.host].name, hosts[i]) << i;
    EXPECT_EQ(r.processes, processes[i]) << i;
    EXPECT_EQ(r.threads, threads[i]) << i;
  }
  EXPECT_EQ(job.ranks[0].node, "1");
  EXPECT_EQ(job.ranks[0].of.local, 1);
  // The rank records are no library reports.
  for (const Report& log : job.logs)
    for (const Launch& l : log.launches) EXPECT_TRUE(l.warnings.empty()) << l.warnings.front();
}

TEST(Job, HostTablesAddUpToTheJobTotals) {
  BuiltJob b;
  build(two_hosts(), b);
  const Job& job = b.job;
  long all_procs = 0, all_threads = 0;
  for (const Report& log : job.logs)
    for (const Launch& l : log.launches) {
      all_procs += static_cast<long>(l.procs.size());
      all_threads += l.thread_count();
    }
  ASSERT_EQ(job.hosts.size(), 2u);
  long host_procs = 0, host_threads = 0;
  for (const JobHost& host : job.hosts) {
    int procs = 0, threads = 0;
    std::size_t ranks = 0;
    for (const HostNode& row : host.nodes) {
      procs += row.processes;
      threads += row.threads;
      ranks += static_cast<std::size_t>(row.ranks);
    }
    EXPECT_EQ(procs, host.processes) << host.name;
    EXPECT_EQ(threads, host.threads) << host.name;
    EXPECT_EQ(ranks, host.ranks.size()) << host.name;
    host_procs += host.processes;
    host_threads += host.threads;
  }
  EXPECT_EQ(all_procs, 8);
  EXPECT_EQ(all_threads, 4);
  EXPECT_EQ(job.processes, host_procs);
  EXPECT_EQ(job.threads, host_threads);
  EXPECT_EQ(job.processes, all_procs);
  EXPECT_EQ(job.threads, all_threads);
  // Host a's node 0: PIDs 100, 201 and 300, threads 250 and 251, rank 1.
  const HostNode& node0 = job.hosts[0].nodes.at(0);
  EXPECT_EQ(node0.node, "0");
  EXPECT_EQ(std::make_tuple(node0.processes, node0.threads, node0.ranks), std::make_tuple(3, 2, 1));
}

TEST(Job, LogsWithoutAJobAreEachAHostOfTheirOwn) {
  BuiltJob b;
  build({{"a.log", small_tree()}, {"b.log", small_tree()}}, b);
  ASSERT_EQ(b.job.hosts.size(), 2u);
  EXPECT_EQ(host_label(b.job.hosts[0]), "unknown host (a.log)");
  EXPECT_EQ(host_label(b.job.hosts[1]), "unknown host (b.log)");
  EXPECT_TRUE(b.job.ranks.empty());
  EXPECT_EQ(b.job.processes, 2 * static_cast<int>(b.job.logs[0].launches[0].procs.size()));
  EXPECT_TRUE(b.job.warnings.empty()) << b.job.warnings.front();
  EXPECT_EQ(b.job.settings.job, "");
}

TEST(Job, LaunchesNamingOneHostAreOneHost) {
  HostLog first(job_banner(kJob, "hosta", "2, 1 on this host"));
  first.rank(100, rank_text(0, 2, 0), "0", "-1", 10, 100);
  HostLog second(job_banner(kJob, "hosta", "2, 1 on this host"));
  second.rank(200, rank_text(1, 2, 1), "1", "-1", 10, 100);
  BuiltJob b;
  build({{"run.log", first.text() + second.text()}}, b);
  ASSERT_EQ(b.job.hosts.size(), 1u);
  EXPECT_EQ(b.job.hosts[0].launches.size(), 2u);
  EXPECT_EQ(b.job.hosts[0].ranks.size(), 2u);
}

struct IdCase {
  const char* name;
  const char* other_job;  // "" for a log written without --job
  const char* warning;    // "" for none
};

class JobIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(JobIds, LogsOfAnotherJobOrOfNoneAreNamed) {
  const auto& c = GetParam();
  HostLog a(job_banner(kJob, "hosta", "2, 1 on this host"));
  a.rank(100, rank_text(0, 2, 0), "0", "-1", 10, 100);
  HostLog other(*c.other_job ? job_banner(c.other_job, "hostb", "2, 1 on this host") : banner());
  other.rank(100, rank_text(1, 2, 0), "0", "-1", 10, 100);
  BuiltJob b;
  build({{"a.log", a.text()}, {"b.log", other.text()}}, b);
  if (!*c.warning) {
    EXPECT_TRUE(b.job.warnings.empty()) << b.job.warnings.front();
    EXPECT_EQ(b.job.settings.job, kJob);
    return;
  }
  ASSERT_EQ(b.job.warnings.size(), 1u);
  EXPECT_NE(b.job.warnings[0].find(c.warning), std::string::npos) << b.job.warnings[0];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JobIds,
    ::testing::Values(IdCase{"same_job", kJob, ""},
                      IdCase{"other_job", "slurm 77.0",
                             "the logs are of different jobs and cannot make up one job's report: "
                             "job openmpi prterun-x-123@1 in a.log; job slurm 77.0 in b.log"},
                      IdCase{"no_job", "", "b.log names no job"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Job, SettingsTheLogsDifferInAreListedWithTheirLogs) {
  HostLog a(job_banner(kJob, "hosta", "2, 1 on this host"));
  a.rank(100, rank_text(0, 2, 0), "0", "-1", 10, 100);
  HostLog b(with_setting(job_banner(kJob, "hostb", "2, 1 on this host"), zyg::BAN_THRD_POLICY,
                         "rr_flat"));
  b.rank(100, rank_text(1, 2, 0), "0", "-1", 10, 100);
  BuiltJob built;
  build({{"a.log", a.text()}, {"b.log", b.text()}}, built);
  const JobSettings& s = built.job.settings;
  EXPECT_EQ(s.proc_policy, "rr_tree");
  EXPECT_EQ(s.thrd_policy, "");
  ASSERT_EQ(s.disagreements.size(), 1u);
  const Disagreement& d = s.disagreements[0];
  EXPECT_EQ(d.setting, "Thread policy");
  ASSERT_EQ(d.values.size(), 2u);
  EXPECT_EQ(d.values[0].value, "rr_tree");
  EXPECT_EQ(d.values[0].sources, std::vector<std::string>{"a.log"});
  EXPECT_EQ(d.values[1].value, "rr_flat");
  EXPECT_EQ(d.values[1].sources, std::vector<std::string>{"b.log"});
}

TEST(Job, RanksGivenTwiceOrInNoLogAreNamed) {
  HostLog a(job_banner(kJob, "hosta", "4, 2 on this host"));
  a.rank(100, rank_text(0, 4, 0), "0", "-1", 10, 100);
  a.rank(101, rank_text(2, 4, 1), "1", "-1", 10, 100);
  HostLog b(job_banner(kJob, "hostb", "4, 1 on this host"));
  b.rank(100, rank_text(2, 4, 0), "0", "-1", 10, 100);
  BuiltJob built;
  build({{"a.log", a.text()}, {"b.log", b.text()}}, built);
  EXPECT_TRUE(job_warns(built.job,
                        "rank 2 appears 2 times, as rank 2 (hosta, PID 101), rank 2 "
                        "(hostb, PID 100)"))
      << testing::PrintToString(built.job.warnings);
  EXPECT_TRUE(job_warns(built.job, "2 of the job's 4 ranks are in none of the logs given"));
  EXPECT_TRUE(job_warns(built.job, "rank 1, 3"));
}

// The job's size comes from a banner and may be anything: the ranks missing
// are found from the ranks seen, not by counting up to it.
TEST(Job, AHugeRankCountIsNamedByItsGaps) {
  HostLog a(job_banner(kJob, "hosta", "3000000000, 2 on this host"));
  a.rank(100, rank_text(0, 3000000000L, 0), "0", "-1", 10, 100);
  a.rank(101, rank_text(5, 3000000000L, 1), "1", "-1", 10, 100);
  BuiltJob built;
  build({{"a.log", a.text()}}, built);
  EXPECT_TRUE(job_warns(built.job, "2999999998 of the job's 3000000000 ranks"))
      << testing::PrintToString(built.job.warnings);
  EXPECT_TRUE(job_warns(built.job, "rank 1-4, 6-2999999999"));
}

struct CpuCase {
  const char* name;
  const char* cpu_launch;
  const char *cpu_a, *cpu_b;  // the CPUs of the two tasks
  long a_end, b_start;        // a lives from 100, b until 400
  bool same_rank;             // both tasks of rank 0's tree
  // b: "child", "thread" (of its rank's command), or "moved": a child
  // started on CPU 3 whose main thread is placed on cpu_b at 250.
  const char* b_is;
  bool warns;
};

class CpusSharedByRanks : public ::testing::TestWithParam<CpuCase> {};

// Ranks 0 and 1 on CPUs 0 and 1 all along; a child of rank 0, and a task
// of rank 1 (or of rank 0 again) on the CPUs and at the times given.
TEST_P(CpusSharedByRanks, OnlyTasksOfTwoRanksAliveOnOneCpuAtOnce) {
  const auto& c = GetParam();
  HostLog a(job_banner(kJob, "hosta", "2, 2 on this host", c.cpu_launch));
  a.rank(100, rank_text(0, 2, 0), "0", "0", 10, 1000);
  a.rank(200, rank_text(1, 2, 1), "1", "1", 11, 1000);
  a.child(100, 101, "0", c.cpu_a, 100, c.a_end);
  const long b_rank = c.same_rank ? 100 : 200;
  if (std::string(c.b_is) == "thread") {
    a.thread(b_rank, 201, "1", c.cpu_b, c.b_start, 400);
  } else if (std::string(c.b_is) == "moved") {
    a.child(b_rank, 201, "1", "3", c.b_start, 400);
    a.moved(201, "1", c.cpu_b, 250, "user's pthread_create() main thrd");
  } else {
    a.child(b_rank, 201, "1", c.cpu_b, c.b_start, 400);
  }
  BuiltJob b;
  build({{"run.hosta.log", a.text()}}, b);
  const std::string w =
      "under CPU launch, tasks of two ranks were alive on the same CPU of host hosta at the same "
      "time: cpu 2: ranks 0 and 1";
  EXPECT_EQ(job_warns(b.job, w), c.warns) << testing::PrintToString(b.job.warnings);
  if (!c.warns) {
    EXPECT_FALSE(job_warns(b.job, "same CPU"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CpusSharedByRanks,
    ::testing::Values(
        CpuCase{"together", "Yes", "2", "2", 300, 200, false, "child", true},
        CpuCase{"one_after_the_other", "Yes", "2", "2", 200, 200, false, "child", false},
        CpuCase{"on_two_cpus", "Yes", "2", "3", 300, 200, false, "child", false},
        CpuCase{"of_one_rank", "Yes", "2", "2", 300, 200, true, "child", false},
        CpuCase{"a_thread_of_the_other", "Yes", "2", "2", 300, 200, false, "thread", true},
        CpuCase{"moved_onto_it", "Yes", "2", "2", 300, 200, false, "moved", true},
        CpuCase{"moved_after_it_ended", "Yes", "2", "2", 240, 200, false, "moved", false},
        CpuCase{"without_cpu_launch", "No", "2", "2", 300, 200, false, "child", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct SpreadCase {
  const char* name;
  const char* nodes;                // the launch nodes
  std::vector<const char*> placed;  // the nodes of rank 0's children
  bool warns;
};

class UnevenHost : public ::testing::TestWithParam<SpreadCase> {};

// Rank 0's command on node 0, its children where the case says.
TEST_P(UnevenHost, WhenTheMostAndLeastUsedLaunchNodesDifferByMoreThanOne) {
  const auto& c = GetParam();
  HostLog a(job_banner(kJob, "hosta", "1, 1 on this host", "No", c.nodes, 100, 3));
  a.rank(100, rank_text(0, 1, 0), "0", "-1", 10, 1000);
  long pid = 101;
  for (const char* node : c.placed) a.child(100, pid++, node, "-1", 20, 30);
  HostLog b(job_banner(kJob, "hostb", "1, 0 on this host"));
  BuiltJob built;
  build({{"run.hosta.log", a.text()}, {"run.hostb.log", b.text()}}, built);
  EXPECT_EQ(job_warns(built.job, "host hosta used its launch nodes unevenly"), c.warns)
      << testing::PrintToString(built.job.warnings);
  EXPECT_FALSE(job_warns(built.job, "host hostb"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnevenHost,
    ::testing::Values(SpreadCase{"even", "0-1", {"1"}, false},
                      SpreadCase{"one_more", "0-1", {"1", "1"}, false},
                      SpreadCase{"two_more", "0-1", {"1", "1", "1"}, true},
                      SpreadCase{"a_node_unused", "0-2", {"1", "0"}, true},
                      SpreadCase{"unbound_tasks_not_counted", "0-1", {"0,1", "0,1", "0,1"}, false},
                      SpreadCase{"one_launch_node", "0", {"0", "0", "0"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Job, UnevenHostWarningCountsTheTasksOfEachNode) {
  HostLog a(job_banner(kJob, "hosta", "1, 1 on this host"));
  a.rank(100, rank_text(0, 1, 0), "0", "-1", 10, 1000);
  a.thread(100, 150, "1", "-1", 20, 30);
  a.child(100, 101, "0", "-1", 20, 30);
  a.child(100, 102, "0", "-1", 20, 30);
  BuiltJob b;
  build({{"run.hosta.log", a.text()}}, b);
  EXPECT_TRUE(job_warns(b.job,
                        "(tasks started on each: node 0: 3, node 1: 1; the most and the "
                        "least used differ by more than one)"))
      << testing::PrintToString(b.job.warnings);
}

}  // namespace
