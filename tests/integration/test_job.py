"""--job on one host: the ranks of a job step, started together as a starter
starts them (here with Open MPI's variables set by hand), share one launch:
one data file, one log that no rank starts anew, every record of every
rank in it, and the count back to 0 when they have ended."""
import os
import pathlib
import struct
import subprocess
import uuid

import pytest

import zygtest
import logrecords

RANKS = 8
# What each rank runs: a child and two threads, then a wait that lets every
# rank start before the first ends.
WORK = ["fork", "{", "echo", "child", "}", "threads", "2", "{", "echo", "thread", "}", "join",
        "wait", "sleep", "300", "env"]


def rank_env(job, rank, size=RANKS):
    return zygtest.clean_env(OMPI_COMM_WORLD_RANK=str(rank), OMPI_COMM_WORLD_LOCAL_RANK=str(rank),
                             OMPI_COMM_WORLD_SIZE=str(size),
                             OMPI_COMM_WORLD_LOCAL_SIZE=str(size), PMIX_NAMESPACE=job)


def start_ranks(options, probe, cwd, job, size=RANKS):
    procs = [subprocess.Popen([zygtest.LAUNCHER, *options, probe, *WORK], env=rank_env(job, r, size),
                              cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for r in range(size)]
    outs = [p.communicate(timeout=zygtest.HANG_GUARD) for p in procs]
    for p, (out, err) in zip(procs, outs):
        assert (p.returncode, err) == (0, ""), err
    return [out for out, _ in outs]


def records(path):
    return logrecords.parse_records(pathlib.Path(path).read_text())


@pytest.fixture
def job():
    return f"zygtest-{uuid.uuid4().hex[:12]}"


def test_ranks_share_one_launch_and_one_log(probe, tmp_path, job):
    # One rank alone: the records a rank writes.
    alone = tmp_path / "alone"
    alone.mkdir()
    start_ranks(["--job", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.log"], probe, alone,
                job + "-alone", size=1)
    per_rank = len(records(alone / "run.log"))
    outs = start_ranks(["--job", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.%j.log"], probe,
                       tmp_path, job)
    files = {zygtest.env_value(zygtest.probe_env(o), "ZYG_LAUNCH_DATA_FILE") for o in outs}
    assert len(files) == 1
    data_file = files.pop()
    assert pathlib.Path(data_file).name.startswith("zyg-nox.job-")
    log = tmp_path / f"run.{job}.log"
    recs = records(log)
    assert len(recs) == RANKS * per_rank
    ranks = sorted(r["message"] for r in recs if r["message"].startswith("Job rank "))
    assert ranks == sorted(f"Job rank {r} of {RANKS} (local {r})" for r in range(RANKS))
    text = log.read_text()
    assert text.count("\nJob                   | openmpi " + job + "\n") == 1
    assert f"Ranks                 | {RANKS}, {RANKS} on this host\n" in text
    # All ended: the count is back to 0.
    assert struct.unpack_from("=i", pathlib.Path(data_file).read_bytes(), 24)[0] == 0
    # A rank of the job that starts after the others have ended, and after a
    # clean-up took their launch's file, adds to the host's log.
    subprocess.run([zygtest.LAUNCHER, "-r"], check=True)
    assert not pathlib.Path(data_file).exists()
    start_ranks(["--job", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.%j.log"], probe, tmp_path,
                job, size=1)
    assert len(records(log)) == (RANKS + 1) * per_rank
    # A new job starts its log anew.
    start_ranks(["--job", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.log"], probe, alone,
                job + "-again", size=1)
    assert len(records(alone / "run.log")) == per_rank


def test_a_first_rank_removes_what_an_earlier_run_of_the_job_left(probe, tmp_path, job):
    # A run of the job whose key file went (a clean-up's, or by hand) left
    # its data file: the next first rank takes the name for its own launch.
    outs = start_ranks(["--job", "-p", "rr_tree", "-l", "first.log"], probe, tmp_path, job, size=1)
    data_file = pathlib.Path(zygtest.env_value(zygtest.probe_env(outs[0]), "ZYG_LAUNCH_DATA_FILE"))
    key = data_file.with_name(data_file.name.rsplit(".", 1)[0] + ".key")
    key.unlink()
    left = data_file.stat().st_ino
    outs = start_ranks(["--job", "-p", "rr_tree", "-l", "second.log"], probe, tmp_path, job, size=1)
    assert zygtest.env_value(zygtest.probe_env(outs[0]), "ZYG_LAUNCH_DATA_FILE") == str(data_file)
    assert data_file.stat().st_ino != left
    assert any(r["message"] == "Job rank 0 of 1 (local 0)" for r in records(tmp_path / "second.log"))


def test_each_rank_its_own_log_without_job(probe, tmp_path, job):
    start_ranks(["-p", "rr_tree", "-l", "run.%r.log"], probe, tmp_path, job)
    counts = {len(records(tmp_path / f"run.{r}.log")) for r in range(RANKS)}
    assert len(counts) == 1 and counts.pop() > 0


@pytest.mark.parametrize("options,env,message", [
    (["--job", "-p", "rr_tree"], {}, "Error: zyg-nox --job: no job in the environment (the "
                                     "variables of Slurm, Open MPI, PMIx or MPICH)\n"),
    (["--job", "-p", "rr_tree", "-l", "run.%r.log"], {"SLURM_JOB_ID": "1", "SLURM_PROCID": "0"},
     "Error: zyg-nox: %r in a file name under --job: a host's ranks write one log\n"),
    (["-p", "rr_tree", "-l", "run.%r.log"], {},
     "Error: zyg-nox: %r in a file name, but no job in the environment\n"),
    (["--job", "-p", "rr_pack"], {"SLURM_JOB_ID": "1", "SLURM_PROCID": "0"},
     "Error: zyg-nox --job: rr_pack places the children of one first process; a job's ranks "
     "cannot share it\n"),
], ids=["no-job", "rank-in-a-job-log", "rank-without-job", "rr_pack"])
def test_refused_before_the_command_runs(probe, tmp_path, options, env, message):
    r = zygtest.run([zygtest.LAUNCHER, *options, probe, "echo", "ran"],
                    env=zygtest.clean_env(**env), cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", message)
