#include "plan/simulation.h"

#include "placement/bind.h"

namespace zr {

bool l3_units() { return zyg::ld.b.unit_kind == zyg::UNIT_L3; }

int unit_value(const Binding& b) { return l3_units() ? b.unit : b.node; }

Binding bound(const zyg::launch_choice& c, const Binding& inherited) {
  const int node = l3_units() && c.unit >= 0 ? zyg::ld.l_nodes[c.unit].node_id : c.unit;
  const int unit = l3_units() ? c.unit : -1;
  switch (zyg::bind_target_of(c.unit, c.cpu)) {
    case zyg::BIND_CPU:
      return {node, c.cpu, false, unit};
    case zyg::BIND_NODE:
    case zyg::BIND_UNIT:
      return {node, -1, false, unit};
    case zyg::BIND_LAUNCH_NODES:
      return {-1, -1, true};
    case zyg::BIND_NOTHING:
      break;
  }
  return inherited;
}

}  // namespace zr
