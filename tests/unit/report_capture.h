// report_capture.h - helpers for the reporting tests: capture what the
// library writes on descriptor 2, read files, make temporary directories.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zyg_test {

inline std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return out;
}

inline void write_file(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) < 0) {
  }
  close(fd);
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// Redirects descriptor 2 into a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/zyg-stderr-XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  ~StderrCapture() {
    restore();
    close(fd_);
    unlink(path_.c_str());
  }
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  std::string text() const { return read_file(path_); }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/zyg-report-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The first word of this process's command line, as a report shows it.
inline std::string own_command() {
  std::string cmd = read_file("/proc/self/cmdline");
  size_t end = cmd.find_first_of(std::string(" \t\n\0", 4));
  return end == std::string::npos ? cmd : cmd.substr(0, end);
}

// The descriptor of this process open on `path`, or -1.
inline int fd_open_on(const std::string& path) {
  for (int fd = 0; fd < 4096; fd++) {
    char link[64], target[512];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path == target) return fd;
  }
  return -1;
}

}  // namespace zyg_test
