#include "cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shared/data_path.h"
#include "shared/launch_id.h"
#include "shared/names.h"
#include "shared/path_search.h"

namespace zyg::launcher {

namespace {

constexpr const char* kFuserPaths[] = {"/usr/bin/fuser", "/usr/sbin/fuser", "/bin/fuser",
                                       "/sbin/fuser"};
constexpr char kFuserSearchPath[] = "/sbin:/bin:/usr/sbin:/usr/bin";

pid_t wait_child(pid_t pid, int* status) {
  pid_t r;
  do {
    r = waitpid(pid, status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Returns the exit status byte of "fuser -s path", or -1 when fuser could not
// be run to a normal end (which never leads to a deletion).
int run_fuser(const char* path) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0 && fd != STDOUT_FILENO) {
      dup2(fd, STDOUT_FILENO);
      close(fd);
    }
    fd = open("/dev/null", O_WRONLY);
    if (fd >= 0 && fd != STDERR_FILENO) {
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    setenv("PATH", kFuserSearchPath, 1);
    execlp("fuser", "fuser", "-s", path, static_cast<char*>(nullptr));
    _exit(0);  // "in use": a failed exec must never delete anything
  }
  int status = 0;
  if (wait_child(pid, &status) != pid) return -1;
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The detached run of "zyg-nox -r" is started without a copy of the
// launcher: two forks copied its page tables twice and tore them down twice,
// as much time as the command's own start on a small machine. The
// intermediate child and the grandchild share the launcher's memory instead:
// the intermediate (the launcher waits for it, as it waited for a forked
// one) starts the grandchild and exits; the grandchild runs beside the
// launcher until its exec, so it touches nothing but this block, which the
// launcher never frees (after the launcher's own exec the memory they shared
// stays the grandchild's), and makes only raw system calls: no errno, no
// C library state the launcher could be using at the same moment.
constexpr size_t kStackBytes = 64 * 1024;

// A guarded clean-up waits this long before it runs, so that it does not
// compete with the command that is just starting.
constexpr long kPostponeSeconds = 1;

struct DetachedStart {
  alignas(16) char intermediate_stack[kStackBytes];
  alignas(16) char grandchild_stack[kStackBytes];
  const char* path;  // where the PATH search found "zyg-nox", as execvp would
  char* const* argv;
  char* const* envp;
  int guard_fd;  // the clean-up guard's descriptor, or -1 without a guard
  struct timespec postpone;
  // the path, argv and envp with every string they point to follow
};

long raw_call(long nr, long a = 0, long b = 0, long c = 0) {
  long r;
  __asm__ volatile("syscall" : "=a"(r) : "a"(nr), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
  return r;
}

void print_no_process(int err) {
  fprintf(stderr, "Error: %s can't create process for data file cleanup\n", kProgName);
  fprintf(stderr, "Error: %s\n", strerror(err));
}

char* copy_into(char** at, const char* text) {
  char* start = *at;
  size_t n = strlen(text) + 1;
  memcpy(start, text, n);
  *at += n;
  return start;
}

// The block, with the program found and the environment copied; null when
// no "zyg-nox" is found (its exec would have failed silently). No memory for
// it ends the launch as a failed fork of the clean-up did.
DetachedStart* prepare_detached(int guard_fd) {
  const char* path_value = getenv("PATH");
  std::string found(search_path_size(kProgName, path_value), '\0');
  if (!search_path(kProgName, path_value, found.data(), found.size())) return nullptr;
  size_t env_count = 0, text = found.size() + strlen(kProgName) + 4;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e, ++env_count) text += strlen(*e) + 1;
  const size_t size = sizeof(DetachedStart) + (env_count + 4) * sizeof(char*) + text;
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    print_no_process(errno);
    exit(1);
  }
  auto* d = static_cast<DetachedStart*>(block);
  auto** argv = reinterpret_cast<char**>(d + 1);
  char** envp = argv + 3;
  char* at = reinterpret_cast<char*>(envp + env_count + 1);
  d->path = copy_into(&at, found.c_str());
  argv[0] = copy_into(&at, kProgName);
  argv[1] = copy_into(&at, "-r");
  argv[2] = nullptr;
  for (size_t i = 0; i < env_count; ++i) envp[i] = copy_into(&at, environ[i]);
  envp[env_count] = nullptr;
  d->argv = argv;
  d->envp = envp;
  d->guard_fd = guard_fd;
  d->postpone = {guard_fd >= 0 ? kPostponeSeconds : 0, 0};
  return d;
}

// The grandchild outlives the launch at the lowest priority (its fuser runs
// read every process's descriptors and must not take CPU time from the
// command starting beside them; at nice 19 it still progresses on a machine
// that stays busy), and must not keep the caller's pipes or terminal open,
// or "$(zyg-nox ...)" would wait for it. Holding the guard, it first waits
// (the launches of that time leave their stale files to it); the guard ends
// with its descriptor just before the exec, so a launch after that starts a
// clean-up of its own: every stale file is left to a scan that follows it.
int start_grandchild(void* arg) {
  const auto* d = static_cast<const DetachedStart*>(arg);
  raw_call(SYS_setpriority, PRIO_PROCESS, 0, 19);
  long fd = raw_call(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDWR);
  for (long target = 0; target <= 2; ++target) {
    if (fd < 0)
      raw_call(SYS_close, target);
    else if (fd != target)
      raw_call(SYS_dup2, fd, target);
  }
  if (fd > 2) raw_call(SYS_close, fd);
  if (d->guard_fd >= 0) raw_call(SYS_nanosleep, reinterpret_cast<long>(&d->postpone), 0);
  if (raw_call(SYS_close_range, 3, ~0U, 0) != 0)
    for (long n = 3; n < 1024; ++n) raw_call(SYS_close, n);
  raw_call(SYS_execve, reinterpret_cast<long>(d->path), reinterpret_cast<long>(d->argv),
           reinterpret_cast<long>(d->envp));
  return 1;
}

// take_cleanup_guard when a clean-up is already waiting.
constexpr int kGuardBusy = -2;

// One postponed clean-up at a time for each user: a launch that finds one
// waiting leaves its stale files to it, so that back-to-back launches do not
// pile up clean-ups that then all run at once. The guard is a lock on a file
// of the user's own in dir, named so that no scan takes it for a data file;
// the waiting grandchild holds it by its descriptor, so it ends with that
// process however it ends. Returns the locked descriptor (above 2, closed on
// exec), kGuardBusy, or -1 when no guard can be had: the clean-up then starts
// at once and unguarded.
int take_cleanup_guard(const char* dir) {
  char path[128];
  const unsigned uid = geteuid();
  snprintf(path, sizeof(path), "%s/.%s-cleanup.%u", dir, kProgName, uid);
  // Not blocking: a FIFO put there must not hold up the launch at its open.
  int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd >= 0 && fd <= 2) {  // the grandchild's 0 to 2 become /dev/null
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    fd = high;
  }
  if (fd < 0) return -1;
  // A file someone else made under this name must not hold our clean-ups.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != uid) {
    close(fd);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  const bool busy = errno == EWOULDBLOCK;
  close(fd);
  return busy ? kGuardBusy : -1;
}

int start_intermediate(void* arg) {
  auto* d = static_cast<DetachedStart*>(arg);
  // No exit signal: its parent is gone by the time it could matter.
  if (clone(start_grandchild, d->grandchild_stack + kStackBytes, CLONE_VM, d) < 0) {
    print_no_process(errno);
    return 1;
  }
  return 0;
}

}  // namespace

const char* find_fuser() {
  struct stat st;
  for (const char* p : kFuserPaths) {
    if (stat(p, &st) == 0) return p;
  }
  return nullptr;
}

void require_fuser() {
  if (find_fuser() != nullptr) return;
  fprintf(stderr, "Error: fuser command not installed. Please install fuser.\n");
  exit(1);
}

namespace {

// An entry name of the launch data files: "zyg-nox.<pid>[.<k>]".
bool data_file_name(const char* name) {
  const shm_name_kind k = shm_name_kind_of(name);
  return k == SHM_DATA_FILE || k == SHM_JOB_DATA_FILE;
}

// Whether dir holds a launch data file of the job.
bool job_has_files(const char* dir, uint64_t job) {
  DIR* d = opendir(dir);
  if (d == nullptr) return true;
  bool found = false;
  while (struct dirent* e = readdir(d))
    if (!found && shm_name_kind_of(e->d_name) == SHM_JOB_DATA_FILE && shm_job_of(e->d_name) == job)
      found = true;
  closedir(d);
  return found;
}

// A job's key file is over once no launch data file of the job is left and
// no rank has started for kJobKeyKeepSec; it is removed under its own lock,
// which a rank starting the job holds while it makes the job's data file.
// The cheap checks on the open file come first: the directory is read for
// the job's data files only for a key that could be over.
bool key_file_over(const char* dir, const char* name, bool remove) {
  if (shm_name_kind_of(name) != SHM_JOB_KEY) return false;
  char path[512];
  int n = snprintf(path, sizeof(path), "%s/%s", dir, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return false;
  int fd = launch_file_open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  bool over = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
              st.st_mtime + kJobKeyKeepSec <= time(nullptr) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
              !job_has_files(dir, shm_job_of(name));
  // Only the file proven over goes: another clean-up may have removed it and
  // a rank made the job's key anew under the name since our open.
  if (over && remove && launch_file_still_named(fd, path)) unlink(path);
  close(fd);
  return over;
}

}  // namespace

Probe probe_data_file(const char* path, FileKey* key) {
  int fd = launch_file_open(path, O_RDONLY);
  if (fd < 0) return Probe::kUnknown;
  struct stat st;
  Probe verdict = Probe::kUnknown;
  // Only a regular file of the user's own: another user's file under a data
  // file's name is theirs to remove (their launches' clean-ups do).
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
    if (key != nullptr) *key = FileKey{st.st_dev, st.st_ino};
    int r;
    do r = flock(fd, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r == 0) {
      verdict = Probe::kOver;
    } else if (errno == EWOULDBLOCK) {
      verdict = Probe::kInUse;
    }
  }
  close(fd);  // the lock, if taken, goes with it
  return verdict;
}

bool remove_if_over(const char* path, const FileKey& key) {
  int fd = launch_file_open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat st, named;
  bool removed = false;
  // Still the file proven over, still nobody's, and still under that name
  // (held by the exclusive lock while it goes).
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == key.dev && st.st_ino == key.ino &&
      flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path, &named) == 0 && named.st_dev == key.dev &&
      named.st_ino == key.ino)
    removed = unlink(path) == 0;
  close(fd);
  return removed;
}

bool remove_data_file_if_stale(const char* path) {
  // Over only when no program of its launch holds its lock, in whatever PID
  // namespace and of whatever user; and, where fuser can see them, no
  // process has it mapped (one that closed every descriptor it had).
  FileKey key;
  if (probe_data_file(path, &key) != Probe::kOver) return false;
  return run_fuser(path) > 0 && remove_if_over(path, key);
}

bool stale_candidate_in(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  bool found = false;
  struct dirent* e;
  while ((e = readdir(d)) != nullptr) {
    if (!data_file_name(e->d_name)) continue;
    char path[512];
    int n = snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) continue;
    if (probe_data_file(path, nullptr) == Probe::kOver) {
      found = true;
      break;
    }
  }
  rewinddir(d);
  while (!found && (e = readdir(d)) != nullptr) found = key_file_over(dir, e->d_name, false);
  closedir(d);
  return found;
}

void remove_stale_data_files_in(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    if (!data_file_name(e->d_name)) continue;
    char path[512];
    int n = snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) continue;
    remove_data_file_if_stale(path);
  }
  rewinddir(d);
  while (struct dirent* e = readdir(d)) key_file_over(dir, e->d_name, true);
  closedir(d);
}

void remove_stale_data_files() {
  char dir[64];
  snprintf(dir, sizeof(dir), "/%s/%s", "dev", "shm");
  remove_stale_data_files_in(dir);
}

void start_background_cleanup() {
  require_fuser();
  // Most launches find nothing to remove: a look at the directory costs far
  // less than the fork, exec and fuser runs that would find that out, and
  // those would compete with the command for the CPUs just as it starts.
  char dir[64];
  snprintf(dir, sizeof(dir), "/%s/%s", "dev", "shm");
  const int guard = take_cleanup_guard(dir);
  if (guard == kGuardBusy) return;  // the waiting clean-up will find them
  DetachedStart* d = stale_candidate_in(dir) ? prepare_detached(guard) : nullptr;
  if (d == nullptr) {  // nothing to remove, or no "zyg-nox" whose exec could
    if (guard >= 0) close(guard);
    return;
  }
  // The launcher waits for the intermediate child (CLONE_VFORK) and reaps it
  // at once, so that the command, which takes over this process, never finds
  // an unknown zombie among its children.
  pid_t child = clone(start_intermediate, d->intermediate_stack + kStackBytes,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, d);
  if (child < 0) {
    int err = errno;
    print_no_process(err);
    exit(1);
  }
  int status = 0;
  wait_child(child, &status);
  if (guard >= 0) close(guard);  // the grandchild holds it now
}

}  // namespace zyg::launcher
