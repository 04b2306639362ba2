// The launch data file: its binary layout, the checks an attaching process
// applies to a file named by the environment, creating and attaching on
// /dev/shm, and the readable dump.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/ldata.h"
#include "core/membership.h"
#include "placement/policy.h"
#include "shared/launch_id.h"
#include "shared/names.h"
#include "start/config.h"
#include "start/datafile.h"

namespace {

using namespace zyg;

// --- test helpers -----------------------------------------------------------

// A zeroed, page-aligned buffer holding a sound layout for n nodes.
struct image {
  void* mem = nullptr;
  size_t size = 0;
  ldata_hdr* hdr() { return static_cast<ldata_hdr*>(mem); }
  l_node* nodes() { return reinterpret_cast<l_node*>(static_cast<char*>(mem) + 2048); }
  explicit image(int n, size_t bytes = 0) {
    size = bytes ? bytes : ldata_file_size(n);
    mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ldata_hdr* h = hdr();
    size_t t = 4 + (size_t)n * 1032;
    h->version = 1;
    h->l_nodes_offset = 2048;
    h->proc_tree_offset = (uint32_t)(2048 + n * 1288);
    h->thrd_tree_offset = (uint32_t)(h->proc_tree_offset + t);
    h->proc_log_offset = (uint32_t)(h->proc_tree_offset + 2 * t);
    h->thrd_log_offset = (uint32_t)(h->proc_tree_offset + 3 * t);
    h->config_node_cnt = n;
    h->avail_node_cnt = n;
    h->possible_cpu_cnt = 64;
    h->possible_node_cnt = 64;
    h->config_cpu_cnt = 4;
    for (int i = 0; i < n; i++) {
      nodes()[i].node_id = i;
      nodes()[i].num_cpus = 1;
    }
    h->initial_pid = 4321;
  }
  ~image() { munmap(mem, size); }
};

std::string read_all(int fd) {
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  return out;
}

std::string dump_to_string(const ldata_view* v) {
  int fd = memfd_create("dump", 0);
  EXPECT_GE(fd, 0);
  dump_ldata_view(v, fd);
  std::string s = read_all(fd);
  close(fd);
  return s;
}

std::string temp_path(const char* tag) {
  return "/dev/shm/zyg-nox-test." + std::to_string(getpid()) + "." + tag;
}

// The identity the files these tests write carry, and the one a test
// process attaches with.
constexpr launch_id kTestId = {0, {0x0123456789abcdefull, 0xfedcba9876543210ull}};

// The tags a file of the launch kTestId carries, written into a header.
void seal(void* data, size_t size) {
  if (size < sizeof(ldata_hdr)) return;
  launch_id id = kTestId;
  id.uid = (uint32_t)geteuid();
  auto* h = static_cast<ldata_hdr*>(data);
  h->id_tag = launch_id_tag(id, h->initial_pid);
  h->content_tag = member_content_tag(h, id);
  member_set_identity(id);
}

// Writes the bytes as a file of the test launch (sealed, unless unsealed).
void write_file(const std::string& path, void* data, size_t size, bool sealed = true) {
  if (sealed) seal(data, size);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ((ssize_t)size, write(fd, data, size));
  close(fd);
}

void forget_view() {
  if (ld.hdr) munmap(ld.hdr, ld.size);
  if (ld.fd >= 0) close(ld.fd);
  memset(&ld, 0, sizeof ld);
  ld.fd = -1;
}

// --- layout -----------------------------------------------------------------

TEST(Layout, FileSizes) {
  EXPECT_EQ(1036u, table_size(1));
  EXPECT_EQ(7480u, ldata_file_size(1));
  EXPECT_EQ(23728u, ldata_file_size(4));
  EXPECT_EQ(45392u, ldata_file_size(8));
}

TEST(Layout, HeaderFieldOffsets) {
  EXPECT_EQ(0u, offsetof(ldata_hdr, version));
  EXPECT_EQ(4u, offsetof(ldata_hdr, l_nodes_offset));
  EXPECT_EQ(8u, offsetof(ldata_hdr, proc_tree_offset));
  EXPECT_EQ(12u, offsetof(ldata_hdr, thrd_tree_offset));
  EXPECT_EQ(16u, offsetof(ldata_hdr, proc_log_offset));
  EXPECT_EQ(20u, offsetof(ldata_hdr, thrd_log_offset));
  EXPECT_EQ(24u, offsetof(ldata_hdr, lib_loaded_cnt));
  EXPECT_EQ(28u, offsetof(ldata_hdr, avail_node_cnt));
  EXPECT_EQ(32u, offsetof(ldata_hdr, config_node_cnt));
  EXPECT_EQ(36u, offsetof(ldata_hdr, avail_cpu_cnt));
  EXPECT_EQ(40u, offsetof(ldata_hdr, config_cpu_cnt));
  EXPECT_EQ(44u, offsetof(ldata_hdr, cpu_launch));
  EXPECT_EQ(48u, offsetof(ldata_hdr, proc_kind));
  EXPECT_EQ(52u, offsetof(ldata_hdr, thrd_kind));
  EXPECT_EQ(56u, offsetof(ldata_hdr, proc_scope));
  EXPECT_EQ(60u, offsetof(ldata_hdr, thrd_scope));
  EXPECT_EQ(64u, offsetof(ldata_hdr, log_start_sec));
  EXPECT_EQ(72u, offsetof(ldata_hdr, log_start_usec));
  EXPECT_EQ(80u, offsetof(ldata_hdr, initial_pid));
  EXPECT_EQ(84u, offsetof(ldata_hdr, log_enabled));
  EXPECT_EQ(88u, offsetof(ldata_hdr, log_entry_cnt));
  EXPECT_EQ(92u, offsetof(ldata_hdr, file_mode));
  EXPECT_EQ(96u, offsetof(ldata_hdr, possible_cpu_cnt));
  EXPECT_EQ(100u, offsetof(ldata_hdr, possible_node_cnt));
  EXPECT_EQ(104u, offsetof(ldata_hdr, memfree_limit));
  EXPECT_EQ(108u, offsetof(ldata_hdr, lock_recoveries));
  EXPECT_EQ(112u, offsetof(ldata_hdr, memory_mode));
  EXPECT_EQ(116u, offsetof(ldata_hdr, unit_kind));
  EXPECT_EQ(120u, offsetof(ldata_hdr, unit_entry_cnt));
  EXPECT_EQ(124u, offsetof(ldata_hdr, creator));
  EXPECT_EQ(128u, offsetof(ldata_hdr, ldata_lock));
  EXPECT_EQ(132u, offsetof(ldata_hdr, ldata_lock.half.ns));
  EXPECT_EQ(136u, offsetof(ldata_hdr, mem_nodes_offset));
  EXPECT_EQ(140u, offsetof(ldata_hdr, spawn_serial));
  EXPECT_EQ(144u, offsetof(ldata_hdr, id_tag));
  EXPECT_EQ(152u, offsetof(ldata_hdr, content_tag));
  EXPECT_EQ(160u, offsetof(ldata_hdr, spawn_slots));
  EXPECT_EQ(288u, offsetof(ldata_hdr, reserved2));
  EXPECT_EQ(311u, offsetof(ldata_hdr, launch_nodes));
  EXPECT_EQ(568u, offsetof(ldata_hdr, data_file));
  EXPECT_EQ(633u, offsetof(ldata_hdr, log_file));
  EXPECT_EQ(890u, offsetof(ldata_hdr, error_file));
  EXPECT_EQ(1147u, offsetof(ldata_hdr, lib64));
  EXPECT_EQ(1404u, offsetof(ldata_hdr, lib32));
  EXPECT_EQ(1661u, offsetof(ldata_hdr, lib32_64));
  EXPECT_EQ(1918u, offsetof(ldata_hdr, proc_policy_name));
  EXPECT_EQ(1983u, offsetof(ldata_hdr, thrd_policy_name));
  EXPECT_EQ(2048u, sizeof(ldata_hdr));
}

TEST(Layout, NodeEntryAndCounterOffsets) {
  EXPECT_EQ(0u, offsetof(l_node, node_id));
  EXPECT_EQ(4u, offsetof(l_node, num_cpus));
  EXPECT_EQ(8u, offsetof(l_node, cpulist));
  EXPECT_EQ(264u, offsetof(l_node, cpus));
  EXPECT_EQ(1288u, sizeof(l_node));
  EXPECT_EQ(0u, offsetof(node_rec, node_launched));
  EXPECT_EQ(4u, offsetof(node_rec, next_cpu_index));
  EXPECT_EQ(8u, offsetof(node_rec, cpu_launched));
  EXPECT_EQ(1032u, sizeof(node_rec));
  char buf[4 + 3 * 1032];
  auto* t = reinterpret_cast<node_table*>(buf);
  EXPECT_EQ(buf + 4, reinterpret_cast<char*>(table_node(t, 0)));
  EXPECT_EQ(buf + 4 + 2 * 1032, reinterpret_cast<char*>(table_node(t, 2)));
}

TEST(Layout, SetPointersFollowsTheHeaderOffsets) {
  image im(4);
  ldata_view v;
  memset(&v, 0, sizeof v);
  ldata_set_pointers(&v, im.mem, im.size);
  char* b = static_cast<char*>(im.mem);
  EXPECT_EQ(b, reinterpret_cast<char*>(v.hdr));
  EXPECT_EQ(b + 2048, reinterpret_cast<char*>(v.l_nodes));
  EXPECT_EQ(b + 2048 + 4 * 1288, reinterpret_cast<char*>(v.proc_tree));
  EXPECT_EQ(b + 2048 + 4 * 1288 + 4132, reinterpret_cast<char*>(v.thrd_tree));
  EXPECT_EQ(b + 2048 + 4 * 1288 + 2 * 4132, reinterpret_cast<char*>(v.proc_log));
  EXPECT_EQ(b + 2048 + 4 * 1288 + 3 * 4132, reinterpret_cast<char*>(v.thrd_log));
  EXPECT_EQ(b + im.size, reinterpret_cast<char*>(v.thrd_log) + table_size(4));
  EXPECT_EQ(im.size, v.size);
}

// A memory mode other than local: one int32 per l_nodes entry right after
// thrd_log, its offset in the header, and a view that points at it; a local
// layout writes neither field and has no section.
TEST(Layout, MemNodesSectionOnlyUnderAMemoryMode) {
  for (uint32_t mode : {0u, 1u, 2u}) {
    const size_t size = ldata_file_size_for(3, mode != 0);
    std::vector<uint64_t> buf((size + 7) / 8, 0);
    auto* h = reinterpret_cast<ldata_hdr*>(buf.data());
    ldata_write_layout(h, 3, 0, mode);
    EXPECT_EQ(mode, h->memory_mode);
    EXPECT_EQ(mode != 0 ? ldata_file_size(3) : 0u, h->mem_nodes_offset);
    EXPECT_EQ(ldata_file_size(3) + (mode != 0 ? 12u : 0u), size);
    ldata_view v;
    memset(&v, 0, sizeof v);
    ldata_set_pointers(&v, buf.data(), size);
    EXPECT_EQ(mode, v.memory_mode);
    EXPECT_EQ(mode != 0 ? reinterpret_cast<char*>(v.thrd_log) + table_size(3) : nullptr,
              reinterpret_cast<const char*>(v.mem_nodes));
  }
}

TEST(Tables, ClearAndAlloc) {
  node_table* t = table_alloc(3);
  ASSERT_NE(nullptr, t);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(0, table_node(t, i)->node_launched);
    EXPECT_EQ(0, table_node(t, i)->cpu_launched[255]);
  }
  t->next_node_index = 2;
  table_node(t, 0)->node_launched = 5;
  table_node(t, 1)->next_cpu_index = 7;
  table_node(t, 2)->cpu_launched[255] = 9;
  table_clear(t, 3);
  EXPECT_EQ(0, t->next_node_index);
  EXPECT_EQ(0, table_node(t, 0)->node_launched);
  EXPECT_EQ(0, table_node(t, 1)->next_cpu_index);
  EXPECT_EQ(0, table_node(t, 2)->cpu_launched[255]);
}

// --- validation -------------------------------------------------------------

TEST(Validate, AcceptsASoundLayout) {
  for (int n : {1, 2, 4, 8}) {
    image im(n);
    EXPECT_EQ(0, ldata_validate(im.hdr(), im.size)) << n << " nodes";
  }
  image none_avail(2);
  none_avail.hdr()->avail_node_cnt = 0;
  EXPECT_EQ(0, ldata_validate(none_avail.hdr(), none_avail.size));
}

TEST(Validate, RefusesAWrongSize) {
  image im(2);
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size - 1));
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size + 1));
  EXPECT_EQ(-1, ldata_validate(im.hdr(), ldata_file_size(1)));
  EXPECT_EQ(-1, ldata_validate(im.hdr(), 100));
}

// The mem_nodes section: accepted with its mode, size and offset; refused
// when any of them disagrees or an entry names no possible node.
struct mem_case {
  const char* name;
  uint32_t mode;
  int size_delta;    // bytes beyond a file with the section
  int offset_delta;  // added to mem_nodes_offset
  int32_t entry;     // value of entry 0
  int want;
};

class ValidateMemNodes : public testing::TestWithParam<mem_case> {};

TEST_P(ValidateMemNodes, ChecksTheSection) {
  const mem_case& c = GetParam();
  image im(2, ldata_file_size_for(2, true) + (size_t)c.size_delta);
  im.hdr()->memory_mode = c.mode;
  im.hdr()->mem_nodes_offset = (uint32_t)((int)ldata_file_size(2) + c.offset_delta);
  auto* mem = reinterpret_cast<int32_t*>(static_cast<char*>(im.mem) + ldata_file_size(2));
  mem[0] = c.entry;
  mem[1] = -1;
  EXPECT_EQ(c.want, ldata_validate(im.hdr(), im.size));
}

INSTANTIATE_TEST_SUITE_P(Cases, ValidateMemNodes,
                         testing::Values(mem_case{"nearest", 1, 0, 0, 3, 0},
                                         mem_case{"interleave", 2, 0, 0, -1, 0},
                                         mem_case{"unknown_mode", 3, 0, 0, 3, -1},
                                         mem_case{"local_with_section", 0, 0, 0, 3, -1},
                                         mem_case{"short_file", 1, -4, 0, 3, -1},
                                         mem_case{"moved_offset", 1, 0, 4, 3, -1},
                                         mem_case{"entry_too_big", 1, 0, 0, 64, -1},
                                         mem_case{"entry_negative", 1, 0, 0, -2, -1}),
                         [](const testing::TestParamInfo<mem_case>& i) {
                           return std::string(i.param.name);
                         });

TEST(Validate, RefusesABadNodeCount) {
  for (int n : {0, -1, 5000}) {
    image im(1);
    im.hdr()->config_node_cnt = n;
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size)) << n;
  }
  // A count that matches a forged size is still refused beyond the limit.
  image big(1, ldata_file_size(5000));
  big.hdr()->config_node_cnt = 5000;
  EXPECT_EQ(-1, ldata_validate(big.hdr(), big.size));
}

// L3 units: the layout has unit_entry_cnt entries (more than the nodes
// here); the bounds keep both counts. A node-unit file never gives its own.
struct UnitCase {
  uint32_t kind;
  int entries;
  int valid;
};

class ValidateUnits : public testing::TestWithParam<UnitCase> {};

TEST_P(ValidateUnits, EntryCountAndKind) {
  const UnitCase c = GetParam();
  image im(6);  // the layout of six entries
  im.hdr()->config_node_cnt = 2;
  im.hdr()->unit_kind = c.kind;
  im.hdr()->unit_entry_cnt = c.entries;
  im.hdr()->avail_node_cnt = 4;
  EXPECT_EQ(c.valid, ldata_validate(im.hdr(), im.size));
  if (c.valid != 0) return;
  ldata_view v = {};
  ldata_set_pointers(&v, im.mem, im.size);
  EXPECT_EQ(6, v.b.entry_cnt);
  EXPECT_EQ(2, v.b.node_id_cnt);
  EXPECT_EQ((uint32_t)UNIT_L3, v.b.unit_kind);
}

INSTANTIATE_TEST_SUITE_P(Cases, ValidateUnits,
                         testing::Values(UnitCase{UNIT_L3, 6, 0}, UnitCase{UNIT_L3, 5, -1},
                                         UnitCase{UNIT_L3, 0, -1}, UnitCase{UNIT_NODE, 6, -1},
                                         UnitCase{2, 6, -1}, UnitCase{UNIT_L3, -6, -1}));

TEST(Validate, RefusesEachWrongOffset) {
  uint32_t ldata_hdr::*fields[] = {&ldata_hdr::l_nodes_offset, &ldata_hdr::proc_tree_offset,
                                   &ldata_hdr::thrd_tree_offset, &ldata_hdr::proc_log_offset,
                                   &ldata_hdr::thrd_log_offset};
  for (auto f : fields) {
    image im(2);
    im.hdr()->*f += 4;
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
    im.hdr()->*f -= 8;
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  }
}

TEST(Validate, RefusesAvailNodeCountOutOfRange) {
  image im(2);
  im.hdr()->avail_node_cnt = 3;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.hdr()->avail_node_cnt = -1;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
}

TEST(Validate, RefusesNumCpusOutOfRangeInUsedEntries) {
  image im(3);
  im.hdr()->avail_node_cnt = 2;
  im.nodes()[1].num_cpus = 256;
  EXPECT_EQ(0, ldata_validate(im.hdr(), im.size));
  im.nodes()[1].num_cpus = 257;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.nodes()[1].num_cpus = -1;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.nodes()[1].num_cpus = 0;
  EXPECT_EQ(0, ldata_validate(im.hdr(), im.size));
  // Entries past avail_node_cnt are not in use.
  im.nodes()[2].num_cpus = 9999;
  im.nodes()[2].node_id = -1;
  EXPECT_EQ(0, ldata_validate(im.hdr(), im.size));
}

TEST(Validate, RefusesCountsThatSizeMasksBadly) {
  image im(1);
  im.hdr()->possible_cpu_cnt = 0;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.hdr()->possible_cpu_cnt = -5;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.hdr()->possible_cpu_cnt = 64;
  im.hdr()->possible_node_cnt = 0;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.hdr()->possible_node_cnt = 64;
  im.nodes()[0].node_id = 64;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  im.nodes()[0].node_id = -1;
  EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
}

TEST(Validate, RefusesUnterminatedTexts) {
  {
    image im(1);
    memset(im.hdr()->launch_nodes, '1', sizeof im.hdr()->launch_nodes);
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  }
  {
    image im(1);
    memset(im.hdr()->thrd_policy_name, 'x', sizeof im.hdr()->thrd_policy_name);
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  }
  {
    image im(1);
    memset(im.nodes()[0].cpulist, '0', sizeof im.nodes()[0].cpulist);
    EXPECT_EQ(-1, ldata_validate(im.hdr(), im.size));
  }
}

// --- attaching --------------------------------------------------------------

TEST(Attach, MapsASoundFileAndSetsTheView) {
  forget_view();
  image im(2);
  strcpy(im.hdr()->data_file, "/dev/shm/zyg-nox.1");
  std::string path = temp_path("good");
  write_file(path, im.mem, im.size);
  ASSERT_EQ(0, ldata_attach(path.c_str()));
  ASSERT_NE(nullptr, ld.hdr);
  EXPECT_EQ(im.size, ld.size);
  EXPECT_EQ(2, ld.hdr->config_node_cnt);
  EXPECT_STREQ("/dev/shm/zyg-nox.1", ld.hdr->data_file);
  EXPECT_EQ(reinterpret_cast<char*>(ld.hdr) + 2048, reinterpret_cast<char*>(ld.l_nodes));
  EXPECT_EQ(reinterpret_cast<char*>(ld.hdr) + im.hdr()->thrd_log_offset,
            reinterpret_cast<char*>(ld.thrd_log));
  EXPECT_GE(ld.fd, 0);
  EXPECT_NE(0, fcntl(ld.fd, F_GETFD) & FD_CLOEXEC);
  // The mapping is shared with the file.
  ld.hdr->lib_loaded_cnt = 42;
  msync(ld.hdr, ld.size, MS_SYNC);
  int fd = open(path.c_str(), O_RDONLY);
  int32_t cnt = 0;
  EXPECT_EQ(4, pread(fd, &cnt, 4, 24));
  EXPECT_EQ(42, cnt);
  close(fd);
  forget_view();
  unlink(path.c_str());
}

TEST(Attach, RefusesUnusableFiles) {
  forget_view();
  std::string path = temp_path("bad");

  EXPECT_EQ(-1, ldata_attach("/dev/shm/zyg-nox-test-no-such-file"));

  char small[100] = {1};
  write_file(path, small, sizeof small, false);
  EXPECT_EQ(-1, ldata_attach(path.c_str())) << "shorter than a header";

  write_file(path, small, 0);
  EXPECT_EQ(-1, ldata_attach(path.c_str())) << "empty";

  {
    image im(2);
    im.hdr()->version = 2;
    write_file(path, im.mem, im.size);
    EXPECT_EQ(-1, ldata_attach(path.c_str())) << "other version";
  }
  {
    image im(2);
    write_file(path, im.mem, im.size - 8);
    EXPECT_EQ(-1, ldata_attach(path.c_str())) << "truncated";
  }
  {
    image im(2);
    im.hdr()->avail_node_cnt = 7;
    write_file(path, im.mem, im.size);
    EXPECT_EQ(-1, ldata_attach(path.c_str())) << "avail_node_cnt";
  }
  {
    image im(2);
    im.nodes()[0].num_cpus = 1000;
    write_file(path, im.mem, im.size);
    EXPECT_EQ(-1, ldata_attach(path.c_str())) << "num_cpus";
  }
  EXPECT_EQ(-1, ldata_attach("/dev/shm")) << "a directory";

  image im(1);
  write_file(path, im.mem, im.size);
  std::string link = temp_path("link");
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  EXPECT_EQ(-1, ldata_attach(link.c_str())) << "a symbolic link";

  EXPECT_EQ(nullptr, ld.hdr);
  unlink(link.c_str());
  unlink(path.c_str());
}

// A FIFO (or a device) named as the data file is refused without being
// opened at all: opening one can block or act.
TEST(Attach, RefusesAFifoWithoutOpeningIt) {
  forget_view();
  std::string path = temp_path("fifo");
  unlink(path.c_str());
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(inotify_add_watch(in, path.c_str(), IN_OPEN), 0);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    _exit(ldata_attach(path.c_str()) == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  char buf[256];
  EXPECT_LT(read(in, buf, sizeof buf), 0) << "the FIFO was opened";
  close(in);
  unlink(path.c_str());
}

// What every process of the tree can write is read again on every choice:
// header counts and cursors rewritten after attach must never take an index
// outside the mapping. Forked, so that a stray access shows as a signal.
struct Rewrite {
  const char* name;
  int avail_node_cnt;
  int config_node_cnt;
  int next_node_index;
  int num_cpus;
  int next_cpu_index;
};

class AttachRewritten : public ::testing::TestWithParam<Rewrite> {};

TEST_P(AttachRewritten, ChoicesStayInsideTheMapping) {
  const Rewrite w = GetParam();
  forget_view();
  image im(2);
  im.hdr()->proc_kind = KIND_RR;
  im.hdr()->proc_scope = SCOPE_TREE;
  im.hdr()->thrd_kind = KIND_RR;
  im.hdr()->thrd_scope = SCOPE_TREE;
  im.hdr()->cpu_launch = 1;
  std::string path = temp_path(w.name);
  write_file(path, im.mem, im.size);
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    if (ldata_attach(path.c_str()) != 0) _exit(2);
    choose_tables();
    ld.hdr->avail_node_cnt = w.avail_node_cnt;
    ld.hdr->config_node_cnt = w.config_node_cnt;
    ld.proc->next_node_index = w.next_node_index;
    ld.thrd->next_node_index = w.next_node_index;
    ld.l_nodes[0].num_cpus = w.num_cpus;
    ld.l_nodes[1].num_cpus = w.num_cpus;
    table_node(ld.proc, 0)->next_cpu_index = w.next_cpu_index;
    table_node(ld.proc, 1)->next_cpu_index = w.next_cpu_index;
    for (int i = 0; i < 8; i++) {
      launch_choice c = get_proc_launch();
      if (c.unit != 0 && c.unit != 1) _exit(3);
      launch_choice t = get_thrd_launch();
      if (t.unit != 0 && t.unit != 1) _exit(4);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  if (WIFEXITED(status)) {
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
  unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Header, AttachRewritten,
                         ::testing::Values(Rewrite{"avail_big", 100000, 2, 0, 1, 0},
                                           Rewrite{"both_big", 100000, 100000, 99999, 1, 0},
                                           Rewrite{"negative", -5, -5, -7, 1, 0},
                                           Rewrite{"cursor_big", 2, 2, 1 << 30, 1, 0},
                                           Rewrite{"cpus_big", 100000, 100000, 5, 100000, 1 << 30}),
                         [](const ::testing::TestParamInfo<Rewrite>& i) {
                           return std::string(i.param.name);
                         });

// A file that is not this launch's is never joined, whatever its content:
// one line, and the program runs unplaced.
struct Stranger {
  const char* name;
  void (*spoil)(image* im, const std::string& path);
  const char* line;
};

class AttachRefusesStrangers : public ::testing::TestWithParam<Stranger> {};

TEST_P(AttachRefusesStrangers, WithOneLine) {
  const Stranger& c = GetParam();
  forget_view();
  image im(2);
  std::string path = temp_path(c.name);
  write_file(path, im.mem, im.size);
  c.spoil(&im, path);
  pid_t pid = fork();
  if (pid == 0) {
    int fds[2];
    if (pipe(fds) != 0) _exit(3);
    dup2(fds[1], 2);
    int r = ldata_attach(path.c_str());
    char text[4096] = {0};
    close(2);
    close(fds[1]);
    ssize_t n = read(fds[0], text, sizeof text - 1);
    _exit(r == -1 && n > 0 && strstr(text, c.line) != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
  unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Files, AttachRefusesStrangers,
                         ::testing::Values(Stranger{"other_owner",
                                                    [](image*, const std::string& p) {
                                                      ASSERT_EQ(0, chown(p.c_str(), 65534, 65534));
                                                    },
                                                    "is owned by another user"},
                                           Stranger{"other_launch",
                                                    [](image* im, const std::string& p) {
                                                      // A sound file of another launch (another
                                                      // key).
                                                      launch_id other = kTestId;
                                                      other.key[0] ^= 1;
                                                      im->hdr()->id_tag = launch_id_tag(
                                                          other, im->hdr()->initial_pid);
                                                      write_file(p, im->mem, im->size, false);
                                                    },
                                                    "belongs to another launch"},
                                           Stranger{"rewritten_library",
                                                    [](image* im, const std::string& p) {
                                                      // The identity kept, a path changed by
                                                      // someone without the key.
                                                      strcpy(im->hdr()->lib64, "/tmp/planted.so");
                                                      write_file(p, im->mem, im->size, false);
                                                    },
                                                    "belongs to another launch"}),
                         [](const ::testing::TestParamInfo<Stranger>& i) {
                           return std::string(i.param.name);
                         });

// --- starting and creating -----------------------------------------------------

// The launch's file when the library starts it by hand: the mode whatever the
// umask, an empty header with the identity, the environment, and the anchor
// that every exec'd program inherits holding the launch's lock.
TEST(Create, StartedByHand) {
  forget_view();
  mode_t old = umask(077);
  char path[65];
  start_launch_by_hand(0664, getpid(), path);
  umask(old);
  std::string expect = "/dev/shm/zyg-nox." + std::to_string(getpid());
  EXPECT_EQ(0, strncmp(path, expect.c_str(), expect.size())) << path;
  struct stat st;
  ASSERT_EQ(0, stat(path, &st));
  EXPECT_EQ(0664u, st.st_mode & 07777) << "the umask must not decide the mode";
  EXPECT_EQ((off_t)sizeof(ldata_hdr), st.st_size);
  ASSERT_NE(nullptr, getenv(kEnvDataFile));
  EXPECT_STREQ(path, getenv(kEnvDataFile));
  launch_id id;
  ASSERT_TRUE(launch_id_parse(getenv(kEnvLaunchId), &id));
  EXPECT_EQ((uint32_t)geteuid(), id.uid);
  // The anchor: 100 or above, open across exec, holding the shared lock.
  int anchor = -1;
  for (int fd = 100; fd < 200 && anchor < 0; fd++) {
    struct stat a;
    if (fstat(fd, &a) == 0 && a.st_ino == st.st_ino && a.st_dev == st.st_dev) anchor = fd;
  }
  ASSERT_GE(anchor, 100);
  EXPECT_EQ(0, fcntl(anchor, F_GETFD) & FD_CLOEXEC);
  int probe = open(path, O_RDONLY);
  EXPECT_NE(0, flock(probe, LOCK_EX | LOCK_NB)) << "the launch holds its lock";
  close(anchor);
  EXPECT_EQ(0, flock(probe, LOCK_EX | LOCK_NB)) << "and nothing else does";
  close(probe);
  unlink(path);
  unsetenv(kEnvDataFile);
  unsetenv(kEnvLaunchId);
}

// The first program that opens the empty file claims and fills it; any other
// waits for the version and attaches to what the first one wrote.
TEST(Create, FirstOpenerClaimsOthersAttach) {
  forget_view();
  launch_id id;
  launch_id_make(&id, (uint32_t)geteuid());
  member_set_identity(id);
  char path[65];
  int anchor = launch_file_create(id, getpid(), 0664, path, sizeof path);
  ASSERT_GE(anchor, 0);
  ASSERT_EQ(1, ldata_open(path, getpid(), true)) << "claimed";
  EXPECT_EQ(getpid(), ld.hdr->creator);
  launch_config cfg;
  clear_config(&cfg);
  cfg.file_mode = 0664;
  snprintf(cfg.data_file, sizeof cfg.data_file, "%s", path);
  snprintf(cfg.lib64, sizeof cfg.lib64, "%s", "/usr/lib64/libzyg-nox.so.1.0.4");
  create_launch_data(&cfg, nullptr);
  EXPECT_EQ(0u, ld.hdr->version) << "attaching programs wait until the launch is whole";
  // The topology, as start-up records it next.
  ld.hdr->possible_cpu_cnt = ld.hdr->possible_node_cnt = 64;
  ld.hdr->config_cpu_cnt = 4;
  ld.hdr->avail_node_cnt = 1;
  ld.l_nodes[0].node_id = 0;
  ld.l_nodes[0].num_cpus = 1;
  EXPECT_EQ(getpid(), ld.hdr->initial_pid) << "the starter's pid is kept";
  struct stat st;
  ASSERT_EQ(0, stat(path, &st));
  EXPECT_EQ((off_t)ld.size, st.st_size);
  EXPECT_GE(st.st_blocks * 512, st.st_size) << "blocks are reserved";
  auto other = [&](bool may_claim) {
    pid_t pid = fork();
    if (pid == 0) {
      memset(&ld, 0, sizeof ld);
      _exit(ldata_open(path, getpid(), may_claim) + 10);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) - 10 : -100;
  };
  ldata_set_ready_waits_for_test(0);
  EXPECT_EQ(-1, other(true)) << "claimed by another: not ready yet, and no second claim";
  ldata_mark_ready();
  EXPECT_EQ(1u, ld.hdr->version);
  EXPECT_EQ(0, other(true)) << "whole: attached";
  ldata_set_ready_waits_for_test(2000);
  forget_view();
  close(anchor);
  unlink(path);
}

// On a file system without room for the file, filling it must end with the
// truncate report (status 1), not with SIGBUS at the first touch of a page.
TEST(Create, FullShmIsAReportNotABusError) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=4k") != 0)
      _exit(77);
    char path[65];
    start_launch_by_hand(0664, getpid(), path);
    if (ldata_open(path, getpid(), true) != 1) _exit(78);
    // The empty header fits in the one page there is; the launch does not.
    launch_config cfg;
    clear_config(&cfg);
    create_launch_data(&cfg, nullptr);
    table_clear(ld.thrd_log, ld.b.entry_cnt);  // touch every page of the file
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a small tmpfs";
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(1, WEXITSTATUS(status));
}

// --- dump -------------------------------------------------------------------

struct crafted {
  image im{2};
  ldata_view v;
  node_table* proc_flat;
  crafted(int cpus0, int cpus1) {
    memset(&v, 0, sizeof v);
    ldata_set_pointers(&v, im.mem, im.size);
    v.fd = -1;
    ldata_hdr* h = v.hdr;
    strcpy(h->lib64, "/usr/lib64/libzyg-nox.so.1.0.4");
    strcpy(h->proc_policy_name, "rr_tree");
    strcpy(h->thrd_policy_name, "rr_flat");
    strcpy(h->launch_nodes, "0,1");
    strcpy(h->data_file, "/dev/shm/zyg-nox.77");
    strcpy(h->log_file, "/tmp/run.log");
    h->initial_pid = 77;
    h->config_cpu_cnt = 18;
    h->avail_cpu_cnt = cpus0 + cpus1;
    h->lib_loaded_cnt = 3;
    l_node* n = v.l_nodes;
    n[0].node_id = 0;
    n[0].num_cpus = cpus0;
    for (int c = 0; c < cpus0; c++) n[0].cpus[c] = (uint32_t)c;
    n[1].node_id = 1;
    n[1].num_cpus = cpus1;
    for (int c = 0; c < cpus1; c++) n[1].cpus[c] = (uint32_t)(100 + c);
    proc_flat = table_alloc(2);
    v.proc_flat = proc_flat;
    v.proc = v.proc_tree;
    v.thrd = proc_flat;  // any table: only its node_launched is compared
  }
  ~crafted() { munmap(proc_flat, table_size(2)); }
};

const char kDumpHead[] =
    "\n*** Shm data vers   == 1\n"
    "*** 64-bit Library  == /usr/lib64/libzyg-nox.so.1.0.4\n"
    "*** 32-bit Library  == \n"
    "*** Process Launch  == rr_tree\n"
    "*** Thread Launch   == rr_flat\n";

const char kDumpConfig[] =
    "*** Launch Nodes    == 0,1\n"
    "*** Log File        == /tmp/run.log\n"
    "*** Error File      == \n"
    "*** Shm Data File   == /dev/shm/zyg-nox.77\n"
    "*** Initial Process == 77\n"
    "*** \n"
    "*** config_cpu_cnt  == 18\n"
    "*** config_node_cnt == 2\n";

TEST(Dump, WithoutCpuLaunch) {
  crafted c(2, 1);
  table_node(c.v.proc_tree, 0)->node_launched = 4;
  table_node(c.v.proc_log, 0)->node_launched = 6;
  table_node(c.v.thrd_tree, 1)->node_launched = 12345;
  table_node(c.proc_flat, 1)->node_launched = 2;
  c.v.proc_tree->next_node_index = 1;
  c.proc_flat->next_node_index = 0;
  std::string expect = std::string(kDumpHead) + "*** CPU Launch      == No\n" + kDumpConfig +
                       "*** avail_cpu_cnt   == 3\n"
                       "*** avail_node_cnt  == 2\n"
                       "*** \n"
                       "*** l_nodes[0].node_id  =   0\n"
                       "*** l_nodes[0].num_cpus =   2\n"
                       "*** proc_tree->node[0].node_launched  =       4\t    (proc_log = 6)\n"
                       "*** thrd_tree->node[0].node_launched  =       0\t    (thrd_log = 0)\n"
                       "*** proc_flat->node[0].node_launched  =       0\n"
                       "*** \n"
                       "*** l_nodes[1].node_id  =   1\n"
                       "*** l_nodes[1].num_cpus =   1\n"
                       "*** proc_tree->node[1].node_launched  =       0\t    (proc_log = 0)\n"
                       "*** thrd_tree->node[1].node_launched  =    12345\t    (thrd_log = 0)\n"
                       "*** proc_flat->node[1].node_launched  =       2\n"
                       "*** \n"
                       "*** proc->next_node_index ==  1     node ID == 1\n"
                       "*** thrd->next_node_index ==  0     node ID == 0\n"
                       "***\n"
                       "*** lib_loaded_cnt  == 3\n\n";
  EXPECT_EQ(expect, dump_to_string(&c.v));
}

TEST(Dump, CpuBlocksEightItemsPerLine) {
  crafted c(10, 8);
  c.v.hdr->cpu_launch = 1;
  c.v.thrd_flat = nullptr;
  c.v.proc_flat = nullptr;
  c.v.thrd = c.v.thrd_tree;
  node_rec* pt0 = table_node(c.v.proc_tree, 0);
  pt0->node_launched = 3;
  pt0->cpu_launched[0] = 1;
  pt0->cpu_launched[9] = 2;
  table_node(c.v.proc_log, 0)->node_launched = 3;  // equal: no proc_log block
  node_rec* tl0 = table_node(c.v.thrd_log, 0);
  tl0->node_launched = 1;  // differs from thrd: a thrd_log block
  tl0->cpu_launched[8] = 1;
  node_rec* pl1 = table_node(c.v.proc_log, 1);
  pl1->node_launched = 1;  // differs from proc_tree on node 1
  pl1->cpu_launched[7] = 1;
  c.v.proc_tree->next_node_index = 5;  // out of range: no node
  std::string expect = std::string(kDumpHead) + "*** CPU Launch      == Yes\n" + kDumpConfig +
                       "*** avail_cpu_cnt   == 18\n"
                       "*** avail_node_cnt  == 2\n"
                       "*** \n"
                       "*** l_nodes[0].node_id  =   0\n"
                       "*** l_nodes[0].num_cpus =  10\n"
                       "*** proc_tree->node[0].node_launched  =       3\t    (proc_log = 3)\n"
                       "*** thrd_tree->node[0].node_launched  =       0\t    (thrd_log = 1)\n"
                       "*** proc_tree->node[0].cpu_launched[]\n"
                       "***\t   0 (1)   1 (0)   2 (0)   3 (0)   4 (0)   5 (0)   6 (0)   7 (0)\n"
                       "***\t   8 (0)   9 (2)\n"
                       "*** thrd_tree->node[0].cpu_launched[]\n"
                       "***\t   0 (0)   1 (0)   2 (0)   3 (0)   4 (0)   5 (0)   6 (0)   7 (0)\n"
                       "***\t   8 (0)   9 (0)\n"
                       "*** thrd_log->node[0].cpu_launched[]\n"
                       "***\t   0 (0)   1 (0)   2 (0)   3 (0)   4 (0)   5 (0)   6 (0)   7 (0)\n"
                       "***\t   8 (1)   9 (0)\n"
                       "*** \n"
                       "*** l_nodes[1].node_id  =   1\n"
                       "*** l_nodes[1].num_cpus =   8\n"
                       "*** proc_tree->node[1].node_launched  =       0\t    (proc_log = 1)\n"
                       "*** thrd_tree->node[1].node_launched  =       0\t    (thrd_log = 0)\n"
                       "*** proc_tree->node[1].cpu_launched[]\n"
                       "***\t 100 (0) 101 (0) 102 (0) 103 (0) 104 (0) 105 (0) 106 (0) 107 (0)\n"
                       "*** proc_log->node[1].cpu_launched[]\n"
                       "***\t 100 (0) 101 (0) 102 (0) 103 (0) 104 (0) 105 (0) 106 (0) 107 (1)\n"
                       "*** thrd_tree->node[1].cpu_launched[]\n"
                       "***\t 100 (0) 101 (0) 102 (0) 103 (0) 104 (0) 105 (0) 106 (0) 107 (0)\n"
                       "*** \n"
                       "*** proc->next_node_index ==  5     node ID == -1\n"
                       "*** thrd->next_node_index ==  0     node ID == 0\n"
                       "***\n"
                       "*** lib_loaded_cnt  == 3\n\n";
  EXPECT_EQ(expect, dump_to_string(&c.v));
}

TEST(Dump, LongestTextsAreWrittenWhole) {
  crafted c(1, 1);
  ldata_hdr* h = c.v.hdr;
  std::string p256(256, 'p'), l256(256, 'l'), e256(256, 'e'), n256(256, '7'), d64(64, 'd'),
      q64(64, 'q');
  strcpy(h->lib64, p256.c_str());
  strcpy(h->lib32, p256.c_str());
  strcpy(h->log_file, l256.c_str());
  strcpy(h->error_file, e256.c_str());
  strcpy(h->launch_nodes, n256.c_str());
  strcpy(h->data_file, d64.c_str());
  strcpy(h->proc_policy_name, q64.c_str());
  strcpy(h->thrd_policy_name, q64.c_str());
  std::string out = dump_to_string(&c.v);
  EXPECT_NE(std::string::npos, out.find("*** 32-bit Library  == " + p256 + "\n"));
  EXPECT_NE(std::string::npos, out.find("*** Log File        == " + l256 + "\n"));
  EXPECT_NE(std::string::npos, out.find("*** Error File      == " + e256 + "\n"));
  EXPECT_NE(std::string::npos, out.find("*** Launch Nodes    == " + n256 + "\n"));
  EXPECT_NE(std::string::npos, out.find("*** Shm Data File   == " + d64 + "\n"));
  EXPECT_NE(std::string::npos, out.find("*** Thread Launch   == " + q64 + "\n"));
  EXPECT_EQ("*** lib_loaded_cnt  == 3\n\n", out.substr(out.size() - 26));
}

TEST(Dump, NothingWithoutLaunchData) {
  ldata_view v;
  memset(&v, 0, sizeof v);
  EXPECT_EQ("", dump_to_string(&v));
}

}  // namespace
