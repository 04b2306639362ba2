#include "base/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/layout.h"

namespace zyg {

namespace {

ZYG_HOT_CODE long read_small(int dir_fd, const char* path, char* buf, size_t size, bool one_line,
                             file_step* failed) {
  if (failed != nullptr) *failed = FILE_OPEN;
  if (size == 0) return -EINVAL;
  buf[0] = '\0';
  int fd;
  do fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  size_t got = 0;
  while (got < size - 1) {
    ssize_t n = read(fd, buf + got, size - 1 - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      if (failed != nullptr) *failed = FILE_READ;
      return -err;
    }
    if (n == 0) break;
    got += (size_t)n;
    if (one_line && buf[got - 1] == '\n') break;
  }
  close(fd);
  buf[got] = '\0';
  return (long)got;
}

}  // namespace

ZYG_HOT_CODE long read_small_file(int dir_fd, const char* path, char* buf, size_t size,
                                  file_step* failed) {
  return read_small(dir_fd, path, buf, size, false, failed);
}

ZYG_HOT_CODE long read_small_line_file(const char* path, char* buf, size_t size,
                                       file_step* failed) {
  return read_small(AT_FDCWD, path, buf, size, true, failed);
}

ZYG_HOT_CODE long read_small_file(const char* path, char* buf, size_t size, file_step* failed) {
  return read_small_file(AT_FDCWD, path, buf, size, failed);
}

ZYG_HOT_CODE int open_retry(const char* path, int flags, unsigned mode) {
  int fd;
  do fd = open(path, flags, (mode_t)mode);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : fd;
}

ZYG_HOT_CODE int open_append_regular(const char* path, int flags, unsigned mode) {
  int fd =
      open_retry(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, mode);
  if (fd < 0) return fd;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -EINVAL;
  }
  return fd;
}

int write_all(int fd, const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return -EIO;
    text += n;
    len -= (size_t)n;
  }
  return 0;
}

int append_once(int fd, const char* text, size_t len) {
  lseek(fd, 0, SEEK_END);
  ssize_t n;
  do n = write(fd, text, len);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : 0;
}

ZYG_HOT_CODE int fd_move_high(int fd) {
  int high = fcntl(fd, F_DUPFD_CLOEXEC, kKeptFdFloor);
  if (high < 0) return fd;
  close(fd);
  return high;
}

ZYG_HOT_CODE int kept_load(const kept_fd* k) { return __atomic_load_n(&k->fd, __ATOMIC_ACQUIRE); }

ZYG_HOT_CODE void kept_reset(kept_fd* k) {
  __atomic_store_n(&k->fd, -1, __ATOMIC_RELEASE);
  __atomic_store_n(&k->dev, (uint64_t)0, __ATOMIC_RELAXED);
  __atomic_store_n(&k->ino, (uint64_t)0, __ATOMIC_RELAXED);
}

namespace {
ZYG_HOT_CODE void remember(kept_fd* k, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  __atomic_store_n(&k->dev, (uint64_t)st.st_dev, __ATOMIC_RELAXED);
  __atomic_store_n(&k->ino, (uint64_t)st.st_ino, __ATOMIC_RELAXED);
}
}  // namespace

ZYG_HOT_CODE int kept_install(kept_fd* k, int fd) {
  fd = fd_move_high(fd);
  remember(k, fd);
  __atomic_store_n(&k->fd, fd, __ATOMIC_RELEASE);
  return fd;
}

ZYG_HOT_CODE bool kept_is_ours(const kept_fd* k, int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  return (uint64_t)st.st_dev == __atomic_load_n(&k->dev, __ATOMIC_RELAXED) &&
         (uint64_t)st.st_ino == __atomic_load_n(&k->ino, __ATOMIC_RELAXED);
}

int kept_replace(kept_fd* k, int stale, int fresh) {
  fresh = fd_move_high(fresh);
  remember(k, fresh);
  int expected = stale;
  if (__atomic_compare_exchange_n(&k->fd, &expected, fresh, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE))
    return fresh;
  close(fresh);
  return expected;
}

}  // namespace zyg
