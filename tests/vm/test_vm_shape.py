"""The guest sees the NUMA layout its shape promises.  Every other VM test
trusts this, and every shape's boot runs at least these tests.

The expected layouts are written out here on purpose rather than taken from
vmshapes.py, so that a wrong entry there shows up as a failure."""
import os
import subprocess

import pytest

ALL_SHAPES = ("4x2", "2x4", "memonly", "1x2", "hpc", "8x1", "l3", "hbm")

EXPECTED = {
    "4x2": {0: [0, 1], 1: [2, 3], 2: [4, 5], 3: [6, 7]},
    "2x4": {0: [0, 1, 2, 3], 1: [4, 5, 6, 7]},
    "memonly": {0: [0, 1], 1: [2, 3], 2: []},
    "1x2": {0: [0, 1]},
    "hpc": {0: [0, 1], 1: [2, 3], 2: [4, 5], 3: [6, 7]},
    "8x1": {n: [n] for n in range(8)},
    "l3": {0: [0, 1, 2, 3], 1: [4, 5, 6, 7]},
    "hbm": {0: [0, 1, 2, 3], 1: [4, 5, 6, 7], 2: [], 3: []},
}


def level3_cpu_lists():
    """{cpu: its level-3 cache's shared_cpu_list}, for the CPUs that have one."""
    out = {}
    for cpu in range(os.cpu_count()):
        base = f"/sys/devices/system/cpu/cpu{cpu}/cache"
        for index in sorted(os.listdir(base)):
            if not index.startswith("index"):
                continue
            with open(f"{base}/{index}/level") as f:
                if f.read().strip() != "3":
                    continue
            with open(f"{base}/{index}/shared_cpu_list") as f:
                out[cpu] = f.read().strip()
    return out


@pytest.mark.topology("l3")
def test_two_level3_caches_per_node():
    assert level3_cpu_lists() == {0: "0-1", 1: "0-1", 2: "2-3", 3: "2-3",
                                  4: "4-5", 5: "4-5", 6: "6-7", 7: "6-7"}


@pytest.mark.topology("hbm")
def test_memory_only_nodes_near_their_cpu_nodes_and_no_level3_cache():
    rows = {}
    for n in range(4):
        with open(f"/sys/devices/system/node/node{n}/distance") as f:
            rows[n] = f.read().split()
    assert rows == {0: ["10", "21", "13", "31"], 1: ["21", "10", "31", "13"],
                    2: ["13", "31", "10", "41"], 3: ["31", "13", "41", "10"]}
    assert level3_cpu_lists() == {}


@pytest.mark.topology(*ALL_SHAPES)
def test_sysfs_nodes_and_cpus(topology, node_cpus):
    assert node_cpus == EXPECTED[topology]


@pytest.mark.topology(*ALL_SHAPES)
def test_numactl_sees_the_same_layout(topology, numactl_hardware):
    assert {n: info["cpus"] for n, info in numactl_hardware.items()} == EXPECTED[topology]
    # Every node, the memory-only one included, has memory of its own.
    for node, info in numactl_hardware.items():
        assert info.get("size_mb", 0) > 0, f"node {node} has no memory"


@pytest.mark.topology(*ALL_SHAPES)
def test_all_cpus_online_and_usable(topology, task_cpus):
    want = sorted(c for cpus in EXPECTED[topology].values() for c in cpus)
    assert os.cpu_count() == len(want)
    assert sorted(os.sched_getaffinity(0)) == want
    assert task_cpus() == want


@pytest.mark.topology(*ALL_SHAPES)
def test_environment_names_the_shape(topology):
    assert os.environ["ZYG_IN_VM"] == "1"
    assert os.environ["ZYG_VM_TOPOLOGY"] == topology


def test_memory_only_node_absent_in_default_shape(node_cpus):
    # Unmarked: runs in 4x2 only, where every node has CPUs.
    assert all(node_cpus.values())


@pytest.mark.topology("memonly")
def test_memory_only_node_has_no_cpus_but_memory(node_cpus):
    import numainfo
    assert node_cpus[2] == []
    assert numainfo.sys_node_mem_kb(2) > 0
    # Binding memory to it works; binding a task to it cannot.
    ok = subprocess.run(["numactl", "--membind=2", "true"], capture_output=True, text=True)
    assert ok.returncode == 0, ok.stderr
    bad = subprocess.run(["numactl", "--cpunodebind=2", "true"], capture_output=True, text=True)
    assert bad.returncode != 0


def test_writes_stay_in_the_guest():
    # The host tree is a read-only lower layer: writing over it must work
    # here (destructive tests rely on it) and never reach the host, which
    # the host-side run-in-vm tests check.
    victim = "/usr/lib64/zyg-vm-write-check"
    with open(victim, "w") as f:
        f.write("guest\n")
    os.unlink(victim)
    mounts = {}
    with open("/proc/mounts") as f:
        for line in f:
            dev, point, fstype = line.split()[:3]
            mounts[point] = fstype
    assert mounts["/"] == "overlay"
    for d in ("/tmp", "/dev/shm", "/run"):
        assert mounts.get(d) == "tmpfs", d
    assert mounts.get("/proc") == "proc" and mounts.get("/sys") == "sysfs"
    assert mounts.get("/dev") == "devtmpfs"


def test_unprivileged_user_works():
    r = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                        "id", "-u"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "65534"
