"""Removal of stale launch data files: "zyg-nox -r" in the foreground and the
detached clean-up that every launch starts. Every file made here has a unique
name and is removed afterwards."""
import os
import pathlib
import stat
import struct
import subprocess
import sys
import time
import uuid

import pytest

import zygtest

SHM = pathlib.Path("/dev/shm")


@pytest.fixture
def shm_files():
    made = []

    def make(prefix="zyg-nox.zygtest-", size=128, initial_pid=None):
        p = SHM / f"{prefix}{uuid.uuid4().hex}"
        data = bytearray(size)
        if initial_pid is not None:
            data[80:84] = struct.pack("<i", initial_pid)
        p.write_bytes(bytes(data))
        made.append(p)
        return p

    yield make
    for p in made:
        try:
            p.unlink()
        except FileNotFoundError:
            pass


def remove(launcher):
    r = zygtest.run([launcher, "-r"])
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def wait_until(predicate, what):
    """Polls for an outcome of the background clean-up; the deadline only
    guards against a hang."""
    deadline = time.monotonic() + zygtest.HANG_GUARD
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for: {what}")
        time.sleep(0.05)


class TestRemoveOption:
    def test_stale_file_removed(self, launcher, shm_files):
        f = shm_files()
        remove(launcher)
        assert not f.exists()

    def test_names_only_need_the_prefix(self, launcher, shm_files):
        f = shm_files(prefix="zyg-noxzygtest")
        remove(launcher)
        assert not f.exists()

    def test_other_names_ignored(self, launcher, shm_files):
        others = [shm_files(prefix="zygtest-other-"), shm_files(prefix="zyg-no.zygtest-"),
                  shm_files(prefix="xzyg-nox.zygtest-")]
        remove(launcher)
        assert all(f.exists() for f in others)

    def test_file_held_open_is_kept(self, launcher, shm_files):
        f = shm_files()
        with open(f, "rb"):
            remove(launcher)
            assert f.exists()
        remove(launcher)
        assert not f.exists()

    def test_file_mapped_by_another_process_is_kept(self, launcher, shm_files):
        f = shm_files()
        holder = subprocess.Popen(["sleep", "600"], stdin=open(f, "rb"))
        try:
            remove(launcher)
            assert f.exists()
        finally:
            holder.kill()
            holder.wait()
        remove(launcher)
        assert not f.exists()

    def test_file_of_a_live_first_process_is_kept(self, launcher, shm_files):
        alive = shm_files(initial_pid=os.getpid())
        init = shm_files(initial_pid=1)  # another user's process (EPERM) counts too
        remove(launcher)
        assert alive.exists() and init.exists()

    def test_file_of_a_dead_first_process_is_removed(self, launcher, shm_files):
        dead = shm_files(initial_pid=dead_pid())
        zero = shm_files(initial_pid=0)
        negative = shm_files(initial_pid=-5)
        remove(launcher)
        assert not dead.exists() and not zero.exists() and not negative.exists()

    def test_short_file_judged_by_fuser_alone(self, launcher, shm_files):
        short = shm_files(size=82)
        held = shm_files(size=10)
        with open(held, "rb"):
            remove(launcher)
            assert not short.exists()
            assert held.exists()

    def test_unprivileged_user(self, launcher, shm_files):
        # Files of other users cannot be unlinked from the sticky /dev/shm;
        # the scan stays silent and exits 0.
        f = shm_files()
        os.chmod(f, stat.S_IRUSR | stat.S_IWUSR)
        r = zygtest.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                         launcher, "-r"])
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
        assert f.exists()


# Runs two launches as a child subreaper, so that the detached clean-up a
# launch starts becomes this script's child the moment the launcher has reaped
# the intermediate: whether a launch started one is then known without waiting.
TWO_LAUNCHES = """
import ctypes, fcntl, os, subprocess, sys
launcher, guard = sys.argv[1:]
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
def children():
    return len(open(f"/proc/self/task/{os.getpid()}/children").read().split())
def guard_state():
    with open(guard) as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return "free"
        except BlockingIOError:
            return "held"
with open(guard, "a") as f:
    fcntl.flock(f, fcntl.LOCK_EX)  # an earlier test's clean-up has ended
out = []
for _ in range(2):
    subprocess.run([launcher, "-p", "rr_flat", "true"], check=True)
    out += [str(children()), guard_state()]
os.wait()
print(*out, guard_state())
"""


class TestBackgroundCleanup:
    def test_waiting_cleanup_holds_off_the_next_launch(self, launcher, shm_files, isolated):
        # The first launch starts a clean-up that waits before it runs and
        # holds the guard meanwhile; the second leaves its stale files to it.
        stale = shm_files(initial_pid=dead_pid())
        guard = f"/dev/shm/.zyg-nox-cleanup.{os.geteuid()}"
        r = zygtest.run(isolated([sys.executable, "-c", TWO_LAUNCHES, launcher, guard]))
        assert r.stdout.split() == ["1", "held", "1", "held", "free"], r.stderr
        assert not stale.exists()

    def test_guard_name_taken_by_a_fifo(self, launcher, shm_files, isolated):
        # Opening it must not block the launch; the clean-up starts unguarded.
        guard = SHM / f".zyg-nox-cleanup.{os.geteuid()}"
        guard.unlink(missing_ok=True)
        os.mkfifo(guard)
        try:
            stale = shm_files()
            r = zygtest.run(isolated([launcher, "-p", "rr_flat", "/bin/echo", "ran"]), timeout=30)
            assert (r.returncode, r.stdout) == (0, "ran\n"), r.stderr
            wait_until(lambda: not stale.exists(), "unguarded removal of a stale file")
        finally:
            guard.unlink()

    def test_launch_removes_stale_file(self, launcher, probe, shm_files, isolated):
        f = shm_files()
        r = zygtest.run(isolated([launcher, "-p", "rr_flat", probe, "echo", "ran"]))
        assert "ECHO ran" in r.stdout.splitlines()
        wait_until(lambda: not f.exists(), "background removal of a stale file")

    def test_launch_keeps_file_of_live_first_process(self, launcher, probe, shm_files,
                                                     isolated):
        keep = shm_files(initial_pid=os.getpid())
        stale = shm_files()
        zygtest.run(isolated([launcher, "-c", probe, "echo", "ran"]))
        wait_until(lambda: not stale.exists(), "background removal of a stale file")
        assert keep.exists()

    def test_command_inherits_no_child(self, launcher, probe, isolated):
        for options in ([], ["-p", "rr_flat"]):
            r = zygtest.run(isolated([launcher, *options, probe, "wait"]))
            assert r.returncode == 0, r.stderr
            assert zygtest.parse_probe(r.stdout) == [{"kind": "WAITED", "count": "0"}]

    def test_shell_has_no_child(self, launcher, isolated):
        # "read" is a builtin: the shell itself starts no child to look.
        children = "/proc/$$/task/$$/children"
        if not pathlib.Path(f"/proc/self/task/{os.getpid()}/children").exists():
            pytest.skip("kernel without /proc/<pid>/task/<tid>/children")
        r = zygtest.run(isolated(["/bin/sh", "-c", f"exec {launcher} -p rr_flat sh -c "
                                  f"'read c < {children}; echo \"children:$c\"'"]))
        assert r.stdout == "children:\n", r.stderr

    def test_command_substitution_returns(self, launcher, isolated):
        r = zygtest.run(isolated(["/bin/bash", "-c",
                                  f'out=$({launcher} -p rr_flat echo hi); echo "got:$out"']))
        assert (r.returncode, r.stdout) == (0, "got:hi\n"), r.stderr

    def test_cleanup_holds_none_of_the_callers_descriptors_and_yields(self, launcher, tmp_path,
                                                                       isolated, shm_files):
        # A stand-in "zyg-nox" found first in PATH records what the detached
        # clean-up process was given; a stale file makes the launch start it.
        shm_files(initial_pid=dead_pid())
        mark = tmp_path / "mark"
        fake_dir = tmp_path / "bin"
        fake_dir.mkdir()
        fake = fake_dir / "zyg-nox"
        fake.write_text(
            "#!/usr/bin/python3\n"
            "import os, sys\n"
            "mark = os.environ['ZYGTEST_MARK']\n"
            "fds = []\n"
            "for n in os.listdir('/proc/self/fd'):\n"
            "    try:\n"
            "        fds.append(n + ' ' + os.readlink('/proc/self/fd/' + n))\n"
            "    except OSError:\n"
            "        pass\n"
            "open(mark + '.fds', 'w').write('\\n'.join(fds) + '\\n')\n"
            "open(mark + '.args', 'w').write(' '.join(sys.argv[1:]) + '\\n')\n"
            "open(mark + '.nice', 'w').write(str(os.getpriority(os.PRIO_PROCESS, 0)))\n"
            "open(mark + '.done', 'w').close()\n")
        fake.chmod(0o755)
        env = zygtest.clean_env(PATH=f"{fake_dir}:/usr/bin:/bin", ZYGTEST_MARK=str(mark))
        r = zygtest.run(isolated(["/bin/bash", "-c", f'exec 7</dev/zero; out=$({launcher} -c echo hi); '
                                  f'echo "got:$out"'], env))
        assert r.stdout == "got:hi\n"
        done = pathlib.Path(str(mark) + ".done")
        wait_until(done.exists, "the stand-in clean-up to run")
        assert pathlib.Path(str(mark) + ".args").read_text() == "-r\n"
        # It runs beside the command at the lowest priority.
        assert pathlib.Path(str(mark) + ".nice").read_text() == "19"
        fds = {}
        for line in pathlib.Path(str(mark) + ".fds").read_text().splitlines():
            num, _, target = line.partition(" ")
            fds[int(num)] = target
        assert fds[0] == fds[1] == fds[2] == "/dev/null"
        assert not any(t.startswith("pipe:") for t in fds.values()), fds
        assert all(t != "/dev/zero" for t in fds.values()), fds
