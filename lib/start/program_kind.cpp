// program_kind.cpp - the main program's notes, read from its PT_NOTE
// segments as the loader mapped them.
#include "start/program_kind.h"

#include <elf.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "base/layout.h"

namespace zyg {

namespace {

constexpr uint32_t kGoBuildIdNote = 4;  // Go's linker: name "Go", type 4

}  // namespace

ZYG_HOT_CODE bool segment_has_go_note(const unsigned char* p, unsigned long size) {
  size_t at = 0;
  while (at + sizeof(Elf64_Nhdr) <= size) {
    Elf64_Nhdr n;
    memcpy(&n, p + at, sizeof n);
    at += sizeof n;
    const size_t name = (n.n_namesz + 3u) & ~3u, desc = (n.n_descsz + 3u) & ~3u;
    if (name > size - at || desc > size - at - name) return false;
    // Go's linker writes the name padded: "Go\0\0" (size 4).
    if (n.n_type == kGoBuildIdNote && (n.n_namesz == 3 || n.n_namesz == 4) &&
        memcmp(p + at, "Go", 3) == 0)
      return true;
    at += name + desc;
  }
  return false;
}

namespace {

// dl_iterate_phdr names the main program first.
ZYG_HOT_CODE int first_object(struct dl_phdr_info* info, size_t, void* data) {
  bool* go = static_cast<bool*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
    if (segment_has_go_note(p, ph.p_memsz)) *go = true;
  }
  return 1;
}

}  // namespace

ZYG_HOT_CODE bool program_ends_unseen() {
  bool go = false;
  dl_iterate_phdr(first_object, &go);
  return go;
}

}  // namespace zyg
