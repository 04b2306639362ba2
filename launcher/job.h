// job.h - the ranks of one job step on one host as one launch (--job): the
// job and rank found in the environment the starters set, the %h %r %j %p of
// the log and error file names, and starting or joining the host's launch.
#pragma once

#include <sys/types.h>

#include <string>

#include "launch_env.h"

namespace zyg::launcher {

struct JobInfo {
  std::string starter;   // "slurm", "openmpi", "pmix" or "mpich"
  std::string id;        // the job step: "1234.0", a PMIx namespace ...
  long rank = -1;        // -1: the starter does not say
  long local_rank = -1;  // on this host
  long size = -1;        // ranks of the step
  long local_size = -1;  // ranks of the step on this host
};

// The job of the rank that runs this launcher, from its environment (the
// innermost starter first: Open MPI, PMIx, MPICH's Hydra, then Slurm);
// `parent` is the launcher's parent (Hydra's proxy names the job). False when
// the environment names no job.
bool find_job(char* const* env, pid_t parent, JobInfo* out);

// ZYG_LAUNCH_JOB's value for the rank whose command runs as pid.
std::string job_env_value(const JobInfo& job, pid_t pid);

// text with %h (host name), %r (rank), %j (job id), %p (pid) and %% put in.
// Refused (false, the reason in *why) for a %r or %j without a job, for an
// unknown %-letter, and under --job for %r and %p: a host's ranks share one
// launch and write one log.
bool expand_name(const std::string& text, const JobInfo* job, bool job_mode,
                 const std::string& host, pid_t pid, std::string* out, std::string* why);

// Starts or joins the launch of this rank's job on this host (ranks given
// the same CPUs share one; a rank its starter bound elsewhere has its own),
// with the anchor descriptor open for the command, and appends
// ZYG_LAUNCH_DATA_FILE and ZYG_LAUNCH_ID. The first rank of the job on the
// host also empties the log and error files it names (`log`, `error`, "" for
// none), which the ranks then share. 0, or -1 with the reason in *why.
int job_start_launch(LaunchEnv* env, const JobInfo& job, pid_t pid, unsigned mode,
                     const std::string& log, const std::string& error, std::string* path_out,
                     std::string* why);

}  // namespace zyg::launcher
