"""The debug library's trace of a launched tree: one file written by every
process image and thread, with the start-up, the launch data dump, the
environment dumps, and an echo of every launch-log record and report; and
the refusals and failures of the debug file itself.

The tree: the first process forks a child that creates a thread and then
execs the probe again, creates a thread of its own, spawns the probe, waits,
and stays alive (so that its launch data file can be read) until the test
ends it."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "integration"))
import debugtrace as dt  # noqa: E402
import zygtest  # noqa: E402
from test_startup_support import (LiveLaunch, parse_ldata,  # noqa: E402
                                  without_libnuma_warnings)

# These tests choose their own debug file: the installed launcher itself,
# even when the suite runs every launch with the debug library.
LAUNCHER = "/usr/bin/zyg-nox"
FULL_PATH_MSG = "Error: debug file must be specfied with a full path beginning with /\n"
OPEN_MSG = "Failed to open debug file (disabling debug for this process tree) "
CREATE_MSG = "Failed to create debug file (continuing without debug) "
ELOOP_TEXT = " : Too many levels of symbolic links\n"
# The 4x2 machine: two CPUs on each of four nodes.
NODES = 4
CPUS_PER_NODE = 2


def dbgclose_path():
    return str(zygtest.build_dir() / "tests" / "zyg-dbgclose")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    d = tmp_path_factory.mktemp("dbg")
    probe = zygtest.probe_path()
    paths = {"dbg": str(d / "dbg.txt"), "log": str(d / "run.log"), "err": str(d / "err.txt")}
    args = [LAUNCHER, "-d", paths["dbg"], "-p", "rr_tree", "-t", "rr_flat",
            "-l", paths["log"], "-e", paths["err"],
            probe, "env", "info",
            "fork", "{", "info", "thread", "{", "info", "}", "join",
            "execve", probe, probe, "info", ";", "}",
            "thread", "{", "info", "}", "join",
            "spawn", probe, probe, "info", ";",
            "wait", "echo", "ready", "sleep", "600000"]
    with LiveLaunch(args, cwd=str(d)) as run:
        data = parse_ldata(run.read_data())
        text = pathlib.Path(paths["dbg"]).read_text()
        log = pathlib.Path(paths["log"]).read_text()
    fork_pid = int(zygtest.of_kind(run.records, "FORK")[0]["pid"])
    spawn_pid = int(zygtest.of_kind(run.records, "SPAWN")[0]["pid"])
    return {"pid": run.pid, "fork": fork_pid, "spawn": spawn_pid, "paths": paths,
            "data": data, "text": text, "toks": dt.tokens(text), "log": log,
            "data_file": run.data_file, "out": run.out}


class TestTreeTrace:
    def test_records_are_whole_and_from_the_tree(self, tree):
        toks = tree["toks"]
        assert toks, "empty debug file"
        pids = {t.pid for t in dt.records(toks)}
        assert pids <= {tree["pid"], tree["fork"], tree["spawn"]}, pids
        assert {tree["pid"], tree["fork"], tree["spawn"]} <= pids
        for t in dt.records(toks):
            assert len(t.text) <= dt.RECORD_MAX
            if t.kind == "record" and len(t.text) < dt.RECORD_MAX:
                assert t.text.endswith("\n"), t

    def test_start_marker_per_process_image(self, tree):
        toks, pid = tree["toks"], tree["pid"]
        first = f"\n*** tid {pid} pid {pid} : INIT : launch_init for exec'd pid {pid}\n"
        assert tree["text"].startswith(first)
        markers = [(k, t) for k, t in enumerate(toks)
                   if t.kind == "record" and t.message.startswith("INIT : launch_init for exec'd")]
        # The first process, the program its forked child execs, the spawned one.
        assert sorted(t.pid for _, t in markers) == sorted([pid, tree["fork"], tree["spawn"]])
        for k, t in markers:
            assert t.message == f"INIT : launch_init for exec'd pid {t.pid}\n"
            assert t.tid == t.pid
            # The blank line is a write of its own: other writers may come
            # between it and the marker, but not a record of this process.
            j = k - 1
            while j >= 0 and toks[j].kind != "newline":
                assert toks[j].pid != t.pid, f"no blank line before {t}"
                j -= 1
            assert j >= 0, f"no blank line before {t}"

    def test_forked_child_writes_with_its_own_pid_before_its_exec(self, tree):
        toks = tree["toks"]
        child = [k for k, t in enumerate(toks) if t.kind in ("record", "echo")
                 and t.pid == tree["fork"]]
        marker = next(k for k in child if toks[k].message.startswith("INIT : launch_init"))
        assert child[0] < marker, "no record of the forked child before its exec"

    def test_first_process_start_up(self, tree):
        pid, p = tree["pid"], tree["paths"]
        want = [
            f"INIT : launch_init for exec'd pid {pid}\n",
            f"INIT : We are the initial process: {pid}\n",
            "INIT : initializing numa pointers\n",
            "INIT : initializing function pointers\n",
            "INIT : obtaining all passed variables\n",
            f"INIT : 64-bit Library is:        \"{zygtest.DEBUG_LIB}\"\n",
            f"INIT : Log file is:              \"{p['log']}\"\n",
            "INIT : Process Launch Policy is: \"rr_tree\" (1)\n",
            "INIT : Thread  Launch Policy is: \"rr_flat\" (1)\n",
            "INIT : Process Launch Type is:    (11)\n",
            "INIT : Thread  Launch Type is:    (10)\n",
            "INIT : CPU Launch value is:       (0)\n",
            "INIT : allocating ldata\n",
            f"INIT : initializing ZYG_LAUNCH_DATA_FILE to \"{tree['data_file']}\"\n",
            "INIT : initializing ldata\n",
            "INIT : initializing proc and thrd counts\n",
            "INIT : initializing global proc and thrd pointers\n",
            "INIT : build the launch map\n",
            "INIT : initializing the log file if specified\n",
            "INIT : Opening log file\n",
            "INIT : Initializing log file\n",
            "INIT : Done initializing log file\n",
            f"INIT : launch_init complete for pid {pid}\n",
        ]
        assert dt.missing_from_sequence(want, dt.messages(tree["toks"], pid)) is None

    def test_execd_image_start_up(self, tree):
        child = tree["fork"]
        msgs = dt.messages(tree["toks"], child)
        start = msgs.index(f"INIT : launch_init for exec'd pid {child}\n")
        want = [
            f"INIT : We are an exec'd process: {child}\n",
            f"INIT : Data File is:             \"{tree['data_file']}\"\n",
            "INIT : build the launch map\n",
            "INIT : Opening log file\n",
            f"INIT : launch_init complete for pid {child}\n",
        ]
        assert dt.missing_from_sequence(want, msgs[start:]) is None

    def test_creation_exec_and_spawn(self, tree):
        pid, child, spawned = tree["pid"], tree["fork"], tree["spawn"]
        first = dt.messages(tree["toks"], pid)
        assert dt.missing_from_sequence([
            "THIS IS THE fork() PRINTF\n",
            "Child process will be launched on node 1, cpu -1\n",
            "Calling the real fork()\n",
            f"Parent created child pid  == {child}, node 1, cpu -1\n",
            "Parent returning to user\n",
            "THIS IS THE pthread_create() PRINTF.\n",
            "Calling the real pthread_create()\n",
            "pthread_create() created child thread\n",
            "THIS IS THE posix_spawn() PRINTF.\n",
            "Child process will be launched on node 2, cpu -1\n",
            "Setting our launch vals for child to inherit\n",
            "Calling real posix_spawn()\n",
            f"Parent spawned child pid  == {spawned}, node 2, cpu -1\n",
            "Restoring our launch vals\n",
        ], first) is None
        # The first process's thread and the forked child's thread.
        threads = [t for t in dt.records(tree["toks"])
                   if t.kind == "record" and t.tid != t.pid]
        for owner in (pid, child):
            msgs = [t.message for t in threads if t.pid == owner]
            assert dt.missing_from_sequence(["Clone thread has started\n",
                                             "Thread calling real user function\n",
                                             "Thread returned from real user function\n"],
                                            msgs) is None, owner
            assert any(m.startswith("launching thread on node ") for m in msgs)
        msgs = dt.messages(tree["toks"], child)
        before_exec = msgs[:msgs.index(f"INIT : launch_init for exec'd pid {child}\n")]
        assert dt.missing_from_sequence([
            "child proc is running\n",
            "child launched on node 1, cpu -1\n",
            "child return-to / call user code\n",
            "THIS IS THE execve() PRINTF.\n",
            "Checking for environment variables\n",
            "Environment to be passed\n",
            "Calling real execve()\n",
        ], before_exec) is None

    def test_launch_data_dump_once_after_placement(self, tree):
        toks, pid, d = tree["toks"], tree["pid"], tree["data"]
        dumps = [k for k, t in enumerate(toks) if t.kind == "dump"]
        assert len(dumps) == 1
        before = [t.message for t in toks[:dumps[0]] if t.kind == "record" and t.pid == pid]
        after = [t.message for t in toks[dumps[0]:] if t.kind == "record" and t.pid == pid]
        assert "INIT : build the launch map\n" in before
        assert before[-1] == "set_launch(0, -1) - set_mempolicy\n"
        assert "INIT : initializing the log file if specified\n" in after
        dump = toks[dumps[0]].text
        # Byte for byte against the data file, which the tree shares.
        assert dump.startswith(dt.dump_header(d))
        # And against what this launch must hold, independently of the file.
        assert (d["lib64"], d["proc_policy_name"], d["thrd_policy_name"]) == (
            zygtest.DEBUG_LIB, "rr_tree", "rr_flat")
        assert (d["log_file"], d["error_file"]) == (tree["paths"]["log"], tree["paths"]["err"])
        assert (d["data_file"], d["initial_pid"]) == (f"/dev/shm/zyg-nox.{pid}", pid)
        assert (d["config_node_cnt"], d["avail_node_cnt"]) == (NODES, NODES)
        assert d["avail_cpu_cnt"] == NODES * CPUS_PER_NODE
        body = ""
        for i in range(NODES):
            placed = 1 if i == 0 else 0
            body += (f"*** l_nodes[{i}].node_id  = {i:3d}\n"
                     f"*** l_nodes[{i}].num_cpus = {CPUS_PER_NODE:3d}\n"
                     f"*** proc_tree->node[{i}].node_launched  =    {placed:4d}\t"
                     f"    (proc_log = {placed})\n"
                     f"*** thrd_tree->node[{i}].node_launched  =    {0:4d}\t    (thrd_log = 0)\n"
                     f"*** thrd_flat->node[{i}].node_launched  =    {0:4d}\n"
                     "*** \n")
        trailer = ("*** proc->next_node_index ==  1     node ID == 1\n"
                   "*** thrd->next_node_index ==  0     node ID == 0\n"
                   "***\n*** lib_loaded_cnt  == 1\n\n")
        assert dump == dt.dump_header(d) + body + trailer

    def test_environment_dumps(self, tree):
        dumps = dt.env_dumps(tree["toks"])
        # execve in the forked child and posix_spawn in the first process.
        by_pid = {x["pid"] for x in dumps}
        assert {tree["fork"], tree["pid"]} <= by_pid
        for x in dumps:
            entries = x["entries"]
            assert entries, x
            assert f"LD_PRELOAD={zygtest.DEBUG_LIB}" in entries
            assert f"ZYG_LAUNCH_DATA_FILE={tree['data_file']}" in entries
            assert f"ZYG_LAUNCH_DEBUG_FILE={tree['paths']['dbg']}" in entries
            assert f"ZYG_LAUNCH_ERROR_FILE={tree['paths']['err']}" in entries

    def test_every_log_record_is_echoed(self, tree):
        toks = tree["toks"]
        recs = dt.parse_log_records(tree["log"])
        assert recs, tree["log"]
        echoes = [t for t in toks if t.kind == "echo"]
        assert len(echoes) == len(recs)
        for r in recs:
            want = (f"log #: {r['entry']}, launch: node {r['node']}, cpu {r['cpu']}, "
                    f"from: {r['message']}, cmd: {r['cmdline']}")
            got = [t for t in echoes if t.message.startswith(f"log #: {r['entry']}, ")]
            assert len(got) == 1, r
            t = got[0]
            assert (t.pid, t.tid) == (r["pid"], r["tid"])
            assert t.text == (f"*** tid {t.tid} pid {t.pid} : " + want)[:dt.RECORD_MAX]
        # The bare newlines: one per process image's start and one per echo.
        newlines = sum(1 for t in toks if t.kind == "newline")
        assert newlines == 3 + len(echoes)
        first = [r["message"] for r in recs if r["pid"] == tree["pid"]]
        assert first[0] == "initial exec start"


def preload_env(**extra):
    """The debug library preloaded by hand, as the launcher would for a
    first process with a process policy."""
    return zygtest.clean_env(LD_PRELOAD=zygtest.DEBUG_LIB, ZYG_LAUNCH_LIB64=zygtest.DEBUG_LIB,
                             ZYG_LAUNCH_PROCESS_POLICY="rr_tree", **extra)


@pytest.fixture
def workdir(tmp_path):
    return tmp_path


class TestDebugFileName:
    @pytest.mark.parametrize("value", [None, "", "dbg.txt", "   ", " tmp/dbg.txt"],
                             ids=["missing", "empty", "relative", "blanks", "blank-relative"])
    def test_not_a_full_path_stops_the_program(self, probe, workdir, value):
        env = preload_env()
        if value is not None:
            env["ZYG_LAUNCH_DEBUG_FILE"] = value
        r = zygtest.run([probe, "echo", "ran"], env=env, cwd=str(workdir))
        assert r.returncode == 1
        assert r.stderr == FULL_PATH_MSG
        assert len(r.stderr.encode()) == 69
        assert r.stdout == ""
        assert list(workdir.iterdir()) == []

    def test_leading_blanks_before_a_full_path(self, probe, workdir):
        path = workdir / "t"
        r = zygtest.run([probe, "info"], env=preload_env(ZYG_LAUNCH_DEBUG_FILE="  " + str(path)),
                        cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        pid = int(zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]["pid"])
        assert path.read_text().startswith(
            f"\n*** tid {pid} pid {pid} : INIT : launch_init for exec'd pid {pid}\n")
        assert oct(path.stat().st_mode & 0o7777) == oct(0o666)

    def test_symbolic_link_runs_untraced(self, probe, workdir):
        target = workdir / "target"
        target.write_text("keep\n")
        target.chmod(0o600)
        link = workdir / "t"
        link.symlink_to(target)
        r = zygtest.run([probe, "echo", "ran"], env=preload_env(ZYG_LAUNCH_DEBUG_FILE=str(link)),
                        cwd=str(workdir))
        assert r.returncode == 0
        assert zygtest.of_kind(zygtest.parse_probe(r.stdout), "ECHO") == [
            {"kind": "ECHO", "value": "ran"}]
        assert without_libnuma_warnings(r.stderr) == (
            CREATE_MSG + str(link) + ELOOP_TEXT + OPEN_MSG + str(link) + ELOOP_TEXT)
        assert target.read_text() == "keep\n"
        assert target.stat().st_mode & 0o7777 == 0o600

    def test_report_is_echoed(self, probe, workdir):
        path = workdir / "t"
        path.write_text("")  # a later image of a tree appends to the tree's file
        env = preload_env(ZYG_LAUNCH_DEBUG_FILE=str(path),
                          ZYG_LAUNCH_DATA_FILE="/dev/shm/zyg-nox-missing")
        r = zygtest.run([probe, "info"], env=env, cwd=str(workdir))
        assert r.returncode == 0
        pid = int(zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]["pid"])
        w = "zyg-nox warning"
        message = (f"\n{w}: Can't stat the data file: No such file or directory\n"
                   f"{w}:     Launch policies will be disabled for PID: {pid}\n")
        assert message in r.stderr
        record = f"*** tid {pid} pid {pid} : {w}: {message}"
        assert record in path.read_text()


class TestDescriptorClosed:
    def test_trace_goes_on_in_a_reopened_file(self, workdir):
        path = workdir / "dbg.txt"
        r = zygtest.run([LAUNCHER, "-d", str(path), "-p", "rr_tree", dbgclose_path()],
                        cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        assert without_libnuma_warnings(r.stderr) == ""
        out = zygtest.parse_probe(r.stdout)
        assert int(zygtest.of_kind(out, "CLOSED")[0]["count"]) >= 1
        assert zygtest.of_kind(out, "DONE")[0]["status"] == "0"
        toks = dt.tokens(path.read_text())
        pid = toks[1].pid
        msgs = dt.messages(toks, pid)
        # Written after the close, through the file opened again.
        assert "THIS IS THE pthread_create() PRINTF.\n" in msgs
        assert "THIS IS THE exit() PRINTF\n" in msgs
        assert sum(1 for m in msgs if m.startswith("INIT : launch_init for exec'd")) == 1


class TestPropagation:
    def test_execd_program_gets_the_debug_file_after_the_error_file(self, probe, workdir):
        dbg, err = workdir / "dbg.txt", workdir / "err.txt"
        r = zygtest.run([LAUNCHER, "-d", str(dbg), "-e", str(err), "-p", "rr_tree", probe,
                         "execve_env", "A=1", "--", probe, probe, "env", ";"], cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        entries = zygtest.probe_env(r.stdout)
        names = [e.split("=", 1)[0] for e in entries]
        assert names == ["A", "LD_PRELOAD", "ZYG_LAUNCH_DATA_FILE", "ZYG_LAUNCH_ID",
                         "ZYG_LAUNCH_ERROR_FILE", "ZYG_LAUNCH_DEBUG_FILE", "ZYG_LAUNCH_PLACED_BY"]
        assert entries[-2] == f"ZYG_LAUNCH_DEBUG_FILE={dbg}"
        dumps = dt.env_dumps(dt.tokens(dbg.read_text()))
        assert [x["entries"] for x in dumps] == [entries]

    def test_stripped_environment_loses_it(self, probe, workdir):
        # A set-user-ID program of another user runs without the library.
        # (a fixed-address executable: a set-ID PIE is left to the loader).
        suid = workdir / "suid-probe"
        shutil.copy(zygtest.build_static_probe(workdir), suid)
        os.chown(suid, 65534, 65534)
        suid.chmod(0o4755)
        workdir.chmod(0o755)
        dbg = workdir / "dbg.txt"
        r = zygtest.run([LAUNCHER, "-d", str(dbg), "-p", "rr_tree", probe,
                         "execve_env", "A=1", f"ZYG_LAUNCH_DEBUG_FILE={dbg}",
                         "ZYG_LAUNCH_DATA_FILE=/dev/shm/x", "--", str(suid), str(suid), "env",
                         ";"], cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        assert zygtest.probe_env(r.stdout) == ["A=1"]
        dumps = dt.env_dumps(dt.tokens(dbg.read_text()))
        assert [x["entries"] for x in dumps] == [["A=1"]]


class TestTracePoints:
    @pytest.mark.parametrize("call", ["fork", "vfork"])
    def test_the_call_the_program_made_is_named(self, probe, workdir, call):
        # Both are carried out with the real fork; the trace names the call.
        path = workdir / "t"
        r = zygtest.run([probe, "info", call, "{", "}", "wait"],
                        env=preload_env(ZYG_LAUNCH_DEBUG_FILE=str(path)), cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        pid = int(zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]["pid"])
        text = path.read_text()
        other = "vfork" if call == "fork" else "fork"
        assert f"*** tid {pid} pid {pid} : Calling the real {call}()\n" in text
        assert f"*** tid {pid} pid {pid} : Calling the real {other}()\n" not in text

    def test_function_pointers_are_traced_once_per_image(self, probe, workdir):
        path = workdir / "t"
        r = zygtest.run([probe, "info"], env=preload_env(ZYG_LAUNCH_DEBUG_FILE=str(path)),
                        cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        assert path.read_text().count("INIT : initializing function pointers\n") == 1
