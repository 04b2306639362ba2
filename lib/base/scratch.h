// scratch.h - memory for the vectors an exec or a spawn builds (argument
// lists, environments, paths). Those calls may come from a signal handler
// that interrupted the application's malloc, or from a forked child of a
// multithreaded parent: the application's heap is not ours to use there.
// Each block is its own anonymous mapping, so allocating and releasing are
// plain system calls.
#pragma once

#include <stddef.h>

namespace zyg {

void* scratch_alloc(size_t size);  // zeroed; null when out of memory
void scratch_free(void* p);        // null is ignored
char* scratch_strdup(const char* s);

}  // namespace zyg
