#include "plan/walk.h"

#include <string>

namespace zr {

namespace {

std::string node_text(const Binding& b) {
  if (b.launch_nodes) return "launch";
  return b.node < 0 ? "inherited" : std::to_string(b.node);
}

// The program shape walked on the simulation: the first process with its
// threads, then each child in turn with its threads.
class Walk {
 public:
  Walk(const PlanRequest& req, const Policies& pol, Simulation& sim, Plan& plan)
      : req_(req), pol_(pol), sim_(sim), plan_(plan) {}

  void run() {
    FlatTables first = sim_.fresh();
    sim_.enter(first);
    Binding p0;
    if (pol_.placed_processes()) p0 = bound(zyg::get_proc_launch(), p0);
    add(0, -1, p0, pol_.placed_processes() ? "process policy (the first process)" : "not placed");
    // After its threads the main thread may have been moved (process policy
    // none): a child given no binding keeps that of the thread that forks it.
    const Binding forker = threads_of(0, p0, false);
    for (int k = 1; k <= req_.children; ++k) child(k, first, forker);
  }

 private:
  void add(int proc, int thread, const Binding& b, const std::string& how) {
    plan_.tasks.push_back({proc, thread, node_text(b), b.cpu, l3_units() ? b.unit : -1, how});
  }

  // Child k, made by the library's fork: the parent chooses (nothing
  // without a process policy), the child binds itself as set_launch decides.
  void child(int k, FlatTables& parent, const Binding& forker) {
    sim_.enter(parent);
    zyg::launch_choice c = zyg::get_proc_launch();
    Binding b = bound(c, forker);
    std::string how = pol_.placed_processes() ? "process policy"
                      : b.launch_nodes        ? "back on the launch nodes (only threads are placed)"
                                              : "inherits its parent's binding";
    add(k, -1, b, how);
    // The child starts with a copy of its parent's private tables, which
    // it then resets for itself.
    FlatTables own = parent;
    sim_.enter(own);
    zyg::reset_proc_flat(c.unit, c.cpu);
    zyg::reset_thrd_flat();
    threads_of(k, b, pol_.proc->alone);
  }

  // One process's threads; `alone_child`: placed by a policy that runs its
  // children without the library, so it places nothing. Returns where its
  // main thread runs after them.
  Binding threads_of(int proc, Binding self, bool alone_child) {
    const bool placing = pol_.placed_threads() && !alone_child;
    Binding main = self;
    if (req_.threads > 0 && placing) {
      // At its first thread creation the main thread is counted where the
      // process policy put it, or placed now when there is none.
      if (pol_.placed_processes()) {
        zyg::mark_thrd_launch(unit_value(self), self.cpu);
      } else {
        main = bound(zyg::get_thrd_launch(), self);
        add(proc, 0, main, "main thread placed at its first thread creation");
      }
    }
    for (int t = 1; t <= req_.threads; ++t) {
      if (placing)
        add(proc, t, bound(zyg::get_thrd_launch(), main), "thread policy");
      else if (alone_child)
        add(proc, t, main, std::string("stays with its ") + pol_.proc->name + " process");
      else
        add(proc, t, main, "inherits its creator's binding");
    }
    return main;
  }

  const PlanRequest& req_;
  const Policies& pol_;
  Simulation& sim_;
  Plan& plan_;
};

}  // namespace

void walk_shape(const PlanRequest& req, const Policies& pol, Simulation& sim, Plan& plan) {
  Walk(req, pol, sim, plan).run();
}

}  // namespace zr
