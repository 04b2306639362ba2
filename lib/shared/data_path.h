// data_path.h - the name of a launch's data file, which the launcher chooses
// and the library creates: "/dev/shm/zyg-nox.<pid>", or with ".<k>" after it
// when an earlier launch by a process with the same ID left its file behind.
// The launcher puts the name into the environment it execs the command with,
// so that a program whose environment was captured before the library ran
// (Go's runtime, a static wrapper's children) still finds the launch.
#pragma once

#include <stddef.h>

namespace zyg {

// Formats the name for pid with suffix k (0: none) into out. The length
// written, or -1 when it does not fit.
int format_data_file_path(char* out, size_t size, int pid, int k);

// The process ID a data file name was made for, or -1 when the name is not
// one of ours.
int data_file_pid(const char* path);

}  // namespace zyg
