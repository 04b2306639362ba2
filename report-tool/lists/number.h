// number.h - whole numbers and words read from text that nobody vouches for
// (a log line, a banner setting, a node list): a number is all digits after
// an optional sign and fits its type, a word is without its blanks.
#pragma once

#include <string>

namespace zr {

// Without leading and trailing blanks and tabs.
std::string trim(const std::string& s);
// A whole decimal integer (optionally signed), nothing else.
bool to_long(const std::string& text, long& out);
bool to_int(const std::string& text, int& out);

}  // namespace zr
