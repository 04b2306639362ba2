// lock_holder.h - proving that the holder of the futex mutex (base/lock.h)
// is gone: in the waiter's own PID namespace by the kernel's answer for its
// TID, in any namespace through /proc. Internal to the lock.
#pragma once

#include <stdint.h>

namespace zyg {
namespace lock_detail {

// The inode number of the namespace file at `path` (relative to `dir`), or a
// negative errno.
long ns_inode(int dir, const char* path);

// Whether `holder` (the lock's value: TID and namespace) is proven gone, as
// seen by `me` (the waiter's identity). False whenever there is no proof.
bool holder_gone(uint64_t holder, uint64_t me);

}  // namespace lock_detail
}  // namespace zyg
