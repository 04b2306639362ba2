"""The debug trace lives only in the debug library: the release library has no
debug file handling, no ZYG_LAUNCH_DEBUG_FILE and none of the trace texts,
while the debug library built from the same sources has them all."""
import os
import subprocess

import pytest

import zygtest

# One or more texts of every area of the trace, as `strings` shows them (the
# trailing newline is not part of a printable run).
TRACE_TEXTS = [
    "ZYG_LAUNCH_DEBUG_FILE",
    "*** tid %d pid %d : ",
    "Error: debug file must be specfied with a full path beginning with /",
    "Failed to create debug file (continuing without debug) ",
    "Failed to open debug file (disabling debug for this process tree) ",
    "ERROR: can't write to debug file ",
    "INIT : launch_init for exec'd pid %d",
    "INIT : We are the initial process: %d",
    "INIT : build the launch map",
    "INIT : invalid verion %d",
    "INIT : Opening log file",
    "Writing to log file",
    "log #: %d, launch: node %s, cpu %s, from: ",
    "THIS IS THE fork() PRINTF",
    "THIS IS THE pthread_create() PRINTF.",
    "set_launch(%d, %d) - run_on_node",
    "Looking for a clone_arg structure in the cache",
    "THIS IS THE exit() PRINTF",
    "Calling real execve()",
    "Environment to be passed",
    "Checking for environment variables",
    "Entering find_exec_file() for %s",
    "Entering is_setuid_exec() for %s",
    "%s is a 64-bit shared lib",
    "Can't pass the debug file. Debug file may be disabled for pid %d",
]


def strings_of(path):
    if not os.path.isfile(path):
        pytest.fail(f"{path} is not installed")
    r = subprocess.run(["strings", "-a", "-n", "4", path], capture_output=True, text=True,
                       timeout=zygtest.HANG_GUARD)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture(scope="module")
def release_strings():
    return strings_of(zygtest.RELEASE_LIB)


@pytest.fixture(scope="module")
def debug_strings():
    return strings_of(zygtest.DEBUG_LIB)


def test_release_library_has_no_trace(release_strings):
    found = [t for t in TRACE_TEXTS if t in release_strings]
    assert found == []


def test_debug_library_has_every_trace_area(debug_strings):
    missing = [t for t in TRACE_TEXTS if t not in debug_strings]
    assert missing == []
