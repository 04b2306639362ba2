#include "lists/node_list.h"

#include <set>

#include "lists/number.h"

namespace zr {

bool expand_node_list(const std::string& text, int config_node_cnt, std::vector<int>& nodes) {
  nodes.clear();
  std::string t = trim(text);
  if (t.empty() || config_node_cnt <= 0 || config_node_cnt > 4096) return false;
  std::set<int> add, drop;
  bool any_positive = false;
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = t.find(',', pos);
    std::string item =
        trim(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    bool invert = false;
    if (!item.empty() && item[0] == '!') {
      invert = true;
      item = item.substr(1);
    }
    int lo, hi;
    if (item == "all") {
      lo = 0;
      hi = config_node_cnt - 1;
    } else {
      std::size_t dash = item.find('-');
      if (dash == std::string::npos) {
        if (!to_int(item, lo)) return false;
        hi = lo;
      } else if (!to_int(item.substr(0, dash), lo) || !to_int(item.substr(dash + 1), hi)) {
        return false;
      }
    }
    if (lo < 0 || hi < lo || hi >= config_node_cnt) return false;
    for (int n = lo; n <= hi; ++n) (invert ? drop : add).insert(n);
    any_positive = any_positive || !invert;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  if (!any_positive)
    for (int n = 0; n < config_node_cnt; ++n) add.insert(n);
  for (int n : add)
    if (!drop.count(n)) nodes.push_back(n);
  return !nodes.empty();
}

}  // namespace zr
