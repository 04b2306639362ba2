// Placeholder bodies, replaced by the real implementation.
#include "report/debug.h"

#if ZYG_DEBUG
namespace zyg {
void debug_init() {}
void debug_printf(const char*, ...) {}
void debug_raw(const char*) {}
void debug_sync() {}
}  // namespace zyg
#endif
