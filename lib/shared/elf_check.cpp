// ELF header checks. Only open/read/stat/access: these functions run inside
// interposed exec calls of arbitrary programs, so they must not allocate.
// They make the system calls themselves (base/sys.h): an exec often comes
// from a forked child, which faults in every page of the C library's code it
// touches, and errno stays as the caller left it.
#include "shared/elf_check.h"
#include "shared/elf_read.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/layout.h"
#include "base/sys.h"
#include "base/trace.h"
#include "shared/names.h"
#if ZYG_DEBUG
#include "base/errors.h"
#endif

namespace zyg {

using namespace elf_detail;

namespace elf_detail {

constexpr uint32_t kPtInterp = 3;
constexpr size_t kPhdr64Size = 56;
constexpr unsigned kMaxPhdrs = 4096;  // more is no program the kernel runs

ZYG_HOT_CODE uint64_t le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

// The file descriptor, or a negative errno.
ZYG_HOT_CODE int open_ro(const char* path) {
  long fd;
  do fd = sys_open_path(path, O_RDONLY | O_CLOEXEC);
  while (fd == -EINTR);
  return (int)fd;
}

// pread: the count read, or a negative errno.
ZYG_HOT_CODE long read_at(int fd, void* buf, size_t n, uint64_t at) {
  long got;
  do got = raw_syscall6(SYS_pread64, fd, (long)buf, (long)n, (long)at, 0, 0);
  while (got == -EINTR);
  return got;
}

ZYG_HOT_CODE long get_xattr(int fd, const char* path, unsigned char* value, size_t size) {
  const char* name = "security.capability";
  if (fd >= 0) return raw_syscall6(SYS_fgetxattr, fd, (long)name, (long)value, (long)size, 0, 0);
  return raw_syscall6(SYS_getxattr, (long)path, (long)name, (long)value, (long)size, 0, 0);
}

ZYG_HOT_CODE int real_uid() { return (int)raw_syscall3(SYS_getuid, 0, 0, 0); }
ZYG_HOT_CODE int real_gid() { return (int)raw_syscall3(SYS_getgid, 0, 0, 0); }

// The first 64 bytes of path: 1 read whole, 0 short (or a failed read), -1
// not opened; *err the error of the failing call, else 0.
ZYG_HOT_CODE int read_header(const char* path, unsigned char* hdr, int* err) {
  *err = 0;
  if (path == nullptr || path[0] == '\0') return -1;
  int fd = open_ro(path);
  if (fd < 0) {
    *err = -fd;
    return -1;
  }
  int got = 0;
  while (got < kElfHeaderSize) {
    long n = raw_syscall3(SYS_read, fd, (long)(hdr + got), (long)(kElfHeaderSize - got));
    if (n == -EINTR) continue;
    if (n < 0) *err = (int)-n;
    if (n <= 0) break;
    got += (int)n;
  }
  sys_close_fd(fd);
  return got == kElfHeaderSize ? 1 : 0;
}

// What the 64-bit program headers of fd (from a header already read) say of
// its program interpreter: 0 none (a static program), 1 the C library's
// loader, 2 another one (musl's, say: it cannot load our library), -1 when
// they cannot be read whole.

// The interpreter named at `at` (size bytes with its NUL) is the C library's
// loader: by name, or as the same file under another name.
ZYG_HOT_CODE int loader_kind(int fd, uint64_t at, uint64_t size) {
  char name[256];
  if (size == 0) return -1;  // no program the kernel runs
  if (size > sizeof name) return kInterpOther;
  if (read_at(fd, name, (size_t)size, at) != (long)size || name[size - 1] != '\0') return -1;
  const char* ours = kLoader64;
  size_t i = 0;
  while (name[i] != '\0' && name[i] == ours[i]) ++i;
  if (name[i] == ours[i]) return kInterpOurs;
  struct stat a, b;
  if (sys_stat_path(name, &a) == 0 && sys_stat_path(kLoader64, &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino)
    return kInterpOurs;
  return kInterpOther;
}

ZYG_HOT_CODE int interp_of(int fd, const unsigned char* hdr) {
  const uint64_t phoff = le(hdr + 32, 8);
  const unsigned phentsize = (unsigned)le(hdr + 54, 2);
  const unsigned phnum = (unsigned)le(hdr + 56, 2);
  if (phentsize < kPhdr64Size || phnum == 0 || phnum >= 0xffff || phnum > kMaxPhdrs) return -1;
  unsigned char buf[8 * kPhdr64Size];
  for (unsigned i = 0; i < phnum;) {
    unsigned n = phnum - i < 8 ? phnum - i : 8;
    if (phentsize != kPhdr64Size) n = 1;  // odd entry sizes: one at a time
    size_t want = n == 1 ? kPhdr64Size : (size_t)n * kPhdr64Size;
    uint64_t at = phoff + (uint64_t)i * phentsize;
    if (at < phoff || at > (uint64_t)INT64_MAX) return -1;
    if (read_at(fd, buf, want, at) != (long)want) return -1;
    for (unsigned k = 0; k < n; k++) {
      const unsigned char* ph = buf + k * kPhdr64Size;
      if (le(ph, 4) == kPtInterp) return loader_kind(fd, le(ph + 8, 8), le(ph + 32, 8));
    }
    i += n;
  }
  return kInterpNone;
}

int has_interp(int fd, const unsigned char* hdr) {
  int k = interp_of(fd, hdr);
  return k < 0 ? -1 : k != kInterpNone;
}

}  // namespace elf_detail

ZYG_HOT_CODE int read_elf_header(const char* path, unsigned char hdr[kElfHeaderSize]) {
  int err;
  return read_header(path, hdr, &err);
}

ZYG_HOT_CODE int elf_has_magic(const unsigned char* hdr) {
  return hdr[0] == 0x7f && hdr[1] == 'E' && hdr[2] == 'L' && hdr[3] == 'F';
}

ZYG_HOT_CODE int elf_class(const unsigned char* hdr) { return hdr[4]; }

ZYG_HOT_CODE int elf_type(const unsigned char* hdr) {
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
  int err;
  int r = read_header(path, hdr, &err);
  if (r != 1) {
#if ZYG_DEBUG
    if (r < 0) {
      ZYG_TRACE("Can't open %s. Error: %s\n", path, error_text(err));
    } else {
      ZYG_TRACE("Can't read %s. Error: %s\n", path, error_text(err));
    }
#else
    (void)err;
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

namespace elf_detail {

// The set-ID verdict for a file already examined (st from stat or fstat, hdr
// its first 64 bytes, valid when have_hdr): the ELF type of the program that
// would run under another user or group (ET_EXEC or ET_DYN), else 0.
ZYG_HOT_CODE int setid_other_identity(const char* path, const struct stat& st,
                                      const unsigned char* hdr, bool have_hdr) {
  if ((st.st_mode & (S_ISUID | S_ISGID)) == 0) return 0;
  // The caller's real ids must be able to run it.
  if (raw_syscall3(SYS_access, (long)path, R_OK | X_OK, 0) != 0) {
    ZYG_TRACE("We don't have access(R_OK|X_OK) permissions\n");
    return 0;
  }
  const int type = have_hdr && elf_has_magic(hdr) ? elf_type(hdr) : 0;
  if ((type != kTypeExec && type != kTypeDyn) ||
      (elf_class(hdr) != kClass32 && elf_class(hdr) != kClass64)) {
    ZYG_TRACE("Not a binary executable file\n");
    return 0;
  }
  ZYG_TRACE("We have an ELF binary executable with setuid/setgid\n");
  ZYG_TRACE("uid == %d, gid == %d\n", real_uid(), real_gid());
  ZYG_TRACE("file uid == %d, file gid == %d\n", (int)st.st_uid, (int)st.st_gid);
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != (uid_t)real_uid()) {
    ZYG_TRACE("setuid executable and not our uid\n");
    ZYG_TRACE("launch library will be disabled\n");
    return type;
  }
  if ((st.st_mode & S_ISGID) != 0 && st.st_gid != (gid_t)real_gid()) {
    ZYG_TRACE("setgid executable and not our gid\n");
    ZYG_TRACE("launch library will be disabled\n");
    return type;
  }
  ZYG_TRACE("setuid/setgid executable, but matches our uid/gid\n");
  return 0;
}

// The set-ID test of is_setuid_exec for ELF programs of the given type
// (ET_EXEC, or ET_DYN for position-independent ones).
int setid_of_type(const char* path, int want_type) {
  if (path == nullptr || path[0] == '\0') return 0;
  ZYG_TRACE("Entering is_setuid_exec() for %s\n", path);
  struct stat st;
  long r = sys_stat_path(path, &st);
  if (r != 0) {
    ZYG_TRACE("stat() failed, errno: %s\n", error_text((int)-r));
    return 0;
  }
  if ((st.st_mode & (S_ISUID | S_ISGID)) == 0) {
    ZYG_TRACE("Not a setuid/setgid executable file\n");
    return 0;
  }
  ZYG_TRACE("We have a setuid/setgid executable file\n");
  unsigned char hdr[kElfHeaderSize];
  const bool have_hdr = read_elf_header(path, hdr) == 1;
  return setid_other_identity(path, st, hdr, have_hdr) == want_type ? 1 : 0;
}

}  // namespace elf_detail

int is_setuid_exec(const char* path) {
  // A set-ID script or PIE is left to the kernel and loader: only a fixed
  // address executable is refused (and logged as set-ID).
  return setid_of_type(path, kTypeExec);
}

int elf_is_32bit_pie(const char* path) {
  unsigned char hdr[kElfHeaderSize];
  if (path == nullptr || path[0] == '\0' || read_elf_header(path, hdr) != 1) return 0;
  return elf_has_magic(hdr) && elf_class(hdr) == kClass32 && elf_type(hdr) == kTypeDyn;
}

int elf_is_static(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  int fd = open_ro(path);
  if (fd < 0) return 0;
  unsigned char hdr[kElfHeaderSize];
  long got = read_at(fd, hdr, sizeof hdr, 0);
  int result = 0;
  if (got == kElfHeaderSize && elf_has_magic(hdr) && elf_class(hdr) == kClass64 &&
      (elf_type(hdr) == kTypeExec || elf_type(hdr) == kTypeDyn)) {
    result = has_interp(fd, hdr) == 0 ? 1 : 0;
    if (result == 1 && elf_type(hdr) == kTypeDyn) {
      // The dynamic loader itself, run as a program (ld.so PROGRAM), has
      // no interpreter either but does load LD_PRELOAD.
      struct stat target, loader;
      if (sys_fstat_fd(fd, &target) == 0 && sys_stat_path(kLoader64, &loader) == 0 &&
          target.st_dev == loader.st_dev && target.st_ino == loader.st_ino)
        result = 0;
    }
  }
  sys_close_fd(fd);
  ZYG_TRACE("%s is %sa static executable\n", path, result ? "" : "not ");
  return result;
}

namespace elf_detail {

// The capability test of elf_gains_capabilities on the attribute's value
// (n bytes of it read, or a negative result of the read).
ZYG_HOT_CODE int caps_raise_permitted(const unsigned char* cap, long n) {
  if (n < (long)XATTR_CAPS_SZ_1) return 0;
  const uint32_t magic = (uint32_t)le(cap, 4) & VFS_CAP_REVISION_MASK;
  uint64_t file_permitted = le(cap + 4, 4);
  if ((magic == VFS_CAP_REVISION_2 || magic == VFS_CAP_REVISION_3) && n >= (long)XATTR_CAPS_SZ_2)
    file_permitted |= le(cap + 12, 4) << 32;
  if (file_permitted == 0) return 0;
  __user_cap_header_struct head;
  __user_cap_data_struct data[2];
  memset(&head, 0, sizeof head);
  memset(data, 0, sizeof data);
  head.version = _LINUX_CAPABILITY_VERSION_3;
  // The raw call: inside the preload library `syscall` is our own router.
  long r = raw_syscall3(SYS_capget, (long)&head, (long)data, 0);
  if (r != 0) return 1;
  const uint64_t own = (uint64_t)data[0].permitted | ((uint64_t)data[1].permitted << 32);
  // The kernel runs a program that raises the caller's permitted set in
  // secure-execution mode, where the loader ignores our LD_PRELOAD entry.
  return (file_permitted & ~own) != 0 ? 1 : 0;
}

}  // namespace elf_detail

int elf_gains_capabilities(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  unsigned char cap[XATTR_CAPS_SZ_3];
  return caps_raise_permitted(cap, get_xattr(-1, path, cap, sizeof cap));
}

int exec_ignores_preload(const char* path) {
  // A set-ID PIE of another user or group runs in secure-execution mode,
  // a 32-bit PIE has a 32-bit loader, another C library's loader cannot
  // load ours: none of them loads the 64-bit library.
  return elf_is_static(path) || elf_gains_capabilities(path) || elf_is_32bit_pie(path) ||
         setid_of_type(path, kTypeDyn) || elf_foreign_loader(path);
}

ZYG_HOT_CODE int check_shared_lib(const char* path) {
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
