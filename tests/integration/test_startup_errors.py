"""A configuration the first process of a launch cannot accept ends it with
status 1 before the command's own code runs; the report goes to standard
error and, with -e, to the error file.  Texts are compared byte for byte."""
import os
import subprocess

import pytest

import zygtest
from test_startup_support import (LIVE_ACTIONS, LiveLaunch, Machine, data_file_of,
                                  fatal_error_file, fatal_stderr, remove_quietly,
                                  without_libnuma_warnings, workdir)  # noqa: F401


def start(args, env=None, cwd=None):
    """Runs args to its end; returns (pid, status, stdout, stderr)."""
    p = subprocess.Popen(args, env=env if env is not None else zygtest.clean_env(), cwd=cwd,
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    out, err = p.communicate(timeout=zygtest.HANG_GUARD)
    # A refused launch must not have created a data file; a wrong one
    # that did is removed all the same.
    created = os.path.exists(data_file_of(p.pid))
    remove_quietly(data_file_of(p.pid))
    assert not created, "a refused launch created its data file"
    return p.pid, p.returncode, out, err


RR_PACK_THREAD = "Thread launch policies cnnot be used with the rr_pack process launch policy\n"
RR_PACK_CPU = "CPU launch cnnot be used with the rr_pack policy\n"
CPU_NO_POLICY = "CPU launch requires that a process or thread launch policy be specified"

# (id, launcher options, message)
LAUNCHER_CASES = [
    ("process-policy-unknown", ["-p", "bogus"], 'unknown process launch policy value: "bogus"'),
    ("process-policy-case", ["-p", "RR_TREE"], 'unknown process launch policy value: "RR_TREE"'),
    ("thread-policy-unknown", ["-t", "rr_tee"], 'unknown thread launch policy value: "rr_tee"'),
    ("thread-policy-rr_pack", ["-p", "rr_flat", "-t", "rr_pack"],
     'unknown thread launch policy value: "rr_pack"'),
    ("rr_pack-with-thread-policy", ["-p", "rr_pack", "-t", "rr_flat"], RR_PACK_THREAD),
    ("rr_pack-with-cpu", ["-p", "rr_pack", "-c"], RR_PACK_CPU),
    ("cpu-without-policy", ["-c"], CPU_NO_POLICY),
    ("cpu-with-none-policies", ["-c", "-p", "none", "-t", "none"], CPU_NO_POLICY),
    ("memfree-101", ["-p", "memfree_tree", "-m", "101"], 'Invalid memfree value: "101"'),
    ("memfree-negative", ["-p", "memfree_tree", "-m", "-5"], 'Invalid memfree value: "-5"'),
    ("memfree-letters", ["-p", "memfree_tree", "-m", "abc"], 'Invalid memfree value: "abc"'),
    ("memfree-sign", ["-p", "memfree_tree", "-m", "+5"], 'Invalid memfree value: "+5"'),
    ("nodes-syntax", ["-p", "rr_tree", "-n", "x"], 'Invalid list of nodes: "x"'),
    ("nodes-open-range", ["-p", "rr_tree", "-n", "0-"], 'Invalid list of nodes: "0-"'),
    ("nodes-empty-item", ["-p", "rr_tree", "-n", "0,,"], 'Invalid list of nodes: "0,,"'),
]


class TestLauncherConfiguration:
    @pytest.mark.parametrize("options,message", [c[1:] for c in LAUNCHER_CASES],
                             ids=[c[0] for c in LAUNCHER_CASES])
    def test_terminates_with_report(self, launcher, probe, workdir, options, message):
        err_file = workdir / "err.txt"
        err_file.write_text("old report\n")
        pid, status, out, err = start([launcher, *options, "-e", "err.txt", probe, "echo", "ran"],
                                      cwd=workdir)
        assert status == 1
        assert out == ""
        assert without_libnuma_warnings(err) == fatal_stderr(pid, probe, message)
        # The old file is gone; the new one holds this report only.
        assert err_file.read_text() == fatal_error_file(pid, probe, message)

    def test_report_without_error_file(self, launcher, probe, workdir):
        pid, status, out, err = start([launcher, "-p", "bogus", probe, "echo", "ran"],
                                      cwd=workdir)
        assert (status, out) == (1, "")
        assert err == fatal_stderr(pid, probe, 'unknown process launch policy value: "bogus"')
        assert list(workdir.iterdir()) == []

    def test_node_outside_the_machine(self, launcher, probe):
        # libnuma's parser refuses a node that does not exist at all, so such
        # a list is an invalid list (not "not available").
        node = max(Machine().config_nodes) + 1
        pid, status, out, err = start([launcher, "-p", "rr_tree", "-n", str(node), probe])
        assert (status, out) == (1, "")
        assert without_libnuma_warnings(err) == fatal_stderr(
            pid, probe, f'Invalid list of nodes: "{node}"')

    def test_relative_log_path_too_long(self, launcher, probe, workdir):
        # The launcher passes up to 256 characters; made absolute in the
        # working directory the path needs more than 256.
        name = "l" * (256 - len(str(workdir)))
        assert len(name) <= 256 and len(str(workdir)) + 1 + len(name) == 257
        pid, status, out, err = start([launcher, "-p", "rr_tree", "-l", name, "-e", "e.txt",
                                       probe], cwd=workdir)
        message = "Log file length > 256 is too large"
        assert (status, out) == (1, "")
        assert err == fatal_stderr(pid, probe, message)
        assert (workdir / "e.txt").read_text() == fatal_error_file(pid, probe, message)
        assert not (workdir / name).exists()

    def test_relative_log_path_of_256_is_accepted(self, launcher, probe, workdir):
        name = "l" * (255 - len(str(workdir)))
        with LiveLaunch([launcher, "-p", "rr_tree", "-l", name, probe, *LIVE_ACTIONS],
                        cwd=workdir) as run:
            d = run.ldata()
        assert run.err == ""
        assert d["log_file"] == f"{workdir}/{name}" and len(d["log_file"]) == 256


class TestErrorFile:
    def test_path_made_absolute_and_old_file_deleted(self, launcher, probe, workdir):
        err_file = workdir / "err.txt"
        err_file.write_text("old report\n")
        with LiveLaunch([launcher, "-p", "rr_tree", "-e", "err.txt", probe, *LIVE_ACTIONS],
                        cwd=workdir) as run:
            d = run.ldata()
        assert run.err == ""
        assert zygtest.env_value(run.env_entries, "ZYG_LAUNCH_ERROR_FILE") == str(err_file)
        assert d["error_file"] == str(err_file)
        # Deleted at the start; a launch without reports does not create it.
        assert not err_file.exists()

    def test_leading_blanks_before_absolute_path(self, launcher, probe, workdir):
        target = workdir / "e"
        pid, status, out, err = start([launcher, "-p", "bogus", "-e", f"  {target}", probe],
                                      cwd="/")
        message = 'unknown process launch policy value: "bogus"'
        assert (status, out) == (1, "")
        assert err == fatal_stderr(pid, probe, message)
        assert target.read_text() == fatal_error_file(pid, probe, message)

    def test_error_file_that_cannot_be_opened(self, launcher, probe, workdir):
        target = workdir / "no-such-dir" / "err.txt"
        pid, status, out, err = start([launcher, "-p", "bogus", "-e", str(target), probe])
        assert (status, out) == (1, "")
        assert err == (fatal_stderr(pid, probe, 'unknown process launch policy value: "bogus"')
                       + f"zyg-nox error: Can't open error file: {target}\n")


# Variables set by hand, without the launcher, that it would have refused or
# never writes: (id, environment, message).
DIRECT_CASES = [
    ("log-file-257", {"ZYG_LAUNCH_LOG_FILE": "/" + "a" * 256},
     "Log file length of 257 is too large"),
    ("nodes-257", {"ZYG_LAUNCH_NODES": "0" + ",0" * 128},
     "Initial launch nodes length of 257 is too large"),
    ("lib64-257", {"ZYG_LAUNCH_LIB64": "/" + "b" * 256}, "path length of 257 is too large"),
    ("lib32-257", {"ZYG_LAUNCH_LIB32": "/" + "b" * 256}, "path length of 257 is too large"),
    ("lib32_64-257", {"ZYG_LAUNCH_LIB32_64": "/" + "b" * 256}, "path length of 257 is too large"),
    ("error-file-257", {"ZYG_LAUNCH_ERROR_FILE": "/" + "e" * 256},
     "Error file length of 257 is too large\n"),
    ("cpu-policy-empty-value", {"ZYG_LAUNCH_CPU_POLICY": ""}, CPU_NO_POLICY),
    ("memfree-empty-number", {"ZYG_LAUNCH_PROCESS_POLICY": "rr_flat", "ZYG_LAUNCH_MEMFREE": " "},
     'Invalid memfree value: " "'),
    ("unit-unknown", {"ZYG_LAUNCH_PROCESS_POLICY": "rr_flat", "ZYG_LAUNCH_UNIT": "socket"},
     'Invalid unit: "socket" (node or l3)'),
    ("memory-without-policy", {"ZYG_LAUNCH_MEMORY": "nearest-memonly"},
     "--memory other than local requires a process or thread launch policy: no task is placed on "
     "one node without one, and its memory would stay local"),
]


class TestPreloadedFirstProcess:
    @pytest.mark.parametrize("extra,message", [c[1:] for c in DIRECT_CASES],
                             ids=[c[0] for c in DIRECT_CASES])
    def test_terminates_with_report(self, probe, extra, message):
        env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB, **extra)
        pid, status, out, err = start([probe, "echo", "ran"], env=env)
        assert (status, out) == (1, "")
        assert err == fatal_stderr(pid, probe, message)
