"""Exact counts and the caller's own state: however a program of the tree
creates processes (popen, system with SIGCHLD ignored, clone sharing memory,
raw clone and clone3, exec of programs that never load the library), the
count of processes with the library loaded (lib_loaded_cnt) goes back to 0
when the tree has ended; a spawn leaves the caller's memory policy as it
was.

tests/probe/zyg-counts.c does the creating.  The test holds the launch data
file open from the moment the first process names it (so no clean-up can
delete it) and reads lib_loaded_cnt after the whole tree has ended.

By default the tree runs under the installed launcher.  With ZYG_TEST_PRELOAD
set to a library path, it runs with that library preloaded and the launch
variables the launcher would set, so a build can be tested before it is
installed."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import logrecords  # noqa: E402
import zygtest  # noqa: E402

NOBODY = 65534


def counts_path():
    return str(zygtest.build_dir() / "tests" / "zyg-counts")


@pytest.fixture(scope="module")
def counts():
    path = counts_path()
    if not pathlib.Path(path).is_file():
        pytest.fail(f"zyg-counts not built: {path} (set ZYG_BUILD)")
    return path


def compile_c(out, source, *flags):
    src = out.with_suffix(".c")
    src.write_text(source)
    r = zygtest.run(["gcc", *flags, "-o", str(out), str(src)])
    if r.returncode != 0:
        pytest.skip(f"cannot build {out.name}: {r.stderr.strip()[:200]}")
    out.chmod(0o755)
    return str(out)


MAIN0 = "int main(void) { return 0; }\n"


def launch_env(other_write):
    lib = os.environ.get("ZYG_TEST_PRELOAD")
    if not lib:
        return None
    env = zygtest.clean_env(LD_PRELOAD=lib, ZYG_LAUNCH_LIB64=lib,
                            ZYG_LAUNCH_PROCESS_POLICY="rr_tree",
                            ZYG_LAUNCH_THREAD_POLICY="rr_tree")
    if other_write:
        env["ZYG_LAUNCH_OTHER_WRITE"] = ""
    return env


def run_tree(command, other_write=False, log=None):
    """Runs command (zyg-counts hold ...) as a launch to the end of its whole
    tree, logging to log when given; returns (output lines, standard error,
    final lib_loaded_cnt)."""
    env = launch_env(other_write)
    if env is None:
        args = [zygtest.LAUNCHER, "-p", "rr_tree", "-t", "rr_tree",
                *(["-w"] if other_write else []), *(["-l", str(log)] if log else []), *command]
        env = zygtest.clean_env()
    else:
        args = list(command)
        if log:
            env["ZYG_LAUNCH_LOG_FILE"] = str(log)
    p = subprocess.Popen(args, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    first = p.stdout.readline()
    assert first.startswith("DATA /"), first + p.stderr.read()
    fd = os.open(first.split(" ", 1)[1].strip(), os.O_RDONLY)
    try:
        p.stdin.write("\n")
        p.stdin.flush()
        # The output pipe stays open until the last process of the tree ends.
        out, err = p.communicate(timeout=zygtest.HANG_GUARD)
        count = int.from_bytes(os.pread(fd, 4, 24), "little", signed=True)
    finally:
        os.close(fd)
    lines = out.splitlines()
    assert "DONE" in lines, out + err
    return lines, err, count


@pytest.mark.parametrize("action", [
    ["popen", "3"],
    ["system_sigign"],
    ["clonevm"],
    ["clonevm_exit"],
    ["rawclone_exec", "/bin/true"],
    ["clone3"],
    ["clone3_exec", "/bin/true"],
    ["vfork_exec", "/bin/true"],
    ["vfork_exec", "/nonexistent"],
], ids=lambda a: "-".join(pathlib.Path(w).name for w in a))
def test_count_back_at_zero(counts, action):
    _, err, count = run_tree([counts, "hold", *action])
    assert count == 0, err


@pytest.mark.parametrize("path", ["/bin/true", "-"], ids=["exec", "end"])
@pytest.mark.parametrize("creator", ["vfork_unbound", "clonevfork_unbound"])
def test_a_vfork_child_that_cannot_bind_leaves_its_parent_placed(counts, tmp_path, creator,
                                                                  path):
    # The child reports and turns launching off in memory it shares with its
    # parent: only for itself. The parent keeps its environment, its next
    # fork is placed and logged, and the count still returns to 0.
    log = tmp_path / "run.log"
    lines, err, count = run_tree([counts, "hold", creator, path], log=log)
    assert "Can't launch" in err
    env = [ln.split(" ", 1)[1] for ln in lines if ln.startswith("ENV ")]
    lib = os.environ.get("ZYG_TEST_PRELOAD") or zygtest.RELEASE_LIB
    assert f"LD_PRELOAD={lib}" in env, err
    assert any(e.startswith("ZYG_LAUNCH_DATA_FILE=/dev/shm/") for e in env), err
    pid = [ln.split("=")[1] for ln in lines if ln.startswith("FORKED ")][0]
    records = logrecords.parse_records(log.read_text())
    assert f"Created PID {pid}" in [r["message"] for r in records]
    # The thread that made the vfork child creates through the library too.
    by_thread = [ln.split("=")[1] for ln in lines if ln.startswith("THREADFORKED ")][0]
    assert f"Created PID {by_thread}" in [r["message"] for r in records]
    assert "child start in fork()" in [r["message"] for r in records if r["pid"] == int(pid)]
    assert count == 0, err


@pytest.fixture(scope="module")
def leaving_programs(shared_dir):
    """Programs that never load the 64-bit preload library."""
    progs = {
        "static": compile_c(shared_dir / "static0", MAIN0, "-static"),
        "pie32": compile_c(shared_dir / "pie32", MAIN0, "-m32", "-pie", "-fPIE"),
    }
    cap = shared_dir / "true-cap"
    shutil.copy("/bin/true", cap)
    cap.chmod(0o755)
    r = zygtest.run(["setcap", "cap_net_raw+ep", str(cap)])
    if r.returncode != 0:
        pytest.skip("setcap: " + r.stderr)
    progs["capability"] = str(cap)
    # /bin/true is position-independent on this system.
    setid = shared_dir / "true-setid"
    shutil.copy("/bin/true", setid)
    os.chown(setid, 0, 0)
    setid.chmod(0o4755)
    progs["setid_pie"] = str(setid)
    return progs


@pytest.mark.parametrize("kind", ["static", "pie32"])
def test_exec_of_a_program_without_the_library_counts_out(counts, leaving_programs, kind):
    _, err, count = run_tree([counts, "hold", "exec", leaving_programs[kind]])
    assert count == 0, err


@pytest.mark.parametrize("form", ["execveat", "sys_execveat"])
def test_exec_through_a_descriptor_or_directory_counts_out(counts, leaving_programs, form):
    _, err, count = run_tree([counts, "hold", "exec_by", form, leaving_programs["static"]])
    assert count == 0, err


def test_system_that_could_make_no_shell_counts_nothing(counts):
    # Under a process limit the C library's system() reports a spawn that
    # failed as a shell that exited with 127: no shell ever counted in.
    if os.geteuid() != 0:
        pytest.skip("needs root to change user")
    lines, err, count = run_tree([counts, "hold", "system_noproc", str(NOBODY)], other_write=True)
    assert "SYSTEM status=32512" in lines, lines
    assert count == 0, err


def test_exec_that_loses_its_capabilities_counts_out(counts):
    # setpriv keeps root's capabilities up to the exec of another user's
    # program, which then cannot open the data file (no -w).
    if os.geteuid() != 0:
        pytest.skip("needs root to change user")
    _, err, count = run_tree([counts, "hold", "exec_argv", "setpriv", f"--reuid={NOBODY}",
                              f"--regid={NOBODY}", "--clear-groups", "/bin/true"])
    assert count == 0, err


@pytest.mark.parametrize("kind", ["capability", "setid_pie"])
def test_exec_in_secure_execution_mode_counts_out(counts, leaving_programs, kind):
    # Another user runs a program that raises its capabilities, or a set-ID
    # program of root, in secure-execution mode, where LD_PRELOAD is ignored
    # (as root a capability program gains nothing and runs normally).
    if os.geteuid() != 0:
        pytest.skip("needs root to change user")
    _, err, count = run_tree(
        [counts, "hold", "setuid_exec", str(NOBODY), leaving_programs[kind]], other_write=True)
    assert count == 0, err


def test_program_that_cannot_attach_leaks_no_count(counts):
    # Without -w a process of another user cannot open the data file: its
    # program runs unplaced, and the tree's count must not keep it.
    if os.geteuid() != 0:
        pytest.skip("needs root to change user")
    _, err, count = run_tree([counts, "hold", "setuid_exec", str(NOBODY), "/bin/true"])
    assert count == 0, err


@pytest.mark.parametrize("action", ["mempolicy_spawn", "mempolicy_popen"])
def test_memory_policy_of_the_caller_is_kept(counts, action):
    lines, err, _ = run_tree([counts, "hold", action])
    policy = {ln.split()[1]: ln.split(None, 2)[2] for ln in lines if ln.startswith("MEMPOLICY")}
    assert policy["when=before"].startswith("mode=3 "), policy  # MPOL_INTERLEAVE
    assert policy["when=after"] == policy["when=before"], err
