// launch_id.h - a launch's identity and the birth of its data file, shared by
// the launcher (which starts a launch) and the library (which starts one when
// it is preloaded by hand).
//
// A launch is not known by a pid: pids repeat across PID namespaces and after
// wrap-around, and /dev/shm is shared by every user and namespace. Its
// identity is a random 128-bit key made once, when the launch starts, with
// the uid that owns the launch. Both travel in ZYG_LAUNCH_ID ("<uid>-<32 hex
// digits>"), an environment variable that no other user can read; the data
// file's header carries only keyed tags of them (SipHash-2-4), so that a
// reader of the file (it may be 0666) learns nothing that lets it forge one.
// A program joins a file only when it is a regular file owned by that uid
// whose identity tag is the key's: another user's file, a FIFO, a symbolic
// link or a stale file of another launch with the same name is never joined.
//
// The data file is created whole-named and empty by whoever starts the
// launch: O_EXCL, the first free name /dev/shm/zyg-nox.<pid>[.<k>], a header
// of zeros with the launched command's pid and the identity tag. The first
// program of the launch that loads the library claims and fills it.
//
// Liveness: every program of a launch holds a shared flock on the file, and
// the descriptor that the starter leaves open across exec (the anchor, not
// close-on-exec, at 100 or above) holds one for the static programs, Go
// programs and exec windows in between. A lock is the kernel's, visible to
// every PID namespace and user alike: a file on which an exclusive lock can
// be taken has no holder left, which "I cannot see its processes" never
// proved.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

struct launch_id {
  uint32_t uid;     // the uid that owns the launch and its files
  uint64_t key[2];  // random, never written anywhere but the environment
};

// "<uid>-" and 32 hex digits, with the terminator.
inline constexpr size_t kLaunchIdText = 10 + 1 + 32 + 1;

// A new identity for uid: the key from getrandom, else from the kernel's
// per-exec random bytes mixed with the time. Never fails.
void launch_id_make(launch_id* id, uint32_t uid);
// The environment value; the length written (without the terminator).
size_t launch_id_format(const launch_id& id, char* out, size_t size);
// True when text is exactly such a value.
bool launch_id_parse(const char* text, launch_id* id);

// SipHash-2-4 of n bytes under the launch's key.
uint64_t launch_tag(const launch_id& id, const void* data, size_t n);
// The same of the parts' bytes one after another, as if joined.
struct tag_part {
  const void* data;
  size_t size;
};
uint64_t launch_tag_parts(const launch_id& id, const tag_part* parts, int count);
// The identity tag the data file's header carries: the key's tag of the
// launch's uid and its first process's pid.
uint64_t launch_id_tag(const launch_id& id, int32_t initial_pid);

// Header offsets the starter writes (the layout is core/ldata.h's, which
// checks them): the first process's pid and the identity tag.
inline constexpr long kHdrInitialPidOffset = 80;
inline constexpr long kHdrIdTagOffset = 144;
inline constexpr size_t kHdrSize = 2048;

// Creates the data file of a new launch for process pid (the first free name
// of shared/data_path.h) owned by the caller, of mode `mode` whatever the
// umask, holding an empty header with pid and the identity tag, and takes
// the shared lock on it. The descriptor (close-on-exec, below 100 possibly),
// with the path in path_out; -errno when no file could be made.
int launch_file_create(const launch_id& id, int pid, unsigned mode, char* path_out, size_t size);
// The same under exactly the name `path` (a job's launch): -EEXIST when it
// is taken.
int launch_file_create_at(const launch_id& id, const char* path, int pid, unsigned mode);

// The shared lock a program of the launch holds on the file: non-blocking (a
// clean-up holds the exclusive lock only while it proves the file over and
// removes it). 0, or -errno.
int launch_file_lock_shared(int fd);

// The shared lock on a file this process has just made: a clean-up's probe
// may hold the exclusive lock for a moment between the creation and this
// call. It waits for that probe (up to kNewLockTries milliseconds) unless
// the probe removed the name, which a new try at the name then takes.
// 0, or -errno.
inline constexpr int kNewLockTries = 200;
int launch_file_lock_new(int fd, const char* path);

// The anchor: fd moved to 100 or above (out of the numbers programs expect
// their own opens to get) with close-on-exec off, so that the command and
// every program of its tree inherit it and the launch lives while any of
// them holds it. The original is closed; fd itself, made inheritable, when
// the descriptor limit leaves no room up there.
int launch_file_anchor(int fd);

// Whether path still names the file fd has open (a clean-up, or another
// starter, may have removed or replaced it since the open).
bool launch_file_still_named(int fd, const char* path);

// Opens a file in /dev/shm that may be anyone's: never following a link,
// never blocking on a FIFO, never becoming a terminal; -errno.
int launch_file_open(const char* path, int flags);

}  // namespace zyg
