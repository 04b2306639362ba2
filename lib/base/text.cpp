// text.cpp - the text builder of text.h.
//
// Byte loops rather than strlen and memcpy: the few bytes of an entry do not
// need them, and each is one more page of the C library's code for a forked
// child to fault in. A loop that stops at a NUL, or stores under a
// condition, is one the compiler does not turn back into those calls.
#include "base/text.h"

#include "base/layout.h"

namespace zyg {

namespace {

ZYG_HOT_CODE inline void put_byte(text_out* o, char c) {
  if (o->len + 1 < o->size) o->buf[o->len] = c;
  o->len++;
}

ZYG_HOT_CODE inline void finish(text_out* o) {
  if (o->size > 0) o->buf[o->len < o->size ? o->len : o->size - 1] = '\0';
}

}  // namespace

ZYG_HOT_CODE void text_put(text_out* o, const char* s, size_t n) {
  for (size_t i = 0; i < n; i++) put_byte(o, s[i]);
  finish(o);
}

ZYG_HOT_CODE void text_put(text_out* o, const char* s) {
  for (; *s != '\0'; ++s) put_byte(o, *s);
  finish(o);
}

ZYG_HOT_CODE void text_put_char(text_out* o, char c) {
  put_byte(o, c);
  finish(o);
}

ZYG_HOT_CODE void text_put_int(text_out* o, long v) {
  char digits[24];
  int n = 0;
  // The magnitude as an unsigned value: -LONG_MIN does not fit a long.
  unsigned long m = v < 0 ? 0ul - (unsigned long)v : (unsigned long)v;
  do {
    digits[sizeof digits - 1 - n++] = (char)('0' + m % 10);
    m /= 10;
  } while (m != 0);
  if (v < 0) digits[sizeof digits - 1 - n++] = '-';
  text_put(o, digits + sizeof digits - n, (size_t)n);
}

size_t text_join_int(char* buf, size_t size, const char* s, long v) {
  text_out o = text_start(buf, size);
  text_put(&o, s);
  text_put_int(&o, v);
  return text_length(&o);
}

ZYG_HOT_CODE bool text_ends_within(const char* s, size_t size) {
  for (size_t i = 0; i < size; i++)
    if (s[i] == '\0') return true;
  return false;
}

ZYG_HOT_CODE bool text_equal(const char* a, const char* b) {
  for (; *a == *b; ++a, ++b)
    if (*a == '\0') return true;
  return false;
}

}  // namespace zyg
