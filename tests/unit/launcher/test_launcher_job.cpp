// --job: the job and rank found in the starters' variables, the %-letters of
// file names, ZYG_LAUNCH_JOB's text, and the names of a job's files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job.h"
#include "shared/data_path.h"
#include "shared/job_text.h"

namespace {

using zyg::launcher::JobInfo;

struct Starter {
  const char* name;
  std::vector<std::string> env;
  bool found;
  const char* starter;
  const char* id;
  long rank, local_rank, size, local_size;
};

class FindJob : public ::testing::TestWithParam<Starter> {};

TEST_P(FindJob, FromTheStartersVariables) {
  const Starter& c = GetParam();
  std::vector<char*> env;
  for (const std::string& e : c.env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  JobInfo j;
  ASSERT_EQ(c.found, zyg::launcher::find_job(env.data(), 4242, &j));
  if (!c.found) return;
  EXPECT_EQ(c.starter, j.starter);
  EXPECT_EQ(c.id, j.id);
  EXPECT_EQ(c.rank, j.rank);
  EXPECT_EQ(c.local_rank, j.local_rank);
  EXPECT_EQ(c.size, j.size);
  EXPECT_EQ(c.local_size, j.local_size);
}

INSTANTIATE_TEST_SUITE_P(
    Starters, FindJob,
    ::testing::Values(
        Starter{"slurm",
                {"SLURM_JOB_ID=77", "SLURM_STEP_ID=2", "SLURM_PROCID=5", "SLURM_LOCALID=1",
                 "SLURM_NTASKS=8"},
                true,
                "slurm",
                "77.2",
                5,
                1,
                8,
                -1},
        Starter{"openmpi",
                {"OMPI_COMM_WORLD_RANK=3", "OMPI_COMM_WORLD_LOCAL_RANK=1", "OMPI_COMM_WORLD_SIZE=4",
                 "OMPI_COMM_WORLD_LOCAL_SIZE=2", "PMIX_NAMESPACE=prterun-h-1@1", "PMIX_RANK=3"},
                true,
                "openmpi",
                "prterun-h-1@1",
                3,
                1,
                4,
                2},
        // mpirun inside a Slurm allocation: the innermost starter's ranks.
        Starter{"openmpi_in_slurm",
                {"SLURM_JOB_ID=9", "SLURM_PROCID=0", "OMPI_COMM_WORLD_RANK=2", "PMIX_NAMESPACE=ns"},
                true,
                "openmpi",
                "ns",
                2,
                -1,
                -1,
                -1},
        Starter{"srun_pmix",
                {"PMIX_NAMESPACE=slurm.pmix.9.0", "PMIX_RANK=6", "SLURM_LOCALID=2"},
                true,
                "pmix",
                "slurm.pmix.9.0",
                6,
                2,
                -1,
                -1},
        Starter{"mpich",
                {"PMI_RANK=1", "PMI_SIZE=2", "MPI_LOCALRANKID=1", "MPI_LOCALNRANKS=2"},
                true,
                "mpich",
                "hydra-4242",
                1,
                1,
                2,
                2},
        Starter{"none", {"HOME=/root", "PMIX_RANK=1", "SLURM_JOB_ID=3"}, false, "", "", 0, 0, 0, 0},
        Starter{"malformed_numbers",
                {"SLURM_JOB_ID=3", "SLURM_PROCID=x1", "SLURM_LOCALID=2y"},
                true,
                "slurm",
                "3",
                -1,
                -1,
                -1,
                -1}),
    [](const ::testing::TestParamInfo<Starter>& i) { return std::string(i.param.name); });

struct Name {
  const char* text;
  bool job_mode;
  bool with_job;
  const char* out;  // null: refused
};

class ExpandName : public ::testing::TestWithParam<Name> {};

TEST_P(ExpandName, LettersOrARefusal) {
  const Name& c = GetParam();
  JobInfo j;
  j.id = "77.2/x";
  j.rank = 5;
  std::string out, why;
  const bool ok = zyg::launcher::expand_name(c.text, c.with_job ? &j : nullptr, c.job_mode, "h1",
                                             123, &out, &why);
  ASSERT_EQ(c.out != nullptr, ok) << why;
  if (ok) {
    EXPECT_EQ(c.out, out);
  } else {
    EXPECT_FALSE(why.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Names, ExpandName,
                         ::testing::Values(Name{"run.%h.%j.log", true, true, "run.h1.77.2_x.log"},
                                           Name{"run.%r.%p.log", false, true, "run.5.123.log"},
                                           Name{"100%%.log", false, false, "100%.log"},
                                           Name{"plain.log", true, true, "plain.log"},
                                           // a host's ranks write one log under --job
                                           Name{"run.%r.log", true, true, nullptr},
                                           Name{"run.%p.log", true, true, nullptr},
                                           Name{"run.%r.log", false, false, nullptr},
                                           Name{"run.%j.log", false, false, nullptr},
                                           Name{"run.%x.log", false, true, nullptr},
                                           Name{"run.%", false, true, nullptr}));

TEST(JobText, RoundTripsAndRefusesAnythingElse) {
  JobInfo j;
  j.starter = "slurm";
  j.id = "77.2";
  j.rank = 5;
  j.local_rank = 1;
  j.size = 8;
  const std::string text = zyg::launcher::job_env_value(j, 999);
  EXPECT_EQ("slurm 77.2;5;1;8;-1;999", text);
  zyg::job_text t;
  ASSERT_TRUE(zyg::parse_job_text(text.c_str(), &t));
  EXPECT_STREQ("slurm 77.2", t.name);
  EXPECT_EQ(5, t.rank);
  EXPECT_EQ(-1, t.local_size);
  EXPECT_EQ(999, t.pid);
  for (const char* bad : {"", "slurm", ";1;1;1;1;9", "s j;1;1;1;1", "s j;1;1;1;1;9;",
                          "s j;1;1;1;1;0", "s j;1;x;1;1;9", "s j;1;1;1;1;9 "})
    EXPECT_FALSE(zyg::parse_job_text(bad, &t)) << bad;
}

TEST(JobNames, DataAndKeyFilesAreTold) {
  char data[80], key[80];
  ASSERT_GT(zyg::format_job_data_path(data, sizeof data, 0x0123456789abcdefull, 0xdeadbeef), 0);
  ASSERT_GT(zyg::format_job_key_path(key, sizeof key, 0x0123456789abcdefull), 0);
  EXPECT_STREQ("/dev/shm/zyg-nox.job-0123456789abcdef.deadbeef", data);
  EXPECT_STREQ("/dev/shm/zyg-nox.job-0123456789abcdef.key", key);
  EXPECT_EQ(zyg::SHM_JOB_DATA_FILE, zyg::shm_name_kind_of(data + 9));
  EXPECT_EQ(zyg::SHM_JOB_KEY, zyg::shm_name_kind_of(key + 9));
  EXPECT_EQ(0x0123456789abcdefull, zyg::shm_job_of(data + 9));
  EXPECT_EQ(zyg::SHM_DATA_FILE, zyg::shm_name_kind_of("zyg-nox.42.1"));
  for (const char* other : {"zyg-nox.job-0123456789abcdef", "zyg-nox.job-0123456789ABCDEF.key",
                            "zyg-nox.job-0123456789abcdef.deadbee", "zyg-nox.job-x.key",
                            "zyg-nox.x", "zyg-noxfoo", ".zyg-nox-cleanup.0"})
    EXPECT_EQ(zyg::SHM_OTHER, zyg::shm_name_kind_of(other)) << other;
}

}  // namespace
