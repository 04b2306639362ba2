// fuzz_util.h - small helpers shared by the fuzz targets.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zyg_fuzz {

// The input cut into NUL-separated words (a last word without its NUL
// counts too), at most max_words of them.
inline std::vector<std::string> words(const uint8_t* data, size_t size, size_t max_words) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= size && out.size() < max_words; i++) {
    if (i == size || data[i] == 0) {
      if (i > start || i < size) out.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
      start = i + 1;
    }
  }
  return out;
}

// A temporary file for the whole run, removed when the run ends (libFuzzer
// and the replay driver both end through exit()). Returns its descriptor
// and leaves its path in `path` (a mkstemp template).
inline int temp_file_for_run(char* path) {
  static char* paths[8];
  static int count;
  int fd = mkstemp(path);
  if (fd >= 0 && count < 8) {
    if (count == 0) atexit([] {
        for (int i = 0; i < count; i++) unlink(paths[i]);
      });
    paths[count++] = path;
  }
  return fd;
}

// A NUL-terminated copy of the whole input.
inline std::string text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size).c_str();
}

}  // namespace zyg_fuzz
