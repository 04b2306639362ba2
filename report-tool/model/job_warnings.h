// job_warnings.h - what a person should look at in a job that no single
// launch shows: logs that cannot be of one job, ranks missing or given
// twice, a host whose nodes were used unevenly, and the tasks of two ranks
// on one CPU at once under CPU launch. Internal to the model
// (model/job.cpp).
#pragma once

#include "model/job.h"

namespace zr {

// Logs that name different jobs, and logs that name none among a job's.
void warn_about_job_ids(Job& job);
// Ranks found more than once, and ranks of the job's count found in none.
void warn_about_rank_numbers(Job& job);

// A host's launch nodes used unevenly: counting on each the tasks
// (processes and threads) that started there, in all the host's launches,
// the most and the least used differ by more than one. Only a host of two
// launch nodes or more is judged; unbound tasks (a node list) are not
// counted.
void warn_about_uneven_hosts(Job& job);

// Under CPU launch every task is meant to have a CPU of its own: tasks of
// two ranks alive on the same CPU at the same time. Judged within each
// launch, whose records share one clock; the launches of one host (a rank
// its starter bound elsewhere has one of its own) have clocks of their own.
void warn_about_cpus_shared_by_ranks(Job& job);

}  // namespace zr
