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
// recognised). A null or empty path gives 0.
int elf_check32bit(const char* path);

// 1 when path is readable and executable by the caller, has the set-user-ID or
// set-group-ID bit, is an ELF executable (ET_EXEC), and would run under an
// owner or group other than the caller's real user or group; else 0.
int is_setuid_exec(const char* path);

// -1 cannot open; 1 64-bit ELF shared object; 2 32-bit ELF shared object;
// 0 anything else.
int check_shared_lib(const char* path);

}  // namespace zyg
