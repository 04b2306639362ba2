// ELF header checks. Only open/read/stat/access: these functions run inside
// interposed exec calls of arbitrary programs, so they must not allocate.
#include "shared/elf_check.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/trace.h"
#if ZYG_DEBUG
#include "base/errors.h"
#endif

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
  ZYG_TRACE("Entering is_elf_binary() for %s\n", path);
  unsigned char hdr[kElfHeaderSize];
  if (read_elf_header(path, hdr) != 1) {
    ZYG_TRACE("Assume it's not a binary file\n");
    return 0;
  }
  if (!elf_has_magic(hdr)) {
    ZYG_TRACE("is not a binary executable: %s\n", path);
    return 0;
  }
  int cls = elf_class(hdr);
  if ((cls != kClass32 && cls != kClass64) || elf_type(hdr) != kTypeExec) {
    ZYG_TRACE("%s is not a binary executable\n", path);
    return 0;
  }
  ZYG_TRACE("We have a binary executable: %s\n", path);
  return 1;
}

int elf_check32bit(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  ZYG_TRACE("Entering elf_check32bit() for %s\n", path);
  unsigned char hdr[kElfHeaderSize];
  int r = read_elf_header(path, hdr);
  if (r != 1) {
#if ZYG_DEBUG
    if (r < 0) {
      ZYG_TRACE("Can't open %s. Error: %s\n", path, error_text(errno));
    } else {
      ZYG_TRACE("Can't read %s. Error: %s\n", path, error_text(errno));
    }
#endif
    ZYG_TRACE("Assume it's not 32-bit\n");
    return 0;
  }
  if (elf_has_magic(hdr) && elf_class(hdr) == kClass32 && elf_type(hdr) == kTypeExec) {
    ZYG_TRACE("We have a 32-bit executable: %s\n", path);
    return 1;
  }
  ZYG_TRACE("%s is not a 32-bit executable\n", path);
  return 0;
}

int is_setuid_exec(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  ZYG_TRACE("Entering is_setuid_exec() for %s\n", path);
  if (access(path, R_OK | X_OK) != 0) {
    ZYG_TRACE("We don't have access(R_OK|X_OK) permissions\n");
    return 0;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
#if ZYG_DEBUG
    ZYG_TRACE("stat() failed, errno: %s\n", error_text(errno));
#endif
    return 0;
  }
  if ((st.st_mode & (S_ISUID | S_ISGID)) == 0) {
    ZYG_TRACE("Not a setuid/setgid executable file\n");
    return 0;
  }
  ZYG_TRACE("We have a setuid/setgid executable file\n");
  // A set-ID script or PIE is left to the kernel and loader: only a fixed
  // address executable is refused.
  if (!is_elf_binary(path)) {
    ZYG_TRACE("Not a binary executable file\n");
    return 0;
  }
  ZYG_TRACE("We have an ELF binary executable with setuid/setgid\n");
  ZYG_TRACE("uid == %d, gid == %d\n", (int)getuid(), (int)getgid());
  ZYG_TRACE("file uid == %d, file gid == %d\n", (int)st.st_uid, (int)st.st_gid);
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != getuid()) {
    ZYG_TRACE("setuid executable and not our uid\n");
    ZYG_TRACE("launch library will be disabled\n");
    return 1;
  }
  if ((st.st_mode & S_ISGID) != 0 && st.st_gid != getgid()) {
    ZYG_TRACE("setgid executable and not our gid\n");
    ZYG_TRACE("launch library will be disabled\n");
    return 1;
  }
  ZYG_TRACE("setuid/setgid executable, but matches our uid/gid\n");
  return 0;
}

int check_shared_lib(const char* path) {
  unsigned char hdr[kElfHeaderSize];
  int r = read_elf_header(path, hdr);
  if (r < 0) {
    ZYG_TRACE("Can't open(%s)\n", path);
    return -1;
  }
  if (r == 0) {
    ZYG_TRACE("Can't fread(%s)\n", path);
    return 0;
  }
  if (!elf_has_magic(hdr) || elf_type(hdr) != kTypeDyn) {
    ZYG_TRACE("%s not a shared lib\n", path);
    return 0;
  }
  if (elf_class(hdr) == kClass64) {
    ZYG_TRACE("%s is a 64-bit shared lib\n", path);
    return 1;
  }
  if (elf_class(hdr) == kClass32) {
    ZYG_TRACE("%s is a 32-bit shared lib\n", path);
    return 2;
  }
  ZYG_TRACE("%s is unknown\n", path);
  return 0;
}

}  // namespace zyg
