// ELF header checks on crafted files in a private temporary directory.
#include "shared/elf_check.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

class ElfCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-elf-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  static std::vector<unsigned char> header(int cls, int type) {
    std::vector<unsigned char> h(64, 0);
    h[0] = 0x7f;
    h[1] = 'E';
    h[2] = 'L';
    h[3] = 'F';
    h[4] = static_cast<unsigned char>(cls);
    h[5] = 1;
    h[6] = 1;
    h[16] = static_cast<unsigned char>(type & 0xff);
    h[17] = static_cast<unsigned char>(type >> 8);
    return h;
  }

  std::string write(const std::string& name, const std::vector<unsigned char>& data,
                    mode_t mode = 0755) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string dir_;
};

TEST_F(ElfCheck, ReadHeader) {
  unsigned char hdr[zyg::kElfHeaderSize];
  EXPECT_EQ(zyg::read_elf_header((dir_ + "/missing").c_str(), hdr), -1);
  EXPECT_EQ(zyg::read_elf_header(nullptr, hdr), -1);
  EXPECT_EQ(zyg::read_elf_header(write("short", std::vector<unsigned char>(63, 1)).c_str(), hdr), 0);
  auto h = header(2, 3);
  ASSERT_EQ(zyg::read_elf_header(write("ok", h).c_str(), hdr), 1);
  EXPECT_TRUE(zyg::elf_has_magic(hdr));
  EXPECT_EQ(zyg::elf_class(hdr), 2);
  EXPECT_EQ(zyg::elf_type(hdr), 3);
  h[17] = 1;  // the type is 16 bits wide
  ASSERT_EQ(zyg::read_elf_header(write("wide", h).c_str(), hdr), 1);
  EXPECT_EQ(zyg::elf_type(hdr), 0x103);
}

TEST_F(ElfCheck, Check32Bit) {
  EXPECT_EQ(zyg::elf_check32bit(write("e32", header(1, 2)).c_str()), 1);
  EXPECT_EQ(zyg::elf_check32bit(write("d32", header(1, 3)).c_str()), 0);  // 32-bit PIE
  EXPECT_EQ(zyg::elf_check32bit(write("e64", header(2, 2)).c_str()), 0);
  EXPECT_EQ(zyg::elf_check32bit(write("c3", header(3, 2)).c_str()), 0);
  auto bad = header(1, 2);
  bad[1] = 'e';
  EXPECT_EQ(zyg::elf_check32bit(write("magic", bad).c_str()), 0);
  auto cut = header(1, 2);
  cut.resize(63);
  EXPECT_EQ(zyg::elf_check32bit(write("cut", cut).c_str()), 0);
  EXPECT_EQ(zyg::elf_check32bit(""), 0);
  EXPECT_EQ(zyg::elf_check32bit(nullptr), 0);
  EXPECT_EQ(zyg::elf_check32bit((dir_ + "/missing").c_str()), 0);
}

TEST_F(ElfCheck, SharedLib) {
  EXPECT_EQ(zyg::check_shared_lib(write("so64", header(2, 3)).c_str()), 1);
  EXPECT_EQ(zyg::check_shared_lib(write("so32", header(1, 3)).c_str()), 2);
  EXPECT_EQ(zyg::check_shared_lib(write("so3", header(3, 3)).c_str()), 0);
  EXPECT_EQ(zyg::check_shared_lib(write("exec", header(2, 2)).c_str()), 0);
  EXPECT_EQ(zyg::check_shared_lib(write("short", std::vector<unsigned char>(10, 0)).c_str()), 0);
  EXPECT_EQ(zyg::check_shared_lib((dir_ + "/missing").c_str()), -1);
  // Unreadable files cannot be opened (root reads anything, so only as a user).
  if (geteuid() != 0) {
    EXPECT_EQ(zyg::check_shared_lib(write("noread", header(2, 3), 0).c_str()), -1);
  }
}

TEST_F(ElfCheck, IsElfBinary) {
  EXPECT_EQ(zyg::is_elf_binary(write("e32", header(1, 2)).c_str()), 1);
  EXPECT_EQ(zyg::is_elf_binary(write("e64", header(2, 2)).c_str()), 1);
  EXPECT_EQ(zyg::is_elf_binary(write("pie", header(2, 3)).c_str()), 0);
  EXPECT_EQ(zyg::is_elf_binary(write("c0", header(0, 2)).c_str()), 0);
  EXPECT_EQ(zyg::is_elf_binary(write("script", {'#', '!', '/', 'b'}).c_str()), 0);
}

TEST_F(ElfCheck, SetIdOwnedByCaller) {
  uid_t uid = getuid();
  gid_t gid = getgid();
  std::string p = write("own", header(2, 2), 04755);
  ASSERT_EQ(chown(p.c_str(), uid, gid), 0);
  ASSERT_EQ(chmod(p.c_str(), 06755), 0);
  EXPECT_EQ(zyg::is_setuid_exec(p.c_str()), 0);  // own user and own group
  EXPECT_EQ(zyg::is_setuid_exec(write("plain", header(2, 2), 0755).c_str()), 0);
  EXPECT_EQ(zyg::is_setuid_exec(""), 0);
  EXPECT_EQ(zyg::is_setuid_exec(nullptr), 0);
  EXPECT_EQ(zyg::is_setuid_exec((dir_ + "/missing").c_str()), 0);
}

TEST_F(ElfCheck, SetIdOfAnotherUserOrGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  const uid_t other = 65534;
  auto make = [&](const std::string& name, const std::vector<unsigned char>& data, uid_t uid,
                  gid_t gid, mode_t mode) {
    std::string p = write(name, data, 0755);
    EXPECT_EQ(chown(p.c_str(), uid, gid), 0);
    EXPECT_EQ(chmod(p.c_str(), mode), 0);
    return p;
  };
  EXPECT_EQ(zyg::is_setuid_exec(make("u64", header(2, 2), other, getgid(), 04755).c_str()), 1);
  EXPECT_EQ(zyg::is_setuid_exec(make("u32", header(1, 2), other, getgid(), 04755).c_str()), 1);
  EXPECT_EQ(zyg::is_setuid_exec(make("g64", header(2, 2), getuid(), other, 02755).c_str()), 1);
  // set-group-ID of the caller's own group, not set-user-ID: ordinary
  EXPECT_EQ(zyg::is_setuid_exec(make("gown", header(2, 2), other, getgid(), 02755).c_str()), 0);
  // another owner but no set-ID bit
  EXPECT_EQ(zyg::is_setuid_exec(make("nobit", header(2, 2), other, other, 0755).c_str()), 0);
  // position-independent and scripts are left to the kernel (a set-ID PIE
  // still leaves the tree: exec_ignores_preload)
  std::string pie = make("pie", header(2, 3), other, other, 06755);
  EXPECT_EQ(zyg::is_setuid_exec(pie.c_str()), 0);
  EXPECT_EQ(zyg::exec_ignores_preload(pie.c_str()), 1);
  EXPECT_EQ(zyg::exec_ignores_preload(make("pie_own", header(2, 3), getuid(), getgid(), 06755).c_str()), 0);
  EXPECT_EQ(zyg::is_setuid_exec(
                make("script", {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'}, other, other,
                     06755)
                    .c_str()),
            0);
  // not executable by anyone: access() fails even for root
  EXPECT_EQ(zyg::is_setuid_exec(make("noexec", header(2, 2), other, other, 04644).c_str()), 0);
}

// A 64-bit header with `types.size()` program headers of those p_type values
// right after it (e_phoff 64, e_phentsize 56).
std::vector<unsigned char> with_phdrs(int type, const std::vector<uint32_t>& types) {
  std::vector<unsigned char> h(64, 0);
  h[0] = 0x7f;
  h[1] = 'E';
  h[2] = 'L';
  h[3] = 'F';
  h[4] = 2;
  h[5] = 1;
  h[6] = 1;
  h[16] = static_cast<unsigned char>(type);
  h[32] = 64;  // e_phoff
  h[54] = 56;  // e_phentsize
  h[56] = static_cast<unsigned char>(types.size());
  for (uint32_t t : types) {
    std::vector<unsigned char> ph(56, 0);
    for (int i = 0; i < 4; i++) ph[i] = static_cast<unsigned char>(t >> (8 * i));
    h.insert(h.end(), ph.begin(), ph.end());
  }
  return h;
}

struct StaticCase {
  const char* name;
  int type;
  std::vector<uint32_t> phdrs;
  int cut;  // bytes cut off the end
  int want;
};

class ElfStatic : public ElfCheck, public ::testing::WithParamInterface<StaticCase> {};

TEST_P(ElfStatic, ProgramWithoutInterpreterIsStatic) {
  const StaticCase& c = GetParam();
  auto data = with_phdrs(c.type, c.phdrs);
  data.resize(data.size() - (size_t)c.cut);
  EXPECT_EQ(zyg::elf_is_static(write(c.name, data).c_str()), c.want);
}

// PT_LOAD 1, PT_DYNAMIC 2, PT_INTERP 3, PT_PHDR 6.
INSTANTIATE_TEST_SUITE_P(
    Headers, ElfStatic,
    ::testing::Values(StaticCase{"static_exec", 2, {6, 1, 1}, 0, 1},
                      StaticCase{"static_pie", 3, {6, 1, 2}, 0, 1},
                      StaticCase{"dynamic", 2, {6, 3, 1, 2}, 0, 0},
                      StaticCase{"dynamic_pie", 3, {6, 3, 1, 2}, 0, 0},
                      // the interpreter's entry in the second batch of eight
                      StaticCase{"late_interp", 3, {1, 1, 1, 1, 1, 1, 1, 1, 1, 3}, 0, 0},
                      StaticCase{"no_phdrs", 2, {}, 0, 0},
                      StaticCase{"cut_phdrs", 2, {1, 1}, 10, 0},
                      StaticCase{"object", 1, {1}, 0, 0}),
    [](const ::testing::TestParamInfo<StaticCase>& i) { return std::string(i.param.name); });

TEST_F(ElfCheck, ThirtyTwoBitPieLeavesTheTree) {
  EXPECT_EQ(zyg::elf_is_32bit_pie(write("d32", header(1, 3)).c_str()), 1);
  EXPECT_EQ(zyg::exec_ignores_preload(write("d32b", header(1, 3)).c_str()), 1);
  EXPECT_EQ(zyg::elf_is_32bit_pie(write("e32", header(1, 2)).c_str()), 0);
  EXPECT_EQ(zyg::elf_is_32bit_pie(write("d64", header(2, 3)).c_str()), 0);
  EXPECT_EQ(zyg::elf_is_32bit_pie(nullptr), 0);
}

TEST(ElfStaticReal, DynamicProgramsAndTheLoaderAreNotStatic) {
  EXPECT_EQ(zyg::elf_is_static("/bin/true"), 0);
  EXPECT_EQ(zyg::elf_is_static("/lib64/ld-linux-x86-64.so.2"), 0);
  EXPECT_EQ(zyg::elf_is_static(""), 0);
  EXPECT_EQ(zyg::elf_is_static(nullptr), 0);
  EXPECT_EQ(zyg::elf_is_static("/nonexistent/x"), 0);
}

// A file capability the caller does not hold puts the program into secure
// execution; one the caller holds already (root) does not.
TEST_F(ElfCheck, FileCapabilitiesThatRaiseThePermittedSet) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to set file capabilities";
  std::string p = write("capped", header(2, 3), 0755);
  EXPECT_EQ(zyg::elf_gains_capabilities(p.c_str()), 0) << "no capabilities";
  vfs_cap_data cap = {};
  cap.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  cap.data[0].permitted = 1u << CAP_NET_RAW;
  if (setxattr(p.c_str(), "security.capability", &cap, XATTR_CAPS_SZ_2, 0) != 0)
    GTEST_SKIP() << "file system without capabilities: errno " << errno;
  EXPECT_EQ(zyg::elf_gains_capabilities(p.c_str()), 0) << "root holds them all";
  EXPECT_EQ(zyg::exec_ignores_preload(p.c_str()), 0);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(zyg::elf_gains_capabilities(p.c_str()) == 1 && zyg::exec_ignores_preload(p.c_str()) == 1
              ? 0
              : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

// The exec path learns all three verdicts from one open: they must be the
// verdicts of the checks one by one, for every kind of file.
TEST_F(ElfCheck, OneOpenAgreesWithTheChecksOneByOne) {
  std::vector<std::string> paths = {
      write("e32", header(1, 2)),          write("d32", header(1, 3)),
      write("e64", header(2, 2)),          write("d64", header(2, 3)),
      write("c3", header(3, 2)),           write("script", {'#', '!', '/', 'b'}),
      write("static", with_phdrs(2, {6, 1, 1})),
      write("static_pie", with_phdrs(3, {6, 1, 2})),
      write("dynamic", with_phdrs(3, {6, 3, 1, 2})),
      "/bin/true", "/lib64/ld-linux-x86-64.so.2", dir_ + "/missing", ""};
  if (geteuid() == 0) {
    const uid_t other = 65534;
    struct Owned {
      const char* name;
      std::vector<unsigned char> data;
      uid_t uid;
      gid_t gid;
      mode_t mode;
    };
    for (const Owned& o : {Owned{"u64", header(2, 2), other, getgid(), 04755},
                           Owned{"g32", header(1, 2), getuid(), other, 02755},
                           Owned{"upie", header(2, 3), other, other, 06755},
                           Owned{"own_pie", header(2, 3), getuid(), getgid(), 06755},
                           Owned{"noexec", header(2, 2), other, other, 04644}}) {
      std::string path = write(o.name, o.data);
      EXPECT_EQ(chown(path.c_str(), o.uid, o.gid), 0);
      EXPECT_EQ(chmod(path.c_str(), o.mode), 0);
      paths.push_back(path);
    }
  }
  for (const std::string& path : paths) {
    zyg::exec_target t;
    zyg::check_exec_target(path.c_str(), &t);
    EXPECT_EQ(t.thirty_two, zyg::elf_check32bit(path.c_str())) << path;
    EXPECT_EQ(t.setid, zyg::is_setuid_exec(path.c_str())) << path;
    EXPECT_EQ(t.ignores_preload, zyg::exec_ignores_preload(path.c_str())) << path;
  }
}

// The checks make their system calls themselves: whatever they meet (a
// missing file, no capability attribute, a short read), the caller's errno
// stays as it was.
TEST_F(ElfCheck, ExecChecksLeaveErrnoAlone) {
  for (const std::string& path : {write("e64", header(2, 2)), write("short", {'#', '!'}),
                                  dir_ + "/missing", dir_, std::string("/bin/true")}) {
    errno = EDOM;
    zyg::exec_target t;
    zyg::check_exec_target(path.c_str(), &t);
    EXPECT_EQ(errno, EDOM) << path;
    unsigned char hdr[zyg::kElfHeaderSize];
    zyg::read_elf_header(path.c_str(), hdr);
    EXPECT_EQ(errno, EDOM) << path;
  }
}

}  // namespace
