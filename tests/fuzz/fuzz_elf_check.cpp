// The executable checks made before every exec and spawn, on any file
// content: ELF class and type, set-ID, static (program headers), shared
// object.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "fuzz_util.h"
#include "shared/elf_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char path[] = "/tmp/zyg-fuzz-elf-XXXXXX";
  static int fd = zyg_fuzz::temp_file_for_run(path);
  if (fd < 0) abort();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
  int r32 = zyg::elf_check32bit(path);
  int bin = zyg::is_elf_binary(path);
  int stat = zyg::elf_is_static(path);
  int so = zyg::check_shared_lib(path);
  int setid = zyg::is_setuid_exec(path);
  int pie32 = zyg::elf_is_32bit_pie(path);
  int ignores = zyg::exec_ignores_preload(path);
  // A 32-bit executable is an ELF executable; a static program is 64-bit;
  // whatever is static or a 32-bit PIE leaves the tree.
  if (r32 && !bin) __builtin_trap();
  if (stat && (r32 || pie32 || !ignores)) __builtin_trap();
  if (pie32 && (r32 || !ignores)) __builtin_trap();
  if (so < 0 || so > 2 || setid != 0) __builtin_trap();
  return 0;
}
