"""Termination accounting: however a process of a launch ends, it is counted
out of lib_loaded_cnt exactly once and its end shows in the log; after a
whole tree has ended the count is back at 0.  The launch data file is read
after the last process has ended (see launchdata.py)."""
import pytest

from launchdata import (creation_and_end, ctest, node_launched, records_of,  # noqa: F401
                        run_launch, workdir)

# (actions that end a process, its exit status, its end record(s))
ENDINGS = {
    "exit": (["exit", "0"], 0, ["exit()"]),
    "exit-status": (["exit", "9"], 9, ["exit()"]),
    "_exit": (["_exit", "4"], 4, ["_exit()"]),
    "_Exit": (["_Exit", "5"], 5, ["_Exit()"]),
    "exit_group": (["exitgroup", "3"], 3, ["syscall(SYS_exit_group)"]),
    # A thread ends by SYS_exit unseen; the last thread's SYS_exit ends the
    # process through _exit.
    "last-SYS_exit": (["threadsysexit", "lastsysexit", "6"], 6, ["_exit()"]),
}


def end_records(run, pid):
    return [m for m in records_of(run.log, pid) if m in (
        "exit()", "_exit()", "_Exit()", "syscall(SYS_exit_group)", "implicit exit()")]


class TestEachEnding:
    @pytest.mark.parametrize("name", list(ENDINGS))
    def test_process_and_its_child_counted_out_once(self, ctest, workdir, name):
        actions, status, records = ENDINGS[name]
        # The child (waited for) and then the first process end the same way.
        cmd = [ctest, "self", "root", "forkw", "{", "self", "c", *actions, "}", *actions]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == status, run.err
        assert [int(c["status"]) for c in run.of("CHILD")] == [status]
        child = int(run.selfs["c"]["pid"])
        for pid in (run.pid, child):
            assert end_records(run, pid) == records, pid
        assert run.data["lib_loaded_cnt"] == 0
        if name == "last-SYS_exit":
            # The thread that left by SYS_exit wrote its start, not its end.
            threads = {r["tid"] for r in run.log
                       if r["message"] == "child start in pthread_create() by user"}
            assert len(threads) == 2
            for t in threads:
                assert [r["message"] for r in run.log if r["tid"] == t] == [
                    "child start in pthread_create() by user"]

    def test_return_from_main(self, ctest, workdir):
        cmd = [ctest, "self", "root", "clonefork", "{", "self", "c", "}"]
        run = run_launch(["-p", "rr_tree"], cmd, workdir)
        assert run.status == 0, run.err
        assert end_records(run, run.pid) == ["implicit exit()"]
        assert records_of(run.log, int(run.selfs["c"]["pid"]))[-1] == \
            "implicit fork_via_clone() exit"
        assert run.data["lib_loaded_cnt"] == 0

    def test_two_threads_calling_exit_at_once(self, ctest, workdir):
        # Ten processes, each ended by two threads racing into _exit: each
        # is counted out once (a second count would take the total below 0).
        child = ["forkw", "{", "raceexit", "7", "}"]
        cmd = [ctest, *(child * 10), "raceexit", "8"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_tree"], cmd, workdir)
        assert run.status == 8, run.err
        assert [c["status"] for c in run.of("CHILD")] == ["7"] * 10
        assert run.data["lib_loaded_cnt"] == 0
        per = creation_and_end(run.log)
        assert len(per) == 11
        for pid, (created, ended) in per.items():
            assert len(created) == 1, pid
            assert ended and set(ended) == {"_exit()"}, (pid, ended)


class TestWholeTree:
    def test_count_back_at_zero_and_one_start_and_end_per_process(self, ctest, workdir):
        cmd = [ctest,
               "threads", "3", "{", "}",
               "fork", "{", "threadw", "{", "}", "forks", "2", "{", "_exit", "0", "}",
               "waitall", "}",
               "vforkw", "{", "}",
               "clonefork", "{", "}",
               "clonevfork", "{", "}",
               "forkw", "{", "exitgroup", "0", "}",
               "fork", "{", "clonethread", "{", "}", "_Exit", "0", "}",
               "join", "waitall"]
        run = run_launch(["-p", "rr_tree", "-t", "rr_flat"], cmd, workdir)
        assert run.status == 0, run.err
        assert all(c["status"] == "0" for c in run.of("CHILD"))
        per = creation_and_end(run.log)
        # root, fork + its 2 children, vfork, clonefork, clonevfork, forkw, fork
        assert len(per) == 9
        for pid, (created, ended) in per.items():
            assert len(created) == 1 and len(ended) == 1, (pid, created, ended)
        assert run.data["lib_loaded_cnt"] == 0
        assert sum(node_launched(run.data, "proc_log")) == 9
        assert sum(node_launched(run.data, "proc_tree")) == 9
