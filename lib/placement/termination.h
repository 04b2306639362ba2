// termination.h - counting processes in and out of lib_loaded_cnt, and the
// library's own exit path.
//
// lib_loaded_cnt (launch data) changes only by atomic add/subtract. The
// per-process counted-out marker holds the pid that has been counted out (or
// -1), so a process is counted out once however many threads and exit paths
// get there; a forked child re-arms it.
#pragma once

namespace zyg {

extern int counted_out_pid;  // -1 when not counted out

void lib_loaded_increment();  // count a new process in, re-arm the marker
void lib_loaded_decrement();  // count this process out, once
void lib_loaded_rearm();      // marker = -1 (start-up of an image)
// Lowers the count for a spawn that never started a process, without
// touching this process's marker.
void lib_loaded_take_back();
// Counts a process in that is not this one (a spawned child, the shell of
// system()): the atomic add alone, this process's marker stays as it is.
void lib_loaded_count_in();

// The library's own _exit: logs "_exit()", counts out, calls the real _exit.
// Used for fatal reports once start-up is complete.
[[noreturn]] void library_exit(int status);

}  // namespace zyg
