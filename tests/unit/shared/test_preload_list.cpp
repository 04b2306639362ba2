// LD_PRELOAD list editing: removal of the two standard library paths in
// place, and appending of one item.
#include "shared/preload_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "shared/names.h"

namespace {

const std::string kRel = zyg::kReleaseLibPath;
const std::string kDbg = zyg::kDebugLibPath;

// Runs remove_launch_lib on a copy and checks that the freed tail is zeroed.
std::string removed(const std::string& text, int mode) {
  std::string buf = text;
  buf.push_back('\0');
  zyg::remove_launch_lib("LD_PRELOAD", buf.data(), mode);
  size_t len = strlen(buf.c_str());
  for (size_t i = len; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\0') << "at " << i;
  return std::string(buf.c_str());
}

std::string appended(const char* list, const char* item, int mode) {
  char* out = zyg::append_path_item(list, item, mode);
  EXPECT_NE(out, nullptr);
  std::string s = out != nullptr ? out : "";
  free(out);
  return s;
}

TEST(RemoveLaunchLib, ValueOnly) {
  const int m = zyg::kListValueOnly;
  EXPECT_EQ(removed(kRel, m), "");
  EXPECT_EQ(removed(kDbg, m), "");
  EXPECT_EQ(removed(kRel + " " + kDbg, m), "");
  EXPECT_EQ(removed(kRel + " /opt/a.so", m), "/opt/a.so");
  EXPECT_EQ(removed("/opt/a.so " + kRel, m), "/opt/a.so");
  EXPECT_EQ(removed("/opt/a.so:" + kRel + ":/opt/b.so", m), "/opt/a.so:/opt/b.so");
  EXPECT_EQ(removed("  :/opt/a.so::/opt/b.so ", m), "/opt/a.so:/opt/b.so");
  EXPECT_EQ(removed("/opt/a.so\t\n\v\f\r/opt/b.so", m), "/opt/a.so:/opt/b.so");
  EXPECT_EQ(removed("/opt/a.so", m), "/opt/a.so");
}

TEST(RemoveLaunchLib, OnlySeparatorsOrEmptyUnchanged) {
  EXPECT_EQ(removed(" : :", zyg::kListValueOnly), " : :");
  EXPECT_EQ(removed("", zyg::kListValueOnly), "");
  EXPECT_EQ(removed("LD_PRELOAD= :", zyg::kListWholeEntry), "LD_PRELOAD= :");
  EXPECT_EQ(removed("LD_PRELOAD=", zyg::kListWholeEntry), "LD_PRELOAD=");
}

TEST(RemoveLaunchLib, WholeEntry) {
  const int m = zyg::kListWholeEntry;
  EXPECT_EQ(removed("LD_PRELOAD=" + kRel, m), "LD_PRELOAD=");
  EXPECT_EQ(removed("LD_PRELOAD=" + kRel + " /opt/a.so", m), "LD_PRELOAD=/opt/a.so");
  EXPECT_EQ(removed("LD_PRELOAD=:/opt/a.so: ", m), "LD_PRELOAD=/opt/a.so");
  // the name is not part of the list, even if it looks like an element
  EXPECT_EQ(removed("LD_PRELOAD=a b", m), "LD_PRELOAD=a:b");
}

TEST(RemoveLaunchLib, ItemsComparedWhole) {
  const int m = zyg::kListValueOnly;
  EXPECT_EQ(removed(kRel + "x", m), kRel + "x");
  EXPECT_EQ(removed("x" + kRel, m), "x" + kRel);
  EXPECT_EQ(removed(kRel.substr(0, kRel.size() - 1), m), kRel.substr(0, kRel.size() - 1));
  std::string longitem = "/usr/lib64/" + std::string(300, 'l');
  EXPECT_EQ(removed(longitem + " " + kRel, m), longitem);
  EXPECT_EQ(removed(kRel + ":" + longitem + ":" + kRel, m), longitem);
}

TEST(RemoveLaunchLib, NullTextIgnored) {
  zyg::remove_launch_lib("LD_PRELOAD", nullptr, zyg::kListWholeEntry);
  SUCCEED();
}

TEST(AppendPathItem, Modes) {
  EXPECT_EQ(appended("LD_PRELOAD=", "/x.so", zyg::kListWholeEntry), "LD_PRELOAD=/x.so");
  EXPECT_EQ(appended("LD_PRELOAD=/a.so", "/x.so", zyg::kListWholeEntry), "LD_PRELOAD=/a.so:/x.so");
  EXPECT_EQ(appended("", "/x.so", zyg::kListValueOnly), "/x.so");
  EXPECT_EQ(appended("/a.so", "/x.so", zyg::kListValueOnly), "/a.so:/x.so");
  // '=' only matters for a whole entry
  EXPECT_EQ(appended("/a=", "/x.so", zyg::kListValueOnly), "/a=:/x.so");
}

TEST(AppendPathItem, RemoveThenAppendPutsLibraryLast) {
  std::string entry = "LD_PRELOAD=/opt/a.so " + kRel;
  entry.push_back('\0');
  zyg::remove_launch_lib("LD_PRELOAD", entry.data(), zyg::kListWholeEntry);
  EXPECT_EQ(appended(entry.c_str(), kRel.c_str(), zyg::kListWholeEntry),
            "LD_PRELOAD=/opt/a.so:" + kRel);
}

TEST(Separators, ColonAndWhiteSpace) {
  EXPECT_TRUE(zyg::is_list_separator(':'));
  EXPECT_TRUE(zyg::is_list_separator(' '));
  EXPECT_TRUE(zyg::is_list_separator('\t'));
  EXPECT_TRUE(zyg::is_list_separator('\n'));
  EXPECT_FALSE(zyg::is_list_separator('/'));
  EXPECT_FALSE(zyg::is_list_separator(';'));
  EXPECT_FALSE(zyg::is_list_separator('\0'));
}

}  // namespace
