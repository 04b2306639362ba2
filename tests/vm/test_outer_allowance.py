"""A launch started with fewer CPUs than its nodes have (taskset, an MPI
rank bound to cores) places its tasks on its nodes in turn but only ever on
the CPUs it was given: placing never widens what the outer launcher gave."""
import pytest

from launchdata import ctest, run_launch, workdir  # noqa: F401


def fw(label):
    return ["forkw", "{", "self", label, "}"]


@pytest.mark.topology("4x2")
@pytest.mark.parametrize("given,options,want", [
    # One CPU of node 1 and one of node 2: the nodes alternate, each on its CPU.
    ("2,4", ["-p", "rr_tree"], {"root": "2", "a": "4", "b": "2", "c": "4"}),
    ("2,4", ["-p", "rr_tree", "-c"], {"root": "2", "a": "4", "b": "2", "c": "4"}),
    # Both CPUs of node 1 and one of node 2.
    ("2-4", ["-p", "rr_flat"], {"root": "2-3", "a": "4", "b": "2-3", "c": "4"}),
    # A single CPU: every task stays on it.
    ("3", ["-p", "rr_tree", "-c"], {"root": "3", "a": "3", "b": "3", "c": "3"}),
], ids=["one-cpu-per-node", "one-cpu-per-node-cpu-launch", "part-of-a-node", "single-cpu"])
def test_tasks_stay_on_the_given_cpus(ctest, workdir, given, options, want):
    cmd = [ctest, "self", "root", *fw("a"), *fw("b"), *fw("c")]
    run = run_launch(options, cmd, workdir, wrap=["taskset", "-c", given])
    assert run.status == 0, run.err
    assert run.self_cpus() == want
