// LD_PRELOAD list editing. The library runs this inside exec interposers of
// arbitrary programs, so it works on caller buffers with the C library only.
#include "shared/preload_list.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "base/layout.h"
#include "shared/names.h"

namespace zyg {

namespace {

bool is_standard_lib(const char* item, size_t len) {
  // Elements longer than our path limit can never be one of the two paths;
  // the lengths below already make that so.
  size_t rel = sizeof(kReleaseLibPath) - 1;
  size_t dbg = sizeof(kDebugLibPath) - 1;
  if (len == rel && memcmp(item, kReleaseLibPath, rel) == 0) return true;
  if (len == dbg && memcmp(item, kDebugLibPath, dbg) == 0) return true;
  return false;
}

}  // namespace

ZYG_HOT_CODE int is_list_separator(char c) {
  return c == ':' || isspace(static_cast<unsigned char>(c)) ? 1 : 0;
}

ZYG_HOT_CODE void remove_launch_lib(const char* name, char* text, int mode) {
  if (text == nullptr) return;
  char* list = text;
  if (mode == kListWholeEntry) {
    size_t skip = name != nullptr ? strlen(name) + 1 : 0;
    size_t have = strlen(text);
    list = text + (skip < have ? skip : have);
  }
  const size_t old_len = strlen(list);
  const char* rd = list;
  while (*rd != '\0' && is_list_separator(*rd)) ++rd;
  if (*rd == '\0') return;  // nothing but separators: leave it alone

  // The write position never passes the read position: every item is written
  // back at most where it was, and its ':' takes the place of a separator.
  char* wr = list;
  while (*rd != '\0') {
    const char* item = rd;
    while (*rd != '\0' && !is_list_separator(*rd)) ++rd;
    size_t len = static_cast<size_t>(rd - item);
    bool more = *rd != '\0';
    if (!is_standard_lib(item, len)) {
      memmove(wr, item, len);
      wr += len;
      if (more) *wr++ = ':';
    }
    while (*rd != '\0' && is_list_separator(*rd)) ++rd;
  }
  *wr = '\0';
  size_t new_len = static_cast<size_t>(wr - list);
  if (wr > list && wr[-1] == ':') {
    wr[-1] = '\0';
    --new_len;
  }
  if (old_len > new_len) memset(list + new_len, 0, old_len - new_len);
}

ZYG_HOT_CODE size_t appended_size(const char* list, const char* item) {
  return strlen(list != nullptr ? list : "") + strlen(item != nullptr ? item : "") + 7;
}

char* append_path_item(const char* list, const char* item, int mode) {
  size_t size = appended_size(list, item);
  char* out = static_cast<char*>(malloc(size));
  if (out == nullptr) return nullptr;
  append_path_item_into(list, item, mode, out);
  return out;
}

ZYG_HOT_CODE void append_path_item_into(const char* list, const char* item, int mode, char* out) {
  if (list == nullptr) list = "";
  if (item == nullptr) item = "";
  size_t llen = strlen(list);
  size_t ilen = strlen(item);
  memset(out, 0, llen + ilen + 7);
  memcpy(out, list, llen);
  bool colon = true;
  if (mode == kListWholeEntry && llen > 0 && list[llen - 1] == '=') colon = false;
  if (mode == kListValueOnly && llen == 0) colon = false;
  char* p = out + llen;
  if (colon) *p++ = ':';
  memcpy(p, item, ilen);
}

}  // namespace zyg
