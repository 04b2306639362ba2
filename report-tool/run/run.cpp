// run.cpp - --run. The command's own output is left alone: the summary goes
// to standard error, after the command has ended, and the exit status is the
// command's, so that --run can stand in front of a command in a script.
#include "run/run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "log/log.h"
#include "model/report.h"
#include "views/views.h"

namespace zr {

namespace {

constexpr int kUsage = 1, kIo = 2, kCannotRun = 127;

int usage(const std::string& msg) {
  std::cerr << "zyg-nox-report: --run: " << msg
            << "\n(usage: zyg-nox-report --run [zyg-nox options] -- COMMAND [ARGS])\n";
  return kUsage;
}

// A zyg-nox option word that names a log (--run writes its own): --log or
// an abbreviation of it, or -l in a cluster of short options before any
// option that takes the rest of the word as its value.
bool names_a_log(const std::string& w) {
  if (w.rfind("--", 0) == 0) {
    std::string name =
        w.substr(2, w.find('=') == std::string::npos ? std::string::npos : w.find('=') - 2);
    return !name.empty() && std::string("log").rfind(name, 0) == 0;
  }
  if (w.size() < 2 || w[0] != '-') return false;
  for (std::size_t i = 1; i < w.size(); ++i) {
    if (w[i] == 'l') return true;
    if (std::strchr("ptnemd", w[i])) return false;  // the rest is that option's value
  }
  return false;
}

// The command's status as a shell reports it.
int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return kCannotRun;
}

// Runs zyg-nox with args and waits for it. Interrupts from the terminal go to
// the command only (as system() does), so the summary is still written.
int launch_and_wait(std::vector<char*>& args) {
  struct sigaction ignore = {}, old_int, old_quit;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  pid_t pid = fork();
  if (pid == 0) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "zyg-nox-report: --run: cannot run zyg-nox: %s\n", std::strerror(errno));
    _exit(kCannotRun);
  }
  int wstatus = 0;
  int r = -1;
  if (pid > 0)
    while ((r = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
    }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  if (pid < 0 || r < 0) {
    std::cerr << "zyg-nox-report: --run: cannot start zyg-nox: " << std::strerror(errno) << "\n";
    return kCannotRun;
  }
  return status_of(wstatus);
}

// The summary of the log at path on standard error; nothing when zyg-nox
// stopped before the launch began (it has said why).
void summarise(const std::string& path, const std::string& command) {
  std::ifstream in(path, std::ios::binary);
  ParsedLog log = parse_log(in);
  if (!log.looks_like_log()) return;
  const Report rep = build_report(command, log);
  TextOptions opt;
  opt.summary = true;
  std::cerr << "\n";
  write_text(std::cerr, rep, opt);
}

}  // namespace

int run_and_summarise(int argc, char** argv) {
  int sep = 0;
  while (sep < argc && std::strcmp(argv[sep], "--") != 0) ++sep;
  if (sep == argc || sep + 1 == argc) return usage("the command goes after --");
  for (int i = 0; i < sep; ++i)
    if (names_a_log(argv[i]))
      return usage(
          "it keeps a log of its own; to keep the log, run zyg-nox -l LOG and then "
          "zyg-nox-report LOG");
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/zyg-nox-run.XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) {
    std::cerr << "zyg-nox-report: --run: cannot make a log in " << path << ": "
              << std::strerror(errno) << "\n";
    return kIo;
  }
  close(fd);
  std::string log_opt = "-l" + path;
  std::vector<char*> args = {const_cast<char*>("zyg-nox")};
  for (int i = 0; i < argc; ++i) {
    if (i == sep) args.push_back(log_opt.data());
    args.push_back(argv[i]);
  }
  args.push_back(nullptr);
  int status = launch_and_wait(args);
  std::string command = argv[sep + 1];
  for (int i = sep + 2; i < argc; ++i) command += std::string(" ") + argv[i];
  summarise(path, command);
  unlink(path.c_str());
  return status;
}

}  // namespace zr
