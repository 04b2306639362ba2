// program_kind.h - what start-up learns of the program image it runs in from
// the image's own headers in memory (no system call).
#pragma once

#include <stddef.h>

namespace zyg {

// True for a program built by Go's toolchain (its build-ID note, name "Go"):
// Go's runtime ends the process with the raw exit_group system call, past
// every exit function and finaliser of ours, so such an image could never
// count itself out of the launch.
bool program_ends_unseen();

// Whether a PT_NOTE segment's size bytes hold Go's build-ID note (type 4,
// name "Go", written with a name size of 3, or 4 padded).
bool segment_has_go_note(const unsigned char* p, unsigned long size);

}  // namespace zyg
