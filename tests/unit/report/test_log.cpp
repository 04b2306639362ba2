// The launch log: byte-exact banner, column header and record lines, the
// open of the first and of later processes, numbered records from many
// threads and processes, the reopen after the application closed our
// descriptor, and the copies of error reports.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ldata.h"
#include "core/state.h"
#include "logtext.h"
#include "report/error_file.h"
#include "report/log.h"
#include "report/report.h"
#include "report_capture.h"

using zyg_test::read_file;
using zyg_test::split_lines;
using zyg_test::StderrCapture;
using zyg_test::TempDir;

namespace {

// The column header of a launch under node units, its titles padded as the
// schema says.
const std::string kColumnHeader = zyg_test::header().substr(1);

// Launch data in shared memory, so that forked children count in the same
// log_entry_cnt as this process.
class SharedLdata {
 public:
  SharedLdata() {
    size_ = zyg::ldata_file_size(1);
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    hdr_ = static_cast<zyg::ldata_hdr*>(p);
    saved_ = zyg::ld;
    zyg::ld.hdr = hdr_;
    hdr_->version = zyg::kLdataVersion;
    hdr_->config_node_cnt = 1;
    hdr_->avail_node_cnt = 1;
    hdr_->possible_node_cnt = 64;
    hdr_->possible_cpu_cnt = 64;
    hdr_->file_mode = 0664;
    hdr_->initial_pid = getpid();
  }
  ~SharedLdata() {
    zyg::ld = saved_;
    munmap(hdr_, size_);
  }
  zyg::ldata_hdr* hdr() const { return hdr_; }

 private:
  zyg::ldata_hdr* hdr_;
  size_t size_;
  zyg::ldata_view saved_{};
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zyg::log_reset_for_test();
    zyg::error_file_init();
    path_ = dir_.file("run.log");
    snprintf(ld_.hdr()->log_file, sizeof ld_.hdr()->log_file, "%s", path_.c_str());
    ld_.hdr()->log_enabled = 1;
  }
  void TearDown() override {
    int fd = zyg_test::fd_open_on(path_);
    while (fd >= 0) {
      close(fd);
      fd = zyg_test::fd_open_on(path_);
    }
    zyg::log_reset_for_test();
  }
  // The lines after the banner.
  std::vector<std::string> records() {
    std::string text = read_file(path_);
    size_t at = text.find("creates threads\n\n");
    EXPECT_NE(at, std::string::npos);
    return split_lines(text.substr(at + strlen("creates threads\n\n")));
  }

  TempDir dir_;
  SharedLdata ld_;
  std::string path_;
};

struct Fields {
  std::string timestamp, entry, tid, pid, ppid, node, cpu, msg, comm, cmdline;
};

// Splits a record line into its columns; false when it is not one.
bool parse_record(const std::string& line, Fields* f) {
  std::vector<std::string> cols;
  size_t start = 0;
  // The records of these tests are written under node units: no L3 column.
  for (int i = 0; i < zyg::COL_COUNT - 1; i++) {
    size_t sep = i == zyg::COL_L3 ? start : line.find(" | ", start);
    if (sep == std::string::npos) return false;
    cols.push_back(line.substr(start, sep - start));
    if (i != zyg::COL_L3) start = sep + 3;
  }
  cols.push_back(line.substr(start));
  *f = {cols[zyg::COL_TIMESTAMP], cols[zyg::COL_ENTRY],  cols[zyg::COL_TID], cols[zyg::COL_PID],
        cols[zyg::COL_PPID],      cols[zyg::COL_NODE],   cols[zyg::COL_CPU], cols[zyg::COL_MESSAGE],
        cols[zyg::COL_COMM],      cols[zyg::COL_CMDLINE]};
  if (f->timestamp.size() < 15) return false;
  size_t dot = f->timestamp.find('.');
  if (dot == std::string::npos || f->timestamp.size() - dot - 1 != 6) return false;
  for (size_t i = dot + 1; i < f->timestamp.size(); i++)
    if (!isdigit((unsigned char)f->timestamp[i])) return false;
  return f->entry.size() == 6 && f->tid.size() == 7 && f->pid.size() == 7 && f->ppid.size() == 7 &&
         atoi(f->entry.c_str()) > 0 && f->msg.size() >= 31 && f->comm.size() >= 20;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  size_t e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string own_cmdline() {
  std::string c = read_file("/proc/self/cmdline").substr(0, 256);
  for (char& ch : c)
    if (ch == '\0') ch = ' ';
  return c;
}

std::string own_comm() {
  std::string c = read_file("/proc/self/comm");
  if (!c.empty() && c.back() == '\n') c.pop_back();
  return c;
}

TEST(LogFormat, BannerWithEveryHeaderValue) {
  std::vector<char> mem(sizeof(zyg::ldata_hdr), 0);
  auto* h = reinterpret_cast<zyg::ldata_hdr*>(mem.data());
  strcpy(h->proc_policy_name, "rr_tree");
  strcpy(h->thrd_policy_name, "ff_flat");
  h->cpu_launch = 1;
  strcpy(h->launch_nodes, "0-1");
  strcpy(h->log_file, "/home/u/run.log");
  strcpy(h->error_file, "/home/u/err.txt");
  h->initial_pid = 4242;
  h->config_node_cnt = 4;
  h->avail_node_cnt = 2;
  char buf[zyg::kLogBannerSize];
  int n = zyg::format_log_banner(buf, sizeof buf, h);
  const char expect[] =
      "\n"
      "Warning: format/content of this file may change between revisions\n"
      "Do not write programs that depend on format or content across revisions\n"
      "\n"
      "Launch  Version       | 1.0.4\n"
      "Process launch policy | rr_tree\n"
      "Thread  launch policy | ff_flat\n"
      "CPU     launch policy | Yes\n"
      "Initial launch nodes  | 0-1\n"
      "Log file              | /home/u/run.log\n"
      "Error file            | /home/u/err.txt\n"
      "Initial PID           | 4242\n"
      "Configured node count | 4\n"
      "Available node count  | 2\n"
      "\n"
      "Possibly 4 records per process\n"
      "    1) process/thread creation,\n"
      "    2) if an exec function is called\n"
      "    3) process/pthread termination (clone thread termination not logged)\n"
      "    4) the initial thread - only if it creates threads\n"
      "\n";
  EXPECT_EQ(std::string(buf, (size_t)n), expect);

  h->cpu_launch = 0;
  h->error_file[0] = '\0';
  n = zyg::format_log_banner(buf, sizeof buf, h);
  std::string text(buf, (size_t)n);
  EXPECT_NE(text.find("CPU     launch policy | No\n"), std::string::npos);
  EXPECT_NE(text.find("Error file            | \n"), std::string::npos);
}

// A record line's texts: the named columns', "0" in every other. line()
// is what the writer is given, expected() what it must write: the texts
// padded as the schema says, the L3 column under L3 units only.
struct RecordTexts {
  std::string text[zyg::COL_COUNT];
  RecordTexts(std::initializer_list<std::pair<zyg::log_column, std::string>> named) {
    // push_back: GCC 12 warns (-Wrestrict) about assigning "0" in this loop
    // for some column counts.
    for (std::string& t : text) t.push_back('0');
    for (const auto& [c, t] : named) text[c] = t;
  }
  zyg::log_line line(bool l3_units = false) const {
    zyg::log_line l = {};
    for (int c = 0; c < zyg::COL_COUNT; c++) l.text[c] = text[c].c_str();
    l.l3_units = l3_units;
    return l;
  }
  std::string expected(bool l3_units = false) const { return zyg_test::columns(text, l3_units); }
};

std::string written(const zyg::log_line& line) {
  char buf[zyg::kLogLineSize];
  int n = zyg::format_log_line(buf, sizeof buf, line);
  return std::string(buf, (size_t)n);
}

TEST(LogFormat, ColumnHeaderAndRecordLine) {
  char buf[zyg::kLogLineSize];
  int n = zyg::format_log_column_header(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, (size_t)n), kColumnHeader);

  const RecordTexts r({{zyg::COL_TIMESTAMP, "0.000123"},
                       {zyg::COL_TID, "777"},
                       {zyg::COL_NODE, "0,1"},
                       {zyg::COL_CPU, "-1"},
                       {zyg::COL_MESSAGE, "initial exec start"},
                       {zyg::COL_CMDLINE, "/bin/app -x "}});
  EXPECT_EQ(written(r.line()), r.expected());

  // Longer texts than their columns push the rest along; the pieces after
  // the message are part of it.
  const RecordTexts wide({{zyg::COL_TIMESTAMP, "12345.000005"},
                    {zyg::COL_ENTRY, "123456"},
                    {zyg::COL_TID, "1234567"},
                    {zyg::COL_MESSAGE, "user's pthread_create() "},
                    {zyg::COL_COMM, "a-very-long-comm-name"}});
  zyg::log_line line = wide.line();
  line.message_more[0] = "main";
  line.message_more[1] = " thrd";
  RecordTexts joined = wide;
  joined.text[zyg::COL_MESSAGE] += "main thrd";
  EXPECT_EQ(written(line), joined.expected());
  EXPECT_NE(written(line).find(" | user's pthread_create() main thrd | a-very-long-comm-name | "),
            std::string::npos);
}

// Under L3 units the header and every record have the L3 column after CPU;
// otherwise neither has it, whatever the record's text for it.
TEST(LogFormat, L3ColumnOnlyUnderL3Units) {
  char buf[zyg::kLogLineSize];
  for (const char* domain : {"4-5", "-"}) {
    const RecordTexts r({{zyg::COL_L3, domain}, {zyg::COL_MESSAGE, "exit()"}});
    EXPECT_EQ(written(r.line()), r.expected());
    EXPECT_EQ(written(r.line()).find(std::string(" ") + domain + " | "), std::string::npos);
    EXPECT_EQ(written(r.line(true)), r.expected(true));
    EXPECT_NE(written(r.line(true)).find(std::string(" ") + domain + " | exit() "),
              std::string::npos);
  }
  int n = zyg::format_log_column_header(buf, sizeof buf, false);
  EXPECT_EQ(std::string(buf, (size_t)n), kColumnHeader);
  n = zyg::format_log_column_header(buf, sizeof buf, true);
  EXPECT_EQ(std::string(buf, (size_t)n), zyg_test::header(true).substr(1));
}

TEST(LogFormat, LineIsCutAtTheBufferSize) {
  char buf[zyg::kLogLineSize];
  std::string big(2000, 'c');
  const RecordTexts r({{zyg::COL_CMDLINE, big}});
  int n = zyg::format_log_line(buf, sizeof buf, r.line());
  EXPECT_EQ(n, 1023);
  EXPECT_EQ(strlen(buf), 1023u);
}

TEST_F(LogTest, FirstProcessCreatesTheFileWithBannerAndMode) {
  // An old symbolic link at the path is replaced, its target left alone.
  std::string target = dir_.file("target");
  zyg_test::write_file(target, "keep\n");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  struct timeval before;
  gettimeofday(&before, nullptr);
  zyg::log_open(true);
  EXPECT_TRUE(zyg::log_on());
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0664u) << "chmod'ed regardless of the umask";
  EXPECT_EQ(read_file(target), "keep\n");
  EXPECT_GE(ld_.hdr()->log_start_sec, (int64_t)before.tv_sec);
  char banner[zyg::kLogBannerSize];
  int n = zyg::format_log_banner(banner, sizeof banner, ld_.hdr());
  EXPECT_EQ(read_file(path_), std::string(banner, (size_t)n));
  EXPECT_EQ(ld_.hdr()->log_entry_cnt, 0u);
}

TEST_F(LogTest, RecordsAreNumberedAndTheColumnHeaderComesOnce) {
  zyg::log_open(true);
  zyg::log_record("initial exec start");
  zyg::log_record("Created TID 12");
  zyg::log_record("exit()");
  std::vector<std::string> lines = records();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1] + "\n", kColumnHeader);
  const char* msgs[] = {"initial exec start", "Created TID 12", "exit()"};
  for (int i = 0; i < 3; i++) {
    Fields f;
    ASSERT_TRUE(parse_record(lines[2 + i], &f)) << lines[2 + i];
    EXPECT_EQ(atoi(f.entry.c_str()), i + 1);
    EXPECT_EQ(atoi(f.pid.c_str()), getpid());
    EXPECT_EQ(atoi(f.ppid.c_str()), getppid());
    EXPECT_EQ(atoi(f.tid.c_str()), gettid());
    EXPECT_EQ(trim(f.msg), msgs[i]);
    EXPECT_EQ(trim(f.comm), own_comm());
    EXPECT_EQ(f.cmdline, own_cmdline());
  }
  EXPECT_EQ(ld_.hdr()->log_entry_cnt, 3u);
}

TEST_F(LogTest, TimestampBorrowsASecondForSmallerMicroseconds) {
  zyg::log_open(true);
  struct timeval now;
  gettimeofday(&now, nullptr);
  ld_.hdr()->log_start_sec = now.tv_sec - 5;
  ld_.hdr()->log_start_usec = 999999;
  zyg::log_record("later");
  std::vector<std::string> lines = records();
  ASSERT_EQ(lines.size(), 3u);
  Fields f;
  ASSERT_TRUE(parse_record(lines[2], &f)) << lines[2];
  double t = atof(f.timestamp.c_str());
  EXPECT_GE(t, 4.0);
  EXPECT_LT(t, 60.0);
}

TEST_F(LogTest, NothingIsWrittenWhileLoggingIsOff) {
  ld_.hdr()->log_enabled = 0;
  zyg::log_open(true);
  EXPECT_FALSE(zyg::log_on());
  zyg::log_record("ignored");
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  EXPECT_EQ(ld_.hdr()->log_entry_cnt, 0u);
}

TEST_F(LogTest, LaterProcessAppendsAndNeverCreates) {
  StderrCapture cap;
  zyg::log_open(false);
  cap.restore();
  EXPECT_FALSE(zyg::log_on());
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  EXPECT_NE(
      cap.text().find("zyg-nox warning: open(" + path_ + ") failed. Logging disabled for pid " +
                      std::to_string(getpid()) + "\nzyg-nox warning: No such file or directory\n"),
      std::string::npos)
      << cap.text();

  zyg::log_reset_for_test();
  zyg::log_open(true);
  zyg::log_record("initial exec start");
  zyg::log_reset_for_test();  // a new program image of the tree
  zyg::log_open(false);
  EXPECT_TRUE(zyg::log_on());
  zyg::log_record("child exec start");
  std::vector<std::string> lines = records();
  ASSERT_EQ(lines.size(), 4u);
  Fields f;
  ASSERT_TRUE(parse_record(lines[3], &f));
  EXPECT_EQ(atoi(f.entry.c_str()), 2);
  EXPECT_EQ(trim(f.msg), "child exec start");
}

// A FIFO put in place of the log after the first process created it: a
// later program of the tree must not wait for a reader that never comes.
TEST_F(LogTest, FifoInPlaceOfTheLogDoesNotBlockALaterProcess) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);  // a blocked open ends the child by SIGALRM
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    zyg::log_open(false);
    _exit(zyg::log_on() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Only a regular file is written: a FIFO that has a reader (or a device)
// put in place of the log is refused, with the reason.
TEST_F(LogTest, LaterProcessRefusesALogThatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  StderrCapture cap;
  zyg::log_open(false);
  cap.restore();
  close(reader);
  EXPECT_FALSE(zyg::log_on());
  EXPECT_NE(
      cap.text().find("zyg-nox warning: open(" + path_ + ") failed. Logging disabled for pid " +
                      std::to_string(getpid()) + "\nzyg-nox warning: Invalid argument\n"),
      std::string::npos)
      << cap.text();
}

// What is at the path when the first process opens it is not always gone:
// another launch with the same path may have created its log since the
// delete, or (as here) the user may not delete it. A regular file is taken
// over and truncated; a symbolic link or a FIFO is refused without following
// or waiting.
TEST_F(LogTest, FirstProcessTakesOverOnlyARegularFileItCannotDelete) {
  struct Case {
    const char* name;
    int status;        // of the first process
    const char* said;  // on its standard error
  } cases[] = {
      {"file", 0, ""},
      {"link", 1, "zyg-nox error: Log file cannot be a symbolic link\n"},
      {"fifo", 1, ") failed\nzyg-nox error: No such device or address\n"},
  };
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  std::string target = dir_.file("target");
  zyg_test::write_file(target, "keep\n");
  ASSERT_EQ(chmod(target.c_str(), 0666), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A directory this user owns and the first process (user nobody) cannot
    // delete from.
    std::string sub = dir_.file(c.name);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string path = sub + "/run.log";
    if (strcmp(c.name, "file") == 0) {
      zyg_test::write_file(path, "an old log\n");
      ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    } else if (strcmp(c.name, "link") == 0) {
      ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else {
      ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
      ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    }
    snprintf(ld_.hdr()->log_file, sizeof ld_.hdr()->log_file, "%s", path.c_str());
    std::string out = sub + ".err";
    pid_t pid = fork();
    if (pid == 0) {
      alarm(5);  // a blocked open ends the child by SIGALRM
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      dup2(fd, 2);
      struct passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
        _exit(77);
      zyg::log_reset_for_test();
      zyg::log_open(true);
      _exit(zyg::log_on() ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot switch to user nobody";
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    std::string said = read_file(out);
    if (c.said[0] == '\0')
      EXPECT_EQ(said, "");
    else
      EXPECT_NE(said.find(c.said), std::string::npos) << said;
    if (strcmp(c.name, "file") == 0) {
      char banner[zyg::kLogBannerSize];
      int n = zyg::format_log_banner(banner, sizeof banner, ld_.hdr());
      EXPECT_EQ(read_file(path), std::string(banner, (size_t)n));
    }
    EXPECT_EQ(read_file(target), "keep\n");
  }
}

TEST_F(LogTest, UnwritableLogSuggestsTheWriteOption) {
  zyg::log_open(true);
  chmod(path_.c_str(), 0644);
  std::string out = dir_.file("stderr");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(fd, 2);
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(77);
    zyg::log_reset_for_test();
    zyg::log_open(false);
    _exit(zyg::log_on() ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot switch to user nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string text = read_file(out);
  EXPECT_NE(text.find("zyg-nox warning: Permission denied\n"
                      "zyg-nox warning: Try using the -w command line option\n"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, ClosedDescriptorIsReopenedAndAReusedNumberLeftAlone) {
  zyg::log_open(true);
  zyg::log_record("one");
  int fd = zyg_test::fd_open_on(path_);
  ASSERT_GE(fd, 3) << "kept off the standard descriptors";
  close(fd);
  zyg::log_record("two");  // closed: reopened
  int fd2 = zyg_test::fd_open_on(path_);
  ASSERT_GE(fd2, 0);
  close(fd2);
  std::string app = dir_.file("app.dat");
  int app_fd = open(app.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(app_fd, 0);
  if (app_fd != fd2) {
    ASSERT_EQ(dup2(app_fd, fd2), fd2);
    close(app_fd);
  }
  zyg::log_record("three");  // the number now belongs to the application
  close(fd2);
  EXPECT_EQ(read_file(app), "");
  EXPECT_TRUE(zyg::log_on());
  std::vector<std::string> lines = records();
  ASSERT_EQ(lines.size(), 5u);
  const char* msgs[] = {"one", "two", "three"};
  for (int i = 0; i < 3; i++) {
    Fields f;
    ASSERT_TRUE(parse_record(lines[2 + i], &f)) << lines[2 + i];
    EXPECT_EQ(trim(f.msg), msgs[i]);
  }
}

// The bytes of every write and writev call on one descriptor, as the
// kernel receives them: this program's definitions take the place of the C
// library's for the log code linked into it.
namespace {
int watched_fd = -1;
std::vector<std::string> watched_calls;

void watch(int fd, const struct iovec* iov, int count) {
  if (fd != watched_fd) return;
  std::string bytes;
  for (int i = 0; i < count; i++)
    bytes.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  watched_calls.push_back(bytes);
}
}  // namespace

extern "C" ssize_t writev(int fd, const struct iovec* iov, int count) {
  watch(fd, iov, count);
  return syscall(SYS_writev, fd, iov, count);
}

extern "C" ssize_t write(int fd, const void* buf, size_t len) {
  struct iovec part = {const_cast<void*>(buf), len};
  watch(fd, &part, 1);
  return syscall(SYS_write, fd, buf, len);
}

// Writers of one log file share no lock: a record stays whole only because
// it reaches the O_APPEND descriptor in one call.
TEST_F(LogTest, EachRecordIsOneWrite) {
  zyg::log_open(true);
  size_t banner = read_file(path_).size();
  watched_calls.clear();
  watched_fd = zyg_test::fd_open_on(path_);
  ASSERT_GE(watched_fd, 0);
  const std::string long_text(2 * zyg::kLogLineSize, 'x');  // cut at the line's size
  zyg::log_record("initial exec start");                    // with the column header
  zyg::log_record_parts("warning", ": ", "a report in three pieces");
  zyg::log_record(long_text.c_str());
  watched_fd = -1;
  ASSERT_EQ(watched_calls.size(), 3u);
  std::string all;
  for (size_t i = 0; i < watched_calls.size(); i++) {
    std::string call = watched_calls[i];
    all += call;
    if (i == 0) {
      ASSERT_EQ(call.compare(0, kColumnHeader.size() + 1, "\n" + kColumnHeader), 0) << call;
      call.erase(0, kColumnHeader.size() + 1);
    }
    // One whole record line per call.
    ASSERT_EQ(std::count(call.begin(), call.end(), '\n'), 1) << call;
    ASSERT_EQ(call.back(), '\n') << call;
    size_t entry = call.find(" | ");  // the entry number follows the timestamp
    ASSERT_NE(entry, std::string::npos) << call;
    EXPECT_EQ(atoi(call.c_str() + entry + 3), (int)i + 1) << call;
  }
  EXPECT_EQ(read_file(path_).substr(banner), all);
}

TEST_F(LogTest, ManyThreadsAndProcessesKeepLinesWholeAndNumbersUnique) {
  zyg::log_open(true);
  zyg::log_record("initial exec start");
  constexpr int kThreads = 4, kProcs = 3, kEach = 150;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < kEach; i++) zyg::log_record("child start in fork()");
      _exit(0);
    }
    kids.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([] {
      for (int i = 0; i < kEach; i++) zyg::log_record("child start in pthread_create() by user");
    });
  for (auto& t : threads) t.join();
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const int total = 1 + (kThreads + kProcs) * kEach;
  std::vector<std::string> lines = records();
  ASSERT_EQ(lines.size(), (size_t)total + 2);
  EXPECT_EQ(lines[1] + "\n", kColumnHeader);
  std::set<int> entries;
  std::set<int> pids;
  for (size_t i = 2; i < lines.size(); i++) {
    Fields f;
    ASSERT_TRUE(parse_record(lines[i], &f)) << "line " << i << ": " << lines[i];
    entries.insert(atoi(f.entry.c_str()));
    pids.insert(atoi(f.pid.c_str()));
    EXPECT_EQ(f.cmdline, own_cmdline());
  }
  EXPECT_EQ((int)entries.size(), total);
  EXPECT_EQ(*entries.begin(), 1);
  EXPECT_EQ(*entries.rbegin(), total);
  EXPECT_EQ(pids.size(), (size_t)kProcs + 1);
}

TEST_F(LogTest, ColumnHeaderOnceWhenTheFirstRecordsRace) {
  zyg::log_open(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      for (int i = 0; i < 50; i++) zyg::log_record("child start in clone()");
    });
  for (auto& t : threads) t.join();
  std::vector<std::string> lines = records();
  int headers = 0, recs = 0;
  for (const std::string& l : lines) {
    Fields f;
    if (l + "\n" == kColumnHeader)
      headers++;
    else if (parse_record(l, &f))
      recs++;
    else
      EXPECT_EQ(l, "") << "only the empty line before the header";
  }
  EXPECT_EQ(headers, 1);
  EXPECT_EQ(recs, 200);
}

void* small_stack_reports(void*) {
  zyg::report_disable_cmd("Can't exec", EACCES, zyg::RC_EXEC, 1, "/bin/app");
  zyg::report_disable("Can't stat the data file", ENOENT, zyg::RC_STAT, 1);
  zyg::log_record("child start in pthread_create() by user");
  return nullptr;
}

TEST_F(LogTest, ReportsAndRecordsFitOnASmallThreadStack) {
  zyg::log_open(true);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
#if defined(__SANITIZE_ADDRESS__)
  size_t stack = 4 * PTHREAD_STACK_MIN;  // instrumented frames are several times larger
#else
  size_t stack = PTHREAD_STACK_MIN;
#endif
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stack), 0);
  pthread_t t;
  StderrCapture cap;
  ASSERT_EQ(pthread_create(&t, &attr, small_stack_reports, nullptr), 0);
  pthread_join(t, nullptr);
  cap.restore();
  pthread_attr_destroy(&attr);
  // A disabling report carries its error text inside the message: two records.
  EXPECT_EQ(ld_.hdr()->log_entry_cnt, 5u);
}

TEST_F(LogTest, ReportsAreCopiedUnlessTheirCodeIsLogOrNodesOrFatal) {
  zyg::log_open(true);
  StderrCapture cap;
  zyg::report_warning("open(/x) failed", 13, zyg::RC_MEMFREE);
  zyg::report_warning("not copied", 0, zyg::RC_LOG);
  zyg::report_warning("not copied", 0, zyg::RC_LAUNCH_NODES);
  zyg::report_warning("not copied", 0, zyg::RC_FATAL);
  zyg::report_recovering("recovered", zyg::RC_BIND_NODE);
  zyg::report_disable("Can't stat the data file", ENOENT, zyg::RC_STAT, 777);
  cap.restore();
  std::vector<std::string> lines = records();
  std::vector<std::string> msgs;
  for (size_t i = 2; i < lines.size(); i++) {
    Fields f;
    ASSERT_TRUE(parse_record(lines[i], &f)) << "one record per line: " << lines[i];
    msgs.push_back(trim(f.msg));
  }
  std::string pid = std::to_string(getpid());
  std::vector<std::string> expect = {
      "warning: PID " + pid + " is ...",
      "warning: open(/x) failed",
      "warning: Permission denied",
      "warning: PID " + pid + " is recovering...",
      "warning: recovered",
      "warning: PID " + pid + " is disabling launch...",
      // The multi-line message stays on one line of the log.
      "warning:  zyg-nox warning: Can't stat the data file: No such file or directory zyg-nox "
      "warning:     Launch policies will be disabled for PID: 777 zyg-nox warning:     and all "
      "of its children. zyg-nox warning:     Resetting initial launch nodes if possible.",
  };
  EXPECT_EQ(msgs, expect);
}

}  // namespace
