"""Launches under Slurm, one launch per task:
    srun ... sh -c 'exec zyg-nox OPTIONS -l run.log.$SLURM_PROCID zyg-hybrid'
and the same from a batch script given to sbatch.  Each task has its own
launch data file and log, stays inside what srun bound it to and spreads
over it (see hpcrun.py for how this is read).

The module starts its own single-host cluster in the VM and stops it at the
end, leaving nothing running: munged with a key made here, slurmctld and
slurmd with a slurm.conf of this VM's shape (four sockets of two cores, one
per NUMA node) and the task/affinity plugin, all state under a temporary
directory."""
import os
import pathlib
import signal
import socket
import subprocess
import tempfile
import textwrap
import time

import pytest

import zygtest
from hpcrun import (ENV, GUARD, JobRun, check_confined_to_the_outer_nodes,
                    check_each_rank_is_its_own_launch, check_job_spread, collect_ranks, hybrid,
                    job_data_files, job_rank_command, job_rank_program, nodes_of, rank_wrap)
from launchdata import keep_data_files, parse_ldata, workdir  # noqa: F401

pytestmark = pytest.mark.topology("hpc")

CGROOT = pathlib.Path("/sys/fs/cgroup")
DAEMONS = ("munged", "slurmctld", "slurmd")
STEP_OPTIONS = ["--mpi=pmix"]
SPANK_PLUGIN = "/usr/lib64/zyg-nox_spank.so"


def sh(*args, env=None, timeout=120):
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env,
                       timeout=timeout, stdin=subprocess.DEVNULL)
    assert r.returncode == 0, f"{args}: {r.stdout}{r.stderr}"
    return r.stdout


def slurm_conf(d, host):
    return textwrap.dedent(f"""\
        ClusterName=zygtest
        SlurmctldHost={host}(127.0.0.1)
        SlurmUser=root
        SlurmdUser=root
        AuthType=auth/munge
        AuthInfo=socket={d}/munge.socket
        CredType=cred/munge
        StateSaveLocation={d}/state
        SlurmdSpoolDir={d}/spool
        SlurmctldPidFile={d}/slurmctld.pid
        SlurmdPidFile={d}/slurmd.pid
        SlurmctldLogFile={d}/slurmctld.log
        SlurmdLogFile={d}/slurmd.log
        ProctrackType=proctrack/linuxproc
        TaskPlugin=task/affinity
        SelectType=select/cons_tres
        SelectTypeParameters=CR_Core
        MpiDefault=none
        ReturnToService=2
        JobCompType=jobcomp/none
        AccountingStorageType=accounting_storage/none
        NodeName={host} NodeAddr=127.0.0.1 CPUs=8 Boards=1 SocketsPerBoard=4 CoresPerSocket=2 ThreadsPerCore=1 RealMemory=1000 State=UNKNOWN
        PartitionName=zyg Nodes={host} Default=YES MaxTime=INFINITE State=UP
        """)


def read_pid(path):
    try:
        return int(pathlib.Path(path).read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def running_commands():
    """"NAME (pid PID, STATE)" of every process in the VM."""
    found = []
    for p in pathlib.Path("/proc").glob("[0-9]*"):
        try:
            stat = (p / "stat").read_text()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        state = stat[stat.rindex(")") + 2:].split()[0]
        found.append((name, f"{name} (pid {p.name}, {state})"))
    return found


@pytest.fixture(scope="module")
def slurm():
    """The environment for Slurm's clients, with the cluster up."""
    d = pathlib.Path(tempfile.mkdtemp(prefix="zyg-slurm"))
    host = socket.gethostname()
    # The daemons look their own host name up, and ask the resolver for
    # addresses only of families that have an address configured, where
    # 127.0.0.1 does not count: a second loopback address makes IPv4 count.
    with open("/etc/hosts", "a") as f:
        f.write(f"127.0.0.1 {host}\n")
    subprocess.run(["ip", "addr", "add", "127.0.0.2/8", "dev", "lo"], capture_output=True)
    # slurmd's cgroup code needs cgroup2 with the controllers on, and the
    # directory under which it makes its own scope (without systemd).
    if not (CGROOT / "cgroup.controllers").exists():
        sh("mount", "-t", "cgroup2", "none", CGROOT)
    (CGROOT / "cgroup.subtree_control").write_text("+cpuset +cpu +memory +pids")
    (CGROOT / "system.slice").mkdir(exist_ok=True)
    for sub in ("state", "spool"):
        (d / sub).mkdir()
    key = d / "munge.key"
    key.write_bytes(os.urandom(1024))
    key.chmod(0o600)
    conf = d / "slurm.conf"
    conf.write_text(slurm_conf(d, host))
    (d / "cgroup.conf").write_text("CgroupPlugin=cgroup/v2\nIgnoreSystemd=yes\n")
    # srun --zyg-nox=OPTIONS: the plugin as the README tells users to add it.
    (d / "plugstack.conf").write_text(f"required {SPANK_PLUGIN}\n")
    env = zygtest.clean_env(SLURM_CONF=str(conf), **ENV)
    pids = {}
    try:
        sh("munged", "--force", f"--key-file={key}", f"--socket={d}/munge.socket",
           f"--pid-file={d}/munged.pid", f"--log-file={d}/munged.log",
           f"--seed-file={d}/munge.seed")
        pids["munged"] = read_pid(d / "munged.pid")
        sh("slurmctld", "-f", conf, env=env)
        # The tasks are slurmd's descendants: started where `fuser` always
        # answers "in use", their launch data files stay to be read.
        sh(*keep_data_files(["slurmd", "-f", conf]), env=env)
        deadline = time.monotonic() + 180
        state = ""
        while time.monotonic() < deadline:
            for name in ("slurmctld", "slurmd"):
                pids[name] = read_pid(d / f"{name}.pid")
            state = subprocess.run(["sinfo", "-h", "-o", "%T"], capture_output=True, text=True,
                                   env=env).stdout.strip()
            if state == "idle" and all(pids.values()):
                break
            time.sleep(1)
        else:
            log = (d / "slurmd.log").read_text() if (d / "slurmd.log").exists() else ""
            pytest.fail(f"node state {state!r} after 180 s; slurmd.log:\n{log[-3000:]}")
        yield env
    finally:
        subprocess.run(["scancel", "--user=root"], env=env, capture_output=True)
        for name in reversed(DAEMONS):
            pid = pids.get(name)
            if pid:
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                deadline = time.monotonic() + 60
                while alive(pid) and time.monotonic() < deadline:
                    time.sleep(0.2)
                assert not alive(pid), f"{name} ({pid}) did not stop"
    # Children of the daemons (slurmd's own helpers, step daemons) go
    # after them.
    deadline = time.monotonic() + 60
    while True:
        left = [text for name, text in running_commands()
                if name in (*DAEMONS, "slurmstepd", "slurmscriptd")]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    assert left == [], f"still running: {left}"


def run_srun(slurm, workdir, np, srun_options, zyg_options):
    args = ["srun", *STEP_OPTIONS, "-n", str(np), *srun_options,
            "sh", "-c", rank_wrap("SLURM_PROCID"), hybrid(), *zyg_options]
    r = subprocess.run(args, cwd=workdir, env=slurm, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=GUARD)
    assert (r.returncode, r.stderr) == (0, ""), r.stdout
    return collect_ranks(r.stdout, workdir, np)


def test_srun_ldoms_keeps_each_task_on_its_node(slurm, workdir):
    ranks = run_srun(slurm, workdir, 2, ["-c", "2", "--cpu-bind=ldoms"],
                     ["-p", "rr_tree", "-t", "rr_tree"])
    assert [nodes_of(k.outer) for _, k in sorted(ranks.items())] == [{0}, {1}]
    check_confined_to_the_outer_nodes(ranks, 1)
    check_each_rank_is_its_own_launch(ranks)


def test_srun_four_cores_per_task_spread_over_the_task_s_two_nodes(slurm, workdir):
    ranks = run_srun(slurm, workdir, 2, ["-c", "4", "--cpu-bind=cores"],
                     ["-p", "rr_tree", "-t", "rr_tree"])
    assert [nodes_of(k.outer) for _, k in sorted(ranks.items())] == [{0, 1}, {2, 3}]
    check_confined_to_the_outer_nodes(ranks, 2)
    check_each_rank_is_its_own_launch(ranks)


def test_srun_cores_with_cpu_launch_keeps_each_task_on_its_core(slurm, workdir):
    # One core each, one per node: nothing may be widened to the rest of
    # the core's node.
    ranks = run_srun(slurm, workdir, 4, ["--cpu-bind=cores"],
                     ["-p", "rr_tree", "-t", "rr_tree", "-c"])
    for n, k in ranks.items():
        assert len(k.outer) == 1
        assert all(c == k.outer for c in k.tasks.values()), (n, k.outer, k.tasks)
        assert k.data["launch_nodes"] == str(min(nodes_of(k.outer)))
    assert sorted(min(nodes_of(k.outer)) for k in ranks.values()) == [0, 1, 2, 3]
    check_each_rank_is_its_own_launch(ranks)


def test_sbatch_script_running_zyg_nox(slurm, workdir):
    script = workdir / "job.sh"
    words = " ".join(f"'{w}'" for w in ["srun", *STEP_OPTIONS, "--cpu-bind=ldoms", "sh", "-c",
                                        rank_wrap("SLURM_PROCID"), hybrid(), "-p", "rr_tree",
                                        "-t", "rr_tree"])
    script.write_text(f"#!/bin/sh\n#SBATCH -n 2\n#SBATCH -c 2\n{words}\n")
    sh("sbatch", "--wait", f"--chdir={workdir}", f"--output={workdir}/job.out", script,
       env=slurm, timeout=GUARD)
    ranks = collect_ranks((workdir / "job.out").read_text(), workdir, 2)
    assert [nodes_of(k.outer) for _, k in sorted(ranks.items())] == [{0}, {1}]
    check_confined_to_the_outer_nodes(ranks, 1)
    check_each_rank_is_its_own_launch(ranks)


def test_srun_tasks_share_the_host_under_job(slurm, workdir, probe):
    """srun -n 4 -c 2 --cpu-bind=none (the step has every CPU): under --job
    the four tasks take the four nodes, their threads and children go round
    them, and the count is back to 0 at the end."""
    for f in job_data_files():
        f.unlink()
    args = ["srun", *STEP_OPTIONS, "-n", "4", "-c", "2", "--cpu-bind=none",
            *job_rank_command(["--job", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.log"],
                              probe)]
    r = subprocess.run(args, cwd=workdir, env=slurm, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=GUARD)
    assert (r.returncode, r.stderr) == (0, ""), r.stdout
    check_job_spread(JobRun(r.stdout), 4)
    files = job_data_files()
    assert len(files) == 1
    assert parse_ldata(files[0].read_bytes())["lib_loaded_cnt"] == 0


def test_srun_zyg_nox_option_starts_each_task_under_job(slurm, workdir, probe):
    """srun --zyg-nox='-p rr_tree -t rr_flat -l run.log' places every task,
    thread and child where `zyg-nox --job` with those options in front of
    the command places them, and logs every rank."""
    zyg = ["-p", "rr_tree", "-t", "rr_flat", "-l", "run.log"]
    runs = {}
    for form, args in (("option", [f"--zyg-nox={' '.join(zyg)}", *job_rank_program(probe)]),
                       ("launcher", job_rank_command(["--job", *zyg], probe))):
        for f in job_data_files():
            f.unlink()
        r = subprocess.run(["srun", *STEP_OPTIONS, "-n", "4", "-c", "2", "--cpu-bind=none", *args],
                           cwd=workdir, env=slurm, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=GUARD)
        assert (r.returncode, r.stderr) == (0, ""), (form, r.stdout)
        runs[form] = vars(JobRun(r.stdout))
        assert (workdir / "run.log").read_text().count("Job rank ") == 4, form
        assert parse_ldata(job_data_files()[0].read_bytes())["lib_loaded_cnt"] == 0, form
    assert runs["option"] == runs["launcher"]
    assert runs["option"]["rank_nodes"] == [0, 1, 2, 3]


def test_srun_zyg_nox_option_keeps_what_slurmstepd_gives_the_task(slurm, workdir):
    """The task prolog's variables and the limits --propagate carries, which
    slurmstepd sets up after the plugin's hook, reach the command under
    --zyg-nox as they reach it without; the command runs in the launch, and
    nothing of the plugin's hand-over is left in its environment."""
    prolog = workdir / "prolog.sh"
    prolog.write_text("#!/bin/sh\necho export FROM_PROLOG=yes\n")
    prolog.chmod(0o755)
    shown = ("echo prolog=$FROM_PROLOG nofile=$(ulimit -S -n) "
             "launch=${ZYG_LAUNCH_DATA_FILE:+yes} preload=$LD_PRELOAD; "
             "env | grep -c ^ZYG_SPANK_ || true")
    out = {}
    for form, extra in (("plain", []), ("option", ["--zyg-nox=-p rr_tree -l run.log"])):
        r = subprocess.run(["sh", "-c", 'ulimit -S -n 777 && exec "$@"', "sh", "srun",
                            *STEP_OPTIONS, "-n", "1", "--propagate=NOFILE",
                            f"--task-prolog={prolog}", *extra, "sh", "-c", shown],
                           cwd=workdir, env=slurm, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=GUARD)
        assert (r.returncode, r.stderr) == (0, ""), (form, r.stdout)
        out[form] = r.stdout.split()
    assert out["plain"] == ["prolog=yes", "nofile=777", "launch=", "preload=", "0"]
    assert out["option"] == ["prolog=yes", "nofile=777", "launch=yes",
                             f"preload={zygtest.RELEASE_LIB}", "0"]
    # The prolog, which slurmstepd runs with the task's environment, is no
    # rank of the job: the task alone is.
    assert (workdir / "run.log").read_text().count("Job rank ") == 1


def test_srun_zyg_nox_option_starts_a_static_command_too(slurm, workdir):
    # A static program cannot load the hand-over library: the plugin starts
    # the launcher itself.
    r = subprocess.run(["srun", *STEP_OPTIONS, "-n", "1", "--zyg-nox=-p rr_tree", "/bin/busybox",
                        "sh", "-c", "echo launch=${ZYG_LAUNCH_DATA_FILE:+yes}"],
                       cwd=workdir, env=slurm, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=GUARD)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "launch=yes\n")


def test_srun_zyg_nox_option_refuses_an_unbalanced_quote(slurm, workdir):
    for f in job_data_files():
        f.unlink()
    r = subprocess.run(["srun", *STEP_OPTIONS, "-n", "1", "--zyg-nox=-l 'run.log", "true"],
                       cwd=workdir, env=slurm, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=GUARD)
    assert r.returncode != 0
    assert "--zyg-nox=-l 'run.log: an unbalanced quote" in r.stderr
    assert not job_data_files()


def test_sbatch_zyg_nox_option_places_the_tasks_of_the_script_s_steps(slurm, workdir, probe):
    """sbatch --zyg-nox=OPTIONS hands the option to the steps the script
    starts; the batch script itself is no task and runs as it is."""
    for f in job_data_files():
        f.unlink()
    words = " ".join(f"'{w}'" for w in ["srun", *STEP_OPTIONS, "--cpu-bind=none",
                                        *job_rank_program(probe)])
    script = workdir / "job.sh"
    script.write_text(f"#!/bin/sh\necho \"script preload=$LD_PRELOAD\"\n{words}\n")
    sh("sbatch", "--wait", "-n", "4", "-c", "2", "--zyg-nox=-p rr_tree -t rr_tree",
       f"--chdir={workdir}", f"--output={workdir}/job.out", script, env=slurm, timeout=GUARD)
    out = (workdir / "job.out").read_text()
    assert "script preload=\n" in out
    check_job_spread(JobRun(out), 4)
