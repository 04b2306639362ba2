#include "shared/read_text.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace zyg {

long read_text(const char* path, char* buf, size_t size) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? -1 : -2;
  size_t got = 0;
  while (got + 1 < size) {
    ssize_t r = read(fd, buf + got, size - 1 - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
  }
  close(fd);
  buf[got] = '\0';
  return (long)got;
}

}  // namespace zyg
