"""Creations that fail: a fork refused by the kernel takes its placement
back, and a thread that cannot bind to its node disables launching for its
own process only."""
import os
import pathlib

import pytest

import zygtest

from launchdata import (NODE_CPUS, ctest, node_launched, records_of, run_launch,  # noqa: F401
                        workdir)

EAGAIN = 11


def fw(label, *inner):
    return ["forkw", "{", "self", label, *inner, "}"]


def tw(label, *inner):
    return ["threadw", "{", "self", label, *inner, "}"]


class TestForkRefused:
    def test_eagain_leaves_counters_and_cursors_as_they_were(self, ctest, workdir):
        # Run as nobody (root ignores RLIMIT_NPROC): after one child, the
        # program lowers its own process limit to 1, so the next fork is
        # refused with EAGAIN; with the limit back, the following child must
        # take the node and CPU that the refused one would have had.
        cmd = [ctest, "self", "root", *fw("a"), "nproc", "1", "forktry", "nproc_restore",
               *fw("b")]
        run = run_launch(["-p", "rr_tree", "-c"], cmd, workdir, user="nobody")
        assert run.status == 0, run.err
        (f,) = run.of("FORKFAIL")
        assert int(f["errno"]) == EAGAIN
        assert not run.of("FORKOK")
        assert run.self_cpus() == {"root": "0", "a": "2", "b": "4"}
        created = [m for m in records_of(run.log, run.pid) if m.startswith("Created PID")]
        assert len(created) == 2
        for table in ("proc_tree", "proc_log"):
            t = run.data[table]
            assert node_launched(run.data, table) == [1, 1, 1, 0], table
            assert [t["node"][i]["cpu_launched"][:2] for i in range(4)] == \
                [[1, 0], [1, 0], [1, 0], [0, 0]], table
        t = run.data["proc_tree"]
        assert t["next_node_index"] == 3
        assert [t["node"][i]["next_cpu_index"] for i in range(4)] == [1, 1, 1, 0]
        assert run.data["lib_loaded_cnt"] == 0

    def test_eagain_under_fill_first(self, ctest, workdir):
        # The refused fork would have filled node 0 and moved the cursor on
        # to node 1, which has no count yet: the cursor must come back, so a
        # still lands on node 0.
        cmd = [ctest, "self", "root", "nproc", "1", "forktry", "nproc_restore",
               *fw("a"), *fw("b"), *fw("c")]
        run = run_launch(["-p", "ff_tree"], cmd, workdir, user="nobody")
        assert run.status == 0, run.err
        assert int(run.of("FORKFAIL")[0]["errno"]) == EAGAIN
        assert run.self_cpus() == {"root": NODE_CPUS[0], "a": NODE_CPUS[0], "b": NODE_CPUS[1],
                                   "c": NODE_CPUS[1]}
        assert node_launched(run.data, "proc_tree") == [2, 2, 0, 0]
        assert node_launched(run.data, "proc_log") == [2, 2, 0, 0]
        assert run.data["proc_tree"]["next_node_index"] == 2


CGROOT = pathlib.Path("/sys/fs/cgroup")


@pytest.fixture
def cpuset_0_1():
    """A cgroup-v2 cpuset holding CPUs 0-1 only (node 0).  A process that
    moves itself there can no longer bind a thread to any other node."""
    if not (CGROOT / "cgroup.controllers").exists():
        if os.system(f"mount -t cgroup2 none {CGROOT} 2>/dev/null") != 0:
            pytest.skip("cgroup2 cannot be mounted in this VM")
    if "cpuset" not in (CGROOT / "cgroup.controllers").read_text().split():
        pytest.skip("no cpuset controller")
    (CGROOT / "cgroup.subtree_control").write_text("+cpuset")
    d = CGROOT / f"zc{os.getpid()}"
    d.mkdir(exist_ok=True)
    (d / "cpuset.cpus").write_text("0-1")
    yield d
    try:
        d.rmdir()
    except OSError:
        pass


class TestThreadCannotBind:
    def test_launching_disabled_for_that_process_only(self, ctest, workdir, cpuset_0_1):
        # Launch node 1 only: every process and thread is placed there.
        # Child a moves itself into a cpuset without node 1's CPUs; its next
        # thread cannot bind, which disables launching in a alone.
        cg = str(cpuset_0_1)
        cmd = [ctest, "self", "root",
               *fw("a", "cgjoin", cg, "self", "a2", *tw("at1"), *tw("at2"), *fw("ac")),
               *tw("rt"), *fw("b")]
        run = run_launch(["-n", "1", "-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert not run.of("CGFAIL")
        cpus = run.self_cpus()
        assert cpus["root"] == cpus["a"] == NODE_CPUS[1]
        assert cpus["a2"] == "0-1"
        # a's thread that failed to bind, its next thread and its child run
        # unplaced inside the cpuset.
        assert cpus["at1"] == cpus["at2"] == cpus["ac"] == "0-1"
        a, at1 = int(run.selfs["a"]["pid"]), int(run.selfs["at1"]["tid"])
        assert f"Can't launch tid {at1} / pid {a} on node 1" in run.err
        assert f"is disabling launch..." in run.err
        at2, ac = int(run.selfs["at2"]["tid"]), int(run.selfs["ac"]["pid"])
        assert [r for r in run.log if r["tid"] == at2] == []
        assert records_of(run.log, ac) == []
        assert not [m for m in records_of(run.log, a)
                    if m.startswith("Created PID") or m == "exit()"]
        # The rest of the tree goes on being placed.
        assert cpus["rt"] == cpus["b"] == NODE_CPUS[1]
        rt, b = int(run.selfs["rt"]["tid"]), int(run.selfs["b"]["pid"])
        assert [r["message"] for r in run.log if r["tid"] == rt][0] == \
            "child start in pthread_create() by user"
        assert records_of(run.log, b) == ["child start in fork()", "exit()"]


class TestCallRefused:
    def test_refused_clone_fork_takes_its_placement_back(self, ctest, workdir):
        # 30 refusals, more than the 24 hand-over records of 8 CPUs: each
        # refusal must also give its record back, or the next clone waits
        # forever.
        cmd = [ctest, "self", "root", "clonefail", "fork", "30", *fw("a"),
               "clonefork", "{", "self", "cf", "}"]
        run = run_launch(["-p", "rr_tree", "-c"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.of("CLONEFAILS")[0] == {"kind": "CLONEFAILS", "failed": "30", "errno": "22"}
        assert run.self_cpus() == {"root": "0", "a": "2", "cf": "4"}
        for table in ("proc_tree", "proc_log"):
            assert node_launched(run.data, table) == [1, 1, 1, 0], table
        assert [m for m in records_of(run.log, run.pid) if m.startswith("Created")] == [
            f"Created PID {run.selfs['a']['pid']}", f"Created PID {run.selfs['cf']['pid']}"]

    def test_refused_thread_creations_count_nothing(self, ctest, workdir):
        cmd = [ctest, "ptfail", "30", "clonefail", "thread", "30", *tw("t"),
               "clonethread", "{", "self", "ct", "}"]
        run = run_launch(["-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        (p,) = run.of("PTFAIL")
        assert p["failed"] == "30" and p["rc"] != "0"
        assert run.of("CLONEFAILS")[0] == {"kind": "CLONEFAILS", "failed": "30", "errno": "22"}
        # The main thread was placed (node 0) at the first, failed, call.
        assert run.self_cpus() == {"t": NODE_CPUS[1], "ct": NODE_CPUS[2]}
        assert node_launched(run.data, "thrd_log") == [1, 1, 1, 0]
        assert len([m for m in run.messages() if m.startswith("Created TID")]) == 2

    def test_errno_as_the_c_library_left_it(self, ctest, workdir):
        bare = zygtest.run([ctest, "errnokeep"])
        (want,) = zygtest.of_kind(zygtest.parse_probe(bare.stdout), "ERRNO")
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], [ctest, "errnokeep"], workdir)
        assert run.status == 0, run.err
        (got,) = run.of("ERRNO")
        # Only fork and pthread_create: a clone thread without its own TLS
        # shares the creator's errno, which the new thread may write while
        # the creator returns, so no value is owed there.
        assert (got["fork"], got["thread"]) == (want["fork"], want["thread"])
