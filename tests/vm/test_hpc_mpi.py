"""Launches under Open MPI's mpirun: every rank is its own launch
(`mpirun ... sh -c 'exec zyg-nox ... -l run.log.$OMPI_COMM_WORLD_RANK
zyg-hybrid'`), with its own launch data file and log, confined to what
mpirun bound the rank to and spread over it.

What mpirun gave each rank is read by a shell in front of the launcher from
/proc/self/status ("OUTER" lines); what each task of the rank got is read by
the task itself from /proc while it runs (zyg-hybrid's SELF lines).  The run
is wrapped like launchdata.run_launch so that the launch data files outlive
their launches and can be read at the end."""
import os
import pathlib
import shutil
import subprocess

import pytest

import zygtest
from launchdata import (SHM, creation_and_end, keep_data_files, node_launched,  # noqa: F401
                        parse_ldata, parse_log, workdir)

pytestmark = pytest.mark.topology("hpc")

NODE_CPUS = {0: [0, 1], 1: [2, 3], 2: [4, 5], 3: [6, 7]}
GUARD = 600
# Prints the rank's binding as mpirun left it, then becomes the launcher
# with a log of the rank's own.
RANK_WRAP = ('sed -n "s/^Cpus_allowed_list:[[:space:]]*/OUTER rank=$OMPI_COMM_WORLD_RANK cpus=/p" '
             '/proc/self/status; exec zyg-nox "$@" -l "run.log.$OMPI_COMM_WORLD_RANK" "$0" 2')


def parse(cpulist):
    out = []
    for part in cpulist.split(","):
        lo, _, hi = part.partition("-")
        out.extend(range(int(lo), int(hi or lo) + 1))
    return out


def node_of(cpus):
    for n, cs in NODE_CPUS.items():
        if cs == cpus:
            return n
    return None


def nodes_of(cpus):
    return {n for n, cs in NODE_CPUS.items() if set(cs) & set(cpus)}


class Rank:
    """One rank's view: outer (CPUs mpirun gave it), pid, ldata, done,
    tasks {label: cpus} split into children and threads, data, log."""


def hybrid():
    path = zygtest.build_dir() / "tests" / "zyg-hybrid"
    if not path.is_file():
        pytest.fail(f"{path} not built (libopenmpi-dev and OpenMP needed)")
    return str(path)


def run_mpirun(workdir, np, mpi_options, zyg_options):
    """Runs the ranks to their end; returns {rank: Rank}."""
    env = zygtest.clean_env(OMP_NUM_THREADS="2", OMP_WAIT_POLICY="passive",
                            OMPI_MCA_mpi_warn_on_fork="0", OMPI_MCA_btl="self,vader")
    args = ["mpirun", "--allow-run-as-root", "-np", str(np), *mpi_options,
            "sh", "-c", RANK_WRAP, hybrid(), *zyg_options]
    r = subprocess.run(keep_data_files(args), cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=GUARD)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stderr == ""
    recs = zygtest.parse_probe(r.stdout)
    ranks = {}
    for rec in zygtest.of_kind(recs, "RANK"):
        k = Rank()
        k.pid, k.ldata = int(rec["pid"]), rec["ldata"]
        k.tasks, k.children, k.threads = {}, {}, {}
        ranks[int(rec["rank"])] = k
    assert sorted(ranks) == list(range(np)), r.stdout
    for rec in zygtest.of_kind(recs, "OUTER"):
        ranks[int(rec["rank"])].outer = parse(rec["cpus"])
    for rec in zygtest.of_kind(recs, "SELF"):
        label = rec["label"]
        k = ranks[int(label[1:].split("c")[0].split("t")[0])]
        cpus = parse(rec["cpus"])
        k.tasks[label] = cpus
        (k.children if "c" in label else k.threads)[label] = cpus
    for rec in zygtest.of_kind(recs, "DONE"):
        ranks[int(rec["rank"])].done = rec
    for n, k in ranks.items():
        k.data_path = pathlib.Path(k.ldata)
        k.data = parse_ldata(k.data_path.read_bytes())
        k.data_path.unlink()
        k.log_text = (workdir / f"run.log.{n}").read_text()
        k.log = parse_log(k.log_text)
    return ranks


def check_each_rank_is_its_own_launch(ranks, children):
    pids = set()
    for n, k in ranks.items():
        assert k.ldata == f"{SHM}/zyg-nox.{k.pid}"
        assert k.data["initial_pid"] == k.pid
        assert f"Initial PID           | {k.pid}\n" in k.log_text
        pids.add(k.pid)
        # Every process of the rank's tree ended, and ended once.
        assert k.done["children_ok"] == str(children)
        assert k.data["lib_loaded_cnt"] == 0
        per = creation_and_end(k.log)
        assert len(per) == 1 + children
        assert all(len(c) == 1 and len(e) == 1 for c, e in per.values()), per
    assert len(pids) == len(ranks)


def test_bind_to_numa_keeps_each_rank_on_its_node(workdir):
    ranks = run_mpirun(workdir, 2, ["--map-by", "numa", "--bind-to", "numa"],
                       ["-p", "rr_tree", "-t", "rr_tree"])
    for n, k in ranks.items():
        assert k.outer == NODE_CPUS[n]
        assert len(k.tasks) == 2 + 2
        assert all(c == k.outer for c in k.tasks.values()), k.tasks
        assert k.data["launch_nodes"] == str(n)
        assert f"Initial launch nodes  | {n}\n" in k.log_text
    check_each_rank_is_its_own_launch(ranks, 2)


def test_four_cores_per_rank_spread_over_the_rank_s_two_nodes(workdir):
    ranks = run_mpirun(workdir, 2, ["--map-by", "slot:PE=4", "--bind-to", "core"],
                       ["-p", "rr_tree", "-t", "rr_tree"])
    for n, k in ranks.items():
        own = {2 * n, 2 * n + 1}
        assert nodes_of(k.outer) == own and len(k.outer) == 4
        assert len(k.tasks) == 2 + 2
        nodes = {label: node_of(c) for label, c in k.tasks.items()}
        assert set(nodes.values()) <= own, k.tasks
        # Spread: the children over both nodes, and the threads too.
        assert {nodes[label] for label in k.children} == own
        assert {nodes[label] for label in k.threads} == own
        assert k.data["launch_nodes"] == ",".join(str(x) for x in sorted(own))
        assert node_launched(k.data, "proc_tree") == [2, 1]
    check_each_rank_is_its_own_launch(ranks, 2)


@pytest.mark.xfail(strict=True, reason=(
    "the library widens a rank bound to one core: its launch nodes are the "
    "nodes its affinity touches, and with -c the tasks take any CPU of those "
    "nodes (rank 0 on CPU 0 puts a child and a thread on CPU 1)"))
def test_bind_to_core_with_cpu_launch_keeps_each_rank_on_its_core(workdir):
    ranks = run_mpirun(workdir, 4, ["--map-by", "socket", "--bind-to", "core"],
                       ["-p", "rr_tree", "-t", "rr_tree", "-c"])
    for n, k in ranks.items():
        assert len(k.outer) == 1
        assert nodes_of(k.outer) == {n}
        assert len(k.tasks) == 2 + 2
        assert all(c == k.outer for c in k.tasks.values()), (n, k.outer, k.tasks)
    check_each_rank_is_its_own_launch(ranks, 2)


def test_bind_to_core_with_cpu_launch_stays_on_the_rank_s_node(workdir):
    # What does hold today under --bind-to core: each rank's tree stays on
    # the node of its core, one CPU per task.
    ranks = run_mpirun(workdir, 4, ["--map-by", "socket", "--bind-to", "core"],
                       ["-p", "rr_tree", "-t", "rr_tree", "-c"])
    for n, k in ranks.items():
        assert nodes_of(k.outer) == {n}
        assert all(len(c) == 1 and nodes_of(c) == {n} for c in k.tasks.values()), k.tasks
    check_each_rank_is_its_own_launch(ranks, 2)
