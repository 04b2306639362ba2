// cleanup.h - removal of stale launch data files (/dev/shm/zyg-nox.*): the
// fuser presence check, the foreground scan of "zyg-nox -r" and the detached
// background run of it that every launch starts.
#pragma once

namespace zyg::launcher {

// The first of /usr/bin/fuser, /usr/sbin/fuser, /bin/fuser, /sbin/fuser
// that exists, or null.
const char* find_fuser();

// Prints the "fuser not installed" error and exits 1 when find_fuser fails.
void require_fuser();

// Byte offset and size of the first process's pid in a launch data file.
inline constexpr long kInitialPidOffset = 80;

// True when the data file names a first process (int32 at offset 80, > 0)
// that still exists, even if it belongs to another user. A file too short to
// hold the field, or unreadable, gives false.
bool initial_process_alive(const char* path);

// Removes from dir every entry whose name begins with "zyg-nox" when no
// process has it open (fuser -s fails) and its first process is gone.
// Silent; anything that fails leaves the entry in place.
void remove_stale_data_files_in(const char* dir);

// True when dir holds an entry whose name begins with "zyg-nox" and whose
// first process is gone: a file the clean-up may have to remove.
bool stale_candidate_in(const char* dir);

// remove_stale_data_files_in("/dev/shm").
void remove_stale_data_files();

// When /dev/shm holds a candidate (stale_candidate_in), starts "zyg-nox -r"
// in a detached grandchild and returns once the intermediate child has been
// reaped; neither copies the launcher (they share its memory until the
// grandchild's exec). The grandchild gets /dev/null on descriptors 0 to 2
// and no other descriptor, so it never holds the caller's pipes or terminal,
// and runs at nice 19. It waits a second before its exec, and while it waits
// the user's other launches start none (a lock on /dev/shm/.zyg-nox-cleanup.
// <euid>); without that lock it runs at once. Exits 1 with a message when
// the intermediate child cannot be made.
void start_background_cleanup();

}  // namespace zyg::launcher
