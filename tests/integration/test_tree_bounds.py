"""The bounds of a launch's tree that show on any host: its tasks stay on the
CPUs the launch was given, and a set-ID program of another user, which
cannot load the library, leaves the tree without the launch variables."""
import os
import pathlib

import pytest

import zygtest

NOBODY = 65534


def cpus_of(cpulist):
    cpus = set()
    for part in cpulist.strip().split(","):
        lo, _, hi = part.partition("-")
        cpus.update(range(int(lo), int(hi or lo) + 1))
    return cpus


def node_cpus_of(cpu):
    for node in pathlib.Path("/sys/devices/system/node").glob("node[0-9]*"):
        cpus = cpus_of((node / "cpulist").read_text())
        if cpu in cpus:
            return cpus
    return {cpu}


@pytest.mark.parametrize("options, command", [
    (["-p", "rr_tree"], "grep Cpus_allowed_list /proc/self/status"),
    # Only threads placed: the forked grep goes back to the launch nodes.
    (["-t", "rr_tree"], "grep Cpus_allowed_list /proc/self/status; true"),
], ids=["first_process", "forked_child"])
def test_a_launch_given_one_cpu_keeps_it(launcher, options, command):
    allowed = os.sched_getaffinity(0)
    cpu = min(allowed)
    if len(node_cpus_of(cpu) & allowed) < 2:
        pytest.skip(f"the node of CPU {cpu} has a single CPU here: nothing to widen to")
    r = zygtest.run(["taskset", "-c", str(cpu), launcher, *options, "sh", "-c", command])
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["Cpus_allowed_list:", str(cpu)], r.stdout + r.stderr


ENV_PROGRAM = r"""#include <stdio.h>
#include <string.h>
extern char **environ;
int main(void) {
  for (char **e = environ; *e; e++)
    if (strncmp(*e, "ZYG_LAUNCH_", 11) == 0 || strstr(*e, "libzyg-nox")) puts(*e);
  puts("ran");
  return 0;
}
"""


@pytest.mark.parametrize("owner, mode", [((NOBODY, 0), 0o4755), ((0, NOBODY), 0o2755)],
                         ids=["setuid", "setgid"])
def test_a_fixed_address_set_id_program_of_another_user_runs_without_the_launch(
        launcher, shared_dir, owner, mode):
    if os.geteuid() != 0:
        pytest.skip("needs root to give files away")
    src = shared_dir / "env.c"
    src.write_text(ENV_PROGRAM)
    prog = shared_dir / f"env-{mode:o}"
    r = zygtest.run(["gcc", "-no-pie", "-o", str(prog), str(src)])
    assert r.returncode == 0, r.stderr
    os.chown(prog, *owner)
    os.chmod(prog, mode)  # after chown, which clears the set-ID bits
    # Run by a process of the tree (root), not by the launcher itself.
    r = zygtest.run([launcher, "-p", "rr_tree", "sh", "-c", f"{prog}; true"])
    assert (r.returncode, r.stdout) == (0, "ran\n"), r.stderr
