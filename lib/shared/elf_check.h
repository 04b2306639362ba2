// elf_check.h - what the launcher and the preload library learn from the first
// 64 bytes of an executable or library: ELF class and type, and whether a
// set-ID program would run under another identity. Plain C-style code usable
// inside the preload library: no allocation, no C++ runtime.
#pragma once

namespace zyg {

inline constexpr int kElfHeaderSize = 64;

// Reads the first 64 bytes of path into hdr.
// Returns 1 when all 64 bytes were read, 0 when the file is shorter (or the
// read failed), -1 when the file cannot be opened.
int read_elf_header(const char* path, unsigned char hdr[kElfHeaderSize]);

// Field tests on a header already read.
int elf_has_magic(const unsigned char* hdr);  // 0x7f 'E' 'L' 'F'
int elf_class(const unsigned char* hdr);      // byte 4: 1 = 32-bit, 2 = 64-bit
int elf_type(const unsigned char* hdr);       // 16-bit little-endian at offset 16

// 1 when path is an ELF executable (type ET_EXEC) of class 32 or 64 bit.
int is_elf_binary(const char* path);

// 1 for a 32-bit ELF executable of type ET_EXEC, else 0 (a 32-bit PIE is not
// recognised: see exec_ignores_preload). A null or empty path gives 0.
int elf_check32bit(const char* path);

// 1 when path is readable and executable by the caller, has the set-user-ID or
// set-group-ID bit, is an ELF executable (ET_EXEC), and would run under an
// owner or group other than the caller's real user or group; else 0.
int is_setuid_exec(const char* path);

// 1 for a 64-bit ELF program (fixed address or PIE) without a program
// interpreter: statically linked, it never loads a preload library. The
// dynamic loader itself (run as a program) is not one.
int elf_is_static(const char* path);

// 1 when the file's capabilities (security.capability) would raise the
// caller's permitted set: the kernel then runs it in secure-execution mode,
// in which the loader ignores LD_PRELOAD entries with a path.
int elf_gains_capabilities(const char* path);

// 1 for a 32-bit position-independent program (class 1, ET_DYN).
int elf_is_32bit_pie(const char* path);

// 1 for a 64-bit program whose interpreter is not the C library's loader
// (musl's, for one): it fails to load our library.
int elf_foreign_loader(const char* path);

// A program that will not load our library although we pass it on, beyond
// the 32-bit and set-ID executables the checks above name: static, run in
// secure-execution mode for its file capabilities or as a set-ID PIE of
// another user or group, a 32-bit PIE, or another C library's program. Its
// exec leaves the tree.
int exec_ignores_preload(const char* path);

// What an exec or spawn needs to know of its target, learnt from one open of
// the file: the results of elf_check32bit, is_setuid_exec and
// exec_ignores_preload for path (each 0 or 1), at a third of their system
// calls when asked one by one; is_static: of those that ignore the preload
// library, a static program run under the caller's own identity, whose
// children may load it again; foreign_loader: a program whose interpreter is
// not the C library's loader (musl's): it would fail to load our library, so
// it ignores it too. A script is judged by the interpreter its "#!" line
// names (what the kernel runs), through up to four scripts.
struct exec_target {
  int thirty_two;
  int setid;
  int ignores_preload;
  int is_static;
  int foreign_loader;
};
void check_exec_target(const char* path, exec_target* out);

// -1 cannot open; 1 64-bit ELF shared object; 2 32-bit ELF shared object;
// 0 anything else.
int check_shared_lib(const char* path);

}  // namespace zyg
