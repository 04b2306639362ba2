"""Helpers of the creation, termination and stress VM tests: run a whole
launch to its end and then read what it left behind -- the output of
zyg-ctest (tests/probe/zyg-ctest.c), the launch log and the launch data file.

The launch data file of an ended launch is stale, and every launch starts a
background clean-up that deletes stale files (through `fuser`).  To read the
counters after the last process has ended, the launch runs in a private mount
namespace in which `fuser` is a stub that always answers "in use": nothing of
the launch's own clean-up removes a file, and the test deletes the file
itself once it has read it.  Outside that namespace nothing changes; against
the clean-ups of other launches (outside the namespace) the test holds the
file open from the moment it appears until it has read it.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "integration"))
import logrecords  # noqa: E402
import zygtest  # noqa: E402
from test_startup_support import parse_ldata  # noqa: E402,F401

SHM = pathlib.Path("/dev/shm")
LOG_NAME = "run.log"
# The guard of a whole launch (generous: the VM is emulated and shared).
LAUNCH_GUARD = 600

# Node CPUs of the 4x2 shape.
NODE_CPUS = {0: "0-1", 1: "2-3", 2: "4-5", 3: "6-7"}
ALL_CPUS = "0-7"


def ctest_path():
    return str(zygtest.build_dir() / "tests" / "zyg-ctest")


def _stub_dir():
    d = pathlib.Path(tempfile.mkdtemp(prefix="zstub"))
    os.chmod(d, 0o755)
    stub = d / "fuser"
    stub.write_text("#!/bin/sh\nexit 0\n")
    stub.chmod(0o755)
    return d


_STUB = None


def stub_fuser():
    global _STUB
    if _STUB is None:
        _STUB = _stub_dir() / "fuser"
    return str(_STUB)


_WRAP = ('for f in /usr/bin/fuser /usr/sbin/fuser /bin/fuser /sbin/fuser; do '
         '[ -e "$f" ] && { mount --bind "$0" "$f" || exit 99; }; done; exec "$@"')


def keep_data_files(args):
    """args run where every fuser answers "in use" (see the module text)."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", _WRAP,
            stub_fuser(), *[str(a) for a in args]]


def as_nobody(args):
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *args]


class Ended:
    """What a launch left: pid, status, out, err, records (zyg-ctest lines),
    selfs ({label: SELF record}), data (parsed data file), log_text, log
    (records as dicts)."""

    def self_cpus(self):
        return {k: v["cpus"] for k, v in self.selfs.items()}

    def messages(self):
        return [r["message"] for r in self.log]

    def of(self, kind):
        return zygtest.of_kind(self.records, kind)


def data_file_for(pid, since=None):
    """The data file that the launch of first process pid created: made by
    pid itself, or (the command was static, and a program it started made
    the file under the name the launcher chose) made after `since`."""
    found = []
    for p in SHM.glob(f"zyg-nox.{pid}*"):
        if p.name == f"zyg-nox.{pid}" or re.fullmatch(rf"zyg-nox\.{pid}\.\d+", p.name):
            raw = p.read_bytes()
            if len(raw) >= 84 and (int.from_bytes(raw[80:84], "little", signed=True) == pid or
                                   (since is not None and p.stat().st_mtime >= since)):
                found.append(p)
    return found


class _Holder(threading.Thread):
    """Opens the launch's data file as soon as it exists and keeps it open
    until the test has read it, so that the clean-up of another launch still
    running in the VM (outside our stub) sees it in use."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.fd, self.done = path, None, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set() and self.fd is None:
            try:
                self.fd = os.open(self.path, os.O_RDONLY)
            except OSError:
                self.done.wait(0.005)

    def stop(self):
        self.done.set()
        self.join()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def run_launch(options, command, workdir, *, log=True, user=None, wrap=None, env=None,
               keep=False, need_data=True):
    """Runs `zyg-nox OPTIONS [-l run.log] COMMAND...` to its end (and the
    whole tree with it: the command's output pipe stays open until the last
    process that holds it has ended) and returns an Ended.  user "nobody"
    runs the launch as that user; wrap: extra words put before the launcher
    (taskset ...).  need_data=False: a launch that left no data file gives
    data_path and data None (the test says what that means)."""
    args = [zygtest.LAUNCHER, *options]
    if log:
        args += ["-l", LOG_NAME]
    args += [str(c) for c in command]
    if wrap:
        args = [*wrap, *args]
    if user == "nobody":
        os.chmod(workdir, 0o777)
        args = as_nobody(args)
    started = time.time() - 1
    p = subprocess.Popen(keep_data_files(args), cwd=workdir,
                         env=env if env is not None else zygtest.clean_env(),
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    holder = _Holder(SHM / f"zyg-nox.{p.pid}")
    try:
        out, err = p.communicate(timeout=LAUNCH_GUARD)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        pytest.fail(f"launch {command} did not end: {out[-2000:]} {err[-2000:]}")
    finally:
        holder.stop()
    e = Ended()
    e.pid, e.status, e.out, e.err = p.pid, p.returncode, out, err
    e.records = zygtest.parse_probe(out)
    e.selfs = {}
    for r in zygtest.of_kind(e.records, "SELF"):
        assert r["label"] not in e.selfs, f"label {r['label']} reported twice"
        e.selfs[r["label"]] = r
    files = data_file_for(p.pid, started)
    if files or need_data:
        assert len(files) == 1, f"data file of launch {p.pid}: {files}; stderr {err!r}"
        e.data_path = files[0]
        e.data = parse_ldata(files[0].read_bytes())
    else:
        e.data_path = e.data = None
    holder.close()
    if files and not keep:
        files[0].unlink()
    e.log_text = (workdir / LOG_NAME).read_text() if log else ""
    e.log = parse_log(e.log_text) if log else []
    return e


def parse_log(text):
    """The records of a launch log (everything after the column header) as
    dicts; asserts that each line is a whole record."""
    return logrecords.whole_records(text)


def records_of(log, pid):
    return [r["message"] for r in log if r["pid"] == pid]


def node_launched(data, table):
    n = data["avail_node_cnt"]
    return [data[table]["node"][i]["node_launched"] for i in range(n)]


CREATION = re.compile(r"^(initial exec start|child exec start|child start in "
                      r"(fork|vfork|fork_via_clone|vfork_via_clone)\(\))$")
PROCESS_END = re.compile(r"^(exit\(\)|_exit\(\)|_Exit\(\)|syscall\(SYS_exit_group\)|"
                         r"implicit exit\(\)|implicit fork_via_clone\(\) exit|"
                         r"implicit vfork_via_clone\(\) exit)$")


def creation_and_end(log):
    """{pid: (creation records, end records)} of the processes in the log."""
    out = {}
    for r in log:
        c, e = out.setdefault(r["pid"], ([], []))
        if CREATION.match(r["message"]):
            c.append(r["message"])
        elif PROCESS_END.match(r["message"]):
            e.append(r["message"])
    return out


@pytest.fixture
def workdir():
    d = pathlib.Path(tempfile.mkdtemp(prefix="zc"))
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture(scope="session")
def ctest():
    path = ctest_path()
    if not pathlib.Path(path).is_file():
        pytest.fail(f"{path} not built (set ZYG_BUILD)")
    return path
