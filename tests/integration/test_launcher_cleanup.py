"""Removal of stale launch data files: "zyg-nox -r" in the foreground and the
detached clean-up that every launch starts. Every file made here has a unique
name and is removed afterwards."""
import fcntl
import os
import pathlib
import stat
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

    def make(prefix=None, size=128):
        # A data file's name ("zyg-nox.<pid>.<k>") no launch of this machine has.
        name = prefix + uuid.uuid4().hex if prefix else \
            f"zyg-nox.{5000000 + uuid.uuid4().int % 1000000000}.{len(made) + 1}"
        p = SHM / name
        p.write_bytes(bytes(size))
        made.append(p)
        return p

    yield make
    for p in made:
        try:
            p.unlink()
        except FileNotFoundError:
            pass


def hold_lock(path):
    """A program of the file's launch: a process holding its shared lock."""
    return subprocess.Popen([sys.executable, "-c",
                             "import fcntl, sys, time\n"
                             "f = open(sys.argv[1], 'rb'); fcntl.flock(f, fcntl.LOCK_SH)\n"
                             "print('held', flush=True); time.sleep(600)", str(path)],
                            stdout=subprocess.PIPE, text=True)


def remove(launcher):
    r = zygtest.run([launcher, "-r"])
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


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

    def test_other_names_ignored(self, launcher, shm_files):
        # Only a data file's name: a file another program named "zyg-nox..."
        # is not ours to remove.
        others = [shm_files(prefix="zygtest-other-"), shm_files(prefix="zyg-no.zygtest-"),
                  shm_files(prefix="xzyg-nox.zygtest-"), shm_files(prefix="zyg-noxzygtest"),
                  shm_files(prefix="zyg-nox.zygtest-")]
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

    def test_file_locked_by_a_program_unseen_from_another_pid_namespace_is_kept(
            self, launcher, shm_files):
        # The clean-up runs in a PID namespace of its own with its own /proc:
        # it sees neither the holder's pid nor its descriptors, and must not
        # take that for the end of the launch.
        f = shm_files()
        holder = hold_lock(f)
        try:
            assert holder.stdout.readline() == "held\n"
            r = zygtest.run(["unshare", "-pf", "--mount-proc", launcher, "-r"])
            assert (r.returncode, r.stderr) == (0, "")
            assert f.exists()
        finally:
            holder.kill()
            holder.wait()
        r = zygtest.run(["unshare", "-pf", "--mount-proc", launcher, "-r"])
        assert not f.exists()

    def test_fifo_or_link_under_a_data_file_name_neither_blocks_nor_goes(self, launcher,
                                                                         shm_files):
        fifo = shm_files()
        fifo.unlink()
        os.mkfifo(fifo)
        link = shm_files()
        link.unlink()
        target = shm_files(prefix="zygtest-target-")
        link.symlink_to(target)
        r = zygtest.run([launcher, "-r"], timeout=30)
        assert (r.returncode, r.stderr) == (0, "")
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and link.is_symlink() and target.exists()

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
        stale = shm_files()
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

    def test_launch_keeps_file_of_a_live_launch(self, launcher, probe, shm_files, isolated):
        keep = shm_files()
        holder = hold_lock(keep)
        try:
            assert holder.stdout.readline() == "held\n"
            stale = shm_files()
            zygtest.run(isolated([launcher, "-c", probe, "echo", "ran"]))
            wait_until(lambda: not stale.exists(), "background removal of a stale file")
            assert keep.exists()
        finally:
            holder.kill()
            holder.wait()

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
        # clean-up process was given; a stale file makes the launch start it
        # once the clean-up an earlier test's launch started has ended.
        shm_files()
        with open(f"/dev/shm/.zyg-nox-cleanup.{os.geteuid()}", "a") as guard:
            fcntl.flock(guard, fcntl.LOCK_EX)
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
