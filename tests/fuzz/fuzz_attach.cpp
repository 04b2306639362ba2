// Attaching to a launch data file named by the environment: any content must
// be refused or mapped and used without ever reading or writing outside the
// mapping, also when the header changes after the checks (as any process of
// the tree may change it). The input is the file; its last 64 bytes, when
// it was accepted, are written over the header's counts and the cursors
// before a round of choices.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/ldata.h"
#include "fuzz_util.h"
#include "placement/policy.h"
#include "start/datafile.h"

namespace {

void forget_view() {
  if (zyg::ld.hdr != nullptr) munmap(zyg::ld.hdr, zyg::ld.size);
  if (zyg::ld.fd >= 0) close(zyg::ld.fd);
  memset(&zyg::ld, 0, sizeof zyg::ld);
  zyg::ld.fd = -1;
}

void choose_some() {
  for (int i = 0; i < 3; i++) {
    zyg::get_proc_launch();
    zyg::get_thrd_launch();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char path[] = "/dev/shm/zyg-fuzz-attach-XXXXXX";
  static int fd = zyg_fuzz::temp_file_for_run(path);
  static int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || null_fd < 0) abort();
  // A crafted file is never finished by anyone: no waiting for its creator.
  zyg::ldata_set_ready_waits_for_test(0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
  forget_view();
  if (zyg::ldata_attach(path) != 0) return 0;

  zyg::ld.proc = zyg::ld.proc_tree;
  zyg::ld.thrd = zyg::ld.thrd_tree;
  // A lock word left taken would make every choice wait for ever: the lock
  // is not what this target is about.
  zyg::ld.hdr->ldata_lock.both = 0;
  // Memfree reads sysfs and would dominate the run: round robin instead.
  if (zyg::ld.hdr->proc_kind == zyg::KIND_MEMFREE) zyg::ld.hdr->proc_kind = zyg::KIND_RR;
  if (zyg::ld.hdr->thrd_kind == zyg::KIND_MEMFREE) zyg::ld.hdr->thrd_kind = zyg::KIND_RR;
  choose_some();
  zyg::dump_ldata_view(&zyg::ld, null_fd);
  // The memory node of every entry, as set_launch looks it up.
  if (zyg::ld.mem_nodes != nullptr) {
    int32_t sum = 0;
    for (int i = 0; i < zyg::ld.b.entry_cnt; i++) sum += zyg::ld.mem_nodes[i];
    if (write(null_fd, &sum, sizeof sum) < 0) abort();
  }

  if (size >= 64) {
    // Another writer rewrites the counts and the first cursors.
    const uint8_t* tail = data + size - 64;
    memcpy(reinterpret_cast<char*>(zyg::ld.hdr) + 24, tail, 24);  // lib_loaded_cnt .. cpu_launch
    memcpy(&zyg::ld.proc_tree->next_node_index, tail + 24, 4);
    memcpy(&zyg::ld.thrd_tree->next_node_index, tail + 28, 4);
    // The unit kind and entry count too (L3 units): the layout stays the
    // one checked at attach.
    memcpy(&zyg::ld.hdr->unit_kind, tail + 40, 8);
    if (zyg::ld.b.avail_node_cnt > 0) {
      memcpy(&zyg::ld.l_nodes[0].num_cpus, tail + 32, 4);
      memcpy(&zyg::table_node(zyg::ld.proc_tree, 0)->next_cpu_index, tail + 36, 4);
    }
    zyg::ld.hdr->ldata_lock.both = 0;
    if (zyg::ld.hdr->proc_kind == zyg::KIND_MEMFREE) zyg::ld.hdr->proc_kind = zyg::KIND_RR;
    if (zyg::ld.hdr->thrd_kind == zyg::KIND_MEMFREE) zyg::ld.hdr->thrd_kind = zyg::KIND_RR;
    choose_some();
    zyg::dump_ldata_view(&zyg::ld, null_fd);
  }
  forget_view();
  return 0;
}
