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
// (Launching turned off by such a child, at its own vfork level, is
// core/membership.h's.)
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

}  // namespace zyg
