// Placeholder bodies, replaced by the real implementation.
#include "report/log.h"

namespace zyg {

void log_open(bool) {}
void log_record(const char*) {}
void log_append(const char*, size_t) {}
bool log_on() { return false; }
int format_log_banner(char* b, size_t, const ldata_hdr*) { b[0] = 0; return 0; }
int format_log_column_header(char* b, size_t) { b[0] = 0; return 0; }
int format_log_line(char* b, size_t, long, long, unsigned, long, int, int, const char*, const char*,
                    const char*, const char*, const char*) { b[0] = 0; return 0; }
}  // namespace zyg
