// list_text.h - the kernel's list format ("0-3,8,10-11"), in which sysfs and
// /proc show sets of CPUs and nodes: the one reader of it, for the library,
// the launcher and the report tool.
//
// The text is items separated by commas, each a decimal number or a range
// "lo-hi" with lo <= hi. It ends at its terminating zero or at a newline:
// what follows a newline is not the list's (a value taken from the middle of
// a /proc status file). An empty text is an empty list.
#pragma once

namespace zyg {

inline constexpr int kListBad = -1;     // not such a list
inline constexpr int kListBeyond = -2;  // a number at or above the caller's limit

namespace list_text_detail {
// A decimal number at *p (advanced past it): 0, kListBad when there is none,
// kListBeyond when it reaches limit.
inline int read_number(const char** p, unsigned long limit, unsigned long* v) {
  if (**p < '0' || **p > '9') return kListBad;
  unsigned long n = 0;
  for (; **p >= '0' && **p <= '9'; ++*p) {
    n = n * 10 + (unsigned long)(**p - '0');
    if (n >= limit) return kListBeyond;
  }
  *v = n;
  return 0;
}
inline bool at_end(const char* p) { return *p == '\0' || *p == '\n'; }
}  // namespace list_text_detail

// Calls range(lo, hi) for each item in order. 0; kListBad, or kListBeyond
// for a number at or above limit (the items before it have been seen).
template <typename Range>
int for_each_list_range(const char* text, unsigned long limit, Range&& range) {
  using namespace list_text_detail;
  if (text == nullptr) return kListBad;
  const char* p = text;
  if (at_end(p)) return 0;
  for (;;) {
    unsigned long lo = 0, hi = 0;
    if (int r = read_number(&p, limit, &lo); r != 0) return r;
    hi = lo;
    if (*p == '-') {
      ++p;
      if (int r = read_number(&p, limit, &hi); r != 0) return r;
      if (hi < lo) return kListBad;
    }
    range(lo, hi);
    if (at_end(p)) return 0;
    if (*p++ != ',') return kListBad;
  }
}

}  // namespace zyg
