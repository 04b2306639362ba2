// Placeholder bodies, replaced by the real implementation.
#include "core/init.h"

namespace zyg {

void launch_init() {}
void disable_launch() {}
const char* env_lookup(const char*) { return nullptr; }
int policy_from_name(const char*, bool, int*, int*) { return -1; }
void parse_policy(const char*, const char*, int*, int*) {}
int memfree_from_text(const char*, int*) { return -1; }
}  // namespace zyg
