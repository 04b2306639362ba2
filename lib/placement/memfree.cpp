// Placeholder bodies, replaced by the real implementation.
#include "placement/policy.h"

namespace zyg {

int get_memfree_launch(int, int* k) { *k = 1; return 0; }
int get_memfree_launch_in(const char*, int, int* k) { *k = 1; return 0; }
}  // namespace zyg
