// Placeholder bodies, replaced by the real implementation.
#include "core/lock.h"

namespace zyg {

void mutex_init(uint32_t* w) { *w = 0; }
void mutex_lock(uint32_t*) {}
void mutex_unlock(uint32_t*) {}
void cv_init(cond_var* cv) { cv->seq = cv->last_seen = 0; }
void cv_wait(cond_var*, uint32_t*) {}
long cv_broadcast(cond_var*) { return 0; }
}  // namespace zyg
extern "C" __attribute__((visibility("default"))) long cv_signal(void*) { return 0; }
namespace zyg {
}  // namespace zyg
