"""popen inside a launched tree (4x2): the shell is placed by the process
policy like a spawned child, the caller gets its own affinity back, and the
count of processes with the library returns to 0."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from launchdata import NODE_CPUS, node_launched, records_of, run_launch, workdir  # noqa: E402,F401
import zygtest  # noqa: E402


def counts_path():
    return str(zygtest.build_dir() / "tests" / "zyg-counts")


def test_popen_shell_is_placed_and_counted(workdir):
    run = run_launch(["-p", "rr_tree"], [counts_path(), "popen_cpus", "2"], workdir)
    assert run.status == 0, run.err
    shells = [r["cpus"] for r in run.of("POPEN")]
    # The first process took node 0; the two shells the next nodes in turn.
    assert shells == [NODE_CPUS[1], NODE_CPUS[2]], shells
    assert run.selfs["caller"]["cpus"] == NODE_CPUS[0]
    assert node_launched(run.data, "proc_log") == [1, 1, 1, 0]
    popens = [m for m in records_of(run.log, run.pid) if m.startswith("popen(")]
    assert popens == ["popen(exec grep Cpus_allowed_list: /proc/self/status)"] * 2
    assert run.data["lib_loaded_cnt"] == 0
