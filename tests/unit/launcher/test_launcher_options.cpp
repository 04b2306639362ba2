// The launcher's option parse: derived short-option string, refusals with
// their messages, accepted options appended to the environment in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "launch_env.h"
#include "memory_check.h"
#include "options.h"
#include "shared/memory_tiers.h"
#include "shared/version.h"
#include "usage.h"

namespace {

using zyg::launcher::LaunchEnv;
using zyg::launcher::ParseAction;
using zyg::launcher::ParseResult;

struct Parsed {
  ParseResult result;
  std::string err;
  std::vector<std::string> env;
};

Parsed parse(std::initializer_list<const char*> words) {
  std::vector<std::string> store = {"zyg-nox"};
  for (const char* w : words) store.emplace_back(w);
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);

  LaunchEnv env;
  EXPECT_EQ(zyg::launcher::launch_env_init(&env, nullptr), 0);
  char* buf = nullptr;
  size_t len = 0;
  FILE* err = open_memstream(&buf, &len);
  Parsed p;
  p.result = zyg::launcher::parse_options(static_cast<int>(store.size()), argv.data(), &env, err);
  fclose(err);
  p.err.assign(buf, len);
  free(buf);
  for (size_t i = 0; i < env.count; ++i) p.env.emplace_back(env.entries[i]);
  zyg::launcher::launch_env_free(&env);
  return p;
}

std::string usage() {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  zyg::launcher::print_usage(out);
  fclose(out);
  std::string s(buf, len);
  free(buf);
  return s;
}

void expect_refused(const Parsed& p, const std::string& message) {
  EXPECT_EQ(p.result.action, ParseAction::kExit);
  EXPECT_EQ(p.result.exit_status, 1);
  EXPECT_EQ(p.err, message + usage());
}

}  // namespace

TEST(ShortOptions, DerivedFromTheTable) {
  EXPECT_EQ(zyg::launcher::build_short_options(), "+chrwp:t:l:n:e:m:d:u:");
}

TEST(Usage, FrameAndPositionalNames) {
  std::string u = usage();
  ASSERT_GT(u.size(), 4u);
  EXPECT_EQ(u.substr(0, 8), "\nUsage:\n");
  EXPECT_EQ(u.substr(u.size() - 2), "\n\n");
  EXPECT_EQ(u.find("%"), std::string::npos);
  EXPECT_NE(u.find("    zyg-nox  [ --remove-data-files   | -r ]\n"), std::string::npos);
  EXPECT_NE(u.find("                 rr_tree  rr_flat  ff_tree  ff_flat  pack  rr_pack\n"),
            std::string::npos);
  EXPECT_NE(u.find("                 rr_tree  rr_flat  ff_tree  ff_flat  pack\n"),
            std::string::npos);
  EXPECT_EQ(u.find("debug"), std::string::npos);
}

TEST(Parse, HelpExitsOne) {
  expect_refused(parse({"-h"}), "");
  expect_refused(parse({"--help", "ls"}), "");
  expect_refused(parse({"-c", "-h", "ls"}), "");
}

// --version is long only (the short-option string above is unchanged), prints
// the version on standard output and ends the launcher with status 0.
TEST(Parse, VersionPrintsAndExitsZero) {
  for (auto words :
       {std::initializer_list<const char*>{"--version"}, {"--version", "ls"}, {"-c", "--vers"}}) {
    testing::internal::CaptureStdout();
    Parsed p = parse(words);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.result.action, ParseAction::kExit);
    EXPECT_EQ(p.result.exit_status, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(out, std::string("zyg-nox ") + zyg::kVersionText + "\n");
  }
}

TEST(Parse, RepeatedOptions) {
  expect_refused(parse({"-c", "--cpu", "ls"}),
                 "\nError: option -c / --cpu can only be specified once\n");
  expect_refused(parse({"-cc", "ls"}), "\nError: option -c / --cpu can only be specified once\n");
  expect_refused(parse({"-w", "-w"}),
                 "\nError: option -w / --write-by-other can only be specified once\n");
  expect_refused(parse({"-p", "rr_flat", "-p", "rr_flat", "ls"}),
                 "\nError: option -p / --process can only be specified once\n");
  expect_refused(parse({"-t", "a", "--thread=b"}),
                 "\nError: option -t / --thread can only be specified once\n");
  expect_refused(parse({"-l", "a", "-lb"}),
                 "\nError: option -l / --log can only be specified once\n");
  expect_refused(parse({"-n", "0", "-n", "1"}),
                 "\nError: option -n / --nodes can only be specified once\n");
  expect_refused(parse({"-e", "a", "-e", "a"}),
                 "\nError: option -e / --error can only be specified once\n");
  expect_refused(parse({"-m", "1", "-m", "1"}),
                 "\nError: option -m / --memfree can only be specified once\n");
  expect_refused(parse({"-d", "a", "--debug", "a"}),
                 "\nError: option -d / --debug can only be specified once\n");
  expect_refused(parse({"-r", "-r"}),
                 "\nError: option -r / --remove-data-files can only be specified once\n");
}

// --unit takes a unit name: node is passed on as given, anything else is
// refused on one line (l3 depends on the machine's caches: tests/vm).
TEST(Parse, UnitValues) {
  Parsed ok = parse({"--unit=node", "ls"});
  EXPECT_EQ(ok.result.action, ParseAction::kLaunch);
  EXPECT_EQ(ok.env, std::vector<std::string>{"ZYG_LAUNCH_UNIT=node"});
  for (const char* bad : {"L3", "numa", "l3x", "nodes"}) {
    Parsed p = parse({"-u", bad, "ls"});
    EXPECT_EQ(p.result.action, ParseAction::kExit);
    EXPECT_EQ(p.result.exit_status, 1);
    EXPECT_EQ(p.err, std::string("Error: unknown unit: ") + bad + " (node or l3)\n");
  }
}

TEST(Parse, EmptyValues) {
  expect_refused(parse({"--process=", "ls"}), "\nError: Missing -p/--process option value\n");
  expect_refused(parse({"-t", "", "ls"}), "\nError: Missing -t/--thread option value\n");
  expect_refused(parse({"--log="}), "\nError: Missing -l/--log option value\n");
  expect_refused(parse({"--nodes", ""}), "\nError: Missing -n/--nodes option value\n");
  expect_refused(parse({"--error="}), "\nError: Missing -e/--error option value\n");
  expect_refused(parse({"--memfree="}), "\nError: Missing -m/--memfree option value\n");
  expect_refused(parse({"--debug="}), "\nError: Missing -d/--debug option value\n");
}

TEST(Parse, LengthLimits) {
  struct Case {
    const char* opt;
    size_t longest;
    const char* var;
  };
  for (const Case& c :
       {Case{"-p", 64, "ZYG_LAUNCH_PROCESS_POLICY"}, Case{"-t", 64, "ZYG_LAUNCH_THREAD_POLICY"},
        Case{"-l", 256, "ZYG_LAUNCH_LOG_FILE"}, Case{"-n", 256, "ZYG_LAUNCH_NODES"},
        Case{"-e", 256, "ZYG_LAUNCH_ERROR_FILE"}, Case{"-m", 40, "ZYG_LAUNCH_MEMFREE"},
        Case{"-d", 256, "ZYG_LAUNCH_DEBUG_FILE"}}) {
    SCOPED_TRACE(c.opt);
    std::string ok(c.longest, 'v');
    Parsed p = parse({c.opt, ok.c_str(), "ls"});
    EXPECT_EQ(p.result.action, ParseAction::kLaunch);
    ASSERT_EQ(p.env.size(), 1u);
    EXPECT_EQ(p.env[0], std::string(c.var) + "=" + ok);
    std::string bad(c.longest + 1, 'v');
    expect_refused(parse({c.opt, bad.c_str(), "ls"}),
                   "\nError: name length is too large: " + bad + "\n");
  }
}

TEST(Parse, ParserDiagnostics) {
  expect_refused(parse({"--bogus", "ls"}), "");
  expect_refused(parse({"-x"}), "");
  expect_refused(parse({"-p"}), "");
  expect_refused(parse({"--log"}), "");
}

TEST(Parse, RemoveMustBeAlone) {
  const std::string msg = "\nError: -r / --remove-data-files must be specified by itself\n";
  expect_refused(parse({"-r", "ls"}), msg);
  expect_refused(parse({"-r", "-c"}), msg);
  expect_refused(parse({"-c", "-r"}), msg);
  expect_refused(parse({"-p", "x", "--remove-data-files"}), msg);
  Parsed p = parse({"-r"});
  EXPECT_EQ(p.result.action, ParseAction::kRemove);
  EXPECT_EQ(p.result.exit_status, 0);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(parse({"--remove-data-files", "--"}).result.action, ParseAction::kRemove);
}

TEST(Parse, StopsAtTheCommand) {
  Parsed p = parse({"-p", "rr_flat", "ls", "-p", "-r"});
  EXPECT_EQ(p.result.action, ParseAction::kLaunch);
  EXPECT_EQ(p.result.command_index, 3);
  EXPECT_TRUE(p.result.launch_option);
  EXPECT_EQ(p.err, "");
  p = parse({"-c", "--", "-p"});
  EXPECT_EQ(p.result.command_index, 3);
  p = parse({});
  EXPECT_EQ(p.result.action, ParseAction::kLaunch);
  EXPECT_EQ(p.result.command_index, 1);  // no command: refused later
  EXPECT_FALSE(p.result.launch_option);
  p = parse({"ls", "-c"});
  EXPECT_EQ(p.result.command_index, 1);
  EXPECT_FALSE(p.result.launch_option);
  EXPECT_TRUE(p.env.empty());
}

TEST(Parse, EntriesInTheOrderGiven) {
  Parsed p = parse({"-cw", "--memfree=7", "-e", "e.txt", "-lL", "--nodes", "0-1", "-t", "ff_tree",
                    "--process", "rr_pack", "ls"});
  EXPECT_EQ(p.result.action, ParseAction::kLaunch);
  EXPECT_FALSE(p.result.debug);
  EXPECT_EQ(p.env,
            (std::vector<std::string>{
                "ZYG_LAUNCH_CPU_POLICY=1", "ZYG_LAUNCH_OTHER_WRITE=1", "ZYG_LAUNCH_MEMFREE=7",
                "ZYG_LAUNCH_ERROR_FILE=e.txt", "ZYG_LAUNCH_LOG_FILE=L", "ZYG_LAUNCH_NODES=0-1",
                "ZYG_LAUNCH_THREAD_POLICY=ff_tree", "ZYG_LAUNCH_PROCESS_POLICY=rr_pack"}));
}

TEST(Parse, DebugSelectsDebugLibrary) {
  Parsed p = parse({"--debug", "/tmp/d", "ls"});
  EXPECT_TRUE(p.result.debug);
  EXPECT_TRUE(p.result.launch_option);
  EXPECT_EQ(p.env, std::vector<std::string>{"ZYG_LAUNCH_DEBUG_FILE=/tmp/d"});
  EXPECT_TRUE(parse({"-d/tmp/d", "ls"}).result.debug);
}

TEST(Parse, AbbreviatedLongOptions) {
  Parsed p = parse({"--proc=rr_flat", "--wr", "ls"});
  EXPECT_EQ(p.env, (std::vector<std::string>{"ZYG_LAUNCH_PROCESS_POLICY=rr_flat",
                                             "ZYG_LAUNCH_OTHER_WRITE=1"}));
}

// --memory is long only; its value is checked here, so that a misspelt mode
// never starts the command: one line, no usage text.
TEST(Parse, MemoryModeCheckedAndPassedOn) {
  for (const char* mode : {"local", "nearest-memonly", "interleave-memonly"}) {
    Parsed p = parse({(std::string("--memory=") + mode).c_str(), "ls"});
    EXPECT_EQ(p.result.action, ParseAction::kLaunch) << mode;
    EXPECT_EQ(p.result.memory_mode, zyg::memory_mode_named(mode));
    EXPECT_EQ(p.env.back(), std::string("ZYG_LAUNCH_MEMORY=") + mode);
  }
  Parsed bad = parse({"--memory=nearest", "ls"});
  EXPECT_EQ(bad.result.action, ParseAction::kExit);
  EXPECT_EQ(bad.result.exit_status, 1);
  EXPECT_EQ(bad.err,
            "Error: unknown --memory value \"nearest\" (local, nearest-memonly or "
            "interleave-memonly)\n");
}

// --mem was --memfree's abbreviation before --memory came, and stays so.
TEST(Parse, MemStillMeansMemfree) {
  Parsed p = parse({"--mem=30", "-p", "memfree_tree", "ls"});
  EXPECT_EQ(p.result.action, ParseAction::kLaunch) << p.err;
  EXPECT_EQ(p.env, (std::vector<std::string>{"ZYG_LAUNCH_MEMFREE=30",
                                             "ZYG_LAUNCH_PROCESS_POLICY=memfree_tree"}));
  expect_refused(parse({"--mem=30", "--memfree=40", "ls"}),
                 "\nError: option -m / --memfree can only be specified once\n");
}

// A memory mode acts on the tasks a policy places on one node: without a
// process or a thread policy that places something it has nothing to act on.
struct placed_case {
  const char* name;
  std::vector<const char*> options;
  bool want;
};

class MemoryModePlaced : public testing::TestWithParam<placed_case> {};

TEST_P(MemoryModePlaced, NeedsAPlacingPolicy) {
  const placed_case& c = GetParam();
  std::vector<std::string> store = {"zyg-nox"};
  for (const char* o : c.options) store.emplace_back(o);
  store.emplace_back("ls");
  std::vector<char*> argv;
  for (auto& w : store) argv.push_back(w.data());
  argv.push_back(nullptr);
  LaunchEnv env;
  ASSERT_EQ(zyg::launcher::launch_env_init(&env, nullptr), 0);
  FILE* sink = fopen("/dev/null", "w");
  zyg::launcher::parse_options((int)store.size(), argv.data(), &env, sink);
  EXPECT_EQ(zyg::launcher::memory_mode_placed(env), c.want);
  // Refused before the machine's memory nodes are looked at.
  char* buf = nullptr;
  size_t len = 0;
  FILE* err = open_memstream(&buf, &len);
  const bool usable = zyg::launcher::memory_mode_usable(zyg::MEMORY_NEAREST_MEMONLY, env, err);
  fclose(err);
  if (!c.want) {
    EXPECT_FALSE(usable);
    EXPECT_EQ(std::string(buf, len),
              "Error: --memory=nearest-memonly needs a process or thread policy (-p, -t): without "
              "one no task is placed on one node, and every page would stay local\n");
  }
  free(buf);
  fclose(sink);
  zyg::launcher::launch_env_free(&env);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryModePlaced,
    testing::Values(placed_case{"no_policy", {"--memory=nearest-memonly"}, false},
                    placed_case{"none_and_none", {"-p", "none", "-t", "none"}, false},
                    placed_case{"process_policy", {"-p", "rr_tree"}, true},
                    placed_case{"thread_policy_alone", {"-p", "none", "-t", "rr_flat"}, true},
                    placed_case{"pack", {"-p", "pack"}, true}),
    [](const testing::TestParamInfo<placed_case>& i) { return std::string(i.param.name); });

struct memonly_case {
  const char* name;
  const char* has_memory;
  const char* has_cpu;
  const char* mems_allowed;
  bool want;
};

class MemonlyNode : public testing::TestWithParam<memonly_case> {};

TEST_P(MemonlyNode, NeedsMemoryNoCpusAndTheCpuset) {
  const memonly_case& c = GetParam();
  EXPECT_EQ(c.want, zyg::launcher::memonly_node_allowed(c.has_memory, c.has_cpu, c.mems_allowed));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemonlyNode,
    testing::Values(memonly_case{"hbm", "0-3", "0-1", "0-3", true},
                    memonly_case{"every_node_allowed", "0-3", "0-1", "", true},
                    memonly_case{"no_memonly", "0-1", "0-1", "0-1", false},
                    memonly_case{"cpuset_excludes_them", "0-3", "0-1", "0-1", false},
                    memonly_case{"cpuset_keeps_one", "0-3", "0-1", "0,3", true},
                    memonly_case{"unreadable", "", "", "", false},
                    memonly_case{"garbage", "x", "0", "", false}),
    [](const testing::TestParamInfo<memonly_case>& i) { return std::string(i.param.name); });
