"""A launch started inside what an outer tool already confined it to: a
cgroup-v2 cpuset (CPUs 2-5, memory nodes 1-2), `numactl --cpunodebind=1,2`
and `taskset -c 2-5`.  Each leaves nodes 1 and 2 to the launch: those two,
and only those, become launch nodes, every process and thread of the tree is
placed on them and spread over both, nothing is placed outside and nothing
is reported.  A node list naming a node outside the confinement is refused.

The placements are read by each task from its own /proc/<pid>/task/<tid>/
status while it runs (zyg-ctest's "self"), not from the launch log."""
import contextlib
import os
import pathlib
import sys
import tempfile
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "integration"))
from launchdata import ctest, node_launched, run_launch, workdir  # noqa: E402,F401
from test_startup_support import (fatal_error_file, fatal_stderr, run_to_end,  # noqa: E402
                                  without_libnuma_warnings)
from test_startup_vm import check_not_available  # noqa: E402

pytestmark = pytest.mark.topology("hpc")

CGROOT = pathlib.Path("/sys/fs/cgroup")
NODE_CPUS = {0: [0, 1], 1: [2, 3], 2: [4, 5], 3: [6, 7]}
INSIDE = {2, 3, 4, 5}

# A tree of three levels: the first process, its threads, forked children
# with threads of their own, and a grandchild.
TREE = ["self", "root",
        "forkw", "{", "self", "p1", "threadw", "{", "self", "p1t1", "}",
        "threadw", "{", "self", "p1t2", "}",
        "forkw", "{", "self", "p1c", "}", "}",
        "forkw", "{", "self", "p2", "threadw", "{", "self", "p2t1", "}", "}",
        "threadw", "{", "self", "rt1", "}", "threadw", "{", "self", "rt2", "}",
        "forkw", "{", "self", "p3", "}"]
PROCESSES = {"root", "p1", "p1c", "p2", "p3"}


@contextlib.contextmanager
def cpuset_2_5():
    """A cgroup-v2 cpuset of CPUs 2-5 and memory nodes 1-2 (nodes 1 and 2
    whole), removed again at the end."""
    if not (CGROOT / "cgroup.controllers").exists():
        if os.system(f"mount -t cgroup2 none {CGROOT}") != 0:
            pytest.fail("cannot mount cgroup2")
    assert "cpuset" in (CGROOT / "cgroup.controllers").read_text().split()
    (CGROOT / "cgroup.subtree_control").write_text("+cpuset")
    d = pathlib.Path(tempfile.mkdtemp(prefix="zyg-hpc", dir=CGROOT))
    try:
        (d / "cpuset.cpus").write_text("2-5")
        (d / "cpuset.mems").write_text("1-2")
        yield d
    finally:
        # The launcher's detached clean-up of stale data files may still be
        # running in there for a moment after the launch ended.
        deadline = time.monotonic() + 60
        while (d / "cgroup.procs").read_text().strip() and time.monotonic() < deadline:
            time.sleep(0.1)
        d.rmdir()


KINDS = ["cpuset", "numactl", "taskset"]


@pytest.fixture
def outer(request):
    """The words put before the launcher for one kind of confinement."""
    if request.param == "cpuset":
        with cpuset_2_5() as cg:
            # The shell moves itself into the cpuset, then becomes the launcher.
            yield ["sh", "-c", f'echo $$ > {cg}/cgroup.procs && exec "$@"', "sh"]
    elif request.param == "numactl":
        yield ["numactl", "--cpunodebind=1,2"]
    else:
        yield ["taskset", "-c", "2-5"]


def node_of(cpus):
    """The node whose CPUs are exactly cpus, or None."""
    for n, cs in NODE_CPUS.items():
        if cs == cpus:
            return n
    return None


def parse(cpulist):
    out = []
    for part in cpulist.split(","):
        lo, _, hi = part.partition("-")
        out.extend(range(int(lo), int(hi or lo) + 1))
    return out


@pytest.mark.parametrize("outer", KINDS, indirect=True)
def test_tree_stays_on_the_two_nodes_and_spreads_over_both(ctest, workdir, outer):
    run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], [ctest, *TREE], workdir, wrap=outer)
    assert (run.status, run.err) == (0, "")
    cpus = {label: parse(r["cpus"]) for label, r in run.selfs.items()}
    assert len(cpus) == 10, sorted(cpus)
    nodes = {label: node_of(c) for label, c in cpus.items()}
    # Each task on one whole node, that node one of the two left to it.
    assert all(n in (1, 2) for n in nodes.values()), cpus
    assert {nodes[p] for p in PROCESSES} == {1, 2}
    assert {n for label, n in nodes.items() if label not in PROCESSES} == {1, 2}
    d = run.data
    assert (d["launch_nodes"], d["avail_node_cnt"], d["avail_cpu_cnt"]) == ("1,2", 2, 4)
    assert [e["node_id"] for e in d["l_nodes"][:2]] == [1, 2]
    assert sum(node_launched(d, "proc_tree")) == len(PROCESSES)
    assert "Initial launch nodes  | 1,2\n" in run.log_text
    assert {r["node"] for r in run.log} <= {"1", "2"}


@pytest.mark.parametrize("outer", KINDS, indirect=True)
def test_cpu_launch_puts_each_task_on_one_cpu_inside(ctest, workdir, outer):
    run = run_launch(["-p", "rr_tree", "-t", "rr_tree", "-c"], [ctest, *TREE], workdir,
                     wrap=outer)
    assert (run.status, run.err) == (0, "")
    cpus = {label: parse(r["cpus"]) for label, r in run.selfs.items()}
    assert all(len(c) == 1 and c[0] in INSIDE for c in cpus.values()), cpus
    # Ten tasks over four CPUs: every CPU of the two nodes is used.
    assert {c[0] for c in cpus.values()} == INSIDE


@pytest.mark.parametrize("outer", KINDS, indirect=True)
def test_node_list_inside_is_taken(ctest, workdir, outer):
    run = run_launch(["-p", "rr_tree", "-t", "rr_tree", "-n", "2"], [ctest, *TREE], workdir,
                     wrap=outer)
    assert (run.status, run.err) == (0, "")
    assert {r["cpus"] for r in run.selfs.values()} == {"4-5"}
    assert run.data["launch_nodes"] == "2"


@pytest.mark.parametrize("outer", ["numactl", "taskset"], indirect=True)
@pytest.mark.parametrize("nodes,bad", [("0", 0), ("1-3", 3), ("0-3", 0)])
def test_node_outside_is_refused_naming_the_two_nodes(ctest, workdir, launcher, outer, nodes,
                                                       bad):
    pid, status, out, err = run_to_end([*outer, launcher, "-p", "rr_tree", "-n", nodes,
                                        "-e", "err.txt", ctest, "echo", "ran"], cwd=workdir)
    check_not_available(pid, status, out, err, ctest, bad, "1,2", workdir / "err.txt")


@pytest.mark.parametrize("outer", ["cpuset"], indirect=True)
@pytest.mark.parametrize("nodes", ["0", "1-3", "0-3"])
def test_node_outside_the_cpuset_mems_is_an_invalid_list(ctest, workdir, launcher, outer,
                                                         nodes):
    # Inside a cpuset libnuma knows only the cpuset's memory nodes: its
    # parser refuses any other node, before the run nodes are looked at.
    pid, status, out, err = run_to_end([*outer, launcher, "-p", "rr_tree", "-n", nodes,
                                        "-e", "err.txt", ctest, "echo", "ran"], cwd=workdir)
    message = f'Invalid list of nodes: "{nodes}"'
    assert (status, out) == (1, "")
    assert without_libnuma_warnings(err) == fatal_stderr(pid, ctest, message)
    assert (workdir / "err.txt").read_text() == fatal_error_file(pid, ctest, message)
