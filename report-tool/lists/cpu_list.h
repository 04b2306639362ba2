// cpu_list.h - CPU lists as the kernel and the command line write them
// ("0-3,8,10-11"), read and written.
#pragma once

#include <string>
#include <vector>

namespace zr {

// A CPU list given on the command line or read from a node's sysfs cpulist,
// sorted and without repeats; false when it cannot be read. Numbers up to
// 65535.
bool parse_cpulist(const std::string& text, std::vector<int>& cpus);

// The CPUs of a list as sysfs and /proc write it, in its order; empty for
// text that is not such a list (through the library's reader of the
// kernel's lists, shared/list_text.h).
std::vector<int> parse_cpu_list(const std::string& text);

// Ascending numbers as a list with ranges ("0-2,5"); empty for none.
std::string range_list(const std::vector<int>& sorted);

}  // namespace zr
