// Placeholder bodies, replaced by the real implementation.
#include "report/report.h"
#include "core/sys.h"

namespace zyg {

void report_message(const char*, int, int, int) {}
void report_fatal(const char*, int) { sys_exit_group(1); }
void report_fatal_text(const char*) { sys_exit_group(1); }
void report_fatal_code(const char*, int, int) { sys_exit_group(1); }
void report_warning(const char*, int, int) {}
void report_disable(const char*, int, int, int) {}
void report_disable_cmd(const char*, int, int, int, const char*) {}
void report_recovering(const char*, int) {}
void error_file_init() {}
const char* error_file_path() { return ""; }
void report_set_exit_hook(exit_hook_fn) {}
}  // namespace zyg
