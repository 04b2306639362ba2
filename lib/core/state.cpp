#include "core/state.h"

namespace zyg {

volatile uint32_t launch_initialized = 0;
volatile uint32_t launch_disabled = 0;
volatile uint32_t rr_pack_child = 0;
volatile uint32_t is_initial_process = 0;
volatile uint32_t main_thread_handled = 0;

}  // namespace zyg
