"""--memory on machines with memory-only nodes (HBM in flat mode, CXL).

Shape hbm: nodes 0 (CPUs 0-3) and 1 (CPUs 4-7), nodes 2 and 3 with memory
and no CPUs; 2 is nearest 0 and 3 nearest 1 (distance 13).  A probe maps and
touches 64 MiB and waits on its standard input, while the test reads where
the kernel put the pages from /proc/<pid>/numa_maps (and --live says where
they are).  Shape l3 has no memory-only node: both modes are refused there
before the command runs, as they are anywhere without a policy that places
tasks."""
import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest

import logrecords
import zygtest

PAGES = 64 * 1024 // 4  # 64 MiB in 4 KiB pages
REPORT = "/usr/bin/zyg-nox-report"
SCHEMAS = pathlib.Path(__file__).resolve().parents[2] / "report-tool" / "schema"


def numa_pages(pid, addr):
    """{node: pages} of the mapping at addr (hex) in /proc/<pid>/numa_maps."""
    for line in pathlib.Path(f"/proc/{pid}/numa_maps").read_text().splitlines():
        if line.split(" ", 1)[0] == addr:
            return {int(n): int(p) for n, p in re.findall(r"\bN(\d+)=(\d+)", line)}
    raise AssertionError(f"no mapping {addr} in /proc/{pid}/numa_maps")


class Touching:
    """A command that prints `count` TOUCH lines and then waits on its
    standard input; pages() reads each toucher's mapping while it waits."""

    def __init__(self, args, count):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True,
                                     env=zygtest.clean_env())
        self.touched = []
        while len(self.touched) < count:
            line = self.proc.stdout.readline()
            if not line:
                break
            rec = zygtest.parse_probe(line)[0]
            if rec["kind"] == "TOUCH":
                assert rec["ok"] == "1", line
                self.touched.append((int(rec["pid"]), rec["addr"]))

    def pages(self):
        return {pid: numa_pages(pid, addr) for pid, addr in self.touched}

    def finish(self):
        out, err = self.proc.communicate(timeout=zygtest.HANG_GUARD)
        return self.proc.returncode, err


@pytest.fixture
def touching():
    started = []

    def start(args, count=1):
        t = Touching([str(a) for a in args], count)
        started.append(t)
        return t

    yield start
    for t in started:
        if t.proc.poll() is None:
            t.proc.kill()
            t.proc.wait()


@pytest.mark.topology("hbm")
def test_nearest_memonly_puts_memory_on_each_nodes_memory_node(launcher, probe, touching,
                                                               tmp_path):
    log = tmp_path / "run.log"
    # rr_tree: the first process on node 0, its child on node 1.
    t = touching([launcher, "-p", "rr_tree", "-l", log, "--memory=nearest-memonly", probe,
                  "touch", "64", "fork", "{", "touch", "64", "readline", "}", "readline",
                  "wait"], count=2)
    pages = t.pages()
    assert t.finish()[0] == 0
    first, child = (pid for pid, _ in t.touched)
    assert first == t.proc.pid
    assert pages[first] == {2: PAGES}
    assert pages[child] == {3: PAGES}
    assert "Memory  placement     | nearest-memonly 0:2 1:3\n" in log.read_text()


def node_free_mb(node):
    text = pathlib.Path(f"/sys/devices/system/node/node{node}/meminfo").read_text()
    return int(re.search(r"MemFree:\s+(\d+) kB", text).group(1)) // 1024


@pytest.mark.topology("hbm")
def test_a_full_memory_node_falls_back_to_local_memory(launcher, probe, touching):
    filler = touching(["numactl", "--membind=2", probe, "touch", node_free_mb(2) - 32,
                       "readline"])
    assert filler.touched, filler.finish()
    t = touching([launcher, "-p", "rr_tree", "--memory=nearest-memonly", probe, "touch", "64",
                  "readline"])
    pages = t.pages()[t.proc.pid]
    assert t.finish()[0] == 0
    # Whatever node 2 could not take came from the task's own node 0.
    assert set(pages) <= {0, 2} and pages.get(0, 0) > 0
    assert sum(pages.values()) == PAGES


@pytest.mark.topology("hbm")
def test_interleave_memonly_spreads_over_the_node_and_its_memory_node(launcher, probe,
                                                                      touching):
    t = touching([launcher, "-p", "rr_tree", "--memory=interleave-memonly", probe, "touch",
                  "64", "readline"])
    pages = t.pages()[t.proc.pid]
    assert t.finish()[0] == 0
    assert set(pages) <= {0, 2}
    assert pages.get(0, 0) >= PAGES // 4 and pages.get(2, 0) >= PAGES // 4


@pytest.mark.topology("hbm")
def test_memory_only_nodes_never_receive_tasks(launcher, probe, tmp_path):
    log = tmp_path / "run.log"
    fork = ["fork", "{", "threads", "3", "{", "info", "}", "join", "}"]
    r = zygtest.launch(["-p", "rr_tree", "-t", "rr_tree", "-l", str(log),
                        "--memory=nearest-memonly"], [probe, *fork * 4, "wait"])
    assert r.returncode == 0, r.stderr
    nodes = [rec["node"] for rec in logrecords.parse_records(log.read_text())]
    assert set(nodes) == {"0", "1"}
    # "?": a thread that ended while its process was being listed.
    cpus = {t["cpus"] for t in zygtest.of_kind(zygtest.parse_probe(r.stdout), "TASK")}
    assert cpus - {"?"} == {"0-3", "4-7"}


@pytest.mark.topology("hbm")
def test_an_unknown_memory_mode_is_refused(launcher, probe):
    r = zygtest.launch(["--memory=fastest"], [probe, "echo", "ran"])
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == ('Error: unknown --memory value "fastest" (local, nearest-memonly or '
                        'interleave-memonly)\n')


@pytest.mark.topology("hbm")
@pytest.mark.parametrize("policies", [[], ["-p", "none"], ["-p", "none", "-t", "none"]],
                         ids=["no_policy", "process_none", "both_none"])
def test_a_memory_mode_without_a_policy_is_refused(launcher, probe, policies):
    # No task would be placed on one node: every page would stay where it
    # is without the option. One line, status 1, the command not run.
    r = zygtest.launch([*policies, "--memory=nearest-memonly"], [probe, "echo", "ran"])
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == ("Error: --memory=nearest-memonly needs a process or thread policy (-p, "
                        "-t): without one no task is placed on one node, and every page would "
                        "stay local\n")


def live_json(pid):
    r = subprocess.run([REPORT, "--live", str(pid), "--json"], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    import jsonschema
    jsonschema.Draft202012Validator(json.loads((SCHEMAS / "live-v1.json").read_text())).validate(doc)
    return doc


@pytest.mark.topology("hbm")
@pytest.mark.parametrize("mode", ["nearest-memonly", "interleave-memonly"])
def test_live_takes_memory_on_the_chosen_memory_node_as_the_tasks_own(launcher, probe, touching,
                                                                        mode, tmp_path):
    # Each process's pages are where the mode puts them: no warning, and
    # --live names each node's memory node. (The child is made before its
    # parent touches its memory: it shares none of its parent's pages.)
    log = tmp_path / "run.log"
    t = touching([launcher, "-p", "rr_tree", "-l", log, f"--memory={mode}", probe, "fork", "{",
                  "touch", "64", "readline", "}", "touch", "64", "readline", "wait"], count=2)
    try:
        doc = live_json(t.proc.pid)
        text = subprocess.run([REPORT, "--live", str(t.proc.pid)], capture_output=True,
                              text=True, timeout=60).stdout
    finally:
        assert t.finish()[0] == 0
    assert doc["unit"] == "node" and doc["memory_mode"] == mode
    assert [(n["node"], n["memory_node"]) for n in doc["nodes"]] == [(0, 2), (1, 3)]
    procs = {p["pid"]: p for p in doc["processes"]}
    first = t.proc.pid
    (child,) = {pid for pid, _ in t.touched} - {first}
    assert procs[first]["memory_nodes"] == [2] and procs[child]["memory_nodes"] == [3]
    # What is left remote is what the child shares of its parent's start.
    assert all(p["memory"]["remote_share"] < 0.01 for p in procs.values()), procs
    assert doc["warnings"] == [], doc["warnings"]
    assert f"  memory {mode} (node 0 -> 2, node 1 -> 3)\n" in text, text
    assert "warning" not in text, text
    # The log is kept for the page's test (report-tool/tests/data).
    keep = os.environ.get("ZYG_REPORT_KEEP_LOGS")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        shutil.copy(log, pathlib.Path(keep) / f"hbm_p_rr_tree_{mode.replace('-', '_')}.log")


@pytest.mark.topology("l3")
@pytest.mark.parametrize("mode", ["nearest-memonly", "interleave-memonly"])
def test_a_machine_without_a_memory_only_node_is_refused(launcher, probe, mode):
    r = zygtest.launch(["-p", "rr_tree", f"--memory={mode}"], [probe, "echo", "ran"])
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == (f"Error: --memory={mode}: no memory-only node (memory, no CPUs) on "
                        "this machine or in its cpuset\n")


@pytest.mark.topology("l3")
def test_the_library_refuses_a_memory_variable_set_by_hand(probe):
    env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB, ZYG_LAUNCH_MEMORY="nearest-memonly",
                            ZYG_LAUNCH_PROCESS_POLICY="rr_tree")
    r = zygtest.run([probe, "echo", "ran"], env=env)
    assert r.returncode == 1 and "ECHO" not in r.stdout
    assert r.stderr.splitlines()[-1] == (
        "zyg-nox error: --memory=nearest-memonly: no memory-only node on this machine or in its "
        "cpuset (a node with memory and no CPUs)")
