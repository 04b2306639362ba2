// walk.h - the program shape of a plan walked on the simulation: the first
// process with its threads, then each child in turn with its threads, the
// order a program that creates and waits for each task in turn has.
// Internal to --plan.
#pragma once

#include "plan/plan.h"
#include "plan/simulation.h"

namespace zr {

// Adds every task of the shape to plan.tasks, each as the library places it.
void walk_shape(const PlanRequest& req, const Policies& pol, Simulation& sim, Plan& plan);

}  // namespace zr
