"""Launches under Open MPI's mpirun, one launch per rank:
    mpirun ... sh -c 'exec zyg-nox OPTIONS -l run.log.$OMPI_COMM_WORLD_RANK zyg-hybrid'
Each rank has its own launch data file and log, stays inside what mpirun
bound it to and spreads over it (see hpcrun.py for how this is read)."""
import subprocess

import pytest

import zygtest
from hpcrun import (ENV, GUARD, JobRun, check_confined_to_the_outer_nodes,
                    check_each_rank_is_its_own_launch, check_job_spread, collect_ranks, hybrid,
                    job_data_files, job_rank_command, nodes_of, rank_wrap)
from launchdata import keep_data_files, node_launched, parse_ldata, workdir  # noqa: F401

pytestmark = pytest.mark.topology("hpc")


def run_mpirun(workdir, np, mpi_options, zyg_options):
    """Runs the ranks to their end; returns {rank: Rank}."""
    env = zygtest.clean_env(**ENV, OMPI_MCA_mpi_warn_on_fork="0", OMPI_MCA_btl="self,vader")
    args = ["mpirun", "--allow-run-as-root", "-np", str(np), *mpi_options,
            "sh", "-c", rank_wrap("OMPI_COMM_WORLD_RANK"), hybrid(), *zyg_options]
    r = subprocess.run(keep_data_files(args), cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=GUARD)
    assert (r.returncode, r.stderr) == (0, ""), (r.stdout, r.stderr)
    return collect_ranks(r.stdout, workdir, np)


def test_bind_to_numa_keeps_each_rank_on_its_node(workdir):
    ranks = run_mpirun(workdir, 2, ["--map-by", "numa", "--bind-to", "numa"],
                       ["-p", "rr_tree", "-t", "rr_tree"])
    assert [nodes_of(k.outer) for _, k in sorted(ranks.items())] == [{0}, {1}]
    check_confined_to_the_outer_nodes(ranks, 1)
    check_each_rank_is_its_own_launch(ranks)


def test_four_cores_per_rank_spread_over_the_rank_s_two_nodes(workdir):
    ranks = run_mpirun(workdir, 2, ["--map-by", "slot:PE=4", "--bind-to", "core"],
                       ["-p", "rr_tree", "-t", "rr_tree"])
    assert [nodes_of(k.outer) for _, k in sorted(ranks.items())] == [{0, 1}, {2, 3}]
    check_confined_to_the_outer_nodes(ranks, 2)
    for k in ranks.values():
        # The rank itself, then its two children by round robin.
        assert node_launched(k.data, "proc_tree") == [2, 1]
    check_each_rank_is_its_own_launch(ranks)


BIND_TO_CORE = ["--map-by", "socket", "--bind-to", "core"]


def test_bind_to_core_with_cpu_launch_keeps_each_rank_on_its_core(workdir):
    # One core each: nothing to spread over, and nothing may be widened to
    # the rest of the core's node.
    ranks = run_mpirun(workdir, 4, BIND_TO_CORE, ["-p", "rr_tree", "-t", "rr_tree", "-c"])
    for n, k in ranks.items():
        assert len(k.outer) == 1 and nodes_of(k.outer) == {n}
        assert all(c == k.outer for c in k.tasks.values()), (n, k.outer, k.tasks)
        assert k.data["launch_nodes"] == str(n)
    check_each_rank_is_its_own_launch(ranks)


@pytest.mark.parametrize("job", [True, False], ids=["job", "rank-by-rank"])
def test_unbound_ranks_share_the_host_under_job(workdir, probe, job):
    """mpirun -np 4 --bind-to none: under --job the four ranks take the four
    nodes, and their eight threads and eight children go round them; each
    rank a launch of its own starts the same placements on the same node."""
    env = zygtest.clean_env(**ENV, OMPI_MCA_mpi_warn_on_fork="0", OMPI_MCA_btl="self,vader")
    for f in job_data_files():
        f.unlink()
    options = ["--job"] * job + ["-p", "rr_tree", "-t", "rr_tree", "-l", "run.log"]
    args = ["mpirun", "--allow-run-as-root", "-np", "4", "--bind-to", "none",
            *job_rank_command(options, probe)]
    r = subprocess.run(keep_data_files(args), cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=GUARD)
    assert (r.returncode, r.stderr) == (0, ""), (r.stdout, r.stderr)
    run = JobRun(r.stdout)
    if not job:
        assert run.rank_nodes == [0, 0, 0, 0]
        return
    check_job_spread(run, 4)
    files = job_data_files()
    assert len(files) == 1
    assert parse_ldata(files[0].read_bytes())["lib_loaded_cnt"] == 0
    log = (workdir / "run.log").read_text()
    assert log.count("Job rank ") == 4
