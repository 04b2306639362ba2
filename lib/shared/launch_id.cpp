// launch_id.cpp - the launch's identity, its tags, and creating the data file.
#include "shared/launch_id.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "base/layout.h"
#include "base/sys.h"
#include "shared/data_path.h"
#include "shared/names.h"

namespace zyg {

namespace {

constexpr char kHex[] = "0123456789abcdef";
// Tag domain: an identity tag is never the tag of anything else.
constexpr char kIdDomain[] = "zyg-nox launch id";

ZYG_HOT_INLINE uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct sip {
  uint64_t v0, v1, v2, v3;
  ZYG_HOT_INLINE void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  ZYG_HOT_INLINE void absorb(uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

// Random bytes for a key: the kernel's pool without waiting for it (a new
// launch must never hang at boot); failing that, the 16 bytes the kernel
// gives every exec'd program, mixed with the time and the pid.
void random_key(uint64_t key[2]) {
  long got = raw_syscall3(SYS_getrandom, (long)key, 16, 1 /* GRND_NONBLOCK */);
  if (got == 16) return;
  uint64_t seed[2] = {0, 0};
  if (const void* at = reinterpret_cast<const void*>(getauxval(AT_RANDOM)))
    memcpy(seed, at, sizeof seed);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  launch_id mix = {0, {seed[0], seed[1]}};
  const uint64_t noise[2] = {(uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec,
                             (uint64_t)sys_getpid()};
  key[0] = launch_tag(mix, noise, sizeof noise);
  mix.key[0] ^= 0x9e3779b97f4a7c15ull;
  key[1] = launch_tag(mix, noise, sizeof noise);
}

ZYG_HOT_CODE int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// 0 once the header holds the pid and the identity tag; -errno.
int write_empty_header(int fd, const launch_id& id, int pid) {
  if (ftruncate(fd, (off_t)kHdrSize) != 0) return -errno;
  const int32_t p = pid;
  const uint64_t tag = launch_id_tag(id, p);
  if (pwrite(fd, &p, sizeof p, kHdrInitialPidOffset) != (ssize_t)sizeof p) return -EIO;
  if (pwrite(fd, &tag, sizeof tag, kHdrIdTagOffset) != (ssize_t)sizeof tag) return -EIO;
  return 0;
}

}  // namespace

ZYG_HOT_CODE uint64_t launch_tag_parts(const launch_id& id, const tag_part* parts, int count) {
  sip s = {id.key[0] ^ 0x736f6d6570736575ull, id.key[1] ^ 0x646f72616e646f6dull,
           id.key[0] ^ 0x6c7967656e657261ull, id.key[1] ^ 0x7465646279746573ull};
  // The joined bytes, eight at a time: `held` bytes wait in `word`.
  uint64_t word = 0;
  size_t held = 0, total = 0;
  for (int p = 0; p < count; ++p) {
    const auto* in = static_cast<const unsigned char*>(parts[p].data);
    for (size_t i = 0; i < parts[p].size; ++i) {
      word |= (uint64_t)in[i] << (8 * held);
      if (++held == 8) {
        s.absorb(word);
        word = 0;
        held = 0;
      }
    }
    total += parts[p].size;
  }
  s.absorb(word | ((uint64_t)(total & 0xff) << 56));
  s.v2 ^= 0xff;
  for (int r = 0; r < 4; r++) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

ZYG_HOT_CODE uint64_t launch_tag(const launch_id& id, const void* data, size_t n) {
  const tag_part part = {data, n};
  return launch_tag_parts(id, &part, 1);
}

ZYG_HOT_CODE uint64_t launch_id_tag(const launch_id& id, int32_t initial_pid) {
  unsigned char text[sizeof kIdDomain + 8];
  memcpy(text, kIdDomain, sizeof kIdDomain);
  const int32_t fields[2] = {(int32_t)id.uid, initial_pid};
  memcpy(text + sizeof kIdDomain, fields, sizeof fields);
  return launch_tag(id, text, sizeof text);
}

void launch_id_make(launch_id* id, uint32_t uid) {
  id->uid = uid;
  random_key(id->key);
}

ZYG_HOT_CODE size_t launch_id_format(const launch_id& id, char* out, size_t size) {
  char text[kLaunchIdText];
  char digits[11];
  int n = 0;
  uint32_t u = id.uid;
  do {
    digits[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  size_t len = 0;
  while (n > 0) text[len++] = digits[--n];
  text[len++] = '-';
  for (uint64_t k : id.key)
    for (int shift = 60; shift >= 0; shift -= 4) text[len++] = kHex[(k >> shift) & 0xf];
  text[len] = '\0';
  if (size == 0) return len;
  size_t copy = len < size ? len : size - 1;
  memcpy(out, text, copy);
  out[copy] = '\0';
  return len;
}

ZYG_HOT_CODE bool launch_id_parse(const char* text, launch_id* id) {
  if (text == nullptr) return false;
  uint64_t uid = 0;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uid = uid * 10 + (uint64_t)(*p - '0');
    if (uid > 0xffffffffull) return false;
  }
  if (*p++ != '-') return false;
  uint64_t key[2] = {0, 0};
  for (int i = 0; i < 32; ++i) {
    int v = hex_value(p[i]);
    if (v < 0) return false;
    key[i / 16] = (key[i / 16] << 4) | (uint64_t)v;
  }
  if (p[32] != '\0') return false;
  id->uid = (uint32_t)uid;
  id->key[0] = key[0];
  id->key[1] = key[1];
  return true;
}

bool launch_file_still_named(int fd, const char* path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int launch_file_open(const char* path, int flags) {
  int fd;
  do fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : fd;
}

ZYG_HOT_CODE int launch_file_lock_shared(int fd) {
  // The raw call: every exec'd program of a tree makes it, and leaves errno
  // as the program had it.
  long r;
  do r = raw_syscall3(SYS_flock, fd, LOCK_SH | LOCK_NB, 0);
  while (r == -EINTR);
  return (int)r;
}

int launch_file_anchor(int fd) {
  int anchor = fcntl(fd, F_DUPFD, 100);  // F_DUPFD leaves close-on-exec off
  if (anchor >= 0) {
    close(fd);
    return anchor;
  }
  fcntl(fd, F_SETFD, 0);
  return fd;
}

int launch_file_lock_new(int fd, const char* path) {
  for (int tries = 0;; ++tries) {
    int r = launch_file_lock_shared(fd);
    if (r != -EWOULDBLOCK || tries >= kNewLockTries || !launch_file_still_named(fd, path)) return r;
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
  }
}

int launch_file_create_at(const launch_id& id, const char* path, int pid, unsigned mode) {
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  // A name whose new file a clean-up removed at once is tried again.
  for (int again = 0; again <= 3; ++again) {
    int fd = open(path, flags, mode);
    if (fd < 0) return -errno;
    // Locked before it is written, so that a clean-up finds it in use.
    int r = launch_file_lock_new(fd, path);
    // The umask must not decide who else in the tree may open the file.
    if (r == 0) fchmod(fd, mode);
    if (r == 0) r = write_empty_header(fd, id, pid);
    if (r == 0 && launch_file_still_named(fd, path)) return fd;
    close(fd);
    if (r != 0 && r != -EWOULDBLOCK) {
      unlink(path);
      return r;
    }
  }
  return -EEXIST;
}

int launch_file_create(const launch_id& id, int pid, unsigned mode, char* path_out, size_t size) {
  // A file of an earlier launch by a process with this ID (after PID
  // wrap-around, or in another PID namespace) holds the name: the first free
  // suffix.
  for (int k = 0; k <= kMaxDataFileSuffix; k++) {
    if (format_data_file_path(path_out, size, pid, k) < 0) return -ENAMETOOLONG;
    int fd = launch_file_create_at(id, path_out, pid, mode);
    if (fd != -EEXIST) return fd;
  }
  return -EEXIST;
}

}  // namespace zyg
