#include "live/data_file.h"

#include <cstring>

#include "core/ldata.h"
#include "shared/memory_tiers.h"

namespace zr {

namespace {

// The launch data file is read by the library's own layout (core/ldata.h):
// a header, N node entries (config_node_cnt, or unit_entry_cnt under L3
// units), then four node-counter tables (proc_tree, thrd_tree, proc_log,
// thrd_log), each a next_node_index followed by one record per entry. All
// integers native-endian.
constexpr std::size_t kHeader = sizeof(zyg::ldata_hdr), kNodeEntry = sizeof(zyg::l_node),
                      kNodeRecord = sizeof(zyg::node_rec), kFirstRecord = sizeof(zyg::node_table);

// The object of type T whose bytes start at off; the caller has checked that
// they are there.
template <typename T>
T get(const std::string& b, std::size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

// A NUL-terminated text in a fixed field; an unterminated one is cut at the field's end.
template <std::size_t N>
std::string text_of(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// The node entry i with its counters from the four tables (each of `table`
// bytes, the first at proc_tree); false with a reason for a CPU count no
// entry can hold.
bool decode_node(const std::string& b, int i, std::size_t proc_tree, std::size_t table,
                 LiveNode& node, std::string& why) {
  const auto entry = get<zyg::l_node>(b, kHeader + static_cast<std::size_t>(i) * kNodeEntry);
  if (entry.num_cpus < 0 || entry.num_cpus > zyg::kMaxCpusPerNode) {
    why = "node entry " + std::to_string(i) + " has " + std::to_string(entry.num_cpus) + " CPUs";
    return false;
  }
  const std::size_t rec = kFirstRecord + static_cast<std::size_t>(i) * kNodeRecord;
  auto counters = [&](int k) {
    return get<zyg::node_rec>(b, proc_tree + static_cast<std::size_t>(k) * table + rec);
  };
  const zyg::node_rec proc_tree_rec = counters(0), thrd_tree_rec = counters(1),
                      proc_log = counters(2), thrd_log = counters(3);
  node.node_id = entry.node_id;
  node.cpulist = text_of(entry.cpulist);
  // Kept as sysfs shows it, with its newline.
  while (!node.cpulist.empty() && (node.cpulist.back() == '\n' || node.cpulist.back() == ' '))
    node.cpulist.pop_back();
  node.proc_tree = proc_tree_rec.node_launched;
  node.thrd_tree = thrd_tree_rec.node_launched;
  node.proc_log = proc_log.node_launched;
  node.thrd_log = thrd_log.node_launched;
  for (int c = 0; c < entry.num_cpus; ++c) {
    node.cpus.push_back(static_cast<int>(entry.cpus[c]));
    node.cpu_proc.push_back(proc_log.cpu_launched[c]);
    node.cpu_thrd.push_back(thrd_log.cpu_launched[c]);
  }
  return true;
}

// The memory mode, and under one other than local each entry's memory node
// (the mem_nodes section after the four tables); false with a reason for a
// mode no version knows or a section the file does not hold.
bool decode_memory(const std::string& b, const zyg::ldata_hdr& h, int n, LiveData& d,
                   std::string& why) {
  const char* mode = zyg::memory_mode_name(h.memory_mode);
  if (mode == nullptr) {
    why = "memory mode " + std::to_string(h.memory_mode) + " unknown";
    return false;
  }
  d.memory_mode = mode;
  if (h.memory_mode == zyg::MEMORY_LOCAL) return true;
  const std::size_t at = h.mem_nodes_offset, size = zyg::mem_nodes_size(n);
  if (at != zyg::ldata_file_size(n) || b.size() < at + size) {
    why = "no memory node section where the layout puts it";
    return false;
  }
  for (int i = 0; i < n; ++i)
    d.mem_nodes.push_back(get<int32_t>(b, at + static_cast<std::size_t>(i) * sizeof(int32_t)));
  return true;
}

}  // namespace

bool decode_data_file(const std::string& b, LiveData& d, std::string& why) {
  if (b.size() < kHeader) {
    why = "shorter than the " + std::to_string(kHeader) + "-byte header";
    return false;
  }
  const auto h = get<zyg::ldata_hdr>(b, 0);
  d.version = h.version;
  if (d.version != zyg::kLdataVersion) {
    why = "layout version " + std::to_string(d.version) + ", this tool reads version " +
          std::to_string(zyg::kLdataVersion);
    return false;
  }
  // Under --unit=l3 the entries are L3 domains, and their count gives the
  // layout (unit_entry_cnt); each entry still names its node.
  const int n = h.unit_entry_cnt != 0 ? h.unit_entry_cnt : h.config_node_cnt;
  if (n < 1 || n > zyg::kMaxConfigNodes) {
    why = "configured node count " + std::to_string(n) + " out of range";
    return false;
  }
  const std::size_t nodes = static_cast<std::size_t>(n), table = zyg::table_size(n);
  const std::size_t proc_tree = kHeader + nodes * kNodeEntry;
  if (h.l_nodes_offset != kHeader || h.proc_tree_offset != proc_tree ||
      h.thrd_tree_offset != proc_tree + table || h.proc_log_offset != proc_tree + 2 * table ||
      h.thrd_log_offset != proc_tree + 3 * table) {
    why = "table offsets do not match the layout";
    return false;
  }
  if (b.size() < zyg::ldata_file_size(n)) {
    why = "file is " + std::to_string(b.size()) + " bytes, the layout needs " +
          std::to_string(zyg::ldata_file_size(n));
    return false;
  }
  d.entry_cnt = n;
  d.lib_loaded_cnt = h.lib_loaded_cnt;
  d.avail_node_cnt = h.avail_node_cnt;
  d.avail_cpu_cnt = h.avail_cpu_cnt;
  d.cpu_launch = h.cpu_launch != 0;
  d.initial_pid = h.initial_pid;
  d.log_entry_cnt = h.log_entry_cnt;
  if (d.avail_node_cnt < 0 || d.avail_node_cnt > n) {
    why = "available node count " + std::to_string(d.avail_node_cnt) + " out of range";
    return false;
  }
  d.l3 = h.unit_kind == zyg::UNIT_L3;
  if (!decode_memory(b, h, n, d, why)) return false;
  d.launch_nodes = text_of(h.launch_nodes);
  d.data_file = text_of(h.data_file);
  d.log_file = text_of(h.log_file);
  d.error_file = text_of(h.error_file);
  d.proc_policy = text_of(h.proc_policy_name);
  d.thrd_policy = text_of(h.thrd_policy_name);
  for (int i = 0; i < d.avail_node_cnt; ++i) {
    LiveNode node;
    if (!decode_node(b, i, proc_tree, table, node, why)) return false;
    if (!d.mem_nodes.empty()) node.mem_node = d.mem_nodes[static_cast<std::size_t>(i)];
    d.nodes.push_back(node);
  }
  return true;
}
}  // namespace zr
