"""Start-up of the library on NUMA machines: where the first process of a
launch lands, what its data file records about the nodes, and what its log
shows.  Expected layouts are written out per shape here (not derived from
the library's own view) so that a wrong record cannot agree with itself."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "integration"))
from test_startup_support import (LIVE_ACTIONS, LiveLaunch, Machine,  # noqa: E402
                                  check_first_process_file, check_log_start, data_file_size,
                                  fatal_stderr, run_to_end, without_libnuma_warnings,
                                  workdir)  # noqa: F401

ALL_SHAPES = ("4x2", "2x4", "memonly", "1x2")

# Per shape: configured nodes (all have memory), launch nodes without -n,
# their sysfs cpulist texts, and the data file size.
LAYOUT = {
    "4x2": {"config": 4, "nodes": [0, 1, 2, 3], "text": "0,1,2,3",
            "cpulist": ["0-1\n", "2-3\n", "4-5\n", "6-7\n"], "size": 23728},
    "2x4": {"config": 2, "nodes": [0, 1], "text": "0,1",
            "cpulist": ["0-3\n", "4-7\n"], "size": 12896},
    "memonly": {"config": 3, "nodes": [0, 1], "text": "0,1",
                "cpulist": ["0-1\n", "2-3\n"], "size": 18312},
    "1x2": {"config": 1, "nodes": [0], "text": "0", "cpulist": ["0-1\n"], "size": 7480},
}


def live(launcher, probe, options, **kw):
    return LiveLaunch([launcher, *options, probe, *LIVE_ACTIONS], **kw)


def cpus_of(run):
    cpus = run.task_cpus()
    assert len(cpus) == 1, f"one task expected: {cpus}"
    return cpus[0]


class TestFirstProcessPlacement:
    @pytest.mark.parametrize("options,cpus", [
        (["-p", "rr_tree"], "0-1"),
        (["-p", "rr_flat"], "0-1"),
        (["-p", "ff_tree"], "0-1"),
        (["-p", "pack"], "0-1"),
        (["-p", "rr_pack"], "0-1"),
        (["-p", "rr_tree", "-c"], "0"),
        (["-p", "rr_tree", "-n", "2,3"], "4-5"),
        (["-p", "rr_tree", "-n", "2,3", "-c"], "4"),
        (["-p", "rr_tree", "-n", "!0-1"], "4-5"),
        (["-p", "ff_flat", "-n", "3"], "6-7"),
        (["-p", "none", "-l", "run.log"], "0-7"),
        (["-p", "none"], "0-7"),
        (["-t", "rr_tree"], "0-7"),
        (["-p", "none", "-n", "1,2"], "2-5"),
    ], ids=lambda v: " ".join(v) if isinstance(v, list) else v)
    def test_cpus(self, launcher, probe, workdir, options, cpus):
        with live(launcher, probe, options, cwd=workdir) as run:
            got = cpus_of(run)
        assert run.err == ""
        assert got == cpus


class TestDataFile:
    @pytest.mark.topology(*ALL_SHAPES)
    def test_layout(self, launcher, probe, topology):
        want = LAYOUT[topology]
        with live(launcher, probe, ["-p", "rr_tree"], umask=0o077) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
        assert len(data) == want["size"] == data_file_size(want["config"])
        d = check_first_process_file(data, st, pid=run.pid, path=run.data_file,
                                     machine=Machine(), nodes=want["nodes"],
                                     launch_nodes_text=want["text"])
        assert d["launch_nodes"] == want["text"]
        assert d["avail_node_cnt"] == len(want["nodes"])
        used = d["l_nodes"][:len(want["nodes"])]
        assert [e["node_id"] for e in used] == want["nodes"]
        assert [e["cpulist"] for e in used] == want["cpulist"]
        assert all(e["node_id"] == -1 for e in d["l_nodes"][len(want["nodes"]):])

    def test_cpu_launch(self, launcher, probe):
        with live(launcher, probe, ["-c", "-w", "-p", "rr_tree"], umask=0o077) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
        d = check_first_process_file(data, st, pid=run.pid, path=run.data_file,
                                     machine=Machine(), cpu_launch=1, file_mode=0o666,
                                     nodes=[0, 1, 2, 3], launch_nodes_text="0,1,2,3")
        assert d["l_nodes"][0]["cpus"] == [0, 1]
        assert d["proc_tree"]["node"][0]["cpu_launched"][:2] == [1, 0]
        assert d["proc_tree"]["node"][0]["next_cpu_index"] == 1

    @pytest.mark.parametrize("text,nodes", [("2,3", [2, 3]), ("3,1", [1, 3]), ("1-2", [1, 2]),
                                            ("!0", [1, 2, 3])])
    def test_initial_node_list(self, launcher, probe, text, nodes):
        with live(launcher, probe, ["-p", "rr_tree", "-n", text]) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
            cpus = cpus_of(run)
        m = Machine()
        check_first_process_file(data, st, pid=run.pid, path=run.data_file, machine=m,
                                 nodes=nodes, launch_nodes_text=text)
        assert cpus == m.cpulist_text[nodes[0]].strip()

    def test_run_nodes_of_a_narrowed_affinity(self, launcher, probe):
        # Started on CPUs 2-5 only: the launch nodes are 1 and 2.
        with LiveLaunch(["taskset", "-c", "2-5", launcher, "-p", "rr_tree", probe,
                         *LIVE_ACTIONS]) as run:
            st = os.stat(run.data_file)
            data = run.read_data()
            cpus = cpus_of(run)
        check_first_process_file(data, st, pid=run.pid, path=run.data_file,
                                 machine=Machine(affinity=range(2, 6)), nodes=[1, 2],
                                 launch_nodes_text="1,2")
        assert cpus == "2-3"

    @pytest.mark.topology("memonly")
    def test_memory_only_node_is_no_launch_node(self, launcher, probe):
        with live(launcher, probe, ["-p", "rr_tree", "-n", "0,1"]) as run:
            d = run.ldata()
            cpus = cpus_of(run)
        assert (d["config_node_cnt"], d["avail_node_cnt"], d["avail_cpu_cnt"]) == (3, 2, 4)
        assert [e["node_id"] for e in d["l_nodes"]] == [0, 1, -1]
        assert cpus == "0-1"


class TestNodesNotAvailable:
    @pytest.mark.parametrize("cpus,nodes,bad,run_nodes", [
        ("0-3", "2", 2, "0,1"), ("0-3", "1-3", 2, "0,1"), ("6", "0,3", 0, "3"),
        ("0,7", "0-3", 1, "0,3"),
    ])
    def test_terminates_listing_the_run_nodes(self, launcher, probe, workdir, cpus, nodes, bad,
                                              run_nodes):
        pid, status, out, err = run_to_end(["taskset", "-c", cpus, launcher, "-p", "rr_tree",
                                            "-n", nodes, "-e", "err.txt", probe, "echo", "ran"],
                                           cwd=workdir)
        check_not_available(pid, status, out, err, probe, bad, run_nodes, workdir / "err.txt")

    @pytest.mark.topology("memonly")
    @pytest.mark.parametrize("nodes", ["2", "0-2", "1,2"])
    def test_memory_only_node(self, launcher, probe, workdir, nodes):
        pid, status, out, err = run_to_end([launcher, "-p", "rr_tree", "-n", nodes, "-e",
                                            "err.txt", probe, "echo", "ran"], cwd=workdir)
        check_not_available(pid, status, out, err, probe, 2, "0,1", workdir / "err.txt")


def check_not_available(pid, status, out, err, probe, bad, run_nodes, err_file):
    """The report passes whatever errno happens to hold, so an error-number
    line may follow; everything else is exact."""
    message = f"Specified node {bad} is not in the currently available node list ({run_nodes})"
    assert (status, out) == (1, "")
    head = fatal_stderr(pid, probe, message)
    err = without_libnuma_warnings(err)
    assert err.startswith(head)
    tail = err[len(head):]
    assert tail == "" or (tail.startswith("zyg-nox error: ") and tail.count("\n") == 1
                          and tail.endswith("\n"))
    file_text = err_file.read_text()
    assert file_text == "error" + head[len("zyg-nox error"):] + tail + "\n"


class TestLog:
    # Under CPU launch the banner names each launch node's CPUs.
    @pytest.mark.parametrize("options,node_col,cpu_col,nodes_text,launch_cpus", [
        (["-p", "rr_tree"], "0", "-1", "0,1,2,3", None),
        (["-p", "rr_tree", "-c"], "0", "0", "0,1,2,3", "0-1@0 2-3@1 4-5@2 6-7@3"),
        (["-p", "rr_tree", "-n", "2,3"], "2", "-1", "2,3", None),
        (["-p", "rr_tree", "-n", "2,3", "-c"], "2", "4", "2,3", "4-5@2 6-7@3"),
        (["-p", "none"], "0,1,2,3", "-1", "0,1,2,3", None),
        (["-p", "none", "-n", "1,3"], "1,3", "-1", "1,3", None),
    ], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
    def test_initial_record(self, launcher, probe, workdir, options, node_col, cpu_col,
                            nodes_text, launch_cpus):
        argv = [probe, "info"]
        pid, status, out, err = run_to_end([launcher, *options, "-l", "run.log", *argv],
                                           cwd=workdir)
        assert (status, err) == (0, "")
        avail = len(nodes_text.split(","))
        check_log_start((workdir / "run.log").read_text(), pid=pid, argv=argv,
                        proc=options[1], cpu=launch_cpus is not None, nodes_text=nodes_text,
                        log_file=f"{workdir}/run.log", config_nodes=4, avail_nodes=avail,
                        node_col=node_col, cpu_col=cpu_col, launch_cpus=launch_cpus)

    @pytest.mark.topology("memonly")
    def test_memory_only_node_not_in_banner_or_node_column(self, launcher, probe, workdir):
        argv = [probe, "info"]
        pid, status, out, err = run_to_end([launcher, "-p", "none", "-l", "run.log", *argv],
                                           cwd=workdir)
        assert (status, err) == (0, "")
        check_log_start((workdir / "run.log").read_text(), pid=pid, argv=argv, proc="none",
                        nodes_text="0,1", log_file=f"{workdir}/run.log", config_nodes=3,
                        avail_nodes=2, node_col="0,1", cpu_col="-1")
