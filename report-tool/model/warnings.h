// warnings.h - what a person should look at in a launch: a log damaged or
// of several launches, tasks that never ended, separate trees, tasks moved
// outside the launch policy, CPUs shared under CPU launch (warnings.cpp);
// and tasks placed other than the launch's policies predict
// (policy_warnings.cpp). Internal to the model (model/build.cpp).
#pragma once

#include <string>
#include <vector>

#include "model/counts.h"
#include "model/launch.h"
#include "model/tree.h"

namespace zr {

void warn(Launch& launch, std::string w);
// Up to ten PIDs, then "...".
std::string fmt_pids(const std::vector<long>& pids);

// What is wrong with the log itself: no banner, records of several
// launches, records missing.
void warn_about_log(Launch& launch, const EntryCheck& check);
// Processes that never ended (`never`), threads without an end of their own.
void warn_about_ends(Launch& launch, const std::vector<long>& never);
// Several roots; a first process that is not the banner's.
void warn_about_tree(Launch& launch);
// Tasks whose records show them somewhere the policy did not put them.
void warn_about_moves(Launch& launch);
// CPUs that held more than one live task at once under CPU launch.
void warn_about_shared_cpus(Launch& launch, const std::vector<CrowdedCpu>& crowded);

// Under memfree, all tasks of a kind on one node; true when it warned.
bool warn_about_memfree(Launch& launch);
// Launch nodes never used although a spreading policy placed tasks enough
// (not when memfree already warned), and nodes outside the launch nodes.
void warn_about_nodes(Launch& launch, bool memfree_warned);
// Imbalance beyond what the policies predict.
void warn_about_spread(Launch& launch);

}  // namespace zr
