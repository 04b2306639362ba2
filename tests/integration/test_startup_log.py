"""The launch log that the first process creates with -l: banner, column
header and the "initial exec start" record, byte for byte but the time."""
import errno
import os
import subprocess

import pytest

import zygtest
from test_startup_support import (LIVE_ACTIONS, LiveLaunch, Machine, check_log_start,
                                  cmdline_column, data_file_of, entry_number, fatal_stderr,
                                  format_list, launch_cpus_text, record_tail, remove_quietly,
                                  run_to_end, workdir)  # noqa: F401


@pytest.fixture(scope="module")
def machine():
    return Machine()


def first_node_columns(machine, cpu_launch):
    """Node and CPU columns of a first process placed on the first launch node."""
    node = machine.launch_nodes()[0]
    cpus = machine.cpus[node]
    if cpu_launch or len(cpus) == 1:
        return str(node), str(cpus[0])
    return str(node), "-1"


def unplaced_columns(machine):
    nodes = machine.launch_nodes()
    cpu = str(next(iter(machine.affinity))) if len(machine.affinity) == 1 else "-1"
    return format_list(nodes), cpu


class TestFirstRecords:
    @pytest.mark.parametrize("options,proc,thrd,cpu", [
        (["-p", "rr_tree"], "rr_tree", "none", False),
        (["-p", "rr_flat", "-t", "ff_tree"], "rr_flat", "ff_tree", False),
        (["-c", "-p", "rr_tree"], "rr_tree", "none", True),
        (["-p", "none"], "none", "none", False),
        (["-t", "rr_tree"], "none", "rr_tree", False),
    ], ids=["rr_tree", "thread-policy", "cpu", "none", "thread-only"])
    def test_banner_and_initial_record(self, launcher, probe, machine, workdir,
                                       options, proc, thrd, cpu):
        argv = [probe, "echo", "x y", "info"]
        pid, status, out, err = run_to_end([launcher, *options, "-l", "run.log", "-e", "err.txt",
                                            *argv], cwd=workdir)
        assert (status, err) == (0, "")
        if proc == "none":
            node_col, cpu_col = unplaced_columns(machine)
        else:
            node_col, cpu_col = first_node_columns(machine, cpu)
        text = (workdir / "run.log").read_text()
        records = check_log_start(
            text, pid=pid, argv=argv, proc=proc, thrd=thrd, cpu=cpu,
            nodes_text=format_list(machine.run_nodes), log_file=f"{workdir}/run.log",
            error_file=f"{workdir}/err.txt", config_nodes=len(machine.config_nodes),
            avail_nodes=len(machine.launch_nodes()), node_col=node_col, cpu_col=cpu_col,
            launch_cpus=launch_cpus_text(machine) if cpu else None)
        # Entry numbers count from 1 without gaps or repeats.
        assert sorted(entry_number(r) for _, r in records) == list(range(1, len(records) + 1))
        assert oct(os.stat(workdir / "run.log").st_mode & 0o7777) == oct(0o664)

    def test_mode_with_other_write_under_umask_077(self, launcher, probe, workdir):
        pid, status, out, err = run_to_end(
            ["/bin/sh", "-c", 'umask 077; exec "$@"', "sh", launcher, "-w", "-p", "rr_tree",
             "-l", "run.log", probe], cwd=workdir)
        assert (status, err) == (0, "")
        assert oct(os.stat(workdir / "run.log").st_mode & 0o7777) == oct(0o666)

    def test_long_command_line_is_cut_at_256_bytes(self, launcher, probe, machine, workdir):
        argv = [probe, "echo", "w" * 300]
        pid, status, out, err = run_to_end([launcher, "-p", "rr_tree", "-l", "run.log", *argv],
                                           cwd=workdir)
        assert (status, err) == (0, "")
        column = cmdline_column(argv)
        assert len(column) == 256
        node_col, cpu_col = first_node_columns(machine, False)
        check_log_start((workdir / "run.log").read_text(), pid=pid, argv=argv, proc="rr_tree",
                        nodes_text=format_list(machine.run_nodes),
                        log_file=f"{workdir}/run.log", config_nodes=len(machine.config_nodes),
                        avail_nodes=len(machine.launch_nodes()), node_col=node_col,
                        cpu_col=cpu_col)


class TestLogFile:
    def test_symbolic_link_is_replaced(self, launcher, probe, machine, workdir):
        target = workdir / "target"
        target.write_text("keep me\n")
        (workdir / "run.log").symlink_to(target)
        argv = [probe, "info"]
        pid, status, out, err = run_to_end([launcher, "-p", "rr_tree", "-l", "run.log", *argv],
                                           cwd=workdir)
        assert (status, err) == (0, "")
        log = workdir / "run.log"
        assert not log.is_symlink() and log.is_file()
        assert target.read_text() == "keep me\n"
        node_col, cpu_col = first_node_columns(machine, False)
        check_log_start(log.read_text(), pid=pid, argv=argv, proc="rr_tree",
                        nodes_text=format_list(machine.run_nodes), log_file=str(log),
                        config_nodes=len(machine.config_nodes),
                        avail_nodes=len(machine.launch_nodes()), node_col=node_col,
                        cpu_col=cpu_col)

    def test_second_launch_starts_a_new_file(self, launcher, probe, machine, workdir):
        argv = [probe, "info"]
        first = run_to_end([launcher, "-p", "rr_tree", "-l", "run.log", *argv], cwd=workdir)
        second = run_to_end([launcher, "-p", "rr_tree", "-l", "run.log", *argv], cwd=workdir)
        assert (first[1], first[3], second[1], second[3]) == (0, "", 0, "")
        text = (workdir / "run.log").read_text()
        assert text.count("Warning: format/content of this file") == 1
        assert f" | {first[0]:7d} | " not in text
        node_col, cpu_col = first_node_columns(machine, False)
        check_log_start(text, pid=second[0], argv=argv, proc="rr_tree",
                        nodes_text=format_list(machine.run_nodes),
                        log_file=f"{workdir}/run.log", config_nodes=len(machine.config_nodes),
                        avail_nodes=len(machine.launch_nodes()), node_col=node_col,
                        cpu_col=cpu_col)

    def test_launches_started_together_with_one_log_all_run(self, launcher, probe, workdir):
        # As mpirun -np N zyg-nox -l run.log app: the launches of a burst replace
        # the log at about the same moment and none may stop another. Two of
        # them meet inside the replacement only now and then, hence the bursts.
        failed = []
        for burst in range(12):
            runs = [(f"{burst}.{i}", subprocess.Popen(
                        [launcher, "-p", "rr_tree", "-l", "run.log", probe, "echo", f"{burst}.{i}"],
                        cwd=workdir, env=zygtest.clean_env(), stdin=subprocess.DEVNULL,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
                    for i in range(40)]
            for word, run in runs:
                out, err = run.communicate(timeout=zygtest.HANG_GUARD)
                # Left behind, the data files would send every later launch
                # into a clean-up of hundreds of them.
                remove_quietly(data_file_of(run.pid))
                if (run.returncode, err) != (0, "") or f"ECHO {word}\n" not in out:
                    failed.append((word, run.returncode, err))
        assert failed == []
        assert (workdir / "run.log").is_file()

    def test_directory_is_refused(self, launcher, probe, workdir):
        (workdir / "logs").mkdir()
        pid, status, out, err = run_to_end([launcher, "-p", "rr_tree", "-l", "logs", probe,
                                            "echo", "ran"], cwd=workdir)
        assert (status, out) == (1, "")
        assert err == fatal_stderr(pid, probe, f"open({workdir}/logs) failed", errno.EISDIR)

    def test_exec_attached_process_continues_the_numbering(self, launcher, probe, machine,
                                                           workdir):
        with LiveLaunch([launcher, "-p", "rr_tree", "-l", "run.log", probe, *LIVE_ACTIONS],
                        cwd=workdir) as run:
            env = zygtest.clean_env(LD_PRELOAD=zygtest.RELEASE_LIB,
                                    ZYG_LAUNCH_DATA_FILE=run.data_file,
                                    ZYG_LAUNCH_ID=run.launch_id)
            argv = [probe, "echo", "attached"]
            pid, status, out, err = run_to_end(argv, env=env, cwd="/")
        assert (status, err) == (0, "")
        node_col, cpu_col = first_node_columns(machine, False)
        records = check_log_start(
            (workdir / "run.log").read_text(), pid=run.pid, argv=[probe, *LIVE_ACTIONS],
            proc="rr_tree", nodes_text=format_list(machine.run_nodes),
            log_file=f"{workdir}/run.log", config_nodes=len(machine.config_nodes),
            avail_nodes=len(machine.launch_nodes()), node_col=node_col, cpu_col=cpu_col)
        unplaced_node, unplaced_cpu = unplaced_columns(machine)
        assert records[1][1] == record_tail(
            records[1][1], entry=2, tid=pid, pid=pid, ppid=os.getpid(), node=unplaced_node, cpu=unplaced_cpu,
            message="child exec start", comm="zyg-probe", cmdline=cmdline_column(argv))
        assert sorted(entry_number(r) for _, r in records) == list(range(1, len(records) + 1))
