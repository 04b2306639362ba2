// init.h - library start-up and configuration.
//
// launch_init runs as the shared object's initialiser and lazily from the
// first interposed call of an image. It tells the first process of a launch
// (creates the launch data) from an exec'd one (attaches to it); a forked
// child never runs it. disable_launch is the way out for every failure that
// must not stop the user's program.
#pragma once

namespace zyg {

void launch_init();
void disable_launch();

// getenv, then a scan of environ for "NAME="; null when absent.
const char* env_lookup(const char* name);

// unsetenv, then removal of any "NAME=" entry still left in environ. A
// program may define its own unsetenv (bash does, and its version does
// nothing before the shell has set up its variables, which it then imports
// from the original environment array); the entries must go all the same.
void env_unset(const char* name);

// Policy name to (kind, scope). `thread` refuses "rr_pack". Returns 0, or -1
// for an unknown name (parse_policy then reports it, terminating).
int policy_from_name(const char* value, bool thread, int* kind, int* scope);
void parse_policy(const char* value, const char* which, int* kind, int* scope);

// Validates a memfree value; 0 with *limit set, or -1.
int memfree_from_text(const char* value, int* limit);

}  // namespace zyg
