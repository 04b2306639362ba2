// usage.h - the launcher's usage text, printed on every refusal, for -h and
// when the debug library is not installed.
#pragma once

#include <cstdio>

namespace zyg::launcher {

// Writes the usage text (it begins with a newline and ends with a blank
// line) to out. The --debug option is deliberately not shown.
void print_usage(FILE* out);

}  // namespace zyg::launcher
