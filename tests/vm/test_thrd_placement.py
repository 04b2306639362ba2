"""Thread creation on the 4x2 VM: where pthread_create and the clone forms
put new threads (and the main thread) by the thread policy, what the log
says about them, and that the library's start routine and syscall
interposer hand results back intact.  Threads report their own affinity
(zyg-ctest "self"); "threadw" waits for each thread before the next
creation, so placements happen in creation order."""
import re

import pytest

import zygtest

from launchdata import (ALL_CPUS, NODE_CPUS, ctest, node_launched, records_of,  # noqa: F401
                        run_launch, workdir)


def tw(label, *inner):
    """threadw { self LABEL INNER... }"""
    return ["threadw", "{", "self", label, *inner, "}"]


def cpus_of_nodes(**labels):
    return {k: NODE_CPUS[v] for k, v in labels.items()}


def tid(run, label):
    return int(run.selfs[label]["tid"])


class TestThreadPolicyAlone:
    def test_main_thread_placed_at_the_first_creation(self, ctest, workdir):
        cmd = [ctest, "self", "m0", *tw("t1"), "self", "m1", *tw("t2"), *tw("t3"), *tw("t4")]
        run = run_launch(["-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        want = cpus_of_nodes(m1=0, t1=1, t2=2, t3=3, t4=0)
        want["m0"] = ALL_CPUS
        assert run.self_cpus() == want
        pid = run.pid
        main = [r for r in run.log if r["tid"] == pid]
        assert [r["message"] for r in main][:2] == ["initial exec start",
                                                    "user's pthread_create() main thrd"]
        # The main thread's record is written where it was just placed.
        assert (main[1]["node"], main[1]["cpu"]) == ("0", -1)
        created = [m for m in records_of(run.log, pid) if m.startswith("Created TID ")]
        assert len(created) == 4
        for k in ("t1", "t2", "t3", "t4"):
            assert [r["message"] for r in run.log if r["tid"] == tid(run, k)] == [
                "child start in pthread_create() by user",
                "implicit user's pthread_create() exit"]
        for table in ("thrd_tree", "thrd_log"):
            assert node_launched(run.data, table) == [2, 1, 1, 1]
        assert node_launched(run.data, "proc_log") == [0, 0, 0, 0]

    def test_flat_threads_of_a_forked_child_restart_from_its_node(self, ctest, workdir):
        # Process policy none: the parent's main thread goes to node 0 and t1
        # to node 1.  The child's counts start empty but its cursor is the
        # one it inherited (node 2): its main thread is placed there at its
        # first creation, and its threads follow.
        cmd = [ctest, *tw("t1"), "forkw", "{", "self", "c0", *tw("c1"), *tw("c2"), "self",
               "cm", "}"]
        run = run_launch(["-t", "rr_flat"], cmd, workdir)
        assert run.status == 0, run.err
        want = cpus_of_nodes(t1=1, c1=3, c2=0, cm=2)
        want["c0"] = ALL_CPUS
        assert run.self_cpus() == want


class TestProcessAndThreadPolicy:
    def test_rr_flat_threads_start_after_the_main_threads_node(self, ctest, workdir):
        cmd = [ctest, "self", "root", *tw("t1"), *tw("t2"),
               "forkw", "{", "self", "a", *tw("a1"), *tw("a2"), *tw("a3"), *tw("a4"), "}"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_flat"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, t1=1, t2=2, a=1, a1=2, a2=3, a3=0,
                                                a4=1)
        a = int(run.selfs["a"]["pid"])
        assert [r["message"] for r in run.log if r["tid"] == a][:2] == [
            "child start in fork()", "user's pthread_create() main thrd"]
        # Main threads are counted where they run (0 and 1), besides the six.
        assert node_launched(run.data, "thrd_log") == [2, 3, 2, 1]
        assert node_launched(run.data, "thrd_tree") == [0, 0, 0, 0]

    def test_rr_tree_threads_share_one_sequence_across_processes(self, ctest, workdir):
        cmd = [ctest, *tw("t1"), "forkw", "{", *tw("a1"), "}", *tw("t2")]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        # Root's main thread counted on 0: t1 1; child a (node 1) counts its
        # main thread without moving the cursor: a1 2; then t2 3.
        assert run.self_cpus() == cpus_of_nodes(t1=1, a1=2, t2=3)

    def test_pack_threads_stay_on_the_process_node(self, ctest, workdir):
        cmd = [ctest, *tw("t1"), *tw("t2"), "forkw", "{", *tw("a1"), *tw("a2"), "}"]
        run = run_launch(["-p", "rr_tree", "-t", "pack"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(t1=0, t2=0, a1=1, a2=1)


class TestInheritedBinding:
    # Chosen its creator's binding after the program moved the creator itself.
    @pytest.mark.parametrize("options, actions, label", [
        (["-t", "rr_tree"], [*tw("t1"), "pin", "1", *tw("t2"), *tw("t3"), *tw("t4")], "t4"),
        (["-p", "rr_tree", "-t", "pack"], ["pin", "1", *tw("t1")], "t1"),
        (["-p", "rr_tree"],
         ["pin", "1", *[w for k in "abcd" for w in ("forkw", "{", "self", k, "}")]], "d"),
    ], ids=["thread-after-main-placed", "pack-thread", "fork-child"])
    def test_gets_the_node_not_the_creators_mask(self, ctest, workdir, options, actions, label):
        run = run_launch(options, [ctest, *actions], workdir)
        assert run.status == 0, run.err
        assert run.self_cpus()[label] == NODE_CPUS[0]


class TestClone:
    def test_clone_with_thread_flags(self, ctest, workdir):
        cmd = [ctest, "self", "root", "clonethread", "{", "self", "ct", "}"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, ct=1)
        ct = run.of("CLONE")[0]
        assert ct["tid"] == ct["ptid"] == run.selfs["ct"]["tid"]
        assert run.selfs["ct"]["pid"] == run.selfs["root"]["pid"]
        assert run.of("CLONEDONE"), "the clone thread did not end"
        msgs = [r["message"] for r in run.log if r["tid"] == run.pid]
        assert msgs[1:3] == ["clone() main thrd", f"Created TID {ct['tid']}"]
        assert [r["message"] for r in run.log if r["tid"] == int(ct["tid"])] == [
            "child start in clone()", "implicit clone() exit"]
        assert node_launched(run.data, "thrd_log") == [1, 1, 0, 0]
        assert node_launched(run.data, "proc_log") == [1, 0, 0, 0]

    def test_clone_vm_without_thread_is_placed_as_a_process(self, ctest, workdir):
        # Without CLONE_THREAD the task has a pid and an end of its own: a
        # process that happens to share memory, placed and counted as one.
        cmd = [ctest, "self", "root", "clonevm", "{", "self", "cv", "}"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, cv=1)
        cv = int(run.selfs["cv"]["pid"])
        assert cv != run.pid
        assert records_of(run.log, cv) == ["child start in clone(CLONE_VM) process",
                                           "implicit clone(CLONE_VM) process exit"]
        assert f"Created PID {cv}" in records_of(run.log, run.pid)
        assert node_launched(run.data, "proc_log") == [1, 1, 0, 0]
        assert node_launched(run.data, "thrd_log") == [0, 0, 0, 0]
        assert run.data["lib_loaded_cnt"] == 0

    def test_clone_sigchld_only_is_a_fork(self, ctest, workdir):
        cmd = [ctest, "self", "root", "clonefork", "{", "self", "cf", "}"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, cf=1)
        cf = int(run.selfs["cf"]["pid"])
        assert records_of(run.log, cf) == ["child start in fork_via_clone()",
                                           "implicit fork_via_clone() exit"]
        assert f"Created PID {cf}" in records_of(run.log, run.pid)
        assert node_launched(run.data, "proc_log") == [1, 1, 0, 0]
        assert node_launched(run.data, "thrd_log") == [0, 0, 0, 0]
        assert run.data["lib_loaded_cnt"] == 0

    def test_clone_vm_vfork(self, ctest, workdir):
        cmd = [ctest, "self", "root", "clonevfork", "{", "self", "cv", "}"]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, cv=1)
        cv = int(run.selfs["cv"]["pid"])
        assert cv != run.pid
        assert records_of(run.log, cv) == ["child start in vfork_via_clone()",
                                           "implicit vfork_via_clone() exit"]
        assert run.data["lib_loaded_cnt"] == 0


class TestResultsIntact:
    @pytest.mark.parametrize("log", [True, False], ids=["log", "nolog"])
    def test_join_gets_the_start_routines_pointer(self, ctest, workdir, log):
        run = run_launch(["-t", "rr_tree"], [ctest, "joinptr"], workdir, log=log)
        assert run.status == 0, run.err
        (j,) = run.of("JOINPTR")
        assert j["ok"] == "1", j
        assert int(j["want"], 16) > 0xffffffff

    def test_raw_syscalls_pass_through(self, ctest, workdir):
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"],
                         [ctest, "getpid", "mmap", "sysneg"], workdir)
        assert run.status == 0, run.err
        (g,) = run.of("GETPID")
        assert g["sys"] == g["real"] == str(run.pid)
        (m,) = run.of("MMAP")
        assert (m["high"], m["ok"]) == ("1", "1"), m
        (s,) = run.of("SYSNEG")
        assert (s["r"], s["errno"]) == ("-1", "9")

    def test_raw_sys_clone_is_passed_through_unplaced(self, ctest, workdir):
        cmd = [ctest, "self", "root", "sysclone", "{", "self", "sc", "}", *tw("t1")]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        # Neither placed (it stays on its parent's node) nor counted.
        assert run.self_cpus() == cpus_of_nodes(root=0, sc=0, t1=1)
        sc = int(run.selfs["sc"]["pid"])
        assert sc != run.pid
        assert "syscall(SYS_clone) not supported" in records_of(run.log, run.pid)
        assert records_of(run.log, sc) == []
        assert [c["status"] for c in run.of("CHILD")] == ["0"]
        assert node_launched(run.data, "proc_log") == [1, 0, 0, 0]
        assert run.data["lib_loaded_cnt"] == 0

    @pytest.mark.parametrize("ending", [["exit", "0"], ["_exit", "0"], ["exitgroup", "0"]],
                             ids=lambda e: e[0])
    def test_raw_sys_clone_child_is_not_counted_out_either(self, ctest, workdir, ending):
        # It was never counted in: its end through the library's exit paths
        # must not lower the count for a process that was never added.
        cmd = [ctest, "sysclone", "{", "self", "sc", *ending, "}"]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert [c["status"] for c in run.of("CHILD")] == ["0"]
        assert run.data["lib_loaded_cnt"] == 0


class TestManyAtOnce:
    def test_more_than_three_per_cpu_all_get_created(self, ctest, workdir):
        # 8 creators x 12 = 96 threads alive at once, four times the 24
        # hand-over records of this 8-CPU machine.
        run = run_launch(["-t", "rr_tree"], [ctest, "many", "8", "12"], workdir)
        assert run.status == 0, run.err
        (m,) = run.of("MANY")
        assert (m["created"], m["failed"]) == ("96", "0")
        # Main thread + 8 creators + 96.
        assert sum(node_launched(run.data, "thrd_log")) == 105
        starts = [r for r in run.log if r["message"] == "child start in pthread_create() by user"]
        assert len(starts) == 104
        assert len({r["tid"] for r in starts}) == 104
        assert all(re.fullmatch(r"Created TID \d+", r["message"])
                   for r in run.log if r["message"].startswith("Created"))


class TestMemoryFollowsCpus:
    # A policy set through syscall() or brought by an exec is never taken for the default.

    @pytest.mark.parametrize("actions", [
        ["thread", "{", "}", "join", "prefer", "1", "policy"],
        ["prefer", "1", "exec", "PROBE", "PROBE", "policy"],
    ], ids=["set-after-first-thread", "inherited-by-exec"])
    def test_new_tasks_get_the_default_whatever_their_creator_has(self, actions):
        probe = zygtest.probe_path()
        r = zygtest.launch(["-p", "rr_tree", "-t", "rr_tree"],
                           [probe, *[probe if a == "PROBE" else a for a in actions],
                            "thread", "{", "policy", "}", "join",
                            "fork", "{", "policy", "}", "wait"])
        assert r.returncode == 0 and "PREFER rc=0" in r.stdout, r.stdout + r.stderr
        assert re.findall(r"^POLICY tid=\d+ mode=(-?\d+)", r.stdout, re.M) == ["1", "0", "0"], \
            r.stdout
