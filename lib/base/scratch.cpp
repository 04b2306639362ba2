#include "base/scratch.h"
#include "base/layout.h"

#include <string.h>
#include <sys/mman.h>

namespace zyg {

namespace {
// The mapping's length is kept in front of the block.
constexpr size_t kHeader = 16;

// Blocks held by vfork children of this thread. An exec builds at most a
// handful at once (argument vector, environment, an LD_PRELOAD entry, the
// path search's buffers); a child that would need more gets none (its exec
// fails with ENOMEM) rather than leaving an unrecorded one behind.
constexpr int kChildBlocks = 16;
struct child_block {
  char* base;
  uint32_t depth;  // the vfork_depth that made it
};
struct vfork_state {
  uint32_t depth;
  uint32_t count;
  child_block blocks[kChildBlocks];
};
__thread vfork_state vfork_here;

void release(char* base) { munmap(base, *reinterpret_cast<size_t*>(base)); }

// False when the block cannot be recorded (the caller gives it back).
bool record(char* base) {
  vfork_state& s = vfork_here;
  if (s.depth == 0) return true;
  uint32_t n = s.count;
  if (n >= kChildBlocks) return false;
  s.blocks[n] = {base, s.depth};
  // A signal handler that execs from here on sees the block counted.
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
  s.count = n + 1;
  return true;
}

void forget(char* base) {
  vfork_state& s = vfork_here;
  for (uint32_t i = s.count; i-- > 0;) {
    if (s.blocks[i].base != base) continue;
    s.blocks[i] = s.blocks[s.count - 1];
    s.count = s.count - 1;
    return;
  }
}
}  // namespace

ZYG_HOT_CODE void* scratch_alloc(size_t size) {
  size_t total = size + kHeader;
  if (total < size) return nullptr;
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  *static_cast<size_t*>(p) = total;
  if (!record(static_cast<char*>(p))) {
    release(static_cast<char*>(p));
    return nullptr;
  }
  return static_cast<char*>(p) + kHeader;
}

ZYG_HOT_CODE void scratch_free(void* p) {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  if (vfork_here.depth != 0) forget(base);
  release(base);
}

ZYG_HOT_CODE char* scratch_strdup(const char* s) {
  size_t n = strlen(s) + 1;
  char* copy = static_cast<char*>(scratch_alloc(n));
  if (copy != nullptr) memcpy(copy, s, n);
  return copy;
}

uint32_t vfork_depth() { return vfork_here.depth; }

void vfork_child_begin() { vfork_here.depth = vfork_here.depth + 1; }

void vfork_parent_resume(uint32_t depth) {
  vfork_state& s = vfork_here;
  // Blocks of deeper levels belong to children that are gone now.
  for (uint32_t i = s.count; i-- > 0;) {
    if (s.blocks[i].depth <= depth) continue;
    release(s.blocks[i].base);
    s.blocks[i] = s.blocks[s.count - 1];
    s.count = s.count - 1;
  }
  s.depth = depth;
}

}  // namespace zyg
