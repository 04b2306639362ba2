// preload_list.h - editing of LD_PRELOAD style lists (elements separated by
// ':' or white space): taking the preload library's two standard paths out of
// a list, and appending one item. Plain C-style code usable inside the preload
// library; only append_path_item allocates (malloc).
#pragma once

#include <stddef.h>

namespace zyg {

// Text modes of both functions.
inline constexpr int kListWholeEntry = 1;  // text is "NAME=list"
inline constexpr int kListValueOnly = 2;   // text is the list alone

// 1 for ':' and every character for which isspace() is true.
int is_list_separator(char c);

// Removes every element equal to the release or the debug standard library
// path from the list in text, in place. The remaining elements are joined by
// single ':' with no leading or trailing separator; a list of nothing but
// separators is left as it is; the freed tail is cleared with NUL bytes.
// In mode kListWholeEntry the list starts strlen(name) + 1 characters in.
// A null text is ignored.
void remove_launch_lib(const char* name, char* text, int mode);

// Returns a malloc'd copy of list with ':' and item appended. No ':' is put
// in front of item when, in mode kListWholeEntry, list ends with '=' (empty
// value) or, in mode kListValueOnly, list is empty. Null when out of memory.
char* append_path_item(const char* list, const char* item, int mode);
// The same into `out`, which holds appended_size(list, item) bytes (callers
// that must not use the heap).
size_t appended_size(const char* list, const char* item);
void append_path_item_into(const char* list, const char* item, int mode, char* out);

}  // namespace zyg
