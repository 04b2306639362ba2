/*
 * libzyg-floor.so - a preload library that does nothing: preloaded into a
 * program, it shows what the preload design costs (the loader finding,
 * mapping and relocating one more library) before a library does any work
 * of its own (bench/compare's "floor" configuration, bench/exec-cost's
 * "empty library").
 */
int zyg_floor_marker(void) { return 0; }
