// replay_main.cpp - runs a fuzz target over files, without libFuzzer: every
// file named on the command line, and every file in every directory named
// there, is one input. Built into each target in builds without libFuzzer,
// so the seed corpus and the inputs of past crashes run as ordinary tests
// (and under ASan/UBSan in the sanitizer build).
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool read_all(const std::string& path, std::vector<uint8_t>* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->insert(out->end(), buf, buf + n);
  close(fd);
  return n == 0;
}

int run_file(const std::string& path) {
  std::vector<uint8_t> data;
  if (!read_all(path, &data)) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int failed = 0, runs = 0;
  for (int i = 1; i < argc; i++) {
    struct stat st;
    if (stat(argv[i], &st) != 0) continue;  // no regressions yet, say
    if (!S_ISDIR(st.st_mode)) {
      failed += run_file(argv[i]);
      runs++;
      continue;
    }
    DIR* d = opendir(argv[i]);
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      failed += run_file(std::string(argv[i]) + "/" + e->d_name);
      runs++;
    }
    closedir(d);
  }
  printf("%d inputs run\n", runs);
  return failed != 0;
}
