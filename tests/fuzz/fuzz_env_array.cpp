// Environments built for exec'd and spawned programs from an explicit
// array: any entries, the launch variables among them in any form.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/ldata.h"
#include "base/scratch.h"
#include "exec/env.h"
#include "fuzz_util.h"
#include "shared/names.h"

// The arrays and the LD_PRELOAD entries made for them are mappings of their
// own (base/scratch.h), released after each input.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

void set_up() {
  // A stand-in for the installed library: the first 64 bytes of a 64-bit
  // ELF shared object, which is all the installation check reads.
  static char lib[] = "/tmp/zyg-fuzz-lib-XXXXXX";
  int fd = zyg_fuzz::temp_file_for_run(lib);
  unsigned char hdr[64] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
  hdr[16] = 3;
  if (fd < 0 || write(fd, hdr, sizeof hdr) != (ssize_t)sizeof hdr) abort();
  close(fd);
  static zyg::ldata_hdr h;
  memset(&h, 0, sizeof h);
  snprintf(h.lib64, sizeof h.lib64, "%s", lib);
  snprintf(h.data_file, sizeof h.data_file, "%s", "/dev/shm/zyg-nox.12345");
  zyg::ld.hdr = &h;
}

void check(char** env) {
  if (env == nullptr) return;
  size_t preload = 0, data = 0;
  for (char** e = env; *e != nullptr; ++e) {
    if (strncmp(*e, "LD_PRELOAD=", 11) == 0) preload++;
    if (strncmp(*e, "ZYG_LAUNCH_DATA_FILE=", 21) == 0) data++;
  }
  (void)preload;
  (void)data;
}

}  // namespace

// The arrays and the LD_PRELOAD entries made for them go back to their
// mappings: a fuzzer that kept them would run out of mappings long before
// memory. add_launch_env makes a new LD_PRELOAD entry only in place of one
// the caller gave (the entries it appends are the library's own, and an
// entry it drops shifts the rest); strip_launch_env copies every LD_PRELOAD
// entry it keeps.
static bool is_preload(const char* e) { return strncmp(e, "LD_PRELOAD=", 11) == 0; }

static void release_added(char** built, const std::vector<char*>& given) {
  bool caller_preloads = false;
  for (char* g : given) caller_preloads = caller_preloads || (g != nullptr && is_preload(g));
  for (char** e = built; caller_preloads && *e != nullptr; ++e)
    if (is_preload(*e) && std::find(given.begin(), given.end(), *e) == given.end())
      zyg::scratch_free(*e);
  zyg::scratch_free(built);
}

static void release_stripped(char** built) {
  for (char** e = built; *e != nullptr; ++e)
    if (is_preload(*e)) zyg::scratch_free(*e);
  zyg::scratch_free(built);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (set_up(), true);
  (void)ready;
  std::vector<std::string> w = zyg_fuzz::words(data, size, 64);
  std::vector<char*> envp;
  for (std::string& s : w) envp.push_back(s.data());
  envp.push_back(nullptr);

  char** added = zyg::add_launch_env(envp.data(), "fuzz", 0);
  check(added);
  if (added != nullptr) {
    // The launch entries are there, once each, with the tree's values.
    bool has_data = false;
    for (char** e = added; *e != nullptr; ++e)
      if (strcmp(*e, "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.12345") == 0) has_data = true;
    if (!has_data) __builtin_trap();
    if (added != envp.data()) release_added(added, envp);
  }
  char** stripped = zyg::strip_launch_env(envp.data());
  if (stripped != nullptr) {
    for (char** e = stripped; *e != nullptr; ++e)
      if (strncmp(*e, "ZYG_LAUNCH_DATA_FILE=", 21) == 0) __builtin_trap();
    release_stripped(stripped);
  }
  return 0;
}
