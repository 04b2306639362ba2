"""--unit=l3: every policy chooses among the launch's L3 domains.  Shape l3:
nodes 0 (CPUs 0-3) and 1 (4-7), L3 sets 0-1, 2-3, 4-5, 6-7, so the domains
are those four sets, two per node; round robin takes them with the nodes in
turn (0-1, 4-5, 2-3, 6-7), first-fill in CPU order.  Shape hbm has no L3
information: the unit is refused there before the command runs.  Tasks
report their own affinity (zyg-ctest "self"); each creation waits for the
one before."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

from launchdata import ctest, run_launch, workdir  # noqa: F401

import zygtest

# In the order round robin takes them: the nodes in turn.
DOMAINS = ["0-1", "4-5", "2-3", "6-7"]
NODE_OF = {"0-1": "0", "2-3": "0", "4-5": "1", "6-7": "1"}


def fw(label, *inner):
    return ["forkw", "{", "self", label, *inner, "}"]


def tw(label):
    return ["threadw", "{", "self", label, "}"]


def tree(ctest):
    """root with two threads, then a child with four threads, then three
    more children."""
    return [ctest, "self", "root", *tw("t1"), *tw("t2"),
            *fw("a", *tw("a1"), *tw("a2"), *tw("a3"), *tw("a4")), *fw("b"), *fw("c"), *fw("d")]


@pytest.mark.topology("l3")
class TestDomains:
    def test_tree_and_threads_spread_over_the_domains_in_turn(self, ctest, workdir):
        run = run_launch(["-p", "rr_tree", "-t", "rr_flat", "--unit=l3"], tree(ctest), workdir)
        assert run.status == 0, run.err
        # Processes in turn from domain 0; each process's threads in turn
        # from the domain after its main thread's.
        want = {"root": 0, "t1": 1, "t2": 2, "a": 1, "a1": 2, "a2": 3, "a3": 0, "a4": 1,
                "b": 2, "c": 3, "d": 0}
        assert run.self_cpus() == {k: DOMAINS[v] for k, v in want.items()}
        assert [e["cpulist"] for e in run.data["l_nodes"][:run.data["avail_node_cnt"]]] == DOMAINS
        assert [e["node_id"] for e in run.data["l_nodes"][:4]] == [0, 1, 0, 1]
        assert run.data["config_node_cnt"] == 2
        # The log's Node column still names the NUMA node of each domain.
        by_pid = {r["pid"]: r["node"] for r in run.log if r["message"] == "child start in fork()"}
        for k in ("a", "b", "c", "d"):
            assert by_pid[int(run.selfs[k]["pid"])] == NODE_OF[run.selfs[k]["cpus"]]
        # Its L3 column names each task's domain, from the task's first record on.
        first = {}
        for r in run.log:
            first.setdefault(r["tid"], r["l3"])
        assert {k: first[int(s["tid"])] for k, s in run.selfs.items()} == run.self_cpus()

    def test_cpu_launch_takes_one_cpu_of_each_domain(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c"), *fw("d"), *fw("e")]
        run = run_launch(["-p", "rr_tree", "-c", "-u", "l3"], cmd, workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == {"root": "0", "a": "4", "b": "2", "c": "6", "d": "1",
                                   "e": "5"}

    def test_an_outer_confinement_cuts_the_domains(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c")]
        run = run_launch(["-p", "rr_tree", "--unit=l3"], cmd, workdir,
                         wrap=["taskset", "-c", "0-2"])
        assert run.status == 0, run.err
        assert run.self_cpus() == {"root": "0-1", "a": "2", "b": "0-1", "c": "2"}
        assert [e["cpulist"] for e in run.data["l_nodes"][:run.data["avail_node_cnt"]]] == [
            "0-1", "2"]

    def test_an_execd_program_counts_itself_in_its_own_domain(self, ctest, workdir):
        # The shell's child (the second domain, 4-5) execs zyg-ctest, which
        # takes its domains from the launch data and counts itself where it
        # runs: its own children then go on from the third.
        script = f"{ctest} self root forkw {{ self a }} forkw {{ self b }}; true"
        run = run_launch(["-p", "rr_flat", "--unit=l3"], ["/bin/sh", "-c", script], workdir)
        assert run.status == 0, run.err
        assert run.self_cpus() == {"root": "4-5", "a": "2-3", "b": "6-7"}

    def test_two_processes_land_on_both_nodes(self, ctest, workdir):
        # A job smaller than the domain count gets both nodes' memory
        # bandwidth: the second process goes to the other node.
        cmd = [ctest, "self", "root", *fw("a")]
        run = run_launch(["-p", "rr_tree", "-u", "l3"], cmd, workdir)
        assert run.status == 0, run.err
        assert {NODE_OF[c] for c in run.self_cpus().values()} == {"0", "1"}

    def test_first_fill_keeps_to_cpu_order(self, ctest, workdir):
        cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c"), *fw("d"), *fw("e")]
        run = run_launch(["-p", "ff_tree", "-u", "l3"], cmd, workdir)
        assert run.status == 0, run.err
        # Two CPUs a domain: full after two tasks, then the next by CPU.
        assert run.self_cpus() == {"root": "0-1", "a": "0-1", "b": "2-3", "c": "2-3",
                                   "d": "4-5", "e": "4-5"}

    def test_an_unknown_unit_is_refused(self, workdir):
        r = zygtest.run([zygtest.LAUNCHER, "--unit=socket", "/bin/echo", "ran"], cwd=workdir)
        assert r.returncode == 1
        assert r.stdout == ""
        assert r.stderr == "Error: unknown unit: socket (node or l3)\n"


REPORT = "/usr/bin/zyg-nox-report"
SCHEMAS = pathlib.Path(__file__).resolve().parents[2] / "report-tool" / "schema"


def report_json(*args):
    r = subprocess.run([REPORT, *map(str, args)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


@pytest.mark.topology("l3")
def test_live_and_the_report_count_each_domain_alike(ctest, tmp_path):
    # The first process (0-1) forks a child (4-5); each starts two threads
    # in the domains after its own. --live, while all six tasks sleep,
    # counts per domain what the log's report counts once the launch ended.
    log = tmp_path / "run.log"
    sleep = ["threads", "2", "{", "sleep", "6000", "}", "join"]
    p = subprocess.Popen([zygtest.LAUNCHER, "-p", "rr_tree", "-t", "rr_flat", "-u", "l3", "-l",
                          log, ctest, "forks", "1", "{", *sleep, "}", *sleep, "waitall"],
                         env=zygtest.clean_env(), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL)
    live, text = None, ""
    for _ in range(100):
        # Until the first process has filled the data file, --live refuses it.
        r = subprocess.run([REPORT, "--live", str(p.pid), "--json"], capture_output=True,
                           text=True, timeout=60)
        live = json.loads(r.stdout) if r.returncode == 0 else None
        if live and sum(len(q["tasks"]) for q in live["processes"]) == 6:
            text = subprocess.run([REPORT, "--live", str(p.pid)], capture_output=True, text=True,
                                  timeout=60).stdout
            break
        time.sleep(0.1)
    assert p.wait(timeout=120) == 0
    import jsonschema
    jsonschema.Draft202012Validator(json.loads((SCHEMAS / "live-v1.json").read_text())).validate(live)
    assert live["unit"] == "l3"
    rows = [(n["l3_domain"], n["processes_placed"], n["threads_placed"], n["tasks_now"])
            for n in live["nodes"]]
    # Main threads counted where each was when it first created a thread.
    assert rows == [("0-1", 1, 1, 1), ("4-5", 1, 2, 2), ("2-3", 0, 2, 2), ("6-7", 0, 1, 1)], rows
    assert re.search(r"^  L3 domain +Node +procs placed", text, re.M), text
    assert re.search(r"^  4-5 +1 +1 +2 +2$", text, re.M), text
    keep = os.environ.get("ZYG_REPORT_KEEP_LOGS")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        shutil.copy(log, pathlib.Path(keep) / "l3_p_rr_tree_t_rr_flat.log")
    (launch,) = report_json("--json", log)["launches"]
    assert [(d["cpus"], d["processes"], d["threads"]) for d in launch["domains"]] == [
        (d, pr, th) for d, pr, th, _ in rows]
    assert launch["warnings"] == []


@pytest.mark.topology("hbm")
class TestNoL3:
    def test_refused_by_the_launcher(self, workdir):
        r = zygtest.run([zygtest.LAUNCHER, "--unit=l3", "/bin/echo", "ran"], cwd=workdir)
        assert r.returncode == 1
        assert r.stdout == ""
        assert re.fullmatch(r"Error: --unit=l3: no level-3 cache information for CPU \d+\n",
                            r.stderr), r.stderr

    def test_refused_by_the_library_when_set_by_hand(self, workdir):
        env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB, ZYG_LAUNCH_UNIT="l3",
                                ZYG_LAUNCH_PROCESS_POLICY="rr_tree")
        r = zygtest.run(["/bin/echo", "ran"], env=env, cwd=workdir)
        assert r.returncode == 1
        assert r.stdout == ""
        assert "--unit=l3: no level-3 cache information for cpu" in r.stderr
