"""Ordinary programs under the launcher in the 4x2 VM: an OpenMP program's
worker threads, Python multiprocessing's forked workers, a bash pipeline and
a statically linked program."""
import pathlib
import textwrap

import pytest

import zygtest
from launchdata import NODE_CPUS, ctest, node_launched, run_launch, workdir  # noqa: F401

NODE_OF = {v: k for k, v in NODE_CPUS.items()}


def test_openmp_workers_spread_over_the_nodes(workdir):
    omp = zygtest.build_dir() / "tests" / "zyg-omp"
    if not omp.is_file():
        pytest.skip("zyg-omp not built (no OpenMP in this compiler)")
    env = zygtest.clean_env(OMP_NUM_THREADS="4", OMP_WAIT_POLICY="passive")
    run = run_launch(["-t", "rr_flat"], [omp], workdir, env=env)
    assert run.status == 0, run.err
    assert run.of("SUM")[0] == {"kind": "SUM", "value": "6", "threads": "4"}
    cpus = run.self_cpus()
    assert sorted(cpus) == ["omp0", "omp1", "omp2", "omp3"]
    # Every thread on exactly one node, the four of them on four nodes:
    # the main thread is placed at libgomp's first pthread_create (node 0),
    # its workers on the nodes after it.
    assert all(c in NODE_OF for c in cpus.values()), cpus
    assert cpus["omp0"] == NODE_CPUS[0]
    assert sorted(NODE_OF[c] for c in cpus.values()) == [0, 1, 2, 3]
    assert sum(node_launched(run.data, "thrd_log")) == 4


PY_WORKERS = textwrap.dedent("""\
    import multiprocessing as mp
    import os

    def work(i):
        cpus = ",".join(str(c) for c in sorted(os.sched_getaffinity(0)))
        os.write(1, f"WORKER i={i} pid={os.getpid()} cpus={cpus}\\n".encode())

    if __name__ == "__main__":
        ctx = mp.get_context("fork")
        for i in range(4):
            p = ctx.Process(target=work, args=(i,))
            p.start()
            p.join()
            assert p.exitcode == 0, p.exitcode
        os.write(1, b"DONE\\n")
    """)


def test_python_multiprocessing_fork_workers_on_successive_nodes(workdir):
    script = workdir / "workers.py"
    script.write_text(PY_WORKERS)
    run = run_launch(["-p", "rr_tree"], ["/usr/bin/python3", script], workdir)
    assert run.status == 0, run.err
    assert "DONE" in run.out.split()
    workers = sorted(zygtest.of_kind(run.records, "WORKER"), key=lambda r: int(r["i"]))
    want = ["2,3", "4,5", "6,7", "0,1"]
    assert [w["cpus"] for w in workers] == want
    assert run.data["lib_loaded_cnt"] == 0


def test_bash_pipeline(workdir):
    # Every stage reads all its input: a stage killed by SIGPIPE (head
    # leaving early) would end without being counted out, which no library
    # can see.
    cmd = ["/bin/bash", "-c", "seq 1 5000 | sort -rn | sed -n 1p; (exit 3); echo status=$?"]
    run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
    assert (run.status, run.out, run.err) == (0, "5000\nstatus=3\n", "")
    assert sum(node_launched(run.data, "proc_log")) >= 4
    assert run.data["lib_loaded_cnt"] == 0


def test_bash_exit_status_passes_through(workdir):
    run = run_launch(["-p", "rr_flat"], ["/bin/bash", "-c", "true | false; exit 7"], workdir)
    assert (run.status, run.err) == (7, "")


def test_static_binary_runs_unplaced(workdir):
    static = pathlib.Path(workdir) / "zyg-ctest-static"
    src = pathlib.Path(__file__).resolve().parents[1] / "probe" / "zyg-ctest.c"
    r = zygtest.run(["gcc", "-O1", "-static", "-pthread", "-o", str(static), str(src)])
    if r.returncode != 0:
        pytest.skip("no static C library: " + r.stderr[-300:])
    r = zygtest.launch(["-p", "rr_tree", "-t", "rr_tree"],
                       [str(static), "self", "root", "forkw", "{", "self", "a", "}",
                        "threadw", "{", "self", "t", "}", "exitgroup", "5"], cwd=workdir)
    assert r.returncode == 5, r.stderr
    recs = {x["label"]: x for x in zygtest.of_kind(zygtest.parse_probe(r.stdout), "SELF")}
    assert sorted(recs) == ["a", "root", "t"]
    # The loader never preloads into a static program: nothing is placed.
    assert {x["cpus"] for x in recs.values()} == {"0-7"}
    assert [x["status"] for x in zygtest.of_kind(zygtest.parse_probe(r.stdout), "CHILD")] == \
        ["0"]


def test_demo_runs_on_an_installed_system(tmp_path):
    """scripts/demo, the README's first launch, with zyg-nox installed and no
    build beside the sources: it builds its program itself, and the tree
    spreads over the four nodes."""
    root = pathlib.Path(__file__).resolve().parents[2]
    r = zygtest.run([str(root / "scripts" / "demo"), str(tmp_path / "no-build")],
                    env=zygtest.clean_env(), timeout=120)
    assert r.returncode == 0, r.stderr
    nodes = {line.split()[-1] for line in r.stdout.splitlines()
             if line.lstrip().startswith(("process pid", "thread  pid"))}
    assert nodes == {"node0", "node1", "node2", "node3"}, r.stdout
