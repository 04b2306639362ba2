// bind.h - binding the calling thread to its chosen node or CPU.
#pragma once

namespace zyg {

// node/cpu as chosen by the policies (-1 = none). Applies the affinity and
// resets the memory policy to the default. 0, or -1 after reporting and
// disabling launch.
int set_launch(int node, int cpu);

}  // namespace zyg
