// hooks.h - how the lower layers reach what only start-up may do.
//
// Disabling launch edits the environment, counts the process out and puts
// the thread back on the initial launch nodes; a fatal report goes through
// the reporting layer and the exit path. Both live above everything that
// may need them, so start-up installs them here as function pointers (the
// exit path itself is base/terminate.h) and lower layers call these
// wrappers, never upward.
#pragma once

namespace zyg {

using disable_hook_fn = void (*)();
using fatal_hook_fn = void (*)(const char* msg);

void set_launch_hooks(disable_hook_fn disable, fatal_hook_fn fatal);

// Launching off for this process and its descendants (start-up's
// disable_launch). Without a hook (a unit test of a lower layer) only the
// flag is set.
void disable_launch();

// A terminating report with this message (no error number). Without a hook
// the message goes to standard error and the process ends with status 1.
[[noreturn]] void fatal_text(const char* msg);

}  // namespace zyg
