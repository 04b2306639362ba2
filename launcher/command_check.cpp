#include "command_check.h"

#include <string.h>

#include "shared/elf_check.h"
#include "shared/path_search.h"

namespace zyg::launcher {

std::string resolve_command_path(const std::string& word, const char* path_value) {
  if (word.empty()) return std::string();
  if (word.find('/') != std::string::npos) return word;
  // Room for every candidate: the path that will run is checked whole,
  // however long.
  std::string found(search_path_size(word.c_str(), path_value), '\0');
  if (!search_path(word.c_str(), path_value, found.data(), found.size())) return std::string();
  found.resize(strlen(found.c_str()));
  return found;
}

CommandVerdict check_command(const std::string& path) {
  if (path.empty()) return CommandVerdict::kOk;
  if (is_setuid_exec(path.c_str())) return CommandVerdict::kSetId;
  if (elf_check32bit(path.c_str())) return CommandVerdict::k32Bit;
  return CommandVerdict::kOk;
}

bool uses_foreign_loader(const std::string& path) {
  if (path.empty()) return false;
  exec_target t;
  check_exec_target(path.c_str(), &t);
  return t.foreign_loader != 0;
}

}  // namespace zyg::launcher
