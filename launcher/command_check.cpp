#include "command_check.h"

#include <unistd.h>

#include "shared/elf_check.h"

namespace zyg::launcher {

std::string resolve_command_path(const std::string& word, const char* path_value) {
  if (word.empty()) return std::string();
  if (word.find('/') != std::string::npos) return word;

  std::string search;
  if (path_value != nullptr) {
    search = path_value;
  } else {
    // Like execvpe without PATH: the current directory first, then the
    // system's default path.
    size_t n = confstr(_CS_PATH, nullptr, 0);
    std::string def(n, '\0');
    if (n > 0) confstr(_CS_PATH, def.data(), n);
    def.resize(def.find('\0') == std::string::npos ? def.size() : def.find('\0'));
    search = ":" + def;
  }

  size_t start = 0;
  for (;;) {
    size_t end = search.find(':', start);
    std::string elem = search.substr(start, end == std::string::npos ? std::string::npos
                                                                     : end - start);
    std::string candidate = elem.empty() ? word : elem + "/" + word;
    if (access(candidate.c_str(), R_OK | X_OK) == 0) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::string();
}

CommandVerdict check_command(const std::string& path) {
  if (path.empty()) return CommandVerdict::kOk;
  if (is_setuid_exec(path.c_str())) return CommandVerdict::kSetId;
  if (elf_check32bit(path.c_str())) return CommandVerdict::k32Bit;
  return CommandVerdict::kOk;
}

}  // namespace zyg::launcher
