// layout.h - where the library's code and data lie in its image.
//
// Every program of a tree maps the library, and most of the tree's lives are
// short: a program that only starts and ends (a compiler, a shell command),
// a forked child on its way to its exec. What such a life costs is largely
// the pages it maps: the kernel maps the file pages around each page fault,
// up to 16 of them (a fork child faults in again the code it runs), and
// tears every one down at exit, a few microseconds a page on a virtual
// machine.
//
// ZYG_HOT_CODE marks the code of those lives: start-up, attaching to the
// launch, the launch-log records of a start and an end, the ways out, and a
// fork child's placement, exec checks and environment. The linker script
// lib/hot_start.ld puts it with the read-only data right after the loader's
// tables, in a segment of its own; the rest of the code follows in another,
// which they never map. A function of those paths that lacks the mark is
// found by tests/integration/test_exec_pages.py.
//
// ZYG_HOT_INLINE: a small function of that path defined in a header. Its
// copies are shared between objects, and the compiler cannot give them the
// section of ordinary functions, so it is inlined wherever it is called.
//
// ZYG_COLD_DATA: storage only some images use (the first process's start-up
// buffers, a log banner, the exec paths' big entries) goes after every small
// variable of the library, in .lbss, which the linker places after .bss: the
// pages an exec'd program's start-up writes stay the one or two the loader
// touches anyway, and mask.h's static block starts right after them.
#pragma once

#define ZYG_HOT_CODE __attribute__((section(".text.zyg_hot")))
#define ZYG_HOT_INLINE __attribute__((always_inline)) inline
#define ZYG_COLD_DATA __attribute__((section(".lbss")))
