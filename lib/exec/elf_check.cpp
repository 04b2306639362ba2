// ELF header checks. Only open/read/stat/access: these functions run inside
// interposed exec calls of arbitrary programs, so they must not allocate.
#include "exec/elf_check.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zyg {

namespace {

constexpr int kClass32 = 1;
constexpr int kClass64 = 2;
constexpr int kTypeExec = 2;
constexpr int kTypeDyn = 3;

}  // namespace

int read_elf_header(const char* path, unsigned char hdr[kElfHeaderSize]) {
  if (path == nullptr || path[0] == '\0') return -1;
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  int got = 0;
  while (got < kElfHeaderSize) {
    ssize_t n = read(fd, hdr + got, static_cast<size_t>(kElfHeaderSize - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  close(fd);
  return got == kElfHeaderSize ? 1 : 0;
}

int elf_has_magic(const unsigned char* hdr) {
  return hdr[0] == 0x7f && hdr[1] == 'E' && hdr[2] == 'L' && hdr[3] == 'F';
}

int elf_class(const unsigned char* hdr) { return hdr[4]; }

int elf_type(const unsigned char* hdr) {
  // x86-64 headers are little-endian; the type is e_type at offset 16.
  return hdr[16] | (hdr[17] << 8);
}

int is_elf_binary(const char* path) {
  unsigned char hdr[kElfHeaderSize];
  if (read_elf_header(path, hdr) != 1) return 0;
  if (!elf_has_magic(hdr)) return 0;
  int cls = elf_class(hdr);
  if (cls != kClass32 && cls != kClass64) return 0;
  return elf_type(hdr) == kTypeExec ? 1 : 0;
}

int elf_check32bit(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  unsigned char hdr[kElfHeaderSize];
  if (read_elf_header(path, hdr) != 1) return 0;
  if (!elf_has_magic(hdr) || elf_class(hdr) != kClass32) return 0;
  return elf_type(hdr) == kTypeExec ? 1 : 0;
}

int is_setuid_exec(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  if (access(path, R_OK | X_OK) != 0) return 0;
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  if ((st.st_mode & (S_ISUID | S_ISGID)) == 0) return 0;
  // A set-ID script or PIE is left to the kernel and loader: only a fixed
  // address executable is refused.
  if (!is_elf_binary(path)) return 0;
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != getuid()) return 1;
  if ((st.st_mode & S_ISGID) != 0) return st.st_gid != getgid() ? 1 : 0;
  return 0;
}

int check_shared_lib(const char* path) {
  unsigned char hdr[kElfHeaderSize];
  int r = read_elf_header(path, hdr);
  if (r < 0) return -1;
  if (r == 0) return 0;
  if (!elf_has_magic(hdr) || elf_type(hdr) != kTypeDyn) return 0;
  if (elf_class(hdr) == kClass64) return 1;
  if (elf_class(hdr) == kClass32) return 2;
  return 0;
}

}  // namespace zyg
