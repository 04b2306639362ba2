"""Where fork, vfork and the process-making clone calls put their children on
the 4x2 VM (nodes 0-3, CPUs 0-1 / 2-3 / 4-5 / 6-7), for each process
policy, and what the parent's and the child's log records and the shared
counters say afterwards.  Every child reports its own affinity (zyg-ctest
"self"); the parent waits for each child before the next creation, so the
order of the placements is the order of the creations."""
import pytest

from launchdata import (ALL_CPUS, NODE_CPUS, ctest, node_launched, records_of,  # noqa: F401
                        run_launch, workdir)


def fw(label, *inner):
    """forkw { self LABEL INNER... }"""
    return ["forkw", "{", "self", label, *inner, "}"]


def cpus_of_nodes(**labels):
    return {k: NODE_CPUS[v] for k, v in labels.items()}


def pids(run):
    return {k: int(v["pid"]) for k, v in run.selfs.items()}


class TestRoundRobinTree:
    def test_children_in_turn_and_the_log(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c"), *fw("d")]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=1, b=2, c=3, d=0)
        p = pids(run)
        assert records_of(run.log, p["root"]) == [
            "initial exec start", *[f"Created PID {p[k]}" for k in "abcd"], "implicit exit()"]
        for k in "abcd":
            assert records_of(run.log, p[k]) == ["child start in fork()", "exit()"]
        for table in ("proc_tree", "proc_log"):
            assert node_launched(run.data, table) == [2, 1, 1, 1]
        assert run.data["proc_tree"]["next_node_index"] == 1
        assert node_launched(run.data, "thrd_log") == [0, 0, 0, 0]

    def test_a_grandchild_continues_the_tree_wide_sequence(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a", *fw("aa")), *fw("b"), *fw("c", *fw("ca"))]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=1, aa=2, b=3, c=0, ca=1)
        assert node_launched(run.data, "proc_tree") == [2, 2, 1, 1]

    def test_vfork_and_the_clone_forms_take_the_next_nodes(self, ctest, workdir):
        cmd = [ctest, "self", "root", "vforkw", "{", "self", "v", "}",
               "clonefork", "{", "self", "cf", "}", "clonevfork", "{", "self", "cv", "}"]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, v=1, cf=2, cv=3)
        p = pids(run)
        assert records_of(run.log, p["v"]) == ["child start in vfork()", "_exit()"]
        assert records_of(run.log, p["cf"]) == ["child start in fork_via_clone()",
                                                "implicit fork_via_clone() exit"]
        assert records_of(run.log, p["cv"]) == ["child start in vfork_via_clone()",
                                                "implicit vfork_via_clone() exit"]
        assert records_of(run.log, p["root"])[1:4] == [
            f"Created PID {p['v']}", f"Created PID {p['cf']}", f"Created PID {p['cv']}"]
        assert [int(c["status"]) for c in run.of("CHILD")] == [0, 0, 0]
        assert run.data["lib_loaded_cnt"] == 0


class TestRoundRobinFlat:
    def test_children_start_after_their_parent(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a", *fw("aa"), *fw("ab")), *fw("b", *fw("ba")),
               *fw("c")]
        run = run_launch(["-p", "rr_flat"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=1, aa=2, ab=3, b=2, ba=3, c=3)
        # Flat counters are private: the shared table stays empty, the log
        # table counts every placement.
        assert node_launched(run.data, "proc_tree") == [0, 0, 0, 0]
        assert node_launched(run.data, "proc_log") == [1, 1, 2, 3]

    def test_a_process_started_on_a_later_node(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c")]
        run = run_launch(["-p", "rr_flat", "-n", "1-3"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=1, a=2, b=3, c=1)


class TestFillFirst:
    def test_each_node_takes_as_many_as_it_has_cpus(self, ctest, workdir):
        kids = "abcdefgh"
        cmd = [ctest, "self", "root"] + sum((fw(k) for k in kids), [])
        run = run_launch(["-p", "ff_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=0, b=1, c=1, d=2, e=2, f=3, g=3,
                                                h=0)
        assert node_launched(run.data, "proc_tree") == [3, 2, 2, 2]

    def test_a_grandchild_fills_on(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a", *fw("aa")), *fw("b")]
        run = run_launch(["-p", "ff_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=0, aa=1, b=1)


class TestPack:
    def test_every_child_on_the_parents_node(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a", *fw("aa")), *fw("b"), "clonefork", "{",
               "self", "cf", "}"]
        run = run_launch(["-p", "pack", "-n", "1,3"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=1, a=1, aa=1, b=1, cf=1)
        assert node_launched(run.data, "proc_log") == [5, 0]


class TestRoundRobinPack:
    def test_children_spread_and_grandchildren_stay(self, ctest, workdir):
        cmd = [ctest, "self", "root",
               *fw("a", *fw("aa"), "threadw", "{", "self", "at", "}"), *fw("b"), *fw("c")]
        run = run_launch(["-p", "rr_pack"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == cpus_of_nodes(root=0, a=1, aa=1, at=1, b=2, c=3)
        p = pids(run)
        # The child is placed and logs its start; what it creates is
        # neither placed nor logged.
        assert records_of(run.log, p["a"])[0] == "child start in fork()"
        assert not [m for m in records_of(run.log, p["a"]) if m.startswith("Created")]
        assert records_of(run.log, p["aa"]) == []
        assert node_launched(run.data, "proc_tree") == [1, 1, 1, 1]
        assert node_launched(run.data, "proc_log") == [1, 1, 1, 1]
        assert node_launched(run.data, "thrd_log") == [0, 0, 0, 0]


class TestCpuLaunch:
    @pytest.mark.parametrize("policy,cpus", [
        ("rr_tree", [0, 2, 4, 6, 1, 3, 5, 7, 0, 2]),
        ("ff_tree", [0, 1, 2, 3, 4, 5, 6, 7, 0, 1]),
    ])
    def test_one_cpu_each_in_list_order_wrapping(self, ctest, workdir, policy, cpus):
        kids = [f"k{i}" for i in range(1, 10)]
        cmd = [ctest, "self", "root"] + sum((fw(k) for k in kids), [])
        run = run_launch(["-p", policy, "-c"], cmd, workdir)
        assert run.status == 0, run.err
        got = [run.selfs[k]["cpus"] for k in ["root", *kids]]
        assert got == [str(c) for c in cpus]
        p = pids(run)
        # The log's CPU column shows the single CPU of each child's start.
        starts = {r["pid"]: r["cpu"] for r in run.log if r["message"] == "child start in fork()"}
        assert [starts[p[k]] for k in kids] == cpus[1:]
        counts = {}
        for c in cpus:
            counts[c] = counts.get(c, 0) + 1
        for table in ("proc_tree", "proc_log"):
            launched = [run.data[table]["node"][i]["cpu_launched"][:2] for i in range(4)]
            assert launched == [[counts.get(2 * i, 0), counts.get(2 * i + 1, 0)]
                                for i in range(4)], table

    def test_threads_too(self, ctest, workdir):
        cmd = [ctest, "self", "root", "threadw", "{", "self", "t1", "}",
               "threadw", "{", "self", "t2", "}", *fw("a")]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree", "-c"], cmd, workdir)
        assert run.status == 0, run.err
        # The main thread is counted on CPU 0 of node 0; threads go on from
        # node 1, and so does the tree's process sequence.
        assert run.self_cpus() == {"root": "0", "t1": "2", "t2": "4", "a": "2"}


class TestNoProcessPolicy:
    @pytest.mark.parametrize("options,pin,want", [
        (["-t", "rr_tree"], 3, ALL_CPUS),
        (["-t", "rr_flat", "-n", "1,2"], 2, "2-5"),
        # Control: with no thread policy either, the child keeps its
        # parent's affinity.
        ([], 3, "3"),
    ], ids=["all-nodes", "nodes-1-2", "no-policy"])
    def test_fork_child_back_on_the_initial_cpus(self, ctest, workdir, options, pin, want):
        cmd = [ctest, "pin", str(pin), "self", "root", *fw("a")]
        run = run_launch(options, cmd, workdir)
        assert run.status == 0, run.err
        assert run.selfs["root"]["cpus"] == str(pin)
        assert run.selfs["a"]["cpus"] == want
        assert node_launched(run.data, "proc_log") == [0] * run.data["avail_node_cnt"]
