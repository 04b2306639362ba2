"""The short lives of a tree map the library's start-up segment alone: a
program that only starts and ends (a compiler, a shell command), and a
forked child on its way to its exec or its end.  Their code (start-up, the
attach to the launch, the placement of a fork child, the exec checks and
environment, the log records, the ways out) all lies in that segment, and
the rest of the library's code, a mapping of its own, is never faulted in.
The kernel maps up to 16 pages around each fault of a file mapping (a fork
child faults in again what it runs) and tears every one down at exit, so
one function of those paths left outside the segment costs every such
process the pages around it.

The process is looked at in the system call that ends it (exit_group, or
the execve that replaces it), which strace holds back: everything it runs,
ours included, has run."""
import os
import re
import signal
import subprocess
import time

import pytest

import zygtest
from test_startup_support import workdir  # noqa: F401

NUMBERS = {"exit_group": 231, "execve": 59}  # x86_64
TRUE = "/usr/bin/true"


def library_code(pid):
    """[(file offset, Rss in kB)] of the release library's executable
    mappings in process pid."""
    found, current = [], None
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            f = line.split()
            if re.fullmatch(r"[0-9a-f]+-[0-9a-f]+", f[0]):
                ours = len(f) > 5 and f[5] == zygtest.RELEASE_LIB and "x" in f[1]
                current = int(f[2], 16) if ours else None
            elif f[0] == "Rss:" and current is not None:
                found.append((current, int(f[1])))
    return found


def child_running(parent, program):
    """A child of parent that runs program (strace forks children of its own
    to learn what ptrace can do)."""
    deadline = time.monotonic() + zygtest.HANG_GUARD
    while time.monotonic() < deadline:
        with open(f"/proc/{parent}/task/{parent}/children") as f:
            for child in f.read().split():
                try:
                    if os.readlink(f"/proc/{child}/exe") == program:
                        return int(child)
                except FileNotFoundError:
                    pass
        time.sleep(0.02)
    raise AssertionError(f"{parent} started no {program}")


def held_at(pid, call):
    number = NUMBERS[call]
    deadline = time.monotonic() + zygtest.HANG_GUARD
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/syscall") as f:
            if f.read().split()[0] == str(number):
                return
        time.sleep(0.02)
    raise AssertionError(f"{pid} never reached {call}")


# (probe actions, whether the process looked at is the probe's forked
# child, the system call it is held at)
LIVES = {
    "returns": ([], False, "exit_group"),
    "exit": (["exit", "3"], False, "exit_group"),
    "_exit": (["_exit", "3"], False, "exit_group"),
    "_Exit": (["_Exit", "3"], False, "exit_group"),
    "fork child ends": (["fork", "{", "echo", "child", "}", "wait"], True, "exit_group"),
    "fork child execs": (["fork", "{", "exec", TRUE, "true", "}", "wait"], True, "execve"),
}


@pytest.mark.parametrize("logged", [False, True], ids=["unlogged", "logged"])
@pytest.mark.parametrize("life", LIVES)
def test_a_short_life_maps_the_start_up_segment_alone(launcher, probe, workdir, life, logged):
    actions, forked, call = LIVES[life]
    log = ["-l", str(workdir / "run.log")] if logged else []
    # sh starts strace, which forks and execs the probe (as make runs a
    # compiler) and holds the call back until strace is killed.
    only = f"-P {TRUE}" if call == "execve" else ""  # not strace's own exec of the probe
    hold = f"-e trace={call} -e inject={call}:delay_enter={zygtest.HANG_GUARD * 1000000}"
    script = (f"strace -f -qq -o /dev/null {only} {hold} {probe} echo ran {' '.join(actions)}"
              " & echo $!; wait")
    cmd = [launcher, "-p", "rr_tree", "-t", "rr_tree", *log, "/bin/sh", "-c", script]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) as p:
        tracer = next(int(line) for line in p.stdout if line.strip().isdigit())
        try:
            program = os.path.realpath(probe)
            pid = child_running(tracer, program)
            if forked:
                pid = child_running(pid, program)
            held_at(pid, call)
            code = library_code(pid)
        finally:
            # Whatever it held goes on, untraced, and ends.
            os.kill(tracer, signal.SIGKILL)
            p.communicate(timeout=zygtest.HANG_GUARD)
    assert code[0][0] == 0 and code[0][1] > 0, code
    assert len(code) == 2 and code[1][1] == 0, f"the rest of the code was mapped: {code}"
