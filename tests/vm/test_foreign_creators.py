"""Processes made where the library cannot interpose stay in the tree, under
`zyg-nox -p rr_tree` in the 4x2 VM (nodes 0-3, CPUs 0-1 / 2-3 / 4-5 / 6-7):

- the children of a Go program's os/exec, which the Go runtime makes with its
  own clone and execve and hands the environment it copied at its start,
  before the library had set up the launch;
- the descendants of static programs, which cannot load the library: the
  container init wrapper tini, a static busybox shell and a static Go
  program, each started by the launcher itself or exec'd by a member of the
  tree.

Every case starts four dynamic programs that report where they run: they land
on four different nodes, they name this launch's data file (not one of their
own), and lib_loaded_cnt is 0 once the whole tree has ended.  The CPUs of
each node are written out in launchdata.NODE_CPUS, not taken from the
library's view."""
import shlex

import pytest

from launchdata import NODE_CPUS, run_launch, workdir  # noqa: F401
import zygtest

NODE_OF = {cpus: node for node, cpus in NODE_CPUS.items()}
REPORT = ["env", "info"]
# A static program's way into the tree: exec'd by the launcher, or exec'd by
# a dynamic member (a shell's exec replaces the first process).
ENTRIES = {"launcher": [], "member": ["/bin/sh", "-c", 'exec "$@"', "sh"]}


def program(name):
    path = zygtest.build_dir() / "tests" / name
    if not path.is_file():
        pytest.fail(f"{path} not built: it needs `go` (golang-go); set ZYG_BUILD")
    return str(path)


def nodes(cpu_lists):
    """The nodes of the CPU lists, sorted; a list that is not exactly one
    node's CPUs stays as it is (and makes the comparison fail)."""
    return sorted((NODE_OF.get(c, c) for c in cpu_lists), key=str)


# Run by tini's child (a dynamic shell) before it execs the probe: tini's
# CPUs as "WRAPPER cpus=...", read with shell built-ins only (a command would
# be one more process to place).
SHOW_PARENT = ('while read -r k v; do [ "$k" = Cpus_allowed_list: ] && echo "WRAPPER cpus=$v"; '
               'done < /proc/$PPID/status; exec "$@"')


def wrapped(wrapper, probe):
    """The static program `wrapper` starting four probes that report."""
    if wrapper == "tini":  # one child, which reports tini's CPUs and forks three more
        return ["/usr/bin/tini-static", "-s", "--", "/bin/sh", "-c", SHOW_PARENT, "sh", probe,
                *REPORT, *["fork", "{", *REPORT, "}"] * 3, "wait"]
    if wrapper == "busybox":  # four background jobs of a static shell
        job = shlex.join([probe, *REPORT])
        return ["/bin/busybox", "sh", "-c", f"{job} & {job} & {job} & {job} & wait"]
    return [program("zyg-gochildren-static"), probe, *REPORT]  # os/exec, four at once


def test_go_os_exec_children_go_round_the_nodes(workdir):
    e = run_launch(["-p", "rr_tree"], [program("zyg-gochildren")], workdir)
    assert e.status == 0, e.out + e.err
    kids = e.of("GOCHILD")
    assert len(kids) == 4, e.out
    assert nodes(k["cpus"] for k in kids) == [0, 1, 2, 3], {k["pid"]: k["cpus"] for k in kids}
    assert [k["datafile"] for k in kids] == [str(e.data_path)] * 4
    assert e.data["lib_loaded_cnt"] == 0


@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("wrapper", ["tini", "busybox", "go-static"])
def test_static_wrapper_keeps_descendants_in_the_tree(wrapper, entry, probe, workdir):
    e = run_launch(["-p", "rr_tree"], [*ENTRIES[entry], *wrapped(wrapper, probe)], workdir,
                   need_data=False)
    assert e.status == 0, e.out + e.err
    mains = [t for t in e.of("TASK") if t["pid"] == t["tid"]]
    assert len(mains) == 4, e.out
    assert nodes(t["cpus"] for t in mains) == [0, 1, 2, 3], {t["pid"]: t["cpus"] for t in mains}
    if wrapper == "tini":
        # tini's one child was placed by the policy, not left where tini
        # runs: its forks alone would make four nodes of a child that stayed.
        parents = {r["pid"]: r["ppid"] for r in e.of("INFO")}
        child = next(t for t in mains if parents[t["pid"]] not in parents)
        tini = [w["cpus"] for w in e.of("WRAPPER")]
        assert len(tini) == 1 and tini[0] != child["cpus"], (tini, child)
    env = zygtest.probe_env(e.out)
    preloads = [v for v in env if v.startswith("LD_PRELOAD=")]
    assert len(preloads) == 4 and all("/libzyg-nox" in v for v in preloads), preloads
    files = [v for v in env if v.startswith("ZYG_LAUNCH_DATA_FILE=")]
    assert e.data_path is not None, f"the launch left no data file; the probes name {files}"
    assert files == [f"ZYG_LAUNCH_DATA_FILE={e.data_path}"] * 4
    assert e.data["lib_loaded_cnt"] == 0


def four_jobs(probe):
    job = shlex.join([probe, *REPORT])
    return f"{job} & {job} & {job} & {job} & wait"


def static_script(workdir, probe):
    """A script whose interpreter is the static busybox shell, starting four
    probes that report."""
    path = workdir / "static-interpreter.sh"
    path.write_text(f"#!/bin/busybox sh\n{four_jobs(probe)}\n")
    path.chmod(0o755)
    return str(path)


# Wherever a creator the library cannot see into started, the four probes it
# makes must still go round the nodes: a Go program below a dynamic shell
# (its raw children inherit the environment it saved, with the mark of its
# own exec), a script run by a static interpreter, and the programs a static
# command starts under rr_pack.
BELOW = {
    "go_below_a_shell": (["-p", "rr_tree"], lambda probe, workdir: [
        "/bin/sh", "-c", f"{program('zyg-gochildren')} {shlex.join([probe, *REPORT])}; true"]),
    "static_interpreter": (["-p", "rr_tree"], lambda probe, workdir: [
        "/bin/sh", "-c", f"{static_script(workdir, probe)}; true"]),
    "rr_pack_static_command": (["-p", "rr_pack"], lambda probe, workdir: [
        "/bin/busybox", "sh", "-c", four_jobs(probe)]),
}


@pytest.mark.parametrize("case", sorted(BELOW))
def test_children_go_round_wherever_their_creator_started(case, probe, workdir):
    options, command = BELOW[case]
    e = run_launch(options, command(probe, workdir), workdir, need_data=False)
    assert e.status == 0, e.out + e.err
    mains = [t for t in e.of("TASK") if t["pid"] == t["tid"]]
    assert len(mains) == 4, e.out
    assert nodes(t["cpus"] for t in mains) == [0, 1, 2, 3], {t["pid"]: t["cpus"] for t in mains}
