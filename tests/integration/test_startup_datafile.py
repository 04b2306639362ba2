"""The first process of a launch creates /dev/shm/zyg-nox.<pid> and records
the configuration, the machine's launch nodes and its own placement in it.
Read with struct while the first process still runs (it sleeps), so no
clean-up can take the file away; every data file made here is removed."""
import os
import subprocess

import pytest

import zygtest
from test_startup_support import (LIVE_ACTIONS, LiveLaunch, Machine, check_first_process_file,
                                  data_file_of, remove_quietly, shm_cleanup,
                                  workdir)  # noqa: F401  (fixtures)


@pytest.fixture(scope="module")
def machine():
    return Machine()


def live(launcher, probe, options, **kw):
    return LiveLaunch([launcher, *options, probe, *LIVE_ACTIONS], **kw)


class TestCreatedFile:
    def test_layout_and_first_placement(self, launcher, probe, machine):
        with live(launcher, probe, ["-p", "rr_tree"], umask=0o077) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
        assert run.data_file == data_file_of(run.pid)
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id)
        if len(machine.config_nodes) == 1:
            # One configured node: 2048 + 1288 + 4 x 1036.
            assert len(data) == 7480

    def test_other_write_mode_under_umask_077(self, launcher, probe, machine):
        with live(launcher, probe, ["-w", "-p", "rr_flat"], umask=0o077) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id, proc=("rr_flat", 1, 10), file_mode=0o666)

    @pytest.mark.parametrize("proc,thrd", [
        (("ff_tree", 2, 11), ("rr_tree", 1, 11)),
        (("pack", 3, 10), ("ff_flat", 2, 10)),
        (("none", 0, 10), ("memfree_tree", 4, 11)),
        (("rr_pack", 1, 12), ("none", 0, 10)),
    ], ids=lambda p: p[0])
    def test_policy_pairs(self, launcher, probe, machine, proc, thrd):
        with live(launcher, probe, ["-p", proc[0], "-t", thrd[0]]) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id, proc=proc, thrd=thrd)

    def test_cpu_launch_counts_first_cpu(self, launcher, probe, machine):
        with live(launcher, probe, ["-c", "-p", "rr_tree"]) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
            cpus = run.task_cpus()
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id, cpu_launch=1)
        first = machine.cpus[machine.launch_nodes()[0]][0]
        assert cpus == [str(first)]

    @pytest.mark.parametrize("value,limit", [("100", 100), ("0", 0), (" 7", 7), ("75%", 75),
                                             ("\t42abc", 42)])
    def test_memfree_values_accepted(self, launcher, probe, machine, value, limit):
        with live(launcher, probe, ["-p", "memfree_flat", "-m", value]) as run:
            d = run.ldata()
        assert run.err == ""
        assert d["memfree_limit"] == limit
        assert (d["proc_kind"], d["proc_scope"]) == (4, 10)

    def test_other_launch_variables_leave_the_environment(self, launcher, probe, workdir):
        opts = ["-p", "rr_tree", "-t", "rr_flat", "-n", "0", "-c", "-w", "-m", "60",
                "-l", "run.log", "-e", "err.txt"]
        with live(launcher, probe, opts, cwd=workdir) as run:
            names = {e.partition("=")[0] for e in run.env_entries}
        assert names & set(zygtest.LAUNCH_VARS) == {
            "ZYG_LAUNCH_DATA_FILE", "ZYG_LAUNCH_MEMFREE", "ZYG_LAUNCH_ERROR_FILE"}
        env = dict(e.partition("=")[::2] for e in run.env_entries)
        assert env["ZYG_LAUNCH_MEMFREE"] == "60"
        assert env["ZYG_LAUNCH_ERROR_FILE"] == f"{workdir}/err.txt"
        assert env["ZYG_LAUNCH_DATA_FILE"] == data_file_of(run.pid)


class TestNaming:
    def test_existing_name_gets_suffix_1(self, launcher, probe, machine, shm_cleanup):
        # The shell holds the stale name open (so no clean-up deletes it) and
        # execs the launcher, which execs the probe: same process ID.
        script = ('exec 9>/dev/shm/zyg-nox.$$; exec "$0" -p rr_tree "$1" '
                  + " ".join(LIVE_ACTIONS))
        with LiveLaunch(["/bin/sh", "-c", script, launcher, probe]) as run:
            stale = data_file_of(run.pid)
            shm_cleanup.append(stale)
            st = os.stat(run.data_file)
            data = run.read_data()
            stale_size = os.stat(stale).st_size
        assert run.data_file == stale + ".1"
        assert stale_size == 0
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id)


class TestWithoutLauncher:
    """The library loaded by LD_PRELOAD alone makes the process the first of
    a launch with both policies "none"."""

    @pytest.mark.parametrize("extra", [{}, {"ZYG_LAUNCH_DATA_FILE": ""}],
                             ids=["no-launch-variables", "empty-data-file-variable"])
    def test_creates_file_with_no_policies(self, probe, machine, extra):
        env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB, **extra)
        with LiveLaunch([probe, *LIVE_ACTIONS], env=env) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
            cpus = run.task_cpus()
        assert run.err == ""
        assert run.data_file == data_file_of(run.pid)
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=machine,
                                 launch_id=run.launch_id, proc=("none", 0, 10), lib64="")
        # Nothing placed it: it keeps the affinity it was started with.
        own = open("/proc/self/status").read().split("Cpus_allowed_list:")[1].split()[0]
        assert cpus == [own]

    def test_program_runs_to_its_end(self, probe):
        env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB)
        p = subprocess.Popen([probe, "info", "echo", "done", "exit", "3"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = p.communicate(timeout=zygtest.HANG_GUARD)
        remove_quietly(data_file_of(p.pid))
        assert (p.returncode, err) == (3, "")
        recs = zygtest.parse_probe(out)
        assert recs[0]["kind"] == "INFO" and recs[0]["pid"] == str(p.pid)
        assert recs[-1] == {"kind": "ECHO", "value": "done"}
