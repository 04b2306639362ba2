// text.h - short texts (environment entries, paths under /proc, log record
// pieces) put together without the C library's printf.
//
// These run where the library must stay small and safe: in a forked child
// before the application's code, in an exec or spawn that may come from a
// signal handler. snprintf there is several pages of the C library's code
// (each one a page fault in a forked child, which maps none of the parent's
// file pages) and is not async-signal-safe. As with snprintf, what does not
// fit is dropped but counted, and the buffer always ends with a NUL when it
// has room for one.
#pragma once

#include <stddef.h>

namespace zyg {

struct text_out {
  char* buf;
  size_t size;
  size_t len;  // the length of the whole text, also past the buffer's end
};

inline text_out text_start(char* buf, size_t size) {
  if (size > 0) buf[0] = '\0';
  return {buf, size, 0};
}

void text_put(text_out* o, const char* s, size_t n);
void text_put(text_out* o, const char* s);  // up to its NUL
void text_put_char(text_out* o, char c);
void text_put_int(text_out* o, long v);  // decimal, as "%ld"

// The length the whole text would have (snprintf's result).
inline size_t text_length(const text_out* o) { return o->len; }

// strcmp(a, b) == 0 as a plain loop: the C library's strcmp would be one
// more page of code for a forked child or an exec'd program to fault in.
bool text_equal(const char* a, const char* b);

// A NUL among the first size bytes of s (strnlen(s, size) < size, as a loop
// for the same reason).
bool text_ends_within(const char* s, size_t size);

// "<s><v>" into buf, as snprintf(buf, size, "%s%ld", s, v).
size_t text_join_int(char* buf, size_t size, const char* s, long v);

}  // namespace zyg
