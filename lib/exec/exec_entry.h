// exec_entry.h - the library's own execve, for callers inside the library
// (the syscall interposer routes SYS_execve here) that must not call the
// exported name.
#pragma once

namespace zyg {

int library_execve(const char* path, char* const argv[], char* const envp[]);

}  // namespace zyg
