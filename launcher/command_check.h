// command_check.h - finding the file that the command word names, the way
// execvpe will search for it, so that commands the preload library cannot
// serve (set-ID programs of another user, 32-bit programs) are refused before
// anything is started.
#pragma once

#include <string>

namespace zyg::launcher {

// Resolves word to the path execvpe is expected to run. A word with a '/' is
// the path itself; otherwise path_value is searched as the library searches
// it for an execvp (shared/path_search.h: null means the current directory,
// then confstr(_CS_PATH)). Gives "" when nothing qualifies. The path is not
// cut to any length limit: a longer path is still the file that will run,
// so the checks must look at it. Throws std::bad_alloc.
std::string resolve_command_path(const std::string& word, const char* path_value);

enum class CommandVerdict { kOk, kSetId, k32Bit };

// A program whose interpreter is another C library's loader (musl's): it
// cannot load the preload library, and would fail to start with it.
bool uses_foreign_loader(const std::string& path);

// The launcher's refusals for a resolved path ("" passes both checks).
CommandVerdict check_command(const std::string& path);

}  // namespace zyg::launcher
