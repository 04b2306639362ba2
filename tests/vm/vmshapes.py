"""The NUMA shapes that tests/vm/run-in-vm can boot.

Each shape is a list of nodes, in node order; a node is (CPU list, MiB of
memory).  A CPU list of None makes a memory-only node.  run-in-vm turns this
table into qemu's -numa options, and tests/vm/conftest.py hands it to the
in-VM tests, so both sides agree on what a shape name means.
"""

SHAPES = {
    # The default: four small nodes, enough for round robin to wrap and for
    # fill policies to move on more than once.
    "4x2": [("0-1", 512), ("2-3", 512), ("4-5", 512), ("6-7", 512)],
    # Two wide nodes: several CPUs per node for per-CPU placement.
    "2x4": [("0-3", 512), ("4-7", 512)],
    # A node with memory but no CPUs, which placement must never pick for a task.
    "memonly": [("0-1", 512), ("2-3", 512), (None, 512)],
    # One node, like an ordinary machine without NUMA.
    "1x2": [("0-1", 512)],
    # Eight one-CPU nodes: what a start-up costs must not grow with the
    # number of nodes (tests/vm/test_attach_cost.py).
    "8x1": [(str(n), 256) for n in range(8)],
    # The 4x2 layout in a boot of its own for the tests that start outer
    # launchers and daemons (cgroup cpusets, numactl, mpirun, Slurm) or
    # install and remove the Debian package: none of that may leak into
    # the placement tests of the 4x2 boot.
    "hpc": [("0-1", 512), ("2-3", 512), ("4-5", 512), ("6-7", 512)],
    # Two nodes of four CPUs, each node two sockets of two cores: the guest
    # sees four level-3 caches (0-1, 2-3, 4-5, 6-7), two per node, as on a
    # machine with several L3 domains per NUMA node.
    "l3": [("0-3", 512), ("4-7", 512)],
    # Two nodes with CPUs and, near each, a memory-only node (high-bandwidth
    # or CXL memory): node 2 is near node 0, node 3 near node 1.
    "hbm": [("0-3", 384), ("4-7", 384), (None, 256), (None, 256)],
}

# The -smp value of shapes whose sockets are not one per node.
SMP = {"l3": "8,sockets=4,cores=2,threads=1"}

# The -cpu value of shapes that differ from "max": the hbm machine reports
# no level-3 cache, so that what needs one is refused there.
CPU = {"hbm": "max,l3-cache=off"}

# Node distances other than qemu's default (10 local, 20 remote), each pair
# given once and meant both ways.
DISTANCES = {
    "hbm": {(0, 1): 21, (0, 2): 13, (1, 3): 13, (0, 3): 31, (1, 2): 31, (2, 3): 41},
}

DEFAULT_SHAPE = "4x2"


def cpu_range(cpulist):
    """Expands "0-1,4" into [0, 1, 4]; None or "" gives []."""
    cpus = []
    for part in (cpulist or "").split(","):
        part = part.strip()
        if not part:
            continue
        lo, _, hi = part.partition("-")
        cpus.extend(range(int(lo), int(hi or lo) + 1))
    return cpus


def cpu_count(shape):
    return sum(len(cpu_range(cpus)) for cpus, _ in SHAPES[shape])
