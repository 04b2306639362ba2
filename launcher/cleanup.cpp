#include "cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shared/names.h"

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

bool initial_process_alive(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  int32_t pid = 0;
  ssize_t n;
  do {
    n = pread(fd, &pid, sizeof(pid), kInitialPidOffset);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof(pid)) || pid <= 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool stale_candidate_in(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  const size_t prefix_len = strlen(kProgName);
  bool found = false;
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, kProgName, prefix_len) != 0) continue;
    char path[512];
    int n = snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) continue;
    if (!initial_process_alive(path)) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

void remove_stale_data_files_in(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  const size_t prefix_len = strlen(kProgName);
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, kProgName, prefix_len) != 0) continue;
    char path[512];
    int n = snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) continue;
    struct stat st;
    if (stat(path, &st) != 0) continue;
    // A launch whose first process still runs keeps its file even when no
    // process happens to have it mapped at this moment.
    if (initial_process_alive(path)) continue;
    int rc = run_fuser(path);
    if (rc > 0) unlink(path);
  }
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
  if (!stale_candidate_in(dir)) return;
  pid_t child = fork();
  if (child < 0) {
    int err = errno;
    fprintf(stderr, "Error: %s can't create process for data file cleanup\n", kProgName);
    fprintf(stderr, "Error: %s\n", strerror(err));
    exit(1);
  }
  if (child > 0) {
    // Reap the intermediate child at once so that the command, which takes
    // over this process, never finds an unknown zombie among its children.
    int status = 0;
    wait_child(child, &status);
    return;
  }

  pid_t grandchild = fork();
  if (grandchild < 0) {
    int err = errno;
    fprintf(stderr, "Error: %s can't create process for data file cleanup\n", kProgName);
    fprintf(stderr, "Error: %s\n", strerror(err));
    _exit(1);
  }
  if (grandchild > 0) _exit(0);

  // The grandchild outlives the launch: it must not keep the caller's pipes
  // or terminal open, or "$(zyg-nox ...)" would wait for it.
  int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    for (int target = 0; target <= 2; ++target) {
      if (fd != target) dup2(fd, target);
    }
    if (fd > 2) close(fd);
  } else {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
  }
  closefrom(3);
  // Housekeeping: its fuser runs read every process's descriptors, and they
  // must not take CPU time from the command starting beside them. At the
  // lowest priority it still makes progress on a machine that stays busy.
  setpriority(PRIO_PROCESS, 0, 19);
  execlp(kProgName, kProgName, "-r", static_cast<char*>(nullptr));
  _exit(1);
}

}  // namespace zyg::launcher
