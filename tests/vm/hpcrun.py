"""Helpers of the VM tests under mpirun and srun (test_hpc_mpi.py,
test_hpc_slurm.py): every rank (or Slurm task) is its own launch, started
through a shell that first prints what the outer launcher bound it to, read
from /proc/self/status ("OUTER rank= cpus="), and then becomes
`zyg-nox OPTIONS -l run.log.<rank> zyg-hybrid 2`.  zyg-hybrid's tasks read
their own placement from /proc while they run (its SELF lines).  The launch
data files are kept past the end of their launches (launchdata's
keep_data_files) and read here."""
import pathlib

import pytest

import zygtest
from launchdata import SHM, creation_and_end, parse_ldata, parse_log

NODE_CPUS = {0: [0, 1], 1: [2, 3], 2: [4, 5], 3: [6, 7]}
GUARD = 600
CHILDREN = 2
THREADS = 2
# OpenMP threads that sleep when idle: the VM's CPUs are emulated and few.
ENV = {"OMP_NUM_THREADS": str(THREADS), "OMP_WAIT_POLICY": "passive"}


def rank_wrap(rank_var):
    """The shell text run as `sh -c TEXT HYBRID ZYG-OPTIONS...` for each rank;
    rank_var names the variable that holds the rank number."""
    return (f'sed -n "s/^Cpus_allowed_list:[[:space:]]*/OUTER rank=${rank_var} cpus=/p" '
            f'/proc/self/status; exec zyg-nox "$@" -l "run.log.${rank_var}" "$0" {CHILDREN}')


def parse(cpulist):
    out = []
    for part in cpulist.split(","):
        lo, _, hi = part.partition("-")
        out.extend(range(int(lo), int(hi or lo) + 1))
    return out


def node_of(cpus):
    """The node whose CPUs are exactly cpus, or None."""
    for n, cs in NODE_CPUS.items():
        if cs == cpus:
            return n
    return None


def nodes_of(cpus):
    return {n for n, cs in NODE_CPUS.items() if set(cs) & set(cpus)}


class Rank:
    """One rank's view: outer (CPUs the outer launcher gave it), pid, ldata,
    done (its DONE record), tasks {label: cpus} and the same split into
    children and threads, data (its parsed data file), log_text, log."""


def hybrid():
    path = zygtest.build_dir() / "tests" / "zyg-hybrid"
    if not path.is_file():
        pytest.fail(f"{path} not built (libopenmpi-dev and OpenMP needed)")
    return str(path)


def collect_ranks(out, workdir, np):
    """{rank: Rank} from the ranks' output, data files and logs; the data
    files are removed once read."""
    recs = zygtest.parse_probe(out)
    ranks = {}
    for rec in zygtest.of_kind(recs, "RANK"):
        k = Rank()
        k.pid, k.ldata = int(rec["pid"]), rec["ldata"]
        k.tasks, k.children, k.threads = {}, {}, {}
        ranks[int(rec["rank"])] = k
    assert sorted(ranks) == list(range(np)), out
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
        assert len(k.tasks) == CHILDREN + THREADS, (n, k.tasks)
        k.data_path = pathlib.Path(k.ldata)
        k.data = parse_ldata(k.data_path.read_bytes())
        k.data_path.unlink()
        k.log_text = (workdir / f"run.log.{n}").read_text()
        k.log = parse_log(k.log_text)
    return ranks


def check_each_rank_is_its_own_launch(ranks):
    """Each rank has a data file and a log of its own, and its whole tree
    ended: every process logged one creation and one end, and no process
    of it still counts as loaded."""
    pids = set()
    for k in ranks.values():
        assert k.ldata == f"{SHM}/zyg-nox.{k.pid}"
        assert k.data["initial_pid"] == k.pid
        assert f"Initial PID           | {k.pid}\n" in k.log_text
        pids.add(k.pid)
        assert k.done["children_ok"] == str(CHILDREN)
        assert k.data["lib_loaded_cnt"] == 0
        per = creation_and_end(k.log)
        assert len(per) == 1 + CHILDREN
        assert all(len(c) == 1 and len(e) == 1 for c, e in per.values()), per
    assert len(pids) == len(ranks)


def check_confined_to_the_outer_nodes(ranks, nodes_per_rank):
    """Every task of a rank on one whole node among the rank's own; its
    children and its threads each spread over all of those nodes."""
    for n, k in ranks.items():
        own = nodes_of(k.outer)
        assert len(own) == nodes_per_rank and k.outer == sorted(
            c for x in own for c in NODE_CPUS[x]), (n, k.outer)
        nodes = {label: node_of(c) for label, c in k.tasks.items()}
        assert set(nodes.values()) <= own, (n, k.outer, k.tasks)
        assert {nodes[label] for label in k.children} == own, (n, k.tasks)
        assert {nodes[label] for label in k.threads} == own, (n, k.tasks)
        assert k.data["launch_nodes"] == ",".join(str(x) for x in sorted(own))
        assert f"Initial launch nodes  | {k.data['launch_nodes']}\n" in k.log_text


# --- --job: the ranks of a host as one launch ---------------------------------

def job_rank_program(probe):
    """What each rank runs: two threads, then (once every rank has started
    and taken its place) its tasks reported, and two children that report."""
    return [probe, "threads", "2", "{", "sleep", "6000", "}", "sleep", "3000", "info", "fork",
            "{", "info", "}", "fork", "{", "info", "}", "wait", "join"]


def job_rank_command(zyg_options, probe):
    return [zygtest.LAUNCHER, *zyg_options, *job_rank_program(probe)]


class JobRun:
    """What the ranks reported: the node of each rank's main thread, of its
    threads, and of its children (lists, one entry per task)."""

    def __init__(self, out):
        recs = zygtest.parse_probe(out)
        tasks = {}
        for t in zygtest.of_kind(recs, "TASK"):
            tasks.setdefault(int(t["pid"]), {})[int(t["tid"])] = parse(t["cpus"])
        parents = {int(r["pid"]): int(r["ppid"]) for r in zygtest.of_kind(recs, "INFO")}
        ranks = {pid: ts for pid, ts in tasks.items() if len(ts) == 3}
        self.rank_nodes = sorted(node_of(ts[pid]) for pid, ts in ranks.items())
        self.thread_nodes = sorted(node_of(c) for pid, ts in ranks.items()
                                   for tid, c in ts.items() if tid != pid)
        self.child_nodes = sorted(node_of(ts[pid]) for pid, ts in tasks.items()
                                  if parents.get(pid) in ranks)


def job_data_files():
    return sorted(SHM.glob("zyg-nox.job-*.????????"))


def check_job_spread(run, np):
    """np ranks on as many nodes, their threads and children round the host."""
    assert run.rank_nodes == list(range(np)), run.rank_nodes
    assert run.thread_nodes == sorted(list(range(4)) * (2 * np // 4)), run.thread_nodes
    assert run.child_nodes == sorted(list(range(4)) * (2 * np // 4)), run.child_nodes
