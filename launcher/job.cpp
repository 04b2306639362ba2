#include "job.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cleanup.h"
#include "shared/data_path.h"
#include "shared/job_text.h"
#include "shared/launch_id.h"
#include "shared/names.h"

namespace zyg::launcher {

namespace {

constexpr char kShm[] = "/dev/shm";
// The key file is the job's setup lock on the host: a rank holds it while it
// starts or joins the launch, which takes microseconds; a rank that waits
// longer than this gives up with a message.
constexpr int kSetupWaitMs = 10000;
// Tries at joining or making a data file that a clean-up is removing.
constexpr int kJoinAttempts = 50;
// Names are hashed under a fixed key: they must be the same for every rank.
constexpr launch_id kNameKey = {0, {0x7a79672d6e6f782eull, 0x6a6f62732e6e616dull}};

const char* env_get(char* const* env, const char* name) {
  const size_t n = strlen(name);
  for (char* const* e = env; e != nullptr && *e != nullptr; ++e)
    if (strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  return nullptr;
}

long number(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  return *end == '\0' ? v : -1;
}

// The job on this host: ranks of one job under other host names (containers
// of their own names on one machine, sharing /dev/shm) are other hosts.
uint64_t job_hash(const JobInfo& job) {
  std::string text = std::to_string(geteuid());
  text += '\0';
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  text += host;
  text += '\0';
  text += job.starter;
  text += '\0';
  text += job.id;
  return launch_tag(kNameKey, text.data(), text.size());
}

// The CPUs the starter gave this rank: ranks given the same share a launch.
uint32_t allowance_hash() {
  std::vector<unsigned long> words(64, 0);
  if (sched_getaffinity(0, words.size() * sizeof(unsigned long),
                        reinterpret_cast<cpu_set_t*>(words.data())) != 0)
    return 0;
  size_t n = words.size();
  while (n > 0 && words[n - 1] == 0) --n;
  return static_cast<uint32_t>(launch_tag(kNameKey, words.data(), n * sizeof(unsigned long)));
}

std::string error_of(const std::string& path, int err) { return path + ": " + strerror(err); }

// Runs f(path) for every launch data file of the job in /dev/shm.
template <typename F>
void each_job_file(uint64_t job, F f) {
  DIR* d = opendir(kShm);
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    if (shm_name_kind_of(e->d_name) != SHM_JOB_DATA_FILE || shm_job_of(e->d_name) != job) continue;
    f(std::string(kShm) + "/" + e->d_name);
  }
  closedir(d);
}

// An earlier run of the same job left these: nobody holds them.
void remove_over_files(uint64_t job) {
  each_job_file(job, [](const std::string& p) { remove_data_file_if_stale(p.c_str()); });
}

// The job's first rank on the host starts its log and error file afresh;
// the library of a job's launch appends to them.
void empty_file(const std::string& path) {
  if (path.empty()) return;
  int fd = launch_file_open(path.c_str(), O_WRONLY);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)ftruncate(fd, 0);
  close(fd);
}

bool lock_setup(int fd) {
  for (int waited = 0; waited < kSetupWaitMs; ++waited) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
  }
  return false;
}

// The key file, of this user alone, held as the job's setup lock; -1 with
// *why.
int open_key_file_once(const char* path, std::string* why) {
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = error_of(path, errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    close(fd);
    *why = std::string(path) + " is not a file of this user's own";
    return -1;
  }
  if (!lock_setup(fd)) {
    close(fd);
    *why = std::string(path) + ": another rank holds it too long";
    return -1;
  }
  return fd;
}

// The key file, locked and still under its name: a clean-up removes an old
// key file under the same lock, and a rank must not start the job on a
// removed one while another rank starts it on its successor.
int open_key_file(const char* path, std::string* why) {
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    int fd = open_key_file_once(path, why);
    if (fd < 0 || launch_file_still_named(fd, path)) return fd;
    close(fd);
  }
  *why = std::string(path) + ": removed and made again too often";
  return -1;
}

// This rank's identity for the job: the key file's when a rank of the job
// has started on the host before (whether or not its launch still lives: a
// rank that starts after the others have ended keeps their log), else a new
// one, and this rank is the job's first on the host. Every rank touches the
// key file: the clean-up leaves a key file alone for a while after the last
// rank started (launcher/cleanup.h), so that a late rank finds it.
bool job_identity(int key_fd, uint64_t job, const std::string& log, const std::string& error,
                  launch_id* id, std::string* why) {
  (void)futimens(key_fd, nullptr);
  char held[kLaunchIdText] = {0};
  if (pread(key_fd, held, sizeof held - 1, 0) > 0 && launch_id_parse(held, id)) return true;
  remove_over_files(job);
  launch_id_make(id, static_cast<uint32_t>(geteuid()));
  char text[kLaunchIdText];
  const size_t n = launch_id_format(*id, text, sizeof text);
  if (ftruncate(key_fd, 0) != 0 || pwrite(key_fd, text, n, 0) != static_cast<ssize_t>(n)) {
    *why = std::string("the job's key file: ") + strerror(errno);
    return false;
  }
  empty_file(log);
  empty_file(error);
  return true;
}

// The launch data file of this rank's allowance: joined when it is there
// (a launch whose ranks have all ended too: the late rank carries on its
// counts), made anew when it is missing. The descriptor holding the shared
// lock, or -1 with *why.
int join_or_create(const launch_id& id, const char* path, pid_t pid, unsigned mode,
                   std::string* why) {
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    if (attempt > 0) {
      // A clean-up holds the file's lock for the moment it takes to remove it.
      struct timespec ms = {0, 1000000};
      nanosleep(&ms, nullptr);
    }
    int fd = launch_file_open(path, O_RDWR);
    if (fd == -ENOENT) {
      fd = launch_file_create_at(id, path, pid, mode);
      if (fd >= 0) return fd;
      if (fd == -EEXIST) continue;
      *why = error_of(path, -fd);
      return -1;
    }
    if (fd < 0) {
      *why = error_of(path, -fd);
      return -1;
    }
    struct stat st;
    int32_t first = 0;
    uint64_t tag = 0;
    const bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                      pread(fd, &first, sizeof first, kHdrInitialPidOffset) == sizeof first &&
                      pread(fd, &tag, sizeof tag, kHdrIdTagOffset) == sizeof tag &&
                      tag == launch_id_tag(id, first);
    if (!ours) {
      close(fd);
      *why = std::string(path) + " is not this job's launch";
      return -1;
    }
    // Locked, and still the file under the name: a clean-up that found the
    // launch over may have removed it just before.
    if (launch_file_lock_shared(fd) == 0 && launch_file_still_named(fd, path)) return fd;
    close(fd);
  }
  *why = std::string(path) + ": removed and made again too often";
  return -1;
}

}  // namespace

bool find_job(char* const* env, pid_t parent, JobInfo* out) {
  JobInfo j;
  if (const char* rank = env_get(env, "OMPI_COMM_WORLD_RANK")) {
    j.starter = "openmpi";
    const char* ns = env_get(env, "PMIX_NAMESPACE");
    if (ns == nullptr) ns = env_get(env, "OMPI_MCA_ess_base_jobid");
    j.id = ns != nullptr ? ns : "mpirun-" + std::to_string(parent);
    j.rank = number(rank);
    j.local_rank = number(env_get(env, "OMPI_COMM_WORLD_LOCAL_RANK"));
    j.size = number(env_get(env, "OMPI_COMM_WORLD_SIZE"));
    j.local_size = number(env_get(env, "OMPI_COMM_WORLD_LOCAL_SIZE"));
  } else if (env_get(env, "PMIX_RANK") != nullptr && env_get(env, "PMIX_NAMESPACE") != nullptr) {
    j.starter = "pmix";
    j.id = env_get(env, "PMIX_NAMESPACE");
    j.rank = number(env_get(env, "PMIX_RANK"));
    j.local_rank = number(env_get(env, "SLURM_LOCALID"));
    j.size = number(env_get(env, "SLURM_NTASKS"));
  } else if (const char* rank = env_get(env, "PMI_RANK")) {
    // Hydra's proxy starts the ranks of a host: its pid names the job there.
    j.starter = "mpich";
    j.id = "hydra-" + std::to_string(parent);
    j.rank = number(rank);
    j.size = number(env_get(env, "PMI_SIZE"));
    j.local_rank = number(env_get(env, "MPI_LOCALRANKID"));
    j.local_size = number(env_get(env, "MPI_LOCALNRANKS"));
  } else if (env_get(env, "SLURM_JOB_ID") != nullptr && env_get(env, "SLURM_PROCID") != nullptr) {
    j.starter = "slurm";
    j.id = env_get(env, "SLURM_JOB_ID");
    if (const char* step = env_get(env, "SLURM_STEP_ID")) j.id += std::string(".") + step;
    j.rank = number(env_get(env, "SLURM_PROCID"));
    j.local_rank = number(env_get(env, "SLURM_LOCALID"));
    j.size = number(env_get(env, "SLURM_NTASKS"));
  } else {
    return false;
  }
  *out = j;
  return true;
}

std::string job_env_value(const JobInfo& job, pid_t pid) {
  job_text t;
  snprintf(t.name, sizeof t.name, "%s %s", job.starter.c_str(), job.id.c_str());
  t.rank = job.rank;
  t.local_rank = job.local_rank;
  t.size = job.size;
  t.local_size = job.local_size;
  t.pid = pid;
  char text[256];
  format_job_text(text, sizeof text, t);
  return text;
}

bool expand_name(const std::string& text, const JobInfo* job, bool job_mode,
                 const std::string& host, pid_t pid, std::string* out, std::string* why) {
  std::string r;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      r += text[i];
      continue;
    }
    const char c = i + 1 < text.size() ? text[++i] : '\0';
    if ((c == 'r' || c == 'p') && job_mode) {
      *why = std::string("%") + c + " in a file name under --job: a host's ranks write one log";
      return false;
    }
    if ((c == 'r' || c == 'j') && job == nullptr) {
      *why = std::string("%") + c + " in a file name, but no job in the environment";
      return false;
    }
    if (c == 'h') {
      r += host;
    } else if (c == 'p') {
      r += std::to_string(pid);
    } else if (c == 'r') {
      r += std::to_string(job->rank);
    } else if (c == 'j') {
      for (char x : job->id) r += (x == '/' ? '_' : x);
    } else if (c == '%') {
      r += '%';
    } else {
      *why = std::string("unknown %-letter in a file name: ") + text;
      return false;
    }
  }
  *out = r;
  return true;
}

int job_start_launch(LaunchEnv* env, const JobInfo& job, pid_t pid, unsigned mode,
                     const std::string& log, const std::string& error, std::string* path_out,
                     std::string* why) {
  const uint64_t hash = job_hash(job);
  char key_path[kMaxDataFilePath + 16], data_path[kMaxDataFilePath + 16];
  format_job_key_path(key_path, sizeof key_path, hash);
  format_job_data_path(data_path, sizeof data_path, hash, allowance_hash());
  const int key_fd = open_key_file(key_path, why);
  if (key_fd < 0) return -1;
  launch_id id;
  int fd = -1;
  if (job_identity(key_fd, hash, log, error, &id, why))
    fd = join_or_create(id, data_path, pid, mode, why);
  close(key_fd);  // the setup lock with it
  if (fd < 0) return -1;
  launch_file_anchor(fd);  // open for the command and its whole tree
  *path_out = data_path;
  if (launch_env_add_launch(env, id, data_path) != 0 ||
      launch_env_append(env, kEnvJob, job_env_value(job, pid).c_str()) != 0) {
    *why = strerror(ENOMEM);
    return -1;
  }
  return 0;
}

}  // namespace zyg::launcher
