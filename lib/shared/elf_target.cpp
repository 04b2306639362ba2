// elf_target.cpp - what an exec or spawn learns of its target from one open:
// every check of elf_check.h at once, through a script's interpreter, and
// whether the program's loader is another C library's.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <stdint.h>
#include <sys/stat.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/sys.h"
#include "base/trace.h"
#include "shared/elf_check.h"
#include "shared/elf_read.h"
#include "shared/names.h"

namespace zyg {

using namespace elf_detail;

namespace {

// The interpreter a script's "#!" line names, into out (at most size - 1
// characters); false when the file is no such script. What the kernel runs
// for it is that program, whose checks are the script's.
ZYG_HOT_CODE bool script_interpreter(int fd, char* out, size_t size) {
  char line[256];
  long got = read_at(fd, line, sizeof line - 1, 0);
  if (got < 3 || line[0] != '#' || line[1] != '!') return false;
  line[got] = '\0';
  const char* p = line + 2;
  while (*p == ' ' || *p == '\t') ++p;
  size_t n = 0;
  while (p[n] != '\0' && p[n] != ' ' && p[n] != '\t' && p[n] != '\n') ++n;
  // A line cut by the buffer's end is longer than the kernel reads.
  if (n == 0 || n >= size || (p[n] == '\0' && got == (long)sizeof line - 1)) return false;
  for (size_t i = 0; i < n; ++i) out[i] = p[i];
  out[n] = '\0';
  return true;
}

// check_exec_target for the program itself; with a script, the interpreter's
// name in `interp` instead (the caller checks that next).
ZYG_HOT_CODE bool check_program(const char* path, exec_target* out, char* script_interp,
                                size_t size) {
  out->thirty_two = out->setid = out->ignores_preload = out->is_static = out->foreign_loader = 0;
  if (path == nullptr || path[0] == '\0') return false;
  ZYG_TRACE("Entering elf_check32bit() for %s\n", path);
  int fd = open_ro(path);
  if (fd < 0) {
    ZYG_TRACE("Can't open %s. Error: %s\n", path, error_text(-fd));
    ZYG_TRACE("Assume it's not 32-bit\n");
    // Nothing to read; the capabilities are an attribute of the name.
    out->ignores_preload = elf_gains_capabilities(path);
    return false;
  }
  if (script_interpreter(fd, script_interp, size)) {
    sys_close_fd(fd);
    return true;
  }
  unsigned char hdr[kElfHeaderSize];
  long got = read_at(fd, hdr, sizeof hdr, 0);
  const bool have_hdr = got == kElfHeaderSize;
  const bool elf = have_hdr && elf_has_magic(hdr);
  const int cls = elf ? elf_class(hdr) : 0;
  const int type = elf ? elf_type(hdr) : 0;
  out->thirty_two = cls == kClass32 && type == kTypeExec;
  if (!have_hdr) {
    ZYG_TRACE("Can't read %s. Error: %s\n", path, error_text(got < 0 ? (int)-got : errno));
    ZYG_TRACE("Assume it's not 32-bit\n");
  } else if (out->thirty_two) {
    ZYG_TRACE("We have a 32-bit executable: %s\n", path);
  } else {
    ZYG_TRACE("%s is not a 32-bit executable\n", path);
  }

  ZYG_TRACE("Entering is_setuid_exec() for %s\n", path);
  struct stat st;
  const bool have_stat = sys_fstat_fd(fd, &st) == 0;
  if (have_stat && (st.st_mode & (S_ISUID | S_ISGID)) == 0) {
    ZYG_TRACE("Not a setuid/setgid executable file\n");
  } else if (have_stat) {
    ZYG_TRACE("We have a setuid/setgid executable file\n");
  }
  const int setid_type = have_stat ? setid_other_identity(path, st, hdr, have_hdr) : 0;
  out->setid = setid_type == kTypeExec;
  const int setid_pie = setid_type == kTypeDyn;

  int is_static = 0, foreign = 0;
  const int interp =
      cls == kClass64 && (type == kTypeExec || type == kTypeDyn) ? interp_of(fd, hdr) : -1;
  if (interp == kInterpOther) foreign = 1;
  if (interp == kInterpNone) {
    is_static = 1;
    struct stat loader;
    // The dynamic loader itself, run as a program, loads LD_PRELOAD.
    if (type == kTypeDyn && have_stat && sys_stat_path(kLoader64, &loader) == 0 &&
        st.st_dev == loader.st_dev && st.st_ino == loader.st_ino)
      is_static = 0;
  }
  ZYG_TRACE("%s is %sa static executable\n", path, is_static ? "" : "not ");
  unsigned char cap[XATTR_CAPS_SZ_3];
  const int caps = caps_raise_permitted(cap, get_xattr(fd, path, cap, sizeof cap));
  sys_close_fd(fd);
  const int pie32 = cls == kClass32 && type == kTypeDyn;
  out->ignores_preload = (is_static || caps || pie32 || setid_pie || foreign) ? 1 : 0;
  out->is_static = is_static && !caps && !setid_pie;
  out->foreign_loader = foreign;
  return false;
}

// Scripts may name scripts as their interpreter: the kernel follows a few.
constexpr int kMaxScriptDepth = 4;

}  // namespace

ZYG_HOT_CODE void check_exec_target(const char* path, exec_target* out) {
  char interp[2][256];
  const char* name = path;
  for (int depth = 0; check_program(name, out, interp[depth & 1], sizeof interp[0]); ++depth) {
    if (depth == kMaxScriptDepth) {
      out->thirty_two = out->setid = out->ignores_preload = out->is_static = out->foreign_loader =
          0;
      return;
    }
    name = interp[depth & 1];
  }
}

int elf_foreign_loader(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  int fd = open_ro(path);
  if (fd < 0) return 0;
  unsigned char hdr[kElfHeaderSize];
  int result = 0;
  if (read_at(fd, hdr, sizeof hdr, 0) == kElfHeaderSize && elf_has_magic(hdr) &&
      elf_class(hdr) == kClass64 && (elf_type(hdr) == kTypeExec || elf_type(hdr) == kTypeDyn))
    result = interp_of(fd, hdr) == kInterpOther ? 1 : 0;
  sys_close_fd(fd);
  return result;
}

}  // namespace zyg
