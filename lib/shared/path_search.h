// path_search.h - the file an exec by name will run, found the way execvp
// searches PATH. The launcher checks the command it is given with it before
// anything starts; the library checks the program an execvp, execlp or
// posix_spawnp is about to run.
//
// Allocates nothing: the caller gives the buffer the candidates are built
// in (the library's exec paths may run in a vfork child, or from a signal
// handler that interrupted malloc).
#pragma once

#include <stddef.h>

namespace zyg {

// With no PATH at all the search takes the system's default path
// (confstr(_CS_PATH)) up to this many bytes.
inline constexpr size_t kDefaultPathMax = 256;

// A buffer this large holds every candidate search_path builds for name
// under path_value.
size_t search_path_size(const char* name, const char* path_value);

// Tries name (which has no '/') in every element of path_value in order, an
// empty element meaning the current directory; a null path_value is the
// current directory and then the system's default path, as execvp does
// without PATH. The first candidate the caller may read and execute that is
// not a directory (access passes those, but the exec would not run one)
// wins. Candidates are built in buf; one that does not fit is not tried.
// True, with the path in buf, when one qualified. errno is left as the
// failed probes set it.
bool search_path(const char* name, const char* path_value, char* buf, size_t size);

}  // namespace zyg
