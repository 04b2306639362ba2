"""Who belongs to a launch: its identity, the proof that it is still alive,
the mark that tells a new program its process is placed, and the count of
processes with the library.  Each case here is a way a real program reaches
the library (a static wrapper, a Go runtime, a script's interpreter, threads
that exec at once, another C library, another PID namespace or user) and
shows on this one-node machine: the placements counted, the environment a
program gets, the file and log the launch keeps."""
import json
import os
import pathlib
import stat
import subprocess
import sys
import time

import pytest

import zygtest

REPORT = "/usr/bin/zyg-nox-report"
BUSYBOX = "/bin/busybox"
LAUNCH_ONLY = ("LD_PRELOAD", "ZYG_LAUNCH_DATA_FILE", "ZYG_LAUNCH_ID", "ZYG_LAUNCH_PLACED_BY",
               "ZYG_LAUNCH_ERROR_FILE")


def build(tmp, name, source, *flags, compiler="gcc"):
    src = tmp / f"{name}.c"
    src.write_text(source)
    out = tmp / name
    r = zygtest.run([compiler, *flags, "-o", str(out), str(src)])
    assert r.returncode == 0, r.stderr
    return str(out)


ENV_PRINTER = r"""
#include <stdio.h>
extern char **environ;
int main(void) {
  for (char **e = environ; *e; ++e) printf("ENV %s\n", *e);
  return 0;
}
"""

C11_THREADS = r"""
#include <threads.h>
static int twice(void *arg) { return 2 * (int)(long)arg; }
int main(void) {
  thrd_t t[2];
  int sum = 0;
  for (long i = 0; i < 2; i++)
    if (thrd_create(&t[i], twice, (void *)(i + 20)) != thrd_success) return 3;
  for (int i = 0; i < 2; i++) {
    int r;
    if (thrd_join(t[i], &r) != thrd_success) return 4;
    sum += r;
  }
  return sum == 82 ? 0 : 5;
}
"""


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("membership")
    os.chmod(tmp, 0o755)
    return {
        "m32": build(tmp, "printer32", ENV_PRINTER, "-m32", "-no-pie"),
        "musl": build(tmp, "printer-musl", ENV_PRINTER, compiler="musl-gcc"),
        "c11": build(tmp, "c11", C11_THREADS, "-pthread"),
        "dir": tmp,
    }


def live_json(stdout):
    """The document the tree's last zyg-nox-report --live printed."""
    return json.loads(stdout[stdout.rindex('{\n  "format": "zyg-nox-report-live"'):])


def tree(options, script, **kw):
    """Runs script (sh) under the launcher; its last step asks the launch's
    own counts while it still runs. Returns (processes placed, processes with
    the library, stdout)."""
    r = zygtest.launch(options, ["/bin/sh", "-c", f"{script}\n{REPORT} --json --live $$; true"],
                       **kw)
    assert r.returncode == 0, r.stderr
    d = live_json(r.stdout)
    return sum(n["processes_placed"] for n in d["nodes"]), d["processes_with_library"], r.stdout


# --- placement marks and counts -----------------------------------------------

def static_script(programs):
    path = programs["dir"] / "static-interpreter.sh"
    path.write_text(f"#!{BUSYBOX} sh\n/bin/true\n/bin/true\n")
    path.chmod(0o755)
    return str(path)


# (options, script, processes placed). The shell, the report at the end and
# every process the library did not place itself are each placed once.
CASES = {
    # an exec through a static program in the same process keeps the place:
    # the shell, its child, the report
    "exec_through_a_static_program": (["-p", "rr_tree"], f"{BUSYBOX} env /bin/true", 3),
    # the children a static interpreter forks are nobody's: each takes a place
    "children_of_a_static_interpreter": (["-p", "rr_tree"], "{script}", 5),
    # a Go program below the shell: its four os/exec children, made by raw
    # clone with the environment the runtime saved, place themselves
    "go_children_below_another_program": (["-p", "rr_tree"], "{gochildren}", 7),
    # a spawned static child that execs after its parent is gone is placed
    # once: the shell, zyg-counts, the child, sleep, the report
    "spawned_child_outlives_its_parent": (
        ["-p", "rr_tree"],
        f"{{counts}} spawn_and_leave {BUSYBOX} sh -c 'sleep 0.3; exec /bin/true'\nsleep 0.6", 5),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_each_process_is_placed_exactly_once(programs, case):
    options, script, placed = CASES[case]
    build_dir = zygtest.build_dir() / "tests"
    script = script.format(script=static_script(programs),
                           gochildren=build_dir / "zyg-gochildren",
                           counts=build_dir / "zyg-counts")
    got, counted, out = tree(options, script)
    assert got == placed, out
    # Everything but the shell and the report has ended and counted out; a
    # Go program, whose end nobody sees, was never counted in.
    assert counted == 2, out


def test_rr_pack_under_a_static_command_places_what_it_starts():
    # busybox cannot load the library: the programs it starts are the first
    # process's children, and rr_pack places each of them (then no further).
    r = zygtest.launch(["-p", "rr_pack"], [BUSYBOX, "sh", "-c",
                       f"/bin/true; /bin/true; {REPORT} --json --live $$; true"])
    assert r.returncode == 0, r.stderr
    d = live_json(r.stdout)
    assert sum(n["processes_placed"] for n in d["nodes"]) == 3


@pytest.mark.parametrize("script,counted", [
    # a failed exec counts the process back in: the shell and the report
    ("exec_failing", 2),
    # eight threads exec a missing file at once for half a second
    ("threads", 2),
])
def test_failed_execs_leave_the_count_exact(script, counted):
    if script == "exec_failing":
        r = zygtest.launch(["-p", "rr_tree"], [
            "/bin/bash", "-c",
            f"shopt -s execfail; exec /nonexistent; {REPORT} --json --live $$; true"])
        assert r.returncode == 0, r.stderr
        got = live_json(r.stdout)["processes_with_library"]
    else:
        counts = zygtest.build_dir() / "tests" / "zyg-counts"
        _, got, _ = tree(["-p", "rr_tree"], f"{counts} execfail_threads 8 500")
    assert got == counted


def test_system_shell_keeps_its_callers_place(tmp_path):
    # Under -c the first process runs on the first CPU; the shell system()
    # starts inherits that place and must not take another.
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        pytest.skip("needs two CPUs")
    code = "import os; os.system('exec grep Cpus_allowed_list /proc/self/status')"
    r = zygtest.launch(["-c", "-p", "rr_tree"], [sys.executable, "-c", code])
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["Cpus_allowed_list:", str(cpus[0])]


def test_system_and_popen_leave_the_callers_environment(probe):
    r = zygtest.launch(["-p", "rr_tree"], [probe, "env", "echo", "before", "system", "true",
                                           "popen", "true", "echo", "after", "env"])
    assert r.returncode == 0, r.stderr
    before, _, after = r.stdout.partition("ECHO before\n")
    assert zygtest.probe_env(before) == zygtest.probe_env(after.split("ECHO after\n")[1])


def test_c11_threads_are_placed(programs, tmp_path):
    r = zygtest.launch(["-t", "rr_flat", "-l", "run.log"], [programs["c11"]], cwd=tmp_path)
    assert r.returncode == 0, r.stderr  # the threads' int results came back whole
    log = (tmp_path / "run.log").read_text()
    assert log.count("child start in pthread_create() by user") == 2


@pytest.mark.parametrize("through", ["program", "script"])
def test_program_of_another_c_library_runs_without_the_library(programs, through):
    target = programs["musl"]
    if through == "script":  # what the kernel runs is the interpreter
        target = programs["dir"] / "musl-interpreted"
        target.write_text(f"#!{programs['musl']}\n")
        target.chmod(0o755)
    r = zygtest.launch(["-p", "rr_tree"], ["/bin/sh", "-c", f"{target}; echo rc=$?"])
    assert (r.returncode, r.stderr) == (0, "")
    env = zygtest.probe_env(r.stdout)
    assert "rc=0" in r.stdout.splitlines()
    assert [e for e in env if e.startswith(LAUNCH_ONLY)] == []
    if through == "script":
        return
    # As the command itself it could never load the library: refused.
    r = zygtest.launch(["-p", "rr_tree"], [programs["musl"]])
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == ("\nError: zyg-nox does not support programs of another C library: "
                        f"{programs['musl']}\n\n")


# --- the environment a new program gets ----------------------------------------

FORMS = ["execl", "execle", "execlp", "execv", "execve", "execvp", "execvpe", "fexecve",
         "execveat", "spawn", "spawnp", "system", "popen"]


def started_by(form, target):
    if form in ("system", "popen"):
        return [form, f"exec {target} env"]
    if form in ("spawn", "spawnp"):
        return [form, target, "printer", "env", ";", "wait"]
    return [form, target, "printer", "env"]


def without_launch(entries):
    return [e for e in entries if not e.startswith(tuple(n + "=" for n in LAUNCH_ONLY))]


@pytest.mark.parametrize("where", ["first", "child"])
@pytest.mark.parametrize("kept", [True, False], ids=["kept", "dropped"])
@pytest.mark.parametrize("form", FORMS)
def test_new_program_gets_the_callers_environment(probe, programs, form, kept, where):
    """Every exec form, under every process policy, with the library kept
    (the probe) or dropped (a 32-bit program), from the first process and
    from a child: the new program's environment is the caller's at that
    moment, its own setenv included, launch variables aside."""
    target = probe if kept else programs["m32"]
    steps = ["setenv", "MINE=set-by-the-caller", "unsetenv", "HOME", "env", "echo", "started",
             *started_by(form, target)]
    if where == "child":
        steps = ["fork", "{", *steps, "}", "wait"]
    for policy in [p for p, given in zygtest.policies().items() if "process" in given]:
        r = zygtest.launch(["-p", policy], [probe, *steps])
        assert r.returncode == 0, (policy, r.stderr)
        caller, _, new = r.stdout.partition("ECHO started\n")
        caller, new = zygtest.probe_env(caller), zygtest.probe_env(new)
        assert "MINE=set-by-the-caller" in caller
        if form in ("system", "popen"):
            # The shell rebuilds the environment from its own table, in its
            # own order.
            caller, new = sorted(caller), sorted(new)
        assert without_launch(new) == without_launch(caller), policy
        if kept and "pack" not in policy and form not in ("system", "popen"):
            assert zygtest.env_value(new, "LD_PRELOAD") == zygtest.RELEASE_LIB, policy
        if not kept:
            assert [e for e in new if e.startswith(LAUNCH_ONLY)] == [], policy


# --- identity and liveness ------------------------------------------------------

def test_static_command_keeps_its_launch_through_a_clean_up(launcher, probe, tmp_path):
    # busybox runs two programs with a pause between them; a clean-up runs in
    # the pause, when no program of the launch has the library loaded.
    p = subprocess.Popen([launcher, "-p", "rr_tree", "-l", "run.log", BUSYBOX, "sh", "-c",
                          f"{probe} env echo one; sleep 1; {probe} env echo two"],
                         cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = ""
    while "ECHO one" not in first:
        line = p.stdout.readline()
        assert line, p.stderr.read()
        first += line
    time.sleep(0.3)
    assert zygtest.run([launcher, "-r"]).returncode == 0
    rest, err = p.communicate(timeout=zygtest.HANG_GUARD)
    assert (p.returncode, err) == (0, "")
    files = {zygtest.env_value(zygtest.probe_env(t), "ZYG_LAUNCH_DATA_FILE") for t in (first, rest)}
    assert files == {f"/dev/shm/zyg-nox.{p.pid}"}
    log = (tmp_path / "run.log").read_text()
    # The banner names the launched command; the records of both programs
    # are in the one log, numbered on.
    assert f"Initial PID           | {p.pid}\n" in log
    assert log.count("child exec start") == 2
    pathlib.Path(f"/dev/shm/zyg-nox.{p.pid}").unlink(missing_ok=True)


PLANT = r"""
import os, struct, sys
name, kind, lib = sys.argv[1:]
data = bytearray(7480)
struct.pack_into("=III", data, 0, 1, 2048, 3336)
data[1147:1147 + len(lib)] = lib.encode()
try:
    if kind == "fifo":
        os.mkfifo(name, 0o666)
    elif kind == "link":
        os.symlink("/dev/shm/zygtest-link-target", name)
    else:
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        os.write(fd, bytes(data))
    print("planted")
except OSError as e:
    print("refused", e.errno)
"""


@pytest.mark.parametrize("kind", ["regular", "fifo", "link"])
def test_a_file_planted_under_the_launch_name_is_never_joined(launcher, probe, programs,
                                                             shared_dir, tmp_path, kind):
    # Below a static command nothing of the launch has loaded the library yet
    # when another user (nobody) tries to put a file of theirs, with a
    # library of theirs named in its header, under the launch's name.
    evil = str(programs["dir"] / "evil.so")
    plant = shared_dir / "plant.py"
    plant.write_text(PLANT)
    script = (f"env -i /usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups "
              f"/usr/bin/python3 {plant} $ZYG_LAUNCH_DATA_FILE {kind} {evil}; "
              f"{probe} env fork {{ exec {probe} probe env }} wait")
    r = zygtest.launch(["-p", "rr_tree", "-l", "run.log"], [BUSYBOX, "sh", "-c", script],
                       cwd=tmp_path, timeout=30)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("refused 17\n")  # the launch's file was there first
    envs = zygtest.probe_env(r.stdout)
    assert [e for e in envs if e.startswith("LD_PRELOAD=")] == [f"LD_PRELOAD={zygtest.RELEASE_LIB}"] * 2
    log = (tmp_path / "run.log").read_text()
    # busybox execs the last command itself: the launched command's process
    assert log.count("initial exec start") == log.count("child exec start") == 1


def test_a_fifo_in_shm_hangs_neither_a_launch_nor_a_clean_up(launcher):
    r = zygtest.run(["unshare", "-m", "sh", "-c",
                     "mount -t tmpfs tmpfs /dev/shm && mkfifo /dev/shm/zyg-nox.x /dev/shm/zyg-nox.7 "
                     f"&& timeout 10 {launcher} -p rr_tree /bin/echo ran && timeout 10 {launcher} -r "
                     f"&& echo cleaned; timeout 10 {REPORT} --live 7 >/dev/null 2>&1; echo live=$?"],
                    timeout=60)
    # --live of a launch whose name is a FIFO: told, not waited on (124).
    assert r.stdout.startswith("ran\ncleaned\nlive=") and r.stdout != "ran\ncleaned\nlive=124\n", \
        (r.stdout, r.stderr)


def test_launches_in_two_pid_namespaces_keep_their_own_file_log_and_counts(launcher, probe,
                                                                          tmp_path):
    """Two launches whose launchers are both pid 1 of a namespace of their
    own, sharing /dev/shm, start while another user's files hold the names
    they would take first, and clean-ups run meanwhile in both namespaces."""
    planted = [pathlib.Path(p) for p in ("/dev/shm/zyg-nox.1", "/dev/shm/zyg-nox.1.1")]
    for p in planted:
        p.unlink(missing_ok=True)
    planted[0].write_bytes(bytes(7480))
    os.chown(planted[0], 65534, 65534)
    os.mkfifo(planted[1])
    try:
        runs = []
        for name in ("a", "b"):
            script = (f"{probe} echo {name}; sleep 1; {probe} env; "
                      f"{REPORT} --json --live $$; true")
            runs.append(subprocess.Popen(
                ["unshare", "-pf", "--mount-proc", launcher, "-p", "rr_tree", "-l",
                 f"{name}.log", "/bin/sh", "-c", script],
                cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        time.sleep(0.5)
        for _ in range(2):
            zygtest.run([launcher, "-r"])
            zygtest.run(["unshare", "-pf", "--mount-proc", launcher, "-r"])
        outs = [p.communicate(timeout=zygtest.HANG_GUARD) for p in runs]
        files = set()
        for (out, err), name in zip(outs, ("a", "b")):
            assert err == ""
            d = live_json(out)
            files.add(d["data_file"])
            # sh, the probe twice, sleep and the report: placed and counted once each
            assert sum(n["processes_placed"] for n in d["nodes"]) == 5
            log = (tmp_path / f"{name}.log").read_text()
            assert log.count("child exec start") == 4 and log.count("initial exec start") == 1
        assert len(files) == 2 and not files & {str(p) for p in planted}
        assert planted[0].read_bytes() == bytes(7480) and stat.S_ISFIFO(planted[1].lstat().st_mode)
    finally:
        for p in planted:
            p.unlink(missing_ok=True)


def test_a_program_that_closed_the_anchor_keeps_its_launch(launcher, probe, tmp_path):
    # The shell closes the descriptor every program inherits from the
    # launcher, starts a probe and ends: the probe's own image is all that
    # holds the launch while a clean-up runs.
    p = subprocess.Popen([launcher, "-p", "rr_tree", "/bin/bash", "-c",
                          f"exec 100<&-; {probe} echo started readline env <&0 &"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline() == "ECHO started\n"
    data_file = pathlib.Path(f"/dev/shm/zyg-nox.{p.pid}")
    # From another PID namespace, where no process of the launch is seen.
    assert zygtest.run(["unshare", "-pf", "--mount-proc", launcher, "-r"]).returncode == 0
    exists = data_file.exists()
    out, _ = p.communicate(input="\n", timeout=zygtest.HANG_GUARD)
    assert exists
    data_file.unlink(missing_ok=True)
