#include "base/scratch.h"

#include <string.h>
#include <sys/mman.h>

namespace zyg {

namespace {
// The mapping's length is kept in front of the block.
constexpr size_t kHeader = 16;
}  // namespace

void* scratch_alloc(size_t size) {
  size_t total = size + kHeader;
  if (total < size) return nullptr;
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  *static_cast<size_t*>(p) = total;
  return static_cast<char*>(p) + kHeader;
}

void scratch_free(void* p) {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  munmap(base, *reinterpret_cast<size_t*>(base));
}

char* scratch_strdup(const char* s) {
  size_t n = strlen(s) + 1;
  char* copy = static_cast<char*>(scratch_alloc(n));
  if (copy != nullptr) memcpy(copy, s, n);
  return copy;
}

}  // namespace zyg
