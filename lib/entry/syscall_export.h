// syscall_export.h - between the exported syscall and its router. Kept free
// of the C library's headers: syscall_export.cpp defines syscall with fixed
// arguments, which unistd.h declares variadic.
#pragma once

namespace zyg {

// The numbers the library acts on (clone, clone3, fork, vfork, execve, exit,
// exit_group), routed through the library while launching is on.
// args: the six arguments.
long entry_syscall_routed(long number, const long* args);

}  // namespace zyg
