"""A program of the tree that only starts and ends (a compiler, a shell
command) maps the library's start-up segment alone: its start-up, its attach
to the launch, the log records of its start and end and its way out all lie
there, and the rest of the library's code, a mapping of its own, is never
faulted in.  The kernel maps up to 16 pages around each fault of a file
mapping and tears every one down at exit, so one function of that path left
outside the segment costs every such program the pages around it.

The program is looked at in its last system call (exit_group, which strace
holds back), after everything it runs, ours included, has run."""
import os
import re
import signal
import subprocess
import time

import pytest

import zygtest
from test_startup_support import workdir  # noqa: F401

EXIT_GROUP = 231  # x86_64


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


def traced_child(tracer):
    deadline = time.monotonic() + zygtest.HANG_GUARD
    while time.monotonic() < deadline:
        with open(f"/proc/{tracer}/task/{tracer}/children") as f:
            children = f.read().split()
        if children:
            return int(children[0])
        time.sleep(0.02)
    raise AssertionError(f"strace ({tracer}) started nothing")


def at_exit_group(pid):
    deadline = time.monotonic() + zygtest.HANG_GUARD
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/syscall") as f:
            if f.read().split()[0] == str(EXIT_GROUP):
                return
        time.sleep(0.02)
    raise AssertionError(f"{pid} never reached exit_group")


@pytest.mark.parametrize("logged", [False, True], ids=["unlogged", "logged"])
@pytest.mark.parametrize("end", [[], ["exit", "3"], ["_exit", "3"], ["_Exit", "3"]],
                         ids=["return", "exit", "_exit", "_Exit"])
def test_a_program_that_only_starts_and_ends_maps_the_start_up_segment_alone(
        launcher, probe, workdir, end, logged):
    log = ["-l", str(workdir / "run.log")] if logged else []
    # sh starts strace, which forks and execs the probe (as make runs a
    # compiler) and holds it at exit_group until strace is killed.
    hold = f"inject=exit_group:delay_enter={zygtest.HANG_GUARD * 1000000}"
    script = (f"strace -qq -o /dev/null -e trace=exit_group -e {hold} {probe} echo ran "
              f"{' '.join(end)} & echo $!; wait")
    cmd = [launcher, "-p", "rr_tree", "-t", "rr_tree", *log, "/bin/sh", "-c", script]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) as p:
        tracer = next(int(line) for line in p.stdout if line.strip().isdigit())
        pid = traced_child(tracer)
        try:
            at_exit_group(pid)
            code = library_code(pid)
        finally:
            # The probe, no longer traced, ends.
            os.kill(tracer, signal.SIGKILL)
            p.communicate(timeout=zygtest.HANG_GUARD)
    assert code[0][0] == 0 and code[0][1] > 0, code
    assert len(code) == 2 and code[1][1] == 0, f"the rest of the code was mapped: {code}"
