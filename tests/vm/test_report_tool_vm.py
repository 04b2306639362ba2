"""zyg-nox-report on launch logs recorded here in the 4x2 VM, from real
programs: where the report says each task was placed must be where the task
found itself when it read its own affinity from /proc during the run, and
the report's per-node counts must equal the placement counters of the
launch data file.

With ZYG_REPORT_KEEP_LOGS=DIR every recorded log is also copied to DIR
(the logs under report-tool/tests/data were made that way)."""
import json
import re
import os
import pathlib
import shutil
import subprocess
import textwrap

import pytest

import zygtest
from launchdata import NODE_CPUS, ctest, node_launched, run_launch, workdir  # noqa: F401

REPORT = "/usr/bin/zyg-nox-report"
SCHEMA = pathlib.Path(__file__).resolve().parents[2] / "report-tool" / "schema" / "report-v1.json"
NODE_OF_CPUS = {v: k for k, v in NODE_CPUS.items()}
NODE_OF_CPU = {c: n for n, r in NODE_CPUS.items()
               for c in range(int(r.split("-")[0]), int(r.split("-")[1]) + 1)}


def node_of(cpus):
    """The node a task's Cpus_allowed_list puts it on: "2-3" -> "1",
    "5" -> "2" (CPU launch); anything wider is not one node."""
    if cpus in NODE_OF_CPUS:
        return str(NODE_OF_CPUS[cpus])
    if cpus.isdigit():
        return str(NODE_OF_CPU[int(cpus)])
    return None


@pytest.fixture(scope="module")
def report_tool():
    if not pathlib.Path(REPORT).is_file():
        pytest.fail(f"{REPORT} not installed")
    return REPORT


def report(run, name, report_tool):
    """The JSON report of an ended launch's log, validated against the schema."""
    path = pathlib.Path(run.workdir) / "run.log"
    keep = os.environ.get("ZYG_REPORT_KEEP_LOGS")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        shutil.copy(path, pathlib.Path(keep) / f"{name}.log")
    r = subprocess.run([report_tool, "--json", str(path)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    try:
        import jsonschema
    except ImportError:
        pytest.fail("python3-jsonschema is not installed")
    jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text())).validate(doc)
    assert len(doc["launches"]) == 1
    return doc["launches"][0]


def tasks_by_tid(launch):
    """{tid: (node, cpu, kind)} of every task in the report."""
    out = {}
    for p in launch["processes"]:
        out[p["pid"]] = (p["node"], p["cpu"], "process")
        for t in p["threads"]:
            out[t["tid"]] = (t["node"], t["cpu"], "thread")
    return out


def launch_in(workdir, options, command, env=None):
    run = run_launch(options, command, workdir, env=env)
    run.workdir = workdir
    return run


def counters_match(launch, run, tables=("proc_log", "thrd_log")):
    """The report's per-node counts equal the data file's placement counters."""
    rows = {r["node"]: r for r in launch["nodes"]}
    # The thread counters count main threads placed at their first thread
    # creation too, and so do the JSON's threads (main_threads of them).
    columns = {"proc_log": ("processes",), "thrd_log": ("threads",)}
    for table in tables:
        counts = node_launched(run.data, table)
        for i, entry in enumerate(run.data["l_nodes"][:run.data["avail_node_cnt"]]):
            row = rows.get(str(entry["node_id"]), {})
            assert sum(row.get(c, 0) for c in columns[table]) == counts[i], (table, entry["node_id"], launch["nodes"])


CTEST_TREE = ["self", "main", "forkw", "{", "self", "c1", "threadw", "{", "self", "t1", "}", "}",
              "forkw", "{", "self", "c2", "forkw", "{", "self", "c21", "}", "}",
              "threadw", "{", "self", "t2", "}", "threadw", "{", "self", "t3", "}",
              "forkw", "{", "self", "c3", "}"]


@pytest.mark.parametrize("options", [
    ["-p", "rr_tree", "-t", "rr_flat"],
    ["-p", "rr_flat", "-t", "rr_tree"],
    ["-p", "ff_tree", "-t", "rr_tree", "-c"],
    ["-p", "rr_tree", "-t", "pack", "-c"],
    ["-p", "pack", "-t", "rr_flat", "-n", "1-3"],
], ids=lambda o: "_".join(x.strip("-") for x in o))
def test_report_places_every_task_where_it_found_itself(workdir, ctest, report_tool, options):
    run = launch_in(workdir, options, [ctest, *CTEST_TREE])
    assert run.status == 0, run.err
    launch = report(run, "ctest_" + "_".join(x.strip("-") for x in options), report_tool)
    tasks = tasks_by_tid(launch)
    assert len(run.selfs) == 8
    for label, s in run.selfs.items():
        tid = int(s["tid"])
        assert tid in tasks, (label, s, sorted(tasks))
        node, cpu, kind = tasks[tid]
        want_kind = "process" if s["tid"] == s["pid"] else "thread"
        assert kind == want_kind, (label, kind)
        # Processes report before they create any thread (which could move
        # their main thread), threads right at their start.
        assert node == node_of(s["cpus"]), (label, s, node)
        if "-c" in options:
            assert cpu == int(s["cpus"]), (label, s, cpu)
    assert launch["process_count"] == 5
    assert launch["thread_count"] == 3
    assert all(p["end_kind"] == "exited" for p in launch["processes"])
    assert not [w for w in launch["warnings"] if "never ended" in w or "unevenly" in w], launch["warnings"]
    counters_match(launch, run)


PY_WORKERS = textwrap.dedent("""\
    import multiprocessing as mp
    import os

    def work(i):
        cpus = ",".join(str(c) for c in sorted(os.sched_getaffinity(0)))
        os.write(1, f"WORKER i={i} pid={os.getpid()} cpus={cpus}\\n".encode())

    if __name__ == "__main__":
        ctx = mp.get_context("fork")
        procs = [ctx.Process(target=work, args=(i,)) for i in range(6)]
        for p in procs:
            p.start()
        for p in procs:
            p.join()
        os.write(1, b"DONE\\n")
    """)


def test_report_of_python_multiprocessing(workdir, report_tool):
    script = workdir / "workers.py"
    script.write_text(PY_WORKERS)
    run = launch_in(workdir, ["-p", "rr_tree"], ["/usr/bin/python3", script])
    assert run.status == 0, run.err
    launch = report(run, "python_multiprocessing", report_tool)
    procs = {p["pid"]: p for p in launch["processes"]}
    workers = zygtest.of_kind(run.records, "WORKER")
    assert len(workers) == 6
    for w in workers:
        cpus = w["cpus"].replace(",", "-")
        assert procs[int(w["pid"])]["node"] == node_of(cpus), w
    counters_match(launch, run)
    nodes = {r["node"]: r["processes"] for r in launch["nodes"]}
    assert max(nodes.values()) - min(nodes.values()) <= 1, nodes


def test_report_of_an_openmp_program(workdir, report_tool):
    omp = zygtest.build_dir() / "tests" / "zyg-omp"
    if not omp.is_file():
        pytest.skip("zyg-omp not built (no OpenMP in this compiler)")
    env = zygtest.clean_env(OMP_NUM_THREADS="4", OMP_WAIT_POLICY="passive")
    run = launch_in(workdir, ["-t", "rr_flat"], [omp], env=env)
    assert run.status == 0, run.err
    launch = report(run, "openmp", report_tool)
    assert launch["process_count"] == 1
    p = launch["processes"][0]
    assert len(p["threads"]) == 3
    for label, s in run.selfs.items():
        if s["tid"] == s["pid"]:
            assert p["main_thread_node"] == node_of(s["cpus"]), (label, s)
        else:
            t = [t for t in p["threads"] if t["tid"] == int(s["tid"])]
            assert t and t[0]["node"] == node_of(s["cpus"]), (label, s, p["threads"])
    # Process policy none: only the thread counters are the policy's.
    counters_match(launch, run, tables=("thrd_log",))
    # rr_flat puts the three threads on the nodes after the main thread's;
    # the main thread, placed by the thread policy, is one of its node's
    # thread placements, and its only one.
    rows = {r["node"]: (r["threads"], r["main_threads"]) for r in launch["nodes"]
            if r["launch_node"]}
    assert rows == {n: (1, int(n == p["main_thread_node"])) for n in rows}, rows


REBOUND = textwrap.dedent("""\
    import os, subprocess, threading

    def bind_self():
        os.sched_setaffinity(0, {7})
        os.write(1, f"BOUND tid={threading.get_native_id()}\\n".encode())

    t = threading.Thread(target=bind_self)
    t.start()
    t.join()
    child = subprocess.run(["numactl", "-N", "3", "--", "sh", "-c", "echo MOVED pid=$$"])
    os.write(1, f"DONE status={child.returncode}\\n".encode())
    """)


def test_report_follows_tasks_moved_outside_the_policy(workdir, report_tool):
    """A thread that binds itself to CPU 7 and a child that runs numactl -N 3
    are reported where they ran last (node 3), beside where the policy put
    them, and each is named in a warning."""
    script = workdir / "rebound.py"
    script.write_text(REBOUND)
    run = launch_in(workdir, ["-p", "rr_tree"], ["/usr/bin/python3", script])
    assert run.status == 0, run.err
    assert zygtest.of_kind(run.records, "DONE")[0]["status"] == "0", run.out
    launch = report(run, "rebound", report_tool)
    tid = int(zygtest.of_kind(run.records, "BOUND")[0]["tid"])
    pid = int(zygtest.of_kind(run.records, "MOVED")[0]["pid"])
    procs = {p["pid"]: p for p in launch["processes"]}
    (thread,) = [t for t in procs[run.pid]["threads"] if t["tid"] == tid]
    assert (thread["node"], thread["last_node"], thread["last_cpu"]) == ("0", "3", 7), thread
    moved = procs[pid]
    assert moved["chain"][-2:] == ["numactl", "sh"], moved["chain"]
    assert (moved["node"], moved["last_node"]) == ("1", "3"), moved
    assert moved["execs"][-1]["node"] == "3", moved["execs"]
    (warning,) = [w for w in launch["warnings"] if "moved outside the launch policy" in w]
    assert f"PID {pid} " in warning and "placed on node 1, ran on node 3" in warning, warning
    assert f"thread {tid} of PID {run.pid} placed on node 0, ran on node 3 cpu 7" in warning, warning
    counters_match(launch, run, tables=("proc_log",))


MAKEFILE = textwrap.dedent("""\
    all: a b c d e f
    a b c d e f:
    \t@sh -c 'for i in 1 2 3; do /bin/true; done; echo $@ > $@'
    """)


def test_report_of_make_j4(workdir, report_tool):
    (workdir / "Makefile").write_text(MAKEFILE)
    run = launch_in(workdir, ["-p", "rr_tree"], ["make", "-s", "-j4", "-C", workdir])
    assert run.status == 0, run.err
    launch = report(run, "make_j4", report_tool)
    # make, one shell per recipe (six), three /bin/true in each.
    chains = [p["chain"] for p in launch["processes"]]
    assert sum(1 for c in chains if c[-1] == "true") == 18, chains
    assert launch["process_count"] >= 25
    assert all(p["end_kind"] == "exited" for p in launch["processes"])
    assert len(launch["roots"]) == 1
    counters_match(launch, run)
    assert not [w for w in launch["warnings"] if "unevenly" in w or "never" in w], launch["warnings"]
    text = subprocess.run([report_tool, str(workdir / "run.log")], capture_output=True, text=True, timeout=60)
    assert text.returncode == 0
    assert "18 x" not in text.stdout  # alike leaves group per parent shell: 3 x sh > true
    assert text.stdout.count("3 x sh > true") == 6, text.stdout


KILLED = textwrap.dedent("""\
    import os, signal, time
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(w, b"x")
        time.sleep(60)
        os._exit(0)
    os.read(r, 1)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    os.write(1, f"KILLED pid={pid}\\n".encode())
    """)


def test_report_of_a_killed_child(workdir, report_tool):
    script = workdir / "killed.py"
    script.write_text(KILLED)
    run = launch_in(workdir, ["-p", "rr_tree"], ["/usr/bin/python3", script])
    assert run.status == 0, run.err
    pid = int(zygtest.of_kind(run.records, "KILLED")[0]["pid"])
    launch = report(run, "killed_child", report_tool)
    procs = {p["pid"]: p for p in launch["processes"]}
    assert procs[pid]["end_kind"] == "never_ended"
    assert procs[pid]["end"] is None
    assert procs[run.pid]["end_kind"] == "exited"
    assert any("never ended" in w and str(pid) in w for w in launch["warnings"]), launch["warnings"]


# ------------------------------------------------------------ --plan against a real run

def plan_shape(children, threads):
    """zyg-ctest words for the shape --plan walks: the first process starts
    its threads one after another, then its children one after another,
    each of which starts its threads; every task reports itself first."""
    def threads_of(p):
        words = []
        for t in range(1, threads + 1):
            words += ["threadw", "{", "self", f"p{p}t{t}", "}"]
        return words
    words = ["self", "p0", *threads_of(0)]
    for c in range(1, children + 1):
        words += ["forkw", "{", "self", f"p{c}", *threads_of(c), "}"]
    return words


@pytest.mark.parametrize("options", [
    ["-p", "rr_tree", "-t", "rr_tree", "-c"],
    ["-p", "rr_flat", "-t", "rr_flat", "-c"],
    ["-p", "ff_tree", "-t", "ff_tree", "-c"],
    ["-p", "pack", "-t", "pack", "-c"],
    ["-p", "rr_tree", "-t", "rr_flat", "-c"],
    ["-p", "ff_flat", "-t", "rr_tree", "-c", "-n", "1-3"],
    ["-p", "rr_pack"],
], ids=lambda o: "_".join(x.strip("-") for x in o))
def test_plan_agrees_with_the_placements_of_a_real_run(workdir, ctest, report_tool, options):
    children, threads = 3, 2
    r = subprocess.run([report_tool, "--plan", *options, "--children", str(children), "--threads",
                        str(threads), "--json"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    plan = json.loads(r.stdout)
    assert plan["launch_nodes"] == ([1, 2, 3] if "-n" in options else [0, 1, 2, 3])
    run = launch_in(workdir, options, [ctest, *plan_shape(children, threads)])
    assert run.status == 0, run.err
    planned = [t for t in plan["tasks"] if t["thread"] != 0]  # main threads stay where their process is
    assert len(planned) == len(run.selfs) == (children + 1) * (threads + 1)
    for t in planned:
        label = f"p{t['process']}" + (f"t{t['thread']}" if t["thread"] else "")
        cpus = run.selfs[label]["cpus"]
        assert str(t["node"]) == node_of(cpus), (label, t, cpus)
        if "-c" in options:
            assert cpus == str(t["cpu"]), (label, t, cpus)


# ------------------------------------------------------------ --live in a running launch

def test_live_shows_where_each_task_runs(ctest, report_tool):
    # The first process (node 0) forks three children (nodes 1, 2, 3), each
    # of which starts two threads (round robin after its own node); all sleep.
    words = ["forks", "3", "{", "threads", "2", "{", "sleep", "20000", "}", "join", "}",
             "sleep", "20000", "waitall"]
    p = subprocess.Popen([zygtest.LAUNCHER, "-p", "rr_tree", "-t", "rr_flat", ctest, *words],
                         env=zygtest.clean_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         start_new_session=True)
    try:
        rows = []
        for _ in range(200):
            r = subprocess.run([report_tool, "--live", str(p.pid)], capture_output=True, text=True, timeout=60)
            rows = [line.split() for line in r.stdout.splitlines()
                    if len(line.split()) >= 7 and line.split()[0].isdigit() and line.split()[2].isdigit()]
            if r.returncode == 0 and len(rows) == 10:
                break
            subprocess.run(["sleep", "0.2"])
        assert len(rows) == 10, r.stdout + r.stderr  # 4 processes, 6 threads
        assert "4 processes, 10 tasks" in r.stdout
        for pid, ppid, tid, node, cpu, allowed, *_ in rows:
            # Each task runs now on a CPU of the node it was bound to.
            assert node == node_of(allowed), (pid, tid, node, allowed)
            assert NODE_OF_CPU[int(cpu)] == int(node)
        procs = sorted(node_of(allowed) for pid, ppid, tid, node, cpu, allowed, *_ in rows if pid == tid)
        assert procs == ["0", "1", "2", "3"]
        placed = re.findall(r"^  (\d) +\S+ +(\d+) +(\d+) +(\d+)$", r.stdout, re.M)
        assert [(n, int(pr)) for n, pr, th, now in placed] == [("0", 1), ("1", 1), ("2", 1), ("3", 1)], r.stdout
        # Six threads, and each child's main thread counted where it runs
        # when it first created a thread.
        assert sum(int(th) for n, pr, th, now in placed) == 9
    finally:
        os.killpg(p.pid, 9)
        p.wait()


# ------------------------------------------------------------ --live: where the memory is

# Touches 64 MiB of its own memory, then says so and sleeps.
TOUCH = ("import pathlib, sys, time\n"
         "b = b'x' * (64 << 20)\n"
         "pathlib.Path(sys.argv[1]).touch()\n"
         "time.sleep(600)")


def test_live_shows_memory_off_its_tasks_nodes(report_tool, tmp_path):
    # Launch nodes 1-3: one python keeps its memory on its own node, the
    # other is bound by numactl to node 0, which none of its tasks run on.
    local, bound = tmp_path / "local", tmp_path / "bound"
    script = (f'python3 -c "$0" {local} & numactl --membind=0 python3 -c "$0" {bound} & '
              "echo $! > pids; wait")
    p = subprocess.Popen([zygtest.LAUNCHER, "-p", "rr_tree", "-n", "1-3", "/bin/sh", "-c", script, TOUCH],
                         cwd=tmp_path, env=zygtest.clean_env(), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, start_new_session=True)
    try:
        for _ in range(600):
            if local.exists() and bound.exists():
                break
            subprocess.run(["sleep", "0.2"])
        assert local.exists() and bound.exists(), "the programs did not start"
        r = subprocess.run([report_tool, "--live", str(p.pid), "--json"], capture_output=True, text=True,
                           timeout=60)
        assert r.returncode == 0, r.stderr
        doc = json.loads(r.stdout)
        import jsonschema
        jsonschema.Draft202012Validator(json.loads((SCHEMA.parent / "live-v1.json").read_text())).validate(doc)
        pythons = {q["pid"]: q for q in doc["processes"] if q["command"] == "python3"}
        bound_pid = int((tmp_path / "pids").read_text())
        assert len(pythons) == 2 and bound_pid in pythons, doc["processes"]
        mine = pythons.pop(bound_pid)
        (other,) = pythons.values()
        own = {q["pid"]: {o["node"]: o["bytes"] for o in q["memory"]["own_bytes"]} for q in (mine, other)}
        # The local one: on one node of 1-3, its memory there, none elsewhere.
        assert len(other["run_nodes"]) == 1 and other["run_nodes"][0] in (1, 2, 3), other
        assert own[other["pid"]].get(other["run_nodes"][0], 0) >= 64 << 20, other
        assert other["memory"]["remote_share"] == 0, other
        # The bound one: its memory on node 0, away from its tasks.
        assert 0 not in mine["run_nodes"], mine
        assert own[bound_pid].get(0, 0) >= 64 << 20, mine
        assert mine["memory"]["remote_share"] > 0.9, mine
        assert [w for w in doc["warnings"] if w.startswith(f"PID {bound_pid} (python3): ")] == doc["warnings"]
        assert len(doc["warnings"]) == 1
        text = subprocess.run([report_tool, "--live", str(bound_pid)], capture_output=True, text=True,
                              timeout=60).stdout
        assert f"  warning: PID {bound_pid} (python3): " in text, text
    finally:
        os.killpg(p.pid, 9)
        p.wait()
