"""The environment the launcher hands to the command, seen by the statically
linked probe (which the loader never preloads into): inherited entries in
their order, launch variables dropped, LD_PRELOAD cleaned and extended in
place, accepted options appended in the order given, the library last."""
import os
import re

import pytest

import zygtest


@pytest.fixture
def run(static_probe, isolated):
    return static_probe, isolated

REL = zygtest.RELEASE_LIB
DBG = zygtest.DEBUG_LIB


def base_env(*entries):
    """A small, fully known inherited environment (dict keeps the order)."""
    env = {"PATH": "/usr/bin:/bin", "ZYG_FIRST": "a"}
    for e in entries:
        k, _, v = e.partition("=")
        env[k] = v
    env["ZYG_LAST"] = "z"
    return env


def entries_of(env):
    return [f"{k}={v}" for k, v in env.items()]


def command_env(run, options, env):
    """The environment the static probe receives from the launcher. run is a
    (static_probe, isolated) pair: the launcher itself is dynamically linked
    and would load a library named in the inherited LD_PRELOAD."""
    static_probe, isolated = run
    r = zygtest.run(isolated([zygtest.LAUNCHER, *options, static_probe, "env"], env))
    assert r.returncode == 0, r.stderr
    return own_data_file(zygtest.probe_env(r.stdout))


DATA = "ZYG_LAUNCH_DATA_FILE=<own>"
ID = "ZYG_LAUNCH_ID=<new>"


def own_data_file(entries):
    """The data file the launcher names is the command's own (the launcher
    execs it, so it has the launcher's pid), made by the launcher, and the
    launch's identity is a new one of this user: shown as DATA and ID once
    their form is checked."""
    out = []
    for e in entries:
        if e.startswith("ZYG_LAUNCH_DATA_FILE="):
            assert re.fullmatch(r"ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox\.\d+(\.\d+)?", e), e
            assert os.path.isfile(e.split("=", 1)[1]), e
            e = DATA
        elif e.startswith("ZYG_LAUNCH_ID="):
            assert re.fullmatch(rf"ZYG_LAUNCH_ID={os.geteuid()}-[0-9a-f]{{32}}", e), e
            e = ID
        out.append(e)
    return out


class TestWithoutLaunchOption:
    def test_inherited_environment_unchanged(self, run):
        env = base_env("HOME=/root", "ZYG_OTHER=1", "LD_PRELOAD_X=" + REL)
        assert command_env(run, [], env) == entries_of(env)

    def test_launch_variables_dropped(self, run):
        inherited = [f"{name}=0" for name in zygtest.LAUNCH_VARS]
        env = base_env(*inherited, "ZYG_OTHER=1", "ZYG_LAUNCH_NODESX=2")
        got = command_env(run, [], env)
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", "ZYG_OTHER=1",
                       "ZYG_LAUNCH_NODESX=2", "ZYG_LAST=z"]

    def test_no_library_added(self, run):
        got = command_env(run, [], base_env())
        assert zygtest.env_value(got, "LD_PRELOAD") is None
        assert zygtest.env_value(got, "ZYG_LAUNCH_LIB64") is None

    @pytest.mark.parametrize("value,expected", [
        (REL, ""),
        (f"{REL} {DBG}", ""),
        (f"{REL} /opt/a.so", "/opt/a.so"),
        (f"/opt/a.so:{DBG}", "/opt/a.so"),
        (f"  :/opt/a.so::/opt/b.so ", "/opt/a.so:/opt/b.so"),
        (f"/opt/a.so\t{REL}\n/opt/b.so", "/opt/a.so:/opt/b.so"),
        (" : :", " : :"),
        ("", ""),
        (REL + "x", REL + "x"),
        ("/usr/lib64/" + "l" * 300, "/usr/lib64/" + "l" * 300),
    ])
    def test_library_paths_stripped(self, run, value, expected):
        env = base_env(f"LD_PRELOAD={value}")
        got = command_env(run, [], env)
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", f"LD_PRELOAD={expected}",
                       "ZYG_LAST=z"]


class TestWithLaunchOptions:
    def test_documented_example(self, run):
        env = base_env("LD_PRELOAD=/opt/a.so", "ZYG_OTHER=1")
        got = command_env(run, ["-p", "rr_flat", "-c"], env)
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", f"LD_PRELOAD=/opt/a.so:{REL}",
                       "ZYG_OTHER=1", "ZYG_LAST=z",
                       "ZYG_LAUNCH_PROCESS_POLICY=rr_flat", "ZYG_LAUNCH_CPU_POLICY=1",
                       f"ZYG_LAUNCH_LIB64={REL}", DATA, ID]

    def test_options_appended_in_the_order_given(self, run, tmp_path):
        log, err = str(tmp_path / "l.log"), str(tmp_path / "e.err")
        opts = ["-w", "-m", "40", "-e", err, "-l", log, "-n", "0", "-t", "rr_tree",
                "-p", "ff_flat", "-c"]
        got = command_env(run, opts, base_env())
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", "ZYG_LAST=z",
                       "ZYG_LAUNCH_OTHER_WRITE=1", "ZYG_LAUNCH_MEMFREE=40",
                       f"ZYG_LAUNCH_ERROR_FILE={err}", f"ZYG_LAUNCH_LOG_FILE={log}",
                       "ZYG_LAUNCH_NODES=0", "ZYG_LAUNCH_THREAD_POLICY=rr_tree",
                       "ZYG_LAUNCH_PROCESS_POLICY=ff_flat", "ZYG_LAUNCH_CPU_POLICY=1",
                       f"ZYG_LAUNCH_LIB64={REL}", DATA, ID, f"LD_PRELOAD={REL}"]

    def test_debug_selects_the_debug_library(self, run, tmp_path):
        dbg = str(tmp_path / "d.txt")
        got = command_env(run, ["--debug", dbg], base_env("LD_PRELOAD=" + REL))
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", f"LD_PRELOAD={DBG}",
                       "ZYG_LAST=z", f"ZYG_LAUNCH_DEBUG_FILE={dbg}",
                       f"ZYG_LAUNCH_LIB64={DBG}", DATA, ID]

    @pytest.mark.parametrize("value,expected", [
        (f"{REL} /opt/a.so", f"/opt/a.so:{REL}"),
        (DBG, REL),
        ("", REL),
        (REL, REL),
        (" : ", f" : :{REL}"),
        ("/opt/a.so /opt/b.so", f"/opt/a.so:/opt/b.so:{REL}"),
    ])
    def test_preload_extended_in_place(self, run, value, expected):
        env = base_env(f"LD_PRELOAD={value}")
        got = command_env(run, ["-p", "none"], env)
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", f"LD_PRELOAD={expected}",
                       "ZYG_LAST=z", "ZYG_LAUNCH_PROCESS_POLICY=none",
                       f"ZYG_LAUNCH_LIB64={REL}", DATA, ID]

    def test_inherited_launch_variables_do_not_leak(self, run):
        env = base_env("ZYG_LAUNCH_NODES=0", "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.1",
                       "ZYG_LAUNCH_LIB64=/x.so", "ZYG_OTHER=1", "LD_PRELOAD_X=/opt/x.so")
        got = command_env(run, ["-p", "rr_flat"], env)
        assert got == ["PATH=/usr/bin:/bin", "ZYG_FIRST=a", "ZYG_OTHER=1",
                       "LD_PRELOAD_X=/opt/x.so", "ZYG_LAST=z",
                       "ZYG_LAUNCH_PROCESS_POLICY=rr_flat", f"ZYG_LAUNCH_LIB64={REL}", DATA, ID,
                       f"LD_PRELOAD={REL}"]

    def test_only_first_preload_entry_extended(self, launcher, static_probe, isolated):
        # Duplicate names cannot be built with a dict: the probe's execve_env
        # passes exactly the entries given.
        r = zygtest.run(isolated([static_probe, "execve_env", "LD_PRELOAD=/opt/a.so", "A=1",
                                  f"LD_PRELOAD={REL} /opt/b.so", "--", launcher, "zyg-nox",
                                  "-c", static_probe, "env"], {}))
        assert r.returncode == 0, r.stderr
        assert own_data_file(zygtest.probe_env(r.stdout)) == [
            f"LD_PRELOAD=/opt/a.so:{REL}", "A=1", "LD_PRELOAD=/opt/b.so",
            "ZYG_LAUNCH_CPU_POLICY=1", f"ZYG_LAUNCH_LIB64={REL}", DATA, ID]

    def test_empty_inherited_environment(self, launcher, static_probe, isolated):
        r = zygtest.run(isolated([static_probe, "execve_env", "--", launcher, "zyg-nox", "-c",
                                  static_probe, "env"], {}))
        assert r.returncode == 0, r.stderr
        assert own_data_file(zygtest.probe_env(r.stdout)) == [
            "ZYG_LAUNCH_CPU_POLICY=1", f"ZYG_LAUNCH_LIB64={REL}", DATA, ID, f"LD_PRELOAD={REL}"]
