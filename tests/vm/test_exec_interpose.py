"""Exec, spawn and system inside a launched tree (4x2): which programs keep the
library and what environment they get, the exec records of the launch log,
where spawned children land and how they are counted, the caller's affinity
after a spawn, a process without launching, and a zyg-nox started inside a
launched tree."""
import os
import pathlib
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "integration"))
from test_startup_support import parse_ldata, remove_quietly  # noqa: E402

import logrecords  # noqa: E402
import zygtest  # noqa: E402

LIB = zygtest.RELEASE_LIB

# Prints its environment as the probe does ("ENV <entry>" per entry). Built
# as ET_EXEC (no PIE): the library tells 32-bit and set-ID programs by that
# type.
ENV_PRINTER = r"""
#include <stdio.h>
#include <unistd.h>
extern char **environ;
int main(void) {
  char **e;
  for (e = environ; *e; ++e) printf("ENV %s\n", *e);
  printf("ECHO printer-euid-%d\n", (int)geteuid());
  return 0;
}
"""


@pytest.fixture(autouse=True)
def no_background_cleanup(monkeypatch, tmp_path_factory):
    """Every launch starts `zyg-nox -r` by name in the background. While the
    only process of a tree is between an exec and the new image's start-up,
    nothing holds the launch data file open, and that clean-up may remove it
    (the new image then runs with launching disabled). These tests are about
    exec, not clean-up: a stand-in that does nothing comes first in PATH."""
    d = tmp_path_factory.mktemp("nocleanup")
    stand_in = d / "zyg-nox"
    stand_in.write_text("#!/bin/sh\nexit 0\n")
    stand_in.chmod(0o755)
    monkeypatch.setenv("PATH", f"{d}:{os.environ.get('PATH', '/usr/bin:/bin')}")


@pytest.fixture
def workdir():
    d = tempfile.mkdtemp(prefix="zx")
    os.chmod(d, 0o755)
    yield pathlib.Path(d)
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture(scope="module")
def printers():
    """{"m32": 32-bit ET_EXEC, "m64": 64-bit ET_EXEC} env printers in /tmp."""
    d = pathlib.Path(tempfile.mkdtemp(prefix="zxp"))
    os.chmod(d, 0o755)
    src = d / "printer.c"
    src.write_text(ENV_PRINTER)
    out = {}
    for kind, flags in (("m32", ["-m32"]), ("m64", [])):
        path = d / f"printer-{kind}"
        r = zygtest.run(["gcc", *flags, "-no-pie", "-O1", "-o", str(path), str(src)])
        assert r.returncode == 0, r.stderr
        out[kind] = path
    yield out
    shutil.rmtree(d, ignore_errors=True)


# ---------------------------------------------------------------- helpers

def log_records(path):
    """The launch log's records (see logrecords)."""
    return logrecords.whole_records(pathlib.Path(path).read_text())


def messages(recs, pid=None):
    return [r["message"] for r in recs if pid is None or r["pid"] == pid]


def shell_lines(out):
    """Lines that env(1) printed: "NAME=value" without a probe report key."""
    return [x for x in out.splitlines() if "=" in x.split(" ")[0]]


def envs(out):
    return zygtest.probe_env(out)


def after_marker(out, marker):
    """Probe output after the line "ECHO <marker>"."""
    key = f"ECHO {marker}\n"
    assert key in out, out
    return out[out.index(key) + len(key):]


def launch(options, command, cwd, **kw):
    r = zygtest.launch(options, [str(c) for c in command], cwd=str(cwd), **kw)
    return r


class Held:
    """zyg-nox OPTIONS probe env echo ready readline ACTIONS: the test opens
    the launch data file while the first process waits, so that no clean-up
    can remove it, and reads it once the whole tree has ended."""

    def __init__(self, options, probe, actions, cwd, env=None):
        self.args = [zygtest.LAUNCHER, *options, probe, "env", "echo", "ready", "readline",
                     *[str(a) for a in actions]]
        self.cwd = str(cwd)
        self.env = env if env is not None else zygtest.clean_env()

    def run(self):
        p = subprocess.Popen(self.args, cwd=self.cwd, env=self.env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = p.pid
        buf = b""
        deadline = time.monotonic() + zygtest.HANG_GUARD
        while b"ECHO ready\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0:
                p.kill()
                pytest.fail(f"no 'ECHO ready' from {self.args}: {buf!r}")
            ready, _, _ = select.select([p.stdout], [], [], left)
            if ready:
                chunk = os.read(p.stdout.fileno(), 65536)
                if not chunk:
                    p.wait()
                    pytest.fail(f"ended before 'ECHO ready': {buf!r} {p.stderr.read()!r}")
                buf += chunk
        self.first_env = envs(buf.decode())
        self.data_file = zygtest.env_value(self.first_env, "ZYG_LAUNCH_DATA_FILE")
        fd = os.open(self.data_file, os.O_RDONLY)
        try:
            out, err = p.communicate(input=b"\n", timeout=zygtest.HANG_GUARD)
            self.out = buf.decode() + out.decode()
            self.err = err.decode()
            self.status = p.returncode
            size = os.fstat(fd).st_size
            self.data = parse_ldata(os.pread(fd, size, 0))
        finally:
            os.close(fd)
            remove_quietly(self.data_file)
        return self


def launched(node_cpus, node):
    cpus = node_cpus[node]
    return f"{cpus[0]}-{cpus[-1]}"


def proc_counts(d, table="proc_tree"):
    return [n["node_launched"] for n in d[table]["node"]][:4]


# ---------------------------------------------------------------- exec


def placed(pid):
    """The entry that tells an exec'd program it is placed already (by its
    own process, before the exec)."""
    return f"ZYG_LAUNCH_PLACED_BY={pid}"


class TestExecEnvironment:
    @pytest.mark.parametrize("with_error_file", [False, True], ids=["no-e", "e"])
    def test_execve_64bit_gets_library_at_the_end(self, launcher, probe, workdir,
                                                   with_error_file):
        opts = ["-p", "rr_tree", "-l", "run.log"] + (["-e", "err.txt"] if with_error_file else [])
        r = launch(opts, [probe, "execve_env", "A=1", "B=x y", "--", probe, "probe", "env",
                          "info"], workdir)
        assert r.returncode == 0, r.stderr
        got = envs(r.stdout)
        info = zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]
        data_file = f"/dev/shm/zyg-nox.{info['pid']}"
        ids = [e for e in got if e.startswith("ZYG_LAUNCH_ID=")]
        assert len(ids) == 1 and re.fullmatch(r"ZYG_LAUNCH_ID=0-[0-9a-f]{32}", ids[0]), got
        want = ["A=1", "B=x y", f"LD_PRELOAD={LIB}", f"ZYG_LAUNCH_DATA_FILE={data_file}", ids[0]]
        if with_error_file:
            want.append(f"ZYG_LAUNCH_ERROR_FILE={workdir / 'err.txt'}")
        assert got == want + [placed(info["pid"])]
        pid = int(info["pid"])
        assert messages(log_records(workdir / "run.log"), pid) == [
            "initial exec start", f"execve({probe})", "child exec start", "implicit exit()"]

    @pytest.mark.parametrize("form", ["execve", "fexecve"])
    def test_32bit_program_runs_without_library(self, launcher, probe, workdir, printers, form):
        target = printers["m32"]
        r = launch(["-p", "rr_tree", "-l", "run.log", "-e", "err.txt"],
                   [probe, "env", "echo", "exec", form, target, "printer"], workdir)
        assert r.returncode == 0, r.stderr
        before = envs(r.stdout[:r.stdout.index("ECHO exec\n")])
        after = envs(after_marker(r.stdout, "exec"))
        assert f"LD_PRELOAD={LIB}" in before
        dropped = ("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=", "ZYG_LAUNCH_ERROR_FILE=",
                   "ZYG_LAUNCH_ID=")
        assert after == [e for e in before if not e.startswith(dropped)]
        recs = messages(log_records(workdir / "run.log"))
        if form == "execve":
            assert f"32-bit executable: execve({target})" in recs
        else:
            assert any(re.fullmatch(r"32-bit executable: fexecve\(/proc/self/fd/\d+\)", m)
                       for m in recs), recs

    def test_setuid_of_another_user_runs_without_library(self, launcher, probe, workdir,
                                                        printers):
        target = workdir / "suid-other"
        shutil.copy(printers["m64"], target)
        shutil.chown(target, user="nobody")
        os.chmod(target, 0o4755)
        r = launch(["-p", "rr_tree", "-l", "run.log", "-e", "err.txt"],
                   [probe, "env", "echo", "exec", "execve", target, "printer"], workdir)
        assert r.returncode == 0, r.stderr
        before = envs(r.stdout[:r.stdout.index("ECHO exec\n")])
        after = envs(after_marker(r.stdout, "exec"))
        assert "ECHO printer-euid-65534" in r.stdout
        dropped = ("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=", "ZYG_LAUNCH_ERROR_FILE=",
                   "ZYG_LAUNCH_ID=")
        assert after == [e for e in before if not e.startswith(dropped)]
        assert f"setuid/setgid executable: execve({target})" in messages(
            log_records(workdir / "run.log"))

    def test_setuid_of_own_user_is_ordinary(self, launcher, probe, workdir, printers):
        target = workdir / "suid-own"
        shutil.copy(printers["m64"], target)
        os.chmod(target, 0o4755)
        assert os.stat(target).st_uid == os.getuid()
        r = launch(["-p", "rr_tree", "-l", "run.log"],
                   [probe, "info", "env", "echo", "exec", "execve", target, "printer"], workdir)
        assert r.returncode == 0, r.stderr
        before = envs(r.stdout[:r.stdout.index("ECHO exec\n")])
        pid = zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]["pid"]
        assert envs(after_marker(r.stdout, "exec")) == before + [placed(pid)]
        assert f"LD_PRELOAD={LIB}" in before
        assert f"execve({target})" in messages(log_records(workdir / "run.log"))

    def test_execvp_checks_first_usable_path_entry_and_logs_bare_name(
            self, launcher, probe, workdir, printers):
        first, second = workdir / "d1", workdir / "d2"
        first.mkdir()
        second.mkdir()
        # Not executable: the search passes it by.
        shutil.copy(printers["m64"], first / "prog")
        os.chmod(first / "prog", 0o644)
        shutil.copy(printers["m32"], second / "prog")
        r = launch(["-p", "rr_tree", "-l", "run.log"],
                   [probe, "setenv", f"PATH={first}:{second}", "env", "echo", "exec",
                    "execvp", "prog", "prog"], workdir)
        assert r.returncode == 0, r.stderr
        after = envs(after_marker(r.stdout, "exec"))
        assert not any(e.startswith(("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=")) for e in after)
        assert "32-bit executable: execvp(prog)" in messages(log_records(workdir / "run.log"))

    def test_execvp_of_missing_name_fails_with_real_errno(self, launcher, probe, workdir):
        r = launch(["-p", "rr_tree", "-l", "run.log"],
                   [probe, "unsetenv", "ZYG_LAUNCH_DATA_FILE", "execvp", "zz-no-such-prog",
                    "x", ";", "env"], workdir)
        assert r.returncode == 0, r.stderr
        fail = zygtest.of_kind(zygtest.parse_probe(r.stdout), "EXECFAIL")
        assert fail == [{"kind": "EXECFAIL", "fn": "execvp", "errno": "2"}]
        # Prepared in a new array: the process's own environment is as it was.
        assert zygtest.env_value(envs(r.stdout), "ZYG_LAUNCH_DATA_FILE") is None
        assert "execvp(zz-no-such-prog)" in messages(log_records(workdir / "run.log"))

    @pytest.mark.parametrize("form", ["execl", "execlp", "execle", "execv", "execvp",
                                      "execvpe"])
    def test_list_and_vector_forms(self, launcher, probe, workdir, form):
        name = probe if form in ("execl", "execle", "execv") else "zyg-probe"
        r = launch(["-p", "rr_tree", "-l", "run.log"],
                   [probe, "setenv", f"PATH={pathlib.Path(probe).parent}",
                    "unsetenv", "LD_PRELOAD", "unsetenv", "ZYG_LAUNCH_DATA_FILE",
                    "env", "echo", "exec", form, name, "argv0", "echo", "second", "env",
                    "info"], workdir)
        assert r.returncode == 0, r.stderr
        before = envs(r.stdout[:r.stdout.index("ECHO exec\n")])
        after_out = after_marker(r.stdout, "exec")
        assert "ECHO second" in after_out
        after = envs(after_out)
        info = zygtest.of_kind(zygtest.parse_probe(r.stdout), "INFO")[0]
        data = f"ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.{info['pid']}"
        assert not any(e.startswith(("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=")) for e in before)
        # The entries are appended, in this order, to the caller's array or
        # to a copy of the process's own environment.
        assert after == before + [f"LD_PRELOAD={LIB}", data, placed(info["pid"])]
        recs = log_records(workdir / "run.log")
        pid = int(info["pid"])
        assert messages(recs, pid)[1:3] == [f"{form}({name})", "child exec start"]
        start = [x for x in recs if x["message"] == "child exec start"][0]
        assert start["cmdline"] == "argv0 echo second env info "


class TestRrPack:
    def test_exec_keeps_library_only_in_first_process(self, launcher, probe, workdir):
        r = launch(["-p", "rr_pack", "-l", "run.log"],
                   [probe, "spawn", probe, "p2", "echo", "spawned", "env", "execve", probe,
                    "p3", "echo", "exec2", "env", ";", "wait", "echo", "first", "execve",
                    probe, "p4", "env"], workdir)
        assert r.returncode == 0, r.stderr
        out = r.stdout
        # The first process's exec (after "ECHO first") keeps the library.
        assert f"LD_PRELOAD={LIB}" in envs(after_marker(out, "first"))
        # The spawned program is not the first process: its exec drops it.
        spawned = out[out.index("ECHO spawned\n"):out.index("ECHO exec2\n")]
        exec2 = out[out.index("ECHO exec2\n"):out.index("CHILD ")]
        assert f"LD_PRELOAD={LIB}" in envs(spawned)
        assert not any(e.startswith(("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE="))
                       for e in envs(exec2))
        recs = messages(log_records(workdir / "run.log"))
        assert recs.count(f"execve({probe})") == 2

    @pytest.mark.parametrize("policy,keeps", [("rr_pack", False), ("rr_tree", True)])
    def test_system(self, launcher, probe, workdir, policy, keeps):
        r = launch(["-p", policy, "-l", "run.log"], [probe, "system", "env"], workdir)
        assert r.returncode == 0, r.stderr
        shell_env = shell_lines(r.stdout)
        has_lib = f"LD_PRELOAD={LIB}" in shell_env
        has_data = any(e.startswith("ZYG_LAUNCH_DATA_FILE=/dev/shm/") for e in shell_env)
        assert (has_lib, has_data) == (keeps, keeps)
        recs = messages(log_records(workdir / "run.log"))
        assert "system(env)" in recs
        assert ("child exec start" in recs) == keeps


# ---------------------------------------------------------------- spawn

class TestSpawn:
    def test_spawn_places_and_counts_child(self, launcher, probe, workdir, node_cpus):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["spawn", probe, "child", "echo", "child", "info", ";", "wait", "info"],
                 workdir).run()
        assert h.status == 0, h.err
        recs = zygtest.parse_probe(h.out)
        spawn = zygtest.of_kind(recs, "SPAWN")[0]
        assert spawn["rc"] == "0"
        child = int(spawn["pid"])
        tasks = zygtest.of_kind(recs, "TASK")
        child_tasks = [t for t in tasks if int(t["pid"]) == child]
        parent_tasks = [t for t in tasks if int(t["pid"]) == h.pid]
        assert [t["cpus"] for t in child_tasks] == [launched(node_cpus, 1)]
        assert [t["cpus"] for t in parent_tasks] == [launched(node_cpus, 0)]
        log = log_records(workdir / "run.log")
        mine = messages(log, h.pid)
        i = mine.index(f"posix_spawn({probe})")
        assert mine[i + 1] == f"Spawned PID {child}"
        start = [x for x in log if x["pid"] == child and x["message"] == "child exec start"]
        assert start and start[0]["node"] == "1"
        assert proc_counts(h.data) == [1, 1, 0, 0]
        assert proc_counts(h.data, "proc_log") == [1, 1, 0, 0]
        assert h.data["proc_tree"]["next_node_index"] == 2
        assert h.data["lib_loaded_cnt"] == 0

    def test_spawnp_by_name(self, launcher, probe, workdir, node_cpus):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["setenv", f"PATH={pathlib.Path(probe).parent}", "spawnp", "zyg-probe",
                  "child", "info", ";", "wait"], workdir).run()
        assert h.status == 0, h.err
        recs = zygtest.parse_probe(h.out)
        child = int(zygtest.of_kind(recs, "SPAWN")[0]["pid"])
        assert [t["cpus"] for t in zygtest.of_kind(recs, "TASK")
                if int(t["pid"]) == child] == [launched(node_cpus, 1)]
        mine = messages(log_records(workdir / "run.log"), h.pid)
        i = mine.index("posix_spawnp(zyg-probe)")
        assert mine[i + 1] == f"Spawned PID {child}"
        assert h.data["lib_loaded_cnt"] == 0

    def test_caller_affinity_restored_exactly(self, launcher, probe, workdir, node_cpus):
        # taskset widens the first process to three nodes before it execs
        # the probe; binding back by launch node would leave it on one.
        r = launch(["-p", "rr_tree", "-l", "run.log"],
                   ["taskset", "-c", "0-5", probe, "info", "spawn", probe, "child", "info",
                    ";", "wait", "info"], workdir)
        assert r.returncode == 0, r.stderr
        assert r.stderr == ""
        recs = zygtest.parse_probe(r.stdout)
        child = int(zygtest.of_kind(recs, "SPAWN")[0]["pid"])
        tasks = zygtest.of_kind(recs, "TASK")
        assert [t["cpus"] for t in tasks if int(t["pid"]) == child] == [launched(node_cpus, 1)]
        assert [t["cpus"] for t in tasks if int(t["pid"]) != child] == ["0-5", "0-5"]

    def test_null_pid_pointer_still_logs_real_pid(self, launcher, probe, workdir):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["spawnnull", probe, "child", "info", ";", "wait"], workdir).run()
        assert h.status == 0, h.err
        recs = zygtest.parse_probe(h.out)
        assert zygtest.of_kind(recs, "SPAWN")[0]["rc"] == "0"
        child = int(zygtest.of_kind(recs, "CHILD")[0]["pid"])
        assert f"Spawned PID {child}" in messages(log_records(workdir / "run.log"), h.pid)
        assert h.data["lib_loaded_cnt"] == 0

    @pytest.mark.parametrize("form", ["spawn", "spawnp"])
    def test_failed_spawn_leaves_counts(self, launcher, probe, workdir, form):
        name = "/nonexistent/zz" if form == "spawn" else "zz-no-such-prog"
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 [form, name, "x", ";", "info"], workdir).run()
        assert h.status == 0, h.err
        spawn = zygtest.of_kind(zygtest.parse_probe(h.out), "SPAWN")[0]
        assert spawn["rc"] == "2"
        # Only the first process was ever counted; the cursor is back.
        assert proc_counts(h.data) == [1, 0, 0, 0]
        assert proc_counts(h.data, "proc_log") == [1, 0, 0, 0]
        assert h.data["proc_tree"]["next_node_index"] == 1
        assert h.data["lib_loaded_cnt"] == 0
        mine = messages(log_records(workdir / "run.log"), h.pid)
        fn = "posix_spawn" if form == "spawn" else "posix_spawnp"
        assert f"{fn}({name})" in mine
        assert not any(m.startswith("Spawned PID") for m in mine)

    def test_spawned_32bit_child_is_placed_not_counted(self, launcher, probe, workdir,
                                                       printers):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["spawn", printers["m32"], "printer", ";", "wait"], workdir).run()
        assert h.status == 0, h.err
        assert proc_counts(h.data) == [1, 1, 0, 0]
        assert h.data["lib_loaded_cnt"] == 0
        assert f"32-bit executable: posix_spawn({printers['m32']})" in messages(
            log_records(workdir / "run.log"), h.pid)

    def test_exec_leaving_the_tree_counts_the_process_out(self, launcher, probe, workdir,
                                                           printers):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["execve", printers["m32"], "printer"], workdir).run()
        assert h.status == 0, h.err
        assert "ECHO printer-euid-0" in h.out
        assert h.data["lib_loaded_cnt"] == 0

    def test_failed_exec_leaving_the_tree_counts_the_process_back(self, launcher, probe,
                                                                  workdir, printers):
        target = workdir / "no-exec-32"
        shutil.copy(printers["m32"], target)
        # Taken for a 32-bit program, but the kernel refuses it: the process
        # stays in the tree and counts itself out once when it ends.
        with open(target, "r+b") as f:
            f.truncate(64)
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe,
                 ["execve", target, "x", ";", "echo", "still"], workdir).run()
        assert h.status == 0, h.err
        assert zygtest.of_kind(zygtest.parse_probe(h.out), "EXECFAIL")
        assert "ECHO still" in h.out
        assert h.data["lib_loaded_cnt"] == 0

    def test_system_shell_counted_in_and_out(self, launcher, probe, workdir):
        h = Held(["-p", "rr_tree", "-l", "run.log"], probe, ["system", "true"], workdir).run()
        assert h.status == 0, h.err
        assert zygtest.of_kind(zygtest.parse_probe(h.out), "SYSTEM")[0]["status"] == "0"
        assert h.data["lib_loaded_cnt"] == 0


# ---------------------------------------------------------------- launching off

class TestLaunchingDisabled:
    def test_every_form_behaves_as_libc(self, probe, workdir):
        static = zygtest.build_static_probe(workdir)
        # A data file that does not exist: start-up disables launching.
        env = zygtest.clean_env(LD_PRELOAD=LIB, ZYG_LAUNCH_DATA_FILE="/dev/shm/zyg-nox.0.none")
        r = zygtest.run([probe, "env", "echo", "A", "spawn", static, "s", "echo", "B", "env", ";",
                         "wait", "system", "env", "echo", "C", "execve_env", f"LD_PRELOAD={LIB}",
                         "X=1", "--", static, "s", "echo", "D", "env"], env=env, cwd=str(workdir))
        assert r.returncode == 0, r.stderr
        out = r.stdout
        own = envs(out[:out.index("ECHO A\n")])
        # disable_launch took the library and the data file out of our own
        # environment; nothing adds them back.
        assert not any(e.startswith(("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=")) for e in own)
        assert envs(out[out.index("ECHO B\n"):out.index("CHILD ")]) == own
        shell = shell_lines(out[:out.index("ECHO C\n")])
        assert not any(e.startswith(("LD_PRELOAD=", "ZYG_LAUNCH_DATA_FILE=")) for e in shell)
        assert envs(after_marker(out, "D")) == [f"LD_PRELOAD={LIB}", "X=1"]


# ---------------------------------------------------------------- nested launch

class TestNestedLaunch:
    def test_zyg_nox_inside_a_tree_starts_its_own_launch(self, launcher, probe, workdir):
        script = (f"read x; exec {launcher} -p rr_flat -l inner.log {probe} env info")
        p = subprocess.Popen([launcher, "-p", "rr_tree", "-l", "outer.log", "sh", "-c", script],
                             cwd=str(workdir), env=zygtest.clean_env(), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        outer_file = f"/dev/shm/zyg-nox.{p.pid}"
        deadline = time.monotonic() + zygtest.HANG_GUARD
        while not os.path.exists(outer_file):
            if time.monotonic() > deadline or p.poll() is not None:
                p.kill()
                pytest.fail(f"no {outer_file}: {p.communicate()}")
            time.sleep(0.01)
        fd = os.open(outer_file, os.O_RDONLY)
        inner_file = None
        try:
            out, err = p.communicate(input=b"\n", timeout=zygtest.HANG_GUARD)
            out = out.decode()
            assert p.returncode == 0, err
            outer = parse_ldata(os.pread(fd, os.fstat(fd).st_size, 0))
            inner_env = envs(out)
            inner_file = zygtest.env_value(inner_env, "ZYG_LAUNCH_DATA_FILE")
            assert inner_file and inner_file != outer_file
            assert zygtest.env_value(inner_env, "ZYG_LAUNCH_LIB64") is None
            # The outer tree's own records stop at the exec into the inner launch.
            assert outer["initial_pid"] == p.pid
            inner_text = (workdir / "inner.log").read_text()
            assert "Process launch policy | rr_flat" in inner_text
            assert f"Initial PID           | {p.pid}" in inner_text
            inner = messages(log_records(workdir / "inner.log"), p.pid)
            assert inner[0] == "initial exec start"
            # The launcher's fork of its background clean-up is a creation of
            # the outer tree like any other: set its record aside.
            outer_msgs = [m for m in messages(log_records(workdir / "outer.log"), p.pid)
                          if not m.startswith("Created PID ")]
            assert outer_msgs[:4] == ["initial exec start", f"execve({launcher})",
                                      "child exec start", f"new launch: execvpe({probe})"]
            assert "initial exec start" not in outer_msgs[1:]
        finally:
            os.close(fd)
            remove_quietly(outer_file)
            if inner_file:
                remove_quietly(inner_file)
