// init.h - library start-up in each program image, and disabling launch.
//
// launch_init runs as the shared object's initialiser and lazily from the
// first interposed call of an image. It tells the first process of a launch
// (creates the launch data) from an exec'd one (attaches to it); a forked
// child never runs it. Disabling launch is the way out for every failure
// that must not stop the user's program: lower layers reach it through
// core/hooks.h, which install_start_hooks points here.
#pragma once

namespace zyg {

void launch_init();

// Points the lower layers' hooks (core/hooks.h) at start-up's own disable
// and at the fatal report. Idempotent; cheap enough for any entry point's
// first call.
void install_start_hooks();

// What disable_launch() runs once start-up's hooks are installed: back on
// the initial launch nodes, the library out of the environment, counted out,
// launch_disabled set. A vfork child, which shares all of that with its
// parent, is counted out and turns launching off for itself alone.
void disable_launch_now();

}  // namespace zyg
