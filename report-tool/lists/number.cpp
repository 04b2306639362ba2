#include "lists/number.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zr {

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool to_long(const std::string& text, long& out) {
  std::string t = trim(text);
  if (t.empty() || t.size() > 20) return false;
  std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return false;
  for (std::size_t k = i; k < t.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(t[k]))) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool to_int(const std::string& text, int& out) {
  long v;
  if (!to_long(text, v) || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace zr
