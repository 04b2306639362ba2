"""Many processes creating threads and children at the same moment under
rr_tree with the launch log on: afterwards every placement is counted once,
every log line is whole, entry numbers run 1..N without a gap or repeat, and
every process has one start and one end record.  Sized to stay within a
minute or so in the emulated 4x2 VM."""
import collections

from launchdata import (creation_and_end, ctest, node_launched, run_launch,  # noqa: F401
                        workdir)

PROCS = 4           # children of the first process, running at once
THREADS = 100       # threads each of them creates at once
KIDS = 8            # children each of them forks at once ...
KID_THREADS = 6     # ... each creating this many threads at once


def test_counts_and_log_of_a_busy_tree(ctest, workdir):
    kid = ["threads", str(KID_THREADS), "{", "}", "join"]
    proc = ["threads", str(THREADS), "{", "}", "forks", str(KIDS), "{", *kid, "}",
            "join", "waitall"]
    cmd = [ctest, "forks", str(PROCS), "{", *proc, "}", "waitall"]
    run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
    assert run.status == 0, run.err
    assert not run.of("THREADFAIL") and not run.of("FORKFAIL")
    assert run.err == ""

    processes = 1 + PROCS + PROCS * KIDS
    threads = PROCS * THREADS + PROCS * KIDS * KID_THREADS
    # Every process but the first creates threads, and its main thread is
    # counted once at its first creation.
    main_threads = PROCS + PROCS * KIDS
    assert sum(node_launched(run.data, "proc_log")) == processes
    assert sum(node_launched(run.data, "proc_tree")) == processes
    assert sum(node_launched(run.data, "thrd_log")) == threads + main_threads
    assert sum(node_launched(run.data, "thrd_tree")) == threads + main_threads
    # Round robin over 4 nodes: no node is more than one ahead of another.
    for table in ("proc_tree", "thrd_tree"):
        counts = node_launched(run.data, table)
        assert max(counts) - min(counts) <= 1, (table, counts)
    assert run.data["lib_loaded_cnt"] == 0

    log = run.log  # parse_log asserted that every line has all its columns
    entries = sorted(r["entry"] for r in log)
    assert entries == list(range(1, len(log) + 1))
    assert run.data["log_entry_cnt"] == len(log)

    messages = collections.Counter(r["message"] for r in log)
    assert messages["child start in pthread_create() by user"] == threads
    assert messages["implicit user's pthread_create() exit"] == threads
    assert messages["user's pthread_create() main thrd"] == main_threads
    assert sum(n for m, n in messages.items() if m.startswith("Created TID ")) == threads
    assert sum(n for m, n in messages.items() if m.startswith("Created PID ")) == processes - 1
    per = creation_and_end(log)
    assert len(per) == processes
    for pid, (created, ended) in per.items():
        assert len(created) == 1 and len(ended) == 1, (pid, created, ended)

