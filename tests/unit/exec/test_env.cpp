// Environment propagation: the arrays built for exec'd and spawned programs,
// the edits of the process's own environment, and the PATH search for the
// executable checks.
#include "base/scratch.h"
#include "exec/env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_ldata.h"
#include "report_capture.h"
#include "shared/elf_check.h"
#include "shared/names.h"

extern char** environ;

namespace {

using zyg_test::FakeLdata;
using zyg_test::StderrCapture;
using zyg_test::TempDir;
using Strings = std::vector<std::string>;

Strings to_strings(char** envp) {
  Strings out;
  for (char** e = envp; e != nullptr && *e != nullptr; ++e) out.emplace_back(*e);
  return out;
}

// First 64 bytes of an ELF file of the given class and type.
void write_elf(const std::string& path, int cls, int type) {
  unsigned char hdr[64] = {0x7f, 'E', 'L', 'F', (unsigned char)cls, 1, 1};
  hdr[16] = (unsigned char)type;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, hdr, sizeof hdr), (ssize_t)sizeof hdr);
  close(fd);
}

void make_exec(const std::string& path, mode_t mode) {
  zyg_test::write_file(path, "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Holds the caller's strings for the functions that take char**.
class EnvArray {
 public:
  EnvArray(std::initializer_list<const char*> entries) {
    for (const char* e : entries) store_.emplace_back(e);
    for (std::string& s : store_) ptrs_.push_back(&s[0]);
    ptrs_.push_back(nullptr);
  }
  char** get() { return ptrs_.data(); }
  size_t size() const { return store_.size(); }
  const char* at(size_t i) const { return ptrs_[i]; }

 private:
  std::vector<std::string> store_;
  std::vector<char*> ptrs_;
};

class EnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) saved_env_.emplace_back(*e);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    saved_cwd_ = cwd;
    lib_ = dir_.file("libfake-zyg.so");
    write_elf(lib_, 2, 3);
    hdr()->lib64[0] = '\0';
    strncat(hdr()->lib64, lib_.c_str(), 256);
    strcpy(hdr()->lib32, "/opt/lib32/libzyg-nox.so.1.0.4");
    strcpy(hdr()->data_file, "/dev/shm/zyg-nox.4242");
    strcpy(hdr()->error_file, "/tmp/run.err");
    zyg::forget_launch_env_entries();
  }
  void TearDown() override {
    zyg::forget_launch_env_entries();
    clearenv();
    for (const std::string& e : saved_env_) {
      size_t eq = e.find('=');
      if (eq == std::string::npos) continue;
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    if (chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }

  zyg::ldata_hdr* hdr() { return fake_.hdr(); }
  std::string preload() const { return std::string("LD_PRELOAD=") + lib_; }

  // Frees a result of add_launch_env: the array and an LD_PRELOAD text made
  // in place of the caller's (additions are prepared entries, not ours).
  static void release(char** out, const EnvArray& in) {
    if (out == nullptr) return;
    for (size_t i = 0; i < in.size() && out[i] != nullptr; i++) {
      if (out[i] != in.at(i) && strncmp(out[i], "LD_PRELOAD=", 11) == 0) zyg::scratch_free(out[i]);
    }
    zyg::scratch_free(out);
  }
  // Frees a result of strip_launch_env: every LD_PRELOAD left is a copy.
  static void release_stripped(char** out) {
    if (out == nullptr) return;
    for (char** e = out; *e != nullptr; ++e) {
      if (strncmp(*e, "LD_PRELOAD=", 11) == 0) zyg::scratch_free(*e);
    }
    zyg::scratch_free(out);
  }

  // The process environment, in order.
  static Strings process_env(const char* prefix) {
    Strings out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      if (strncmp(*e, prefix, strlen(prefix)) == 0) out.emplace_back(*e);
    }
    return out;
  }

  FakeLdata fake_{{{0, {0}}}, 1, 11, 0, 10, false};
  TempDir dir_;
  std::string lib_;
  Strings saved_env_;
  std::string saved_cwd_;
};

// --- add_launch_env ---------------------------------------------------------

TEST_F(EnvTest, AddAppendsLaunchEntriesAfterCallersInOrder) {
  EnvArray in{"HOME=/root", "LD_PRELOADX=keep", "TERM=xterm"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, in.get());
  EXPECT_EQ(to_strings(out), (Strings{"HOME=/root", "LD_PRELOADX=keep", "TERM=xterm", preload(),
                                      "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
                                      "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"}));
  release(out, in);
}

// The placing process is named for a program it placed; without one, a
// placed-by entry the caller passes on goes (it names someone else).
TEST_F(EnvTest, AddNamesThePlacerOrDropsAStaleOne) {
  hdr()->error_file[0] = '\0';
  std::string pre = preload();
  EnvArray in{"ZYG_LAUNCH_PLACED_BY=17", pre.c_str(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"};
  char** named = zyg::add_launch_env(in.get(), "app", "ZYG_LAUNCH_PLACED_BY=4343");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(to_strings(named), (Strings{"ZYG_LAUNCH_PLACED_BY=4343", pre,
                                        "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"}))
      << "replaced where the caller had it";
  char** none = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(to_strings(none), (Strings{pre, "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"}));
  EnvArray bare{"A=1"};
  char** added = zyg::add_launch_env(bare.get(), "app", "ZYG_LAUNCH_PLACED_BY=4343");
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(to_strings(added), (Strings{"A=1", pre, "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
                                        "ZYG_LAUNCH_PLACED_BY=4343"}));
  // No entry was made anew (our LD_PRELOAD text is the caller's own).
  for (char** out : {named, none, added}) zyg::scratch_free(out);
}

TEST_F(EnvTest, AddLeavesOutErrorEntryWithoutErrorFile) {
  hdr()->error_file[0] = '\0';
  EnvArray in{"A=1"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out),
            (Strings{"A=1", preload(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"}));
  release(out, in);
}

// A child forked while a thread of its parent was preparing the entries
// inherits them half-built; the builder does not exist in the child.
TEST_F(EnvTest, EntriesLeftHalfBuiltByAThreadThatIsGoneAreBuiltAgain) {
  zyg::launch_env_entries_building_for_test(999999);
  EnvArray in{"A=1"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out)[2], "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242");
  release(out, in);
}

TEST_F(EnvTest, AddOnNullArrayGivesOnlyLaunchEntries) {
  EnvArray none{};
  char** out = zyg::add_launch_env(nullptr, "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{preload(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
                                      "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"}));
  release(out, none);
}

TEST_F(EnvTest, AddReturnsCallersArrayWhenAlreadyCorrect) {
  std::string pre = preload();
  EnvArray in{"X=1", pre.c_str(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
              "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"};
  EXPECT_EQ(zyg::add_launch_env(in.get(), "app", nullptr), in.get());

  hdr()->error_file[0] = '\0';
  zyg::forget_launch_env_entries();
  EnvArray no_err{pre.c_str(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"};
  EXPECT_EQ(zyg::add_launch_env(no_err.get(), "app", nullptr), no_err.get());
}

TEST_F(EnvTest, AddReplacesDebugLibraryWithoutLeadingColon) {
  EnvArray in{"LD_PRELOAD=/usr/lib64/libzyg-nox_dbg.so.1.0.4",
              "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242", "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{preload(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
                                      "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"}));
  release(out, in);
}

TEST_F(EnvTest, AddPutsInstalledReleaseLibraryInPlaceOfDebugOne) {
  if (zyg::check_shared_lib(zyg::kReleaseLibPath) != 1)
    GTEST_SKIP() << "release library not installed";
  strcpy(hdr()->lib64, zyg::kReleaseLibPath);
  EnvArray in{"LD_PRELOAD=/usr/lib64/libzyg-nox_dbg.so.1.0.4"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  ASSERT_GE(to_strings(out).size(), 1u);
  EXPECT_EQ(to_strings(out)[0], "LD_PRELOAD=/usr/lib64/libzyg-nox.so.1.0.4");
  release(out, in);
}

TEST_F(EnvTest, AddCleansSeparatorsBeforeAppendingLibrary) {
  EnvArray in{"LD_PRELOAD=  :/opt/a.so::/opt/b.so ", "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"LD_PRELOAD=/opt/a.so:/opt/b.so:" + lib_,
                                      "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
                                      "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"}));
  // The caller's strings are never edited.
  EXPECT_STREQ(in.get()[0], "LD_PRELOAD=  :/opt/a.so::/opt/b.so ");
  release(out, in);
}

TEST_F(EnvTest, AddReplacesStaleFileEntriesInPlace) {
  hdr()->error_file[0] = '\0';
  EnvArray in{"ZYG_LAUNCH_ERROR_FILE=/old/err", "A=1", "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.1",
              "LD_PRELOAD="};
  char** out = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"ZYG_LAUNCH_ERROR_FILE=", "A=1",
                                      "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242", preload()}));
  release(out, in);
}

TEST_F(EnvTest, PreparedEntriesKeepTheFirstLaunchDataPaths) {
  EnvArray in{"A=1"};
  char** first = zyg::add_launch_env(in.get(), "app", nullptr);
  strcpy(hdr()->data_file, "/dev/shm/zyg-nox.9999");
  char** second = zyg::add_launch_env(in.get(), "app", nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(to_strings(second)[2], "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242");
  release(first, in);
  release(second, in);
}

TEST_F(EnvTest, AddWithBrokenInstallationReportsAndStrips) {
  std::string bogus = dir_.file("not-a-library");
  zyg_test::write_file(bogus,
                       "plain text, not an ELF shared object, long enough to read 64 bytes.....\n");
  strcpy(hdr()->lib64, bogus.c_str());
  setenv("LD_PRELOAD", "/opt/a.so:/usr/lib64/libzyg-nox.so.1.0.4", 1);
  setenv("ZYG_LAUNCH_DATA_FILE", "/dev/shm/zyg-nox.4242", 1);
  std::string exact = "LD_PRELOAD=" + bogus;
  EnvArray in{exact.c_str(), "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242", "B=2"};
  char** out;
  std::string err;
  {
    StderrCapture cap;
    out = zyg::add_launch_env(in.get(), "victim-cmd", nullptr);
    cap.restore();
    err = cap.text();
  }
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"B=2"}));
  EXPECT_NE(err.find("zyg-nox installation was changed incorrectly"), std::string::npos) << err;
  EXPECT_NE(err.find("cmd: victim-cmd"), std::string::npos) << err;
  EXPECT_NE(err.find("PID: " + std::to_string(getpid())), std::string::npos) << err;
  // The process's own environment no longer hands the library on.
  EXPECT_EQ(process_env("LD_PRELOAD="), (Strings{"LD_PRELOAD=/opt/a.so"}));
  EXPECT_TRUE(process_env("ZYG_LAUNCH_DATA_FILE=").empty());
  release_stripped(out);
}

// --- strip_launch_env -------------------------------------------------------

TEST_F(EnvTest, StripRemovesLibraryFromList) {
  EnvArray in{"A=1", "LD_PRELOAD=/opt/a.so /usr/lib64/libzyg-nox.so.1.0.4", "B=2"};
  char** out = zyg::strip_launch_env(in.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"A=1", "LD_PRELOAD=/opt/a.so", "B=2"}));
  EXPECT_STREQ(in.get()[1], "LD_PRELOAD=/opt/a.so /usr/lib64/libzyg-nox.so.1.0.4");
  release_stripped(out);
}

TEST_F(EnvTest, StripDropsPreloadThatIsExactlyConfiguredLibrary) {
  std::string exact64 = preload();
  EnvArray in64{"A=1", exact64.c_str()};
  char** out = zyg::strip_launch_env(in64.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"A=1"}));
  release_stripped(out);

  EnvArray in32{"LD_PRELOAD=/opt/lib32/libzyg-nox.so.1.0.4", "A=1"};
  out = zyg::strip_launch_env(in32.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"A=1"}));
  release_stripped(out);
}

TEST_F(EnvTest, StripKeepsEmptiedPreloadEntry) {
  EnvArray in{"LD_PRELOAD=/usr/lib64/libzyg-nox_dbg.so.1.0.4"};
  char** out = zyg::strip_launch_env(in.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out), (Strings{"LD_PRELOAD="}));
  release_stripped(out);
}

TEST_F(EnvTest, StripKeepsOtherLaunchVariablesAndDropsFileVariables) {
  EnvArray in{"ZYG_LAUNCH_NODES=0-1",
              "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242",
              "ZYG_LAUNCH_PROCESS_POLICY=rr_tree",
              "ZYG_LAUNCH_ERROR_FILE=/tmp/run.err",
              "ZYG_LAUNCH_THREAD_POLICY=rr_flat",
              "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.1",
              "ZYG_LAUNCH_LOG_FILE=run.log",
              "ZYG_LAUNCH_DATA_FILEX=stays"};
  char** out = zyg::strip_launch_env(in.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(to_strings(out),
            (Strings{"ZYG_LAUNCH_NODES=0-1", "ZYG_LAUNCH_PROCESS_POLICY=rr_tree",
                     "ZYG_LAUNCH_THREAD_POLICY=rr_flat", "ZYG_LAUNCH_LOG_FILE=run.log",
                     "ZYG_LAUNCH_DATA_FILEX=stays"}));
  release_stripped(out);
}

TEST_F(EnvTest, StripOfNullArrayGivesEmptyArray) {
  char** out = zyg::strip_launch_env(nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out[0], nullptr);
  zyg::scratch_free(out);
}

// --- the process's own environment ------------------------------------------

TEST_F(EnvTest, SetLaunchEnvAddsLibraryAndFiles) {
  unsetenv("LD_PRELOAD");
  unsetenv("ZYG_LAUNCH_DATA_FILE");
  unsetenv("ZYG_LAUNCH_ERROR_FILE");
  EXPECT_EQ(zyg::set_launch_env("app"), 0);
  EXPECT_EQ(process_env("LD_PRELOAD="), (Strings{preload()}));
  EXPECT_EQ(process_env("ZYG_LAUNCH_DATA_FILE="),
            (Strings{"ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.4242"}));
  EXPECT_EQ(process_env("ZYG_LAUNCH_ERROR_FILE="), (Strings{"ZYG_LAUNCH_ERROR_FILE=/tmp/run.err"}));
}

TEST_F(EnvTest, SetLaunchEnvPutsLibraryLastInExistingList) {
  setenv("LD_PRELOAD", "/usr/lib64/libzyg-nox_dbg.so.1.0.4 /opt/a.so", 1);
  EXPECT_EQ(zyg::set_launch_env("app"), 0);
  EXPECT_EQ(process_env("LD_PRELOAD="), (Strings{"LD_PRELOAD=/opt/a.so:" + lib_}));

  // Already right: left as it is.
  setenv("LD_PRELOAD", lib_.c_str(), 1);
  const char* before = getenv("LD_PRELOAD");
  EXPECT_EQ(zyg::set_launch_env("app"), 0);
  EXPECT_EQ(getenv("LD_PRELOAD"), before);
}

TEST_F(EnvTest, SetLaunchEnvKeepsErrorVariableWithoutErrorFile) {
  hdr()->error_file[0] = '\0';
  setenv("ZYG_LAUNCH_ERROR_FILE", "/old/err", 1);
  EXPECT_EQ(zyg::set_launch_env("app"), 0);
  EXPECT_EQ(process_env("ZYG_LAUNCH_ERROR_FILE="), (Strings{"ZYG_LAUNCH_ERROR_FILE=/old/err"}));
}

TEST_F(EnvTest, SetLaunchEnvWithBrokenInstallationStripsProcessEnv) {
  std::string bogus = dir_.file("missing-library.so");
  strcpy(hdr()->lib64, bogus.c_str());
  setenv("LD_PRELOAD", "/usr/lib64/libzyg-nox.so.1.0.4", 1);
  setenv("ZYG_LAUNCH_DATA_FILE", "/dev/shm/zyg-nox.4242", 1);
  setenv("ZYG_LAUNCH_ERROR_FILE", "/tmp/run.err", 1);
  std::string err;
  {
    StderrCapture cap;
    EXPECT_EQ(zyg::set_launch_env("some-cmd"), 0);
    cap.restore();
    err = cap.text();
  }
  EXPECT_NE(err.find("zyg-nox installation was changed incorrectly"), std::string::npos) << err;
  EXPECT_TRUE(process_env("LD_PRELOAD=").empty());
  EXPECT_TRUE(process_env("ZYG_LAUNCH_DATA_FILE=").empty());
  EXPECT_TRUE(process_env("ZYG_LAUNCH_ERROR_FILE=").empty());
}

TEST_F(EnvTest, UnsetLaunchEnvKeepsOtherLibraries) {
  setenv("LD_PRELOAD", "/opt/a.so:/usr/lib64/libzyg-nox.so.1.0.4", 1);
  setenv("ZYG_LAUNCH_DATA_FILE", "/dev/shm/zyg-nox.4242", 1);
  setenv("ZYG_LAUNCH_ERROR_FILE", "/tmp/run.err", 1);
  setenv("ZYG_LAUNCH_MEMFREE", "50", 1);
  EXPECT_EQ(zyg::unset_launch_env(), 0);
  EXPECT_EQ(process_env("LD_PRELOAD="), (Strings{"LD_PRELOAD=/opt/a.so"}));
  EXPECT_TRUE(process_env("ZYG_LAUNCH_DATA_FILE=").empty());
  EXPECT_TRUE(process_env("ZYG_LAUNCH_ERROR_FILE=").empty());
  EXPECT_EQ(process_env("ZYG_LAUNCH_MEMFREE="), (Strings{"ZYG_LAUNCH_MEMFREE=50"}));

  setenv("LD_PRELOAD", "/usr/lib64/libzyg-nox_dbg.so.1.0.4", 1);
  EXPECT_EQ(zyg::unset_launch_env(), 0);
  EXPECT_TRUE(process_env("LD_PRELOAD=").empty());
}

TEST_F(EnvTest, SetEnvIfChangedOnlyWritesNewValues) {
  setenv("ZYG_TEST_VAR", "same", 1);
  const char* before = getenv("ZYG_TEST_VAR");
  EXPECT_EQ(zyg::set_env_if_changed("ZYG_TEST_VAR", "same"), 0);
  EXPECT_EQ(getenv("ZYG_TEST_VAR"), before);
  EXPECT_EQ(zyg::set_env_if_changed("ZYG_TEST_VAR", "other"), 0);
  EXPECT_EQ(process_env("ZYG_TEST_VAR="), (Strings{"ZYG_TEST_VAR=other"}));
  unsetenv("ZYG_TEST_VAR2");
  EXPECT_EQ(zyg::set_env_if_changed("ZYG_TEST_VAR2", "v"), 0);
  EXPECT_STREQ(getenv("ZYG_TEST_VAR2"), "v");
}

// --- find_exec_file -----------------------------------------------------------

class FindExecTest : public EnvTest {
 protected:
  std::string find(const char* name, size_t size = 257) {
    std::vector<char> out(size, 'x');
    EXPECT_EQ(zyg::find_exec_file(name, out.data(), size), 0);
    return std::string(out.data());
  }
  // Two more PATH directories; members, so they go after PATH is restored.
  TempDir first_, second_;
};

TEST_F(FindExecTest, EmptyElementSearchesCurrentDirectoryFirst) {
  ASSERT_EQ(access("/bin/ls", R_OK | X_OK), 0);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  setenv("PATH", ":/bin", 1);
  EXPECT_EQ(find("ls"), "/bin/ls");
  make_exec(dir_.file("ls"), 0755);
  EXPECT_EQ(find("ls"), "ls");
}

TEST_F(FindExecTest, SkipsCandidatesThatCannotBeRunOrAreDirectories) {
  TempDir& first = first_;
  TempDir& second = second_;
  setenv("PATH", (first.path() + ":" + second.path()).c_str(), 1);
  make_exec(second.file("tool"), 0755);
  make_exec(first.file("tool"), 0644);  // not executable
  EXPECT_EQ(find("tool"), second.file("tool"));
  ASSERT_EQ(unlink(first.file("tool").c_str()), 0);
  ASSERT_EQ(mkdir(first.file("tool").c_str(), 0755), 0);
  EXPECT_EQ(find("tool"), second.file("tool"));
}

TEST_F(FindExecTest, SkipsExecutableThatIsNotReadable) {
  TempDir& first = first_;
  TempDir& second = second_;
  ASSERT_EQ(chmod(first.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(second.path().c_str(), 0755), 0);
  make_exec(first.file("tool"), 0711);
  make_exec(second.file("tool"), 0755);
  setenv("PATH", (first.path() + ":" + second.path()).c_str(), 1);
  std::string expected = second.file("tool");
  // Read permission means nothing to root: look as an ordinary user.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    char out[257];
    if (zyg::find_exec_file("tool", out, sizeof out) != 0) _exit(2);
    _exit(expected == out ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(FindExecTest, WithoutPathSearchesCurrentDirectoryThenSystemDefault) {
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  unsetenv("PATH");
  ASSERT_TRUE(process_env("PATH=").empty());
  make_exec(dir_.file("zyg-only-here"), 0755);
  EXPECT_EQ(find("zyg-only-here"), "zyg-only-here");

  // The first directory of the system default that has sh.
  char cs[1024];
  ASSERT_GT(confstr(_CS_PATH, cs, sizeof cs), 0u);
  std::string expected;
  std::string rest = cs;
  while (expected.empty() && !rest.empty()) {
    size_t colon = rest.find(':');
    std::string d = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (!d.empty() && access((d + "/sh").c_str(), R_OK | X_OK) == 0) expected = d + "/sh";
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(find("sh"), expected);
}

TEST_F(FindExecTest, NameWithSlashIsCopied) {
  EXPECT_EQ(find("./no/such/prog"), "./no/such/prog");
  EXPECT_EQ(find("/usr/bin/x"), "/usr/bin/x");
}

TEST_F(FindExecTest, NothingFoundGivesEmptyResult) {
  setenv("PATH", dir_.path().c_str(), 1);
  EXPECT_EQ(find("zyg-no-such-program"), "");
  EXPECT_EQ(find(""), "");
  char out[8] = "junk";
  EXPECT_EQ(zyg::find_exec_file(nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST_F(FindExecTest, LongResultFallsBackToNameCutToFit) {
  setenv("PATH", dir_.path().c_str(), 1);
  make_exec(dir_.file("tool"), 0755);
  EXPECT_EQ(find("tool", dir_.file("tool").size() + 1), dir_.file("tool"));
  EXPECT_EQ(find("tool", dir_.file("tool").size()), "tool");
  std::string longname = "a-rather-long-program-name";
  make_exec(dir_.file(longname.c_str()), 0755);
  EXPECT_EQ(find(longname.c_str(), 6), "a-rat");
}

}  // namespace
