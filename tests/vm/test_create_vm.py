"""Creation and end of processes and threads on the 4x2 machine (nodes 0-3,
CPUs 0-1 / 2-3 / 4-5 / 6-7): where fork, vfork, clone and pthread_create
children land, what the launch log records, and that lib_loaded_cnt comes
back to 0 when a whole tree has ended.  The CPUs of each node are written out
here, not taken from the library's view, so a wrong placement cannot agree
with itself."""
import pathlib
import struct
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "integration"))
import logrecords  # noqa: E402
import zygtest  # noqa: E402
from test_startup_support import (data_file_of, parse_ldata, remove_quietly,  # noqa: E402
                                  run_to_end, workdir)  # noqa: F401

NODE_CPUS = {0: "0-1", 1: "2-3", 2: "4-5", 3: "6-7"}
ALL_CPUS = "0-7"
LIB_LOADED_CNT = 24  # offset of the int32 in the data file header


def syscalls_path():
    return str(zygtest.build_dir() / "tests" / "zyg-syscalls")


@pytest.fixture(scope="module")
def syscalls():
    path = syscalls_path()
    if not pathlib.Path(path).is_file():
        pytest.fail(f"test program not built: {path} (set ZYG_BUILD)")
    return path


class Run:
    """One launch run to its end: probe records, the log's records and the
    launch data's lib_loaded_cnt."""

    def __init__(self, launcher, options, command, cwd, log=True):
        self.log_path = pathlib.Path(cwd) / "run.log"
        opts = list(options) + (["-l", str(self.log_path)] if log else [])
        self.pid, self.status, self.out, self.err = run_to_end(
            [launcher, *opts, *command], cwd=cwd)
        self.records = zygtest.parse_probe(self.out)
        path = data_file_of(self.pid)
        try:
            with open(path, "rb") as f:
                self.data = f.read()
        finally:
            remove_quietly(path)
        self.log = parse_log(self.log_path.read_text()) if log else []

    def kind(self, kind):
        return zygtest.of_kind(self.records, kind)

    def loaded_cnt(self):
        return struct.unpack_from("=i", self.data, LIB_LOADED_CNT)[0]

    def messages(self, pid=None):
        return [r["message"] for r in self.log if pid is None or r["pid"] == pid]

    def own_cpus(self):
        """{tid: cpus} of every task that ran info, from its own report (the
        TASK line of the calling thread after its INFO line; TASK lines of
        other tasks may show threads that are just ending)."""
        own, asking = {}, None
        for r in self.records:
            if r["kind"] == "INFO":
                asking = (r["pid"], r["tid"])
            elif r["kind"] == "TASK" and asking == (r["pid"], r["tid"]):
                own[int(r["tid"])] = r["cpus"]
                asking = None
        return own


def parse_log(text):
    """The record lines of a launch log (see logrecords); the banner and the
    column header are skipped."""
    return logrecords.parse_records(text)


def forks(n, body="info"):
    words = []
    for _ in range(n):
        words += ["fork", "{", *body.split(), "}"]
    return words


def child_pids(run):
    """Pids of the FORK lines, in creation order."""
    return [int(r["pid"]) for r in run.kind("FORK")]


def info_cpus(run, pid):
    """The cpus of process pid's main thread, from its own INFO/TASK lines."""
    tasks = [r for r in run.kind("TASK") if int(r["pid"]) == pid and int(r["tid"]) == pid]
    assert tasks, f"no TASK line of {pid} in:\n{run.out}"
    return tasks[0]["cpus"]


ENDS = {"exit()", "_exit()", "_Exit()", "implicit exit()", "syscall(SYS_exit_group)",
        "implicit fork_via_clone() exit", "implicit vfork_via_clone() exit"}


def ends_by_pid(run):
    ends = {}
    for r in run.log:
        if r["message"] in ENDS:
            ends.setdefault(r["pid"], []).append(r["message"])
    return ends


class TestProcessPlacement:
    def test_rr_tree_forks_go_round_the_nodes(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"], [probe, "info", *forks(4), "wait"], workdir)
        assert run.status == 0, run.err
        pids = child_pids(run)
        assert len(pids) == 4
        assert info_cpus(run, run.pid) == NODE_CPUS[0]
        assert [info_cpus(run, p) for p in pids] == [NODE_CPUS[n] for n in (1, 2, 3, 0)]
        # The parent logs each creation, each child its own start.
        created = [m for m in run.messages(run.pid) if m.startswith("Created PID")]
        assert created == [f"Created PID {p}" for p in pids]
        for p in pids:
            assert run.messages(p)[0] == "child start in fork()"

    def test_rr_tree_counts_across_the_tree(self, launcher, probe, workdir):
        # A grandchild continues the tree-wide round robin before its uncle.
        words = [probe, "fork", "{", "info", "fork", "{", "info", "}", "wait", "}", "wait",
                 "fork", "{", "info", "}", "wait"]
        run = Run(launcher, ["-p", "rr_tree"], words, workdir)
        assert run.status == 0, run.err
        parents = {int(r["pid"]): int(r["ppid"]) for r in run.kind("INFO")}
        assert len(parents) == 3
        child = next(p for p, pp in parents.items() if pp == run.pid and p in parents.values())
        grandchild = next(p for p, pp in parents.items() if pp == child)
        uncle = next(p for p, pp in parents.items() if pp == run.pid and p != child)
        assert info_cpus(run, child) == NODE_CPUS[1]
        assert info_cpus(run, grandchild) == NODE_CPUS[2]
        assert info_cpus(run, uncle) == NODE_CPUS[3]
        assert run.messages(child)[:2] == ["child start in fork()", f"Created PID {grandchild}"]

    def test_cpu_launch_binds_one_cpu(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree", "-c"], [probe, "info", *forks(2), "wait"],
                  workdir)
        assert run.status == 0, run.err
        assert info_cpus(run, run.pid) == "0"
        assert [info_cpus(run, p) for p in child_pids(run)] == ["2", "4"]

    def test_vfork_child_is_placed_like_a_fork_child(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"],
                  [probe, "vfork", "{", "exec", probe, "zyg-probe", "info", ";", "}", "wait"],
                  workdir)
        assert run.status == 0, run.err
        (pid,) = child_pids(run)
        assert info_cpus(run, pid) == NODE_CPUS[1]
        assert run.messages(pid)[0] == "child start in vfork()"
        assert f"Created PID {pid}" in run.messages(run.pid)

    def test_vfork_needs_no_copy_of_a_large_process(self, launcher, probe, workdir):
        # Under strict overcommit a process holding most of the commit limit
        # cannot fork (the copy would be charged again); vfork shares its
        # memory and must still work, its child placed.
        meminfo = dict(line.split(":", 1) for line in open("/proc/meminfo"))
        kib = {k: int(v.split()[0]) for k, v in meminfo.items() if k.startswith("Commit")}
        mode = pathlib.Path("/proc/sys/vm/overcommit_memory")
        saved = mode.read_text()
        mode.write_text("2")
        try:
            limit = (kib["CommitLimit"] - kib["Committed_AS"]) // 1024
            run = Run(launcher, ["-p", "rr_tree"],
                      [probe, "reserve", str(limit * 6 // 10), "fork", "{", "}", "wait",
                       "vforkexec", probe, "zyg-probe", "info", ";"], workdir)
        finally:
            mode.write_text(saved)
        assert run.status == 0, run.err
        assert run.kind("RESERVE") == [{"kind": "RESERVE", "ok": "1"}]
        assert run.kind("FORKFAIL") == [{"kind": "FORKFAIL", "fn": "fork", "errno": "12"}]
        (v,) = run.kind("VFORKEXEC")
        assert v["ran"] == "1" and v["errno"] == "0"
        assert info_cpus(run, int(v["pid"])) == NODE_CPUS[1]

    def test_clone_as_fork(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"], [probe, "clone", "{", "info", "}", "wait"],
                  workdir)
        assert run.status == 0, run.err
        (pid,) = child_pids(run)
        assert info_cpus(run, pid) == NODE_CPUS[1]
        assert run.messages(pid)[0] == "child start in fork_via_clone()"
        assert f"Created PID {pid}" in run.messages(run.pid)
        assert run.loaded_cnt() == 0

    def test_clone_as_vfork(self, launcher, syscalls, workdir):
        run = Run(launcher, ["-p", "rr_tree"], [syscalls, "clonevfork"], workdir)
        assert run.status == 0, run.err
        (rec,) = run.kind("CLONEVFORK")
        pid = int(rec["pid"])
        assert rec["status"] == "7"
        assert rec["seen"] == "1"  # it did share the parent's memory
        assert rec["cpus"] == NODE_CPUS[1]
        assert run.messages(pid) == ["child start in vfork_via_clone()",
                                     "implicit vfork_via_clone() exit"]
        assert run.loaded_cnt() == 0

    def test_raw_clone_is_neither_placed_nor_counted(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"],
                  [probe, "sysfork", "{", "info", "}", "wait", *forks(1), "wait"], workdir)
        assert run.status == 0, run.err
        raw, placed = child_pids(run)
        assert "syscall(SYS_clone) not supported" in run.messages(run.pid)
        assert info_cpus(run, raw) == NODE_CPUS[0]  # its parent's
        assert info_cpus(run, placed) == NODE_CPUS[1]  # the raw child took no turn
        assert f"Created PID {raw}" not in run.messages()
        assert run.loaded_cnt() == 0

    def test_rr_pack_child_keeps_its_tree_on_its_node(self, launcher, probe, workdir):
        words = [probe, "fork", "{", "env", "info", "fork", "{", "info", "}", "wait", "}",
                 "wait", *forks(1), "wait"]
        run = Run(launcher, ["-p", "rr_pack"], words, workdir)
        assert run.status == 0, run.err
        infos = {int(r["pid"]): int(r["ppid"]) for r in run.kind("INFO")}
        first, second = child_pids(run)[0], child_pids(run)[-1]
        grandchild = next(p for p, pp in infos.items() if pp == first)
        assert info_cpus(run, first) == NODE_CPUS[1]
        assert info_cpus(run, grandchild) == NODE_CPUS[1]
        assert info_cpus(run, second) == NODE_CPUS[2]
        env = zygtest.probe_env(run.out)
        assert zygtest.env_value(env, "ZYG_LAUNCH_DATA_FILE") is None
        assert zygtest.RELEASE_LIB not in (zygtest.env_value(env, "LD_PRELOAD") or "")
        # The rr_pack child creates without the library: no record of its fork.
        assert not [m for m in run.messages(first) if m.startswith("Created PID")]
        assert run.messages(grandchild) == []
        # A child that leaves placement leaves the count too: the tree ends at 0.
        assert run.loaded_cnt() == 0

    def test_rr_pack_child_that_execs_leaves_the_count(self, launcher, probe, workdir):
        words = [probe, "fork", "{", "exec", "/bin/true", "true", ";", "}",
                 "fork", "{", "info", "}", "wait"]
        run = Run(launcher, ["-p", "rr_pack"], words, workdir)
        assert run.status == 0, run.err
        assert [r["status"] for r in run.kind("CHILD")] == ["0", "0"]
        assert run.loaded_cnt() == 0

    def test_process_policy_none_thread_policy_set(self, launcher, probe, workdir):
        # The main thread was moved to node 0 by its first thread creation;
        # its fork child goes back to the initial launch nodes.
        run = Run(launcher, ["-t", "rr_tree"],
                  [probe, "thread", "{", "echo", "t", "}", "join", *forks(1), "wait", "info"],
                  workdir)
        assert run.status == 0, run.err
        (pid,) = child_pids(run)
        assert info_cpus(run, run.pid) == NODE_CPUS[0]
        assert info_cpus(run, pid) == ALL_CPUS


class TestThreadPlacement:
    def test_rr_tree_threads(self, launcher, probe, workdir):
        words = [probe]
        for _ in range(4):
            words += ["thread", "{", "info", "}", "join"]
        words += ["info"]
        run = Run(launcher, ["-t", "rr_tree"], words, workdir)
        assert run.status == 0, run.err
        infos = run.kind("INFO")
        assert len(infos) == 5
        own = run.own_cpus()
        threads = [int(r["tid"]) for r in infos[:4]]
        assert [own[t] for t in threads] == [NODE_CPUS[n] for n in (1, 2, 3, 0)]
        assert own[run.pid] == NODE_CPUS[0]  # the main thread, at the first creation
        msgs = run.messages(run.pid)
        assert msgs.count("user's pthread_create() main thrd") == 1
        assert len([m for m in msgs if m.startswith("Created TID")]) == 4
        starts = [r for r in run.log if r["message"] == "child start in pthread_create() by user"]
        assert sorted(r["tid"] for r in starts) == sorted(threads)
        ends = [r for r in run.log if r["message"] == "implicit user's pthread_create() exit"]
        assert sorted(r["tid"] for r in ends) == sorted(threads)

    def test_thread_policy_counts_main_thread_where_process_policy_put_it(
            self, launcher, probe, workdir):
        # The child runs on node 1 of 0, 1, 2: its main thread is counted
        # there, its threads go to 2, then 0.
        words = [probe, "fork", "{", "thread", "{", "info", "}", "join", "thread", "{", "info",
                 "}", "join", "info", "}", "wait"]
        run = Run(launcher, ["-p", "rr_tree", "-t", "rr_flat", "-n", "0,1,2"], words, workdir)
        assert run.status == 0, run.err
        (child,) = child_pids(run)
        own = run.own_cpus()
        threads = [int(r["tid"]) for r in run.kind("INFO") if int(r["tid"]) != child]
        assert own[child] == NODE_CPUS[1]
        assert [own[t] for t in threads] == [NODE_CPUS[2], NODE_CPUS[0]]

    def test_many_creators_beyond_the_record_pool(self, launcher, probe, workdir):
        # 8 threads each creating 8 at once: 72 creations against a pool of
        # 3 x 8 records. Every thread is created, placed and counted once.
        # Only the main thread joins: a thread's join would take its
        # siblings out of the probe's shared list too.
        words = [probe, "threads", "8", "{", "threads", "8", "{", "echo", "x", "}", "}", "join"]
        run = Run(launcher, ["-t", "rr_tree"], words, workdir, log=False)
        assert run.status == 0, run.err
        assert not run.kind("THREADFAIL")
        assert len(run.kind("ECHO")) == 64
        counts = [n["node_launched"] for n in parse_ldata(run.data)["thrd_tree"]["node"]]
        # The main thread and 72 new ones, round robin from node 0.
        assert counts == [19, 18, 18, 18]

    def test_clone_thread(self, launcher, syscalls, workdir):
        run = Run(launcher, ["-t", "rr_tree"], [syscalls, "clonethread"], workdir)
        assert run.status == 0, run.err
        (rec,) = run.kind("CLONETHREAD")
        tid = int(rec["tid"])
        assert tid > 0 and rec["ptid"] == rec["tid"]
        assert rec["cpus"] == NODE_CPUS[1]
        msgs = run.messages(run.pid)
        assert "clone() main thrd" in msgs
        assert f"Created TID {tid}" in msgs
        assert [r["message"] for r in run.log if r["tid"] == tid] == [
            "child start in clone()", "implicit clone() exit"]

    def test_failed_clones_keep_errno_and_give_their_records_back(
            self, launcher, syscalls, workdir):
        # More failures than the pool has records (3 x 8 CPUs): a record
        # kept by a failed clone would leave the last creators waiting.
        run = Run(launcher, ["-t", "rr_tree"], [syscalls, *["clonefail"] * 30, "join"],
                  workdir)
        assert run.status == 0, run.err
        assert [(r["rc"], r["errno"]) for r in run.kind("CLONEFAIL")] == [("-1", "22")] * 30
        assert len([m for m in run.messages() if m.startswith("Created TID")]) == 1
        (join,) = run.kind("JOIN")
        assert join["rc"] == "0"

    @pytest.mark.parametrize("log", [True, False], ids=["log", "nolog"])
    def test_join_gets_the_pointer(self, launcher, syscalls, workdir, log):
        run = Run(launcher, ["-t", "rr_tree"], [syscalls, "join"], workdir, log=log)
        assert run.status == 0, run.err
        (rec,) = run.kind("JOIN")
        assert rec["rc"] == "0"
        assert rec["got"] == rec["want"] == "0x123456789abcdef0"


class TestSyscall:
    def test_plain_numbers_pass_through_intact(self, launcher, syscalls, workdir):
        run = Run(launcher, ["-p", "rr_tree", "-t", "rr_tree"], [syscalls, "getpid", "mmap"],
                  workdir)
        assert run.status == 0, run.err
        (g,) = run.kind("GETPID")
        assert g["sys"] == g["libc"] == str(run.pid)
        (m,) = run.kind("MMAP")
        assert m["ok"] == "1"
        addr, libc = int(m["addr"], 16), int(m["libc"], 16)
        # A page next to libc's own: the same range, above 4 GiB.
        assert addr >> 32 != 0 and addr >> 32 == libc >> 32
        assert not [x for x in run.messages() if "syscall" in x]


class TestTermination:
    def test_tree_of_forks_counts_every_process_out_once(self, launcher, probe, workdir):
        words = [probe, "fork", "{", "fork", "{", "_exit", "0", "}", "wait", "}",
                 "fork", "{", "exit", "0", "}",
                 "fork", "{", "_Exit", "0", "}",
                 "fork", "{", "sysexit", "0", "}",
                 "vfork", "{", "_exit", "0", "}", "wait"]
        run = Run(launcher, ["-p", "rr_tree"], words, workdir)
        assert run.status == 0, run.err
        assert run.loaded_cnt() == 0
        ends = ends_by_pid(run)
        pids = {r["pid"] for r in run.log}
        assert len(pids) == 7
        assert all(len(ends.get(p, [])) == 1 for p in pids), ends
        assert ends[run.pid] == ["implicit exit()"]  # returned from main
        created = [m for m in run.messages() if m.startswith("Created PID")]
        assert len(created) == 6
        assert sorted(ends.values()) == sorted(
            [["implicit exit()"], ["_exit()"], ["exit()"], ["exit()"], ["_Exit()"],
             ["syscall(SYS_exit_group)"], ["_exit()"]])

    def test_exit_status_of_raw_exit_group(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"], [probe, "sysexit", "3"], workdir)
        assert run.status == 3
        assert run.messages() == ["initial exec start", "syscall(SYS_exit_group)"]
        assert run.loaded_cnt() == 0

    def test_raw_exit_of_threads(self, launcher, syscalls, workdir):
        # A thread's raw exit ends the thread only, uncounted; the last
        # thread's raw exit ends the process as _exit does.
        run = Run(launcher, ["-p", "rr_tree"], [syscalls, "threadexit", "lastexit", "5"],
                  workdir)
        assert run.status == 5
        (rec,) = run.kind("THREADEXIT")
        assert rec["rc"] == "0"
        ends = ends_by_pid(run)
        assert ends == {run.pid: ["_exit()"]}
        assert run.loaded_cnt() == 0

    def test_exit_then_finaliser_counts_once(self, launcher, probe, workdir):
        run = Run(launcher, ["-p", "rr_tree"], [probe, "exit", "0"], workdir)
        assert run.status == 0
        assert run.messages() == ["initial exec start", "exit()"]
        assert run.loaded_cnt() == 0
