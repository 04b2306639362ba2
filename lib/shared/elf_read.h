// elf_read.h - what the ELF checks share between elf_check.cpp (each check on
// its own) and elf_target.cpp (every check of an exec's target from one
// open): reads at offsets by raw system calls, the program's interpreter,
// and the set-ID and capability verdicts on a file already open. Internal to
// the shared layer.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

namespace zyg::elf_detail {

inline constexpr int kClass32 = 1;
inline constexpr int kClass64 = 2;
inline constexpr int kTypeExec = 2;
inline constexpr int kTypeDyn = 3;

// The descriptor, or a negative errno.
int open_ro(const char* path);
// pread: the count read, or a negative errno.
long read_at(int fd, void* buf, size_t n, uint64_t at);
// The file's security.capability attribute (by fd, or by path when fd < 0).
long get_xattr(int fd, const char* path, unsigned char* value, size_t size);

// What the 64-bit program headers of fd (from a header already read) say of
// its program interpreter: none (a static program), the C library's
// loader, another one (musl's, say: it cannot load our library), or -1 when
// they cannot be read whole.
inline constexpr int kInterpNone = 0, kInterpOurs = 1, kInterpOther = 2;
int interp_of(int fd, const unsigned char* hdr);

// The set-ID verdict for a file already examined (st from stat or fstat, hdr
// its first 64 bytes, valid when have_hdr): the ELF type of the program that
// would run under another user or group (ET_EXEC or ET_DYN), else 0.
int setid_other_identity(const char* path, const struct stat& st, const unsigned char* hdr,
                         bool have_hdr);
// The capability test on the attribute's value (n bytes of it read, or a
// negative result of the read): 1 when it raises the caller's permitted set.
int caps_raise_permitted(const unsigned char* cap, long n);

}  // namespace zyg::elf_detail
