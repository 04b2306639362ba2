/*
 * libzyg-floor.so - a preload library that does nothing but need libnuma,
 * as the preload library of zyg-nox must: preloaded into a program, it shows
 * what that design costs before the library does any work of its own
 * (bench/compare's "floor" configuration).
 */
#include <numa.h>

/* Referenced so that no linker drops libnuma from the library's needs. */
int zyg_floor_numa_available(void) { return numa_available(); }
