// scratch.h - memory for the vectors an exec or a spawn builds (argument
// lists, environments, paths). Those calls may come from a signal handler
// that interrupted the application's malloc, or from a forked child of a
// multithreaded parent: the application's heap is not ours to use there.
// Each block is its own anonymous mapping, so allocating and releasing are
// plain system calls.
//
// A vfork child runs in the memory, and on the thread-local storage, of the
// thread that called vfork until it execs or ends. A block it still holds
// when its exec succeeds would stay mapped in the parent for good (one per
// vfork + exec, which a long build turns into thousands): while a child is
// running on this thread, blocks are recorded here, and the parent releases
// whatever is left when it resumes.
//
// The same goes for launching turned off: a vfork child that must turn it
// off (its bind failed) may not do so in the flags, the environment or the
// counters it shares with its parent. It turns it off on this thread's
// storage, at its own vfork level, and the parent finds it on again when it
// resumes.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

void* scratch_alloc(size_t size);  // zeroed; null when out of memory
void scratch_free(void* p);        // null is ignored
char* scratch_strdup(const char* s);

// How many vfork children are running on this thread's storage: 0 in the
// parent (and in any process with memory of its own).
uint32_t vfork_depth();
// The child's first step: one level deeper; its blocks are recorded.
void vfork_child_begin();
// The parent, once vfork has returned (the child exec'd or ended): releases
// the blocks the children left and goes back to `depth`, the value
// vfork_depth() had before the vfork.
void vfork_parent_resume(uint32_t depth);

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

}  // namespace zyg
