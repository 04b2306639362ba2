// Go's build-ID note in a program's note segment: the mark of a runtime
// that ends the process unseen.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "start/program_kind.h"

namespace {

// One note: header, name padded to 4, descriptor padded to 4.
void note(std::vector<unsigned char>* seg, uint32_t type, const char* name, uint32_t namesz,
          uint32_t descsz) {
  Elf64_Nhdr n = {namesz, descsz, type};
  const auto* h = reinterpret_cast<const unsigned char*>(&n);
  seg->insert(seg->end(), h, h + sizeof n);
  std::vector<unsigned char> padded((namesz + 3u) & ~3u, 0);
  memcpy(padded.data(), name, std::min<size_t>(strlen(name), padded.size()));
  seg->insert(seg->end(), padded.begin(), padded.end());
  seg->insert(seg->end(), (descsz + 3u) & ~3u, 0xab);
}

// A note as the segment holds it.
struct Note {
  uint32_t type;
  const char* name;
  uint32_t namesz, descsz;
};

struct Case {
  const char* name;
  std::vector<Note> notes;
  size_t cut;  // the segment cut to this many bytes; 0: whole
  bool go;
};

class GoNote : public ::testing::TestWithParam<Case> {};

TEST_P(GoNote, Recognised) {
  std::vector<unsigned char> seg;
  for (const Note& n : GetParam().notes) note(&seg, n.type, n.name, n.namesz, n.descsz);
  if (GetParam().cut != 0) seg.resize(GetParam().cut);
  EXPECT_EQ(GetParam().go, zyg::segment_has_go_note(seg.data(), seg.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Segments, GoNote,
    ::testing::Values(
        // Go's linker pads the name: "Go\0\0", size 4.
        Case{"padded_name", {{4, "Go", 4, 20}}, 0, true},
        // The name's size counts its one terminator: "Go\0", size 3.
        Case{"exact_name", {{4, "Go", 3, 20}}, 0, true},
        Case{"after_gnu_build_id", {{NT_GNU_BUILD_ID, "GNU", 4, 20}, {4, "Go", 4, 8}}, 0, true},
        Case{"gnu_build_id_alone", {{NT_GNU_BUILD_ID, "GNU", 4, 20}}, 0, false},
        Case{"another_type", {{1, "Go", 4, 4}}, 0, false},
        Case{"another_name", {{4, "Gx", 4, 4}}, 0, false},
        Case{"cut_short", {{4, "Go", 4, 40}}, 20, false}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
