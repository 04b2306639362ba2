// Placeholder bodies, replaced by the real implementation.
#include "core/real.h"

namespace zyg {

real_fns real;
volatile uint32_t real_resolved[GROUP_COUNT];
void* resolve_real(const char*, const char*, void*) { return nullptr; }
void resolve_group(real_group) {}
void resolve_all() {}
}  // namespace zyg
