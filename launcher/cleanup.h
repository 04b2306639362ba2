// cleanup.h - removal of stale launch data files (/dev/shm/zyg-nox.*): the
// fuser presence check, the foreground scan of "zyg-nox -r" and the detached
// background run of it that every launch starts.
#pragma once

#include <sys/types.h>

namespace zyg::launcher {

// The first of /usr/bin/fuser, /usr/sbin/fuser, /bin/fuser, /sbin/fuser
// that exists, or null.
const char* find_fuser();

// Prints the "fuser not installed" error and exits 1 when find_fuser fails.
void require_fuser();

// What a probe of one entry found: over (an exclusive lock could be taken:
// no program of its launch holds its lock, in any PID namespace, of any
// user), in use (a program of the launch holds it), or unknown (not a
// regular file of the caller's own, or not to be opened: never removed).
// The open never follows a link and never blocks (a FIFO planted under the
// name).
enum class Probe { kOver, kInUse, kUnknown };
struct FileKey {
  dev_t dev;
  ino_t ino;
};
Probe probe_data_file(const char* path, FileKey* key);

// Removes the file at path if it is still the one `key` names and still
// over; true when it was removed.
bool remove_if_over(const char* path, const FileKey& key);

// probe_data_file, then fuser, then remove_if_over: the file at path removed
// when it is over and no process has it open or mapped; true when it was.
bool remove_data_file_if_stale(const char* path);

// How long a job's key file (--job, launcher/job.h) is kept after a rank
// last started: a rank that starts after the job's others have ended finds
// the job's identity there, and carries on its log instead of emptying it.
inline constexpr int kJobKeyKeepSec = 600;

// Removes from dir every launch data file ("zyg-nox.<pid>[.<k>]", a job's
// "zyg-nox.job-<job>.<allowance>") that is over and that no process has
// open (fuser -s fails), then the key files of jobs with no data file left
// that no rank started for kJobKeyKeepSec. Silent; anything that fails
// leaves the entry in place.
void remove_stale_data_files_in(const char* dir);

// True when dir holds a launch data file that is over: a file the clean-up
// may have to remove.
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
