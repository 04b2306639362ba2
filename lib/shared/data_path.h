// data_path.h - the name of a launch's data file, which the launcher chooses
// and the library creates: "/dev/shm/zyg-nox.<pid>", or with ".<k>" after it
// when an earlier launch by a process with the same ID left its file behind.
// The launcher puts the name into the environment it execs the command with,
// so that a program whose environment was captured before the library ran
// (Go's runtime, a static wrapper's children) still finds the launch.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

// Formats the name for pid with suffix k (0: none) into out. The length
// written, or -1 when it does not fit.
int format_data_file_path(char* out, size_t size, int pid, int k);

// The process ID a data file name was made for, or -1 when the name is not
// one of ours (a job's launch has no such pid).
int data_file_pid(const char* path);

// The launch the ranks of one job step share on a host (--job): one per
// allowance (the CPUs the starter gave its ranks),
// "/dev/shm/zyg-nox.job-<job: 16 hex digits>.<allowance: 8 hex digits>",
// and the job's key file on the host, "/dev/shm/zyg-nox.job-<job>.key".
int format_job_data_path(char* out, size_t size, uint64_t job, uint32_t allowance);
int format_job_key_path(char* out, size_t size, uint64_t job);

// What an entry of /dev/shm (its name alone) is to us.
enum shm_name_kind { SHM_OTHER, SHM_DATA_FILE, SHM_JOB_DATA_FILE, SHM_JOB_KEY };
shm_name_kind shm_name_kind_of(const char* name);
// The job hash of a job entry's name (SHM_JOB_DATA_FILE, SHM_JOB_KEY), 0 else.
uint64_t shm_job_of(const char* name);

}  // namespace zyg
