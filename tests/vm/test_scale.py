"""Creation at scale: eight processes creating a thousand threads each at
the same time under one shared count, and ten thousand threads alive at once
in one process (bench/scale measures the same for speed)."""
import pytest

from launchdata import node_launched, run_launch, workdir  # noqa: F401


@pytest.fixture(scope="module")
def scale(build_dir):
    path = build_dir / "bench" / "bench_scale"
    if not path.is_file():
        pytest.fail(f"bench_scale not built: {path}")
    return str(path)


def test_eight_processes_of_a_thousand_threads_share_one_count(scale, workdir):
    # Every creation of the tree takes the one lock: none may be lost.
    run = run_launch(["-t", "rr_tree"], [scale, "threads", "8", "1000"], workdir, log=False)
    assert run.status == 0, run.err
    expected = 8 * 1000 + 8  # and each process's main thread, counted once
    for table in ("thrd_tree", "thrd_log"):
        counts = node_launched(run.data, table)
        assert sum(counts) == expected, (table, counts)
        assert max(counts) - min(counts) <= 1, (table, counts)


def test_ten_thousand_threads_alive_at_once(scale, workdir):
    run = run_launch(["-t", "rr_tree"], [scale, "live", "10000"], workdir, log=False)
    assert run.status == 0, run.err
    assert "LIVE threads=10000 " in run.out
    assert sum(node_launched(run.data, "thrd_tree")) == 10000 + 1
