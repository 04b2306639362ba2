"""A program exec'd inside a launch attaches to the data file that
ZYG_LAUNCH_DATA_FILE names.  Here the variable and LD_PRELOAD are set by
hand.  Whatever is wrong with the file, the program runs (unplaced, without
the library for what it starts) and says why, once, on standard error."""
import os
import re
import struct
import subprocess

import pytest

import zygtest
from test_startup_support import (LIVE_ACTIONS, NO_INITIAL_NODES, LiveLaunch, disable_stderr,
                                  workdir)  # noqa: F401

ACTIONS = ["info", "env", "echo", "done"]


@pytest.fixture(scope="module")
def real_file(launcher, probe):
    """The bytes of a real launch's data file (rr_tree)."""
    with LiveLaunch([launcher, "-p", "rr_tree", probe, *LIVE_ACTIONS]) as run:
        data = run.read_data()
    assert struct.unpack_from("=I", data, 0)[0] == 1
    return data


def own_cpus():
    for line in open("/proc/self/status"):
        if line.startswith("Cpus_allowed_list:"):
            return line.split()[1]
    raise AssertionError("no Cpus_allowed_list")


# The launch these tests write files for (zygtest.seal_header).
TEST_ID = zygtest.make_launch_id()


def sealed(data):
    return zygtest.seal_header(data, TEST_ID)


def attach(probe, path, launch_id=TEST_ID):
    """Runs the probe as if exec'd in a launch whose data file is path."""
    env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB, ZYG_LAUNCH_DATA_FILE=str(path),
                            ZYG_LAUNCH_ID=launch_id)
    p = subprocess.Popen([probe, *ACTIONS], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out, err = p.communicate(timeout=zygtest.HANG_GUARD)
    return p.pid, p.returncode, out, err


def assert_ran_unplaced_without_library(status, out):
    assert status == 0
    recs = zygtest.parse_probe(out)
    assert recs[-1] == {"kind": "ECHO", "value": "done"}
    assert [r["cpus"] for r in zygtest.of_kind(recs, "TASK")] == [own_cpus()]
    env = zygtest.probe_env(out)
    # Launching is off for what it starts: no data file name, no library.
    assert zygtest.env_value(env, "ZYG_LAUNCH_DATA_FILE") is None
    preload = zygtest.env_value(env, "LD_PRELOAD") or ""
    assert zygtest.RELEASE_LIB not in preload


class TestAttachFailures:
    def test_other_layout_version(self, probe, real_file, workdir):
        path = workdir / "ldata"
        data = bytearray(real_file)
        data[0:4] = struct.pack("=I", 2)
        data = sealed(data)
        path.write_bytes(data)
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Data file is v2, but zyg-nox is compiled with v1") \
            + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)
        # Attaching never rewrites the file.
        assert path.read_bytes() == bytes(data)

    def test_missing_file(self, probe, workdir):
        path = workdir / "missing"
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Can't stat the data file", 2) + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)

    def test_path_of_64_characters_is_tried(self, probe):
        path = "/tmp/" + "m" * 59
        assert len(path) == 64 and not os.path.exists(path)
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Can't stat the data file", 2) + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)

    def test_path_of_65_characters(self, probe, real_file, workdir):
        # Even an existing, valid file: the name does not fit the header.
        path = workdir / ("p" * (65 - len(str(workdir)) - 1))
        assert len(str(path)) == 65
        path.write_bytes(sealed(real_file))
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Data file path length of 65 is too large") \
            + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)

    def test_empty_file(self, probe, workdir):
        path = workdir / "empty"
        path.write_bytes(b"")
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Failed to attach launch data", 22) \
            + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)
        assert path.stat().st_size == 0

    @pytest.mark.parametrize("keep", [100, 2048, -4], ids=["part-header", "header-only",
                                                            "last-bytes-missing"])
    def test_truncated_file(self, probe, real_file, workdir, keep):
        # The header promises tables that the file does not hold: using them
        # would read past the mapping.
        path = workdir / "short"
        data = sealed(real_file)[:keep]
        path.write_bytes(data)
        pid, status, out, err = attach(probe, path)
        assert err == disable_stderr(pid, probe, "Failed to attach launch data", 22) \
            + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)
        assert path.read_bytes() == data

    @pytest.mark.parametrize("field,value", [(4, 1 << 30), (8, 0xFFFFFFF0), (32, 1 << 20),
                                             (32, -1), (28, 1 << 20)],
                             ids=["l_nodes-offset", "proc-tree-offset", "node-count-huge",
                                  "node-count-negative", "avail-node-count-huge"])
    def test_header_out_of_bounds(self, probe, real_file, workdir, field, value):
        # A full-size file whose header sends offsets or counts past its end.
        path = workdir / "bad"
        data = bytearray(real_file)
        struct.pack_into("=i" if value < 0 else "=I", data, field, value)
        path.write_bytes(sealed(data))
        pid, status, out, err = attach(probe, path)
        assert f"zyg-nox warning: PID {pid} ({probe}) is disabling launch...\n" in err
        assert err.count("is disabling launch...") == 1
        assert_ran_unplaced_without_library(status, out)

    def test_garbage_file(self, probe, real_file, workdir):
        path = workdir / "garbage"
        data = bytearray(os.urandom(len(real_file)))
        data[0:4] = struct.pack("=I", 1)
        path.write_bytes(bytes(data))
        pid, status, out, err = attach(probe, path)
        assert f"zyg-nox warning: PID {pid} ({probe}) is disabling launch...\n" in err
        assert_ran_unplaced_without_library(status, out)

    def test_directory(self, probe, workdir):
        pid, status, out, err = attach(probe, workdir)
        assert err == disable_stderr(pid, probe, "Can't open the data file", 21) \
            + NO_INITIAL_NODES
        assert_ran_unplaced_without_library(status, out)


class TestAttachToLiveLaunch:
    def test_attaches_and_keeps_launching(self, launcher, probe):
        with LiveLaunch([launcher, "-p", "rr_tree", probe, *LIVE_ACTIONS]) as run:
            before = run.read_data()
            pid, status, out, err = attach(probe, run.data_file, run.launch_id)
            after = run.read_data()
        assert (status, err) == (0, "")
        env = zygtest.probe_env(out)
        assert zygtest.env_value(env, "ZYG_LAUNCH_DATA_FILE") == run.data_file
        assert zygtest.RELEASE_LIB in zygtest.env_value(env, "LD_PRELOAD").split(":")
        # Its configuration and topology come from the file, unchanged.
        assert after[:24] == before[:24]
        assert after[28:HEADER_END] == before[28:HEADER_END]


HEADER_END = 2048


@pytest.mark.parametrize("library", [zygtest.RELEASE_LIB, zygtest.DEBUG_LIB],
                         ids=["release", "debug"])
def test_attach_reads_no_node_or_status_file(launcher, probe, workdir, library):
    """Every program of a tree attaches: its start-up takes the topology from
    the launch data, and reads neither a node's files nor /proc/self/status
    (libnuma's start-up reads both)."""
    trace = workdir / "openat.txt"
    env = [f"LD_PRELOAD={library}"]
    if library == zygtest.DEBUG_LIB:
        env.append(f"ZYG_LAUNCH_DEBUG_FILE={workdir / 'debug.txt'}")
    with LiveLaunch([launcher, "-p", "rr_tree", probe, *LIVE_ACTIONS]) as run:
        env.append(f"ZYG_LAUNCH_DATA_FILE={run.data_file}")
        env.append(f"ZYG_LAUNCH_ID={run.launch_id}")
        r = zygtest.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", str(trace),
                         *[a for e in env for a in ("-E", e)], "/bin/true"],
                        env=zygtest.clean_env())
    assert r.returncode == 0, r.stderr
    opened = re.findall(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]+)"', trace.read_text())
    assert run.data_file in opened, opened  # it did attach
    assert [p for p in opened if p.startswith("/sys/devices/system/node")
            or re.fullmatch(r"/proc/(self|\d+)/status", p) or "libnuma" in p] == []


def test_attach_system_calls(launcher, workdir):
    """What a program exec'd in the tree asks of the kernel at its start and
    end once the loader is done (it unmaps its cache last): the pid at the
    start and at the end, the data file's stat, open, fstat and mapping, the
    shared lock that keeps the launch alive while it runs, and the nodes the
    process may take memory from. Counted: a call more fails."""
    trace = workdir / "calls.txt"
    r = zygtest.run(["strace", "-f", "-qq", "-o", str(trace), launcher, "-p", "rr_tree", "-t",
                     "rr_tree", "/bin/sh", "-c", "/bin/true; exit 0"])
    assert r.returncode == 0, r.stderr
    lines = trace.read_text().splitlines()
    pid = next(line.split()[0] for line in lines if 'execve("/bin/true"' in line)
    # A call that another process's interrupted shows as two lines: the
    # second, "<... name resumed>", is not a call of its own.
    calls = [line.split(None, 1)[1] for line in lines
             if line.split()[0] == pid and not line.split(None, 1)[1].startswith("<...")]
    loaded = next(i for i, call in enumerate(calls) if call.startswith("munmap("))
    ours = [call.split("(")[0] for call in calls[loaded + 1:] if not call.startswith("exit_group(")]
    assert any("/dev/shm/zyg-nox." in call for call in calls[loaded + 1:]), calls  # it attached
    assert len(ours) <= 8, " ".join(ours)
    assert ours.count("getpid") <= 2, " ".join(ours)


def test_threads_on_one_cpu_ask_for_their_mask(launcher, probe, workdir):
    """A program exec'd in a tree confined to one CPU (taskset, a core an MPI
    rank was bound to): its threads are given its node, which is that CPU,
    and inherited it; they ask for their mask and set none."""
    trace = workdir / "affinity.txt"
    r = zygtest.run(["taskset", "-c", str(min(os.sched_getaffinity(0))), "strace", "-f", "-qq",
                     "-e", "trace=execve,sched_setaffinity", "-o", str(trace), launcher, "-p",
                     "rr_tree", "-t", "rr_tree", "/bin/sh", "-c",
                     f"exec {probe} threads 2 {{ info }} join"])
    assert r.returncode == 0, r.stderr
    calls = trace.read_text().split(f'execve("{probe}"', 1)[1]
    assert "sched_setaffinity" not in calls, calls
