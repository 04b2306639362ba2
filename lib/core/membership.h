// membership.h - who belongs to a launch, and how that is proven and counted.
// Every rule of membership is here; start-up, exec, spawn, creation, the raw
// system calls and the exit paths only call it.
//
// Identity. A launch is its key and its uid (shared/launch_id.h), carried in
// ZYG_LAUNCH_ID. A program joins a data file only when the file is regular,
// owned by that uid, carries the key's identity tag, and, once filled, the
// key's tag of every path a program takes from it (library, log, error file):
// another user's file, a FIFO, a stale file of an earlier launch with the
// same pid, or a header rewritten by anyone without the key is refused with
// one line, and the program runs unplaced. Guards against joining a file an
// attacker planted, and against two launches becoming one.
//
// Liveness. Every image of the launch holds a shared flock on its descriptor
// of the file, as the starter's anchor does (shared/launch_id.h); a clean-up
// removes a file only when it can take the exclusive lock. Guards against a
// clean-up in another PID namespace, or of another user, removing a live
// launch because it cannot see its processes.
//
// Counting. lib_loaded_cnt counts the images that will count themselves out.
// The creator starts it at 1; a fork, vfork or clone child of ours counts
// itself in in child_start; every image that attaches counts itself in once
// (but a Go program: its runtime ends with a raw exit_group we never see).
// Every end counts the image out once (a marker per pid). Every exec counts
// the image out before the real call and back in when it fails: the count
// moves with the program. Several threads may exec at once: the process is
// counted out while any exec is in flight, and back in when the last one has
// failed, never twice either way. A raw clone's child was never counted and
// never counts out.
//
// Placement mark (ZYG_LAUNCH_PLACED_BY, shared/names.h). A program that
// starts in a process that was placed must not be placed again, and every
// other program must be. The mark names the process, never a relation:
// "<pid>" for an exec (the process itself keeps its place, through the execs
// of static programs too), "<pid>:<serial>" for the child of a spawn, which
// the spawning process records with the child's pid once the spawn returns
// (until then, and for system and popen, whose child the caller never learns,
// the child is the one whose parent is that pid). A program that a static
// program forked, a Go program's raw children, a script's children under a
// static interpreter: none is named, each places itself.
//
// A vfork child that must turn launching off (its bind failed) may not touch
// the flags it shares with its parent: it turns it off at its own vfork
// level, on the thread's storage, and the parent finds it on again when it
// resumes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/layout.h"
#include "shared/launch_id.h"

namespace zyg {

struct ldata_hdr;

// --- Identity -------------------------------------------------------------

// Why a file is not this launch's.
enum member_refusal {
  MEMBER_OK = 0,
  MEMBER_NOT_REGULAR,  // a FIFO, a device, a directory ...
  MEMBER_OWNER,        // owned by a uid other than the launch's
  MEMBER_IDENTITY,     // another launch's file, or a header not written with the key
  MEMBER_NO_ID,        // the environment carries no identity to check against
};
// The refusal's text for the one-line report.
const char* member_refusal_text(member_refusal why);

// The file behind fd (its fstat in st) may be this launch's: regular, owned
// by the launch's uid.
member_refusal member_check_file(const void* st, const launch_id& id);
// The header (a private copy) carries the launch's identity tag.
bool member_identity_matches(const ldata_hdr* h, const launch_id& id);
// The key's tag of every header field a program takes a path or mode from.
uint64_t member_content_tag(const ldata_hdr* h, const launch_id& id);

// This image's identity: parsed from the environment once at start-up (or
// made there, by a library preloaded by hand); false when there is none.
bool member_identity(launch_id* out);
void member_set_identity(const launch_id& id);

// --- Counting -------------------------------------------------------------

bool counted_out(int pid);       // pid's marker names it
void mark_counted_out(int pid);  // a process that must never count itself out

void lib_loaded_increment();  // count a new process in, re-arm the marker
void lib_loaded_decrement();  // count this process out, once
void lib_loaded_rearm();      // this process's marker = -1 (start-up of an image)
// The same for a caller that knows its pid already (a getpid less).
// lib_loaded_decrement tells whether this call counted the process out.
void lib_loaded_increment(int pid);
bool lib_loaded_decrement(int pid);
void lib_loaded_rearm(int pid);
// lib_loaded_increment in the child of a fork (memory of its own), which
// need not know its pid; it also forgets the parent's execs in flight.
void lib_loaded_increment_forked();
// Lowers the count for a spawn that never started a process, without
// touching this process's marker.
void lib_loaded_take_back();
// Counts a process in that is not this one: the atomic add alone.
void lib_loaded_count_in();

// An exec of process pid is about to call the real function: the process is
// counted out (unless it already is, or never was). Returns what the matching
// member_exec_failed needs.
struct exec_count {
  int pid;
};
exec_count member_exec_begin(int pid);
// The exec returned: when it was the last one in flight, the process is
// counted back in (if an exec of it counted it out).
void member_exec_failed(const exec_count& c);

// The variables that tie a program to the launch (data file, identity, error
// file, placement mark, and in the debug library the debug file): a program
// that runs without the library gets none of them.
bool is_member_variable(const char* entry);

// --- Placement mark -------------------------------------------------------

// A child made by a raw clone that the library passed through: never
// counted in, so never counted out, and not placed (an exec of it gives the
// new program no mark).
void member_raw_clone_child(int pid);
// Process pid was placed (by us, or by its own start-up): its execs mark
// the new program as placed.
bool member_process_placed(int pid);

// "ZYG_LAUNCH_PLACED_BY=<pid>" or "...=<pid>:<serial>" (serial 0: none),
// cut to size. The length written; kMarkEntrySize holds any.
inline constexpr size_t kMarkEntrySize = 48;
size_t member_mark_entry(char* out, size_t size, int pid, uint32_t serial);
// A new serial for a spawn mark (never 0).
uint32_t member_spawn_serial();
// The spawn with `serial` made process `child`.
void member_spawn_record(uint32_t serial, int child);
// Whether the program starting in process pid is placed already, by the
// mark its environment carries (null: none). The parent's pid is asked only
// for a spawn mark whose child is not recorded (ppid -1: ask the kernel).
bool member_marked_placed(const char* mark, int pid, int ppid = -1);

// --- The vfork child's off level -------------------------------------------

// Launching is off for the vfork child running on this thread (and for any
// vfork child it makes in turn) until its parent resumes.
void vfork_child_turn_off();
// True in a vfork child that turned launching off, or in one of its own vfork
// children.
bool vfork_child_off();
// How many vfork children of this process's threads have launching off
// right now: while it is 0, no thread needs to look at its own storage.
extern volatile uint32_t vfork_children_off;
// A forked child has one thread, which is no such vfork child: the count it
// inherited belongs to its parent's other threads.
inline void vfork_children_off_clear() { vfork_children_off = 0; }
// The parent, once vfork has returned: the scratch blocks its children left
// are released (base/scratch.h), and launching is on again for it if a child
// turned it off. `depth` is vfork_depth() before the vfork.
void member_vfork_resumed(uint32_t depth);

}  // namespace zyg
