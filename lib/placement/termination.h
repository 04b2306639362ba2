// termination.h - counting processes in and out of lib_loaded_cnt, and the
// library's own exit path.
//
// lib_loaded_cnt (launch data) changes only by atomic add/subtract. The
// counted-out marker of a process holds its pid once it has been counted out
// (else -1), so a process is counted out once however many threads and exit
// paths get there; a new process re-arms its own.
//
// Markers are kept in a small table indexed by pid: a process made by clone
// with CLONE_VM shares its parent's memory, and with one marker for both the
// second of them to end would take the first one's mark for its own absence
// and count the first one out again.
#pragma once

namespace zyg {

bool counted_out(int pid);       // pid's marker names it
void mark_counted_out(int pid);  // a process that must never count itself out

void lib_loaded_increment();  // count a new process in, re-arm the marker
void lib_loaded_decrement();  // count this process out, once
void lib_loaded_rearm();      // this process's marker = -1 (start-up of an image)
// The same for a caller that knows its pid already (a getpid less).
void lib_loaded_increment(int pid);
void lib_loaded_decrement(int pid);
void lib_loaded_rearm(int pid);
// lib_loaded_increment in the child of a fork (memory of its own), which
// need not know its pid.
void lib_loaded_increment_forked();
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
