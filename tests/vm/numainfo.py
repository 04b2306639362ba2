"""Reading the NUMA layout that a process sees, for the VM tests.

Plain functions so that tests can also call them on files of a child process
(/proc/PID/...).  tests/vm/conftest.py exposes them as fixtures too."""
import pathlib
import re
import subprocess

NODE_DIR = pathlib.Path("/sys/devices/system/node")


def parse_cpulist(text):
    """Kernel list syntax "0-1,4,6-7" -> [0, 1, 4, 6, 7]; "" -> []."""
    cpus = []
    for part in text.strip().split(","):
        part = part.strip()
        if not part:
            continue
        lo, _, hi = part.partition("-")
        cpus.extend(range(int(lo), int(hi or lo) + 1))
    return cpus


def sys_node_cpus():
    """{node: [cpus]} for every node in /sys, memory-only nodes with []."""
    nodes = {}
    for d in NODE_DIR.glob("node[0-9]*"):
        nodes[int(d.name[4:])] = parse_cpulist((d / "cpulist").read_text())
    return dict(sorted(nodes.items()))


def sys_node_mem_kb(node):
    """MemTotal of one node in kB, from its meminfo."""
    text = (NODE_DIR / f"node{node}" / "meminfo").read_text()
    m = re.search(r"MemTotal:\s+(\d+) kB", text)
    return int(m.group(1)) if m else 0


def parse_numactl_hardware(text):
    """`numactl -H` output -> {node: {"cpus": [...], "size_mb": int,
    "free_mb": int}} (size and free absent when numactl prints none)."""
    nodes = {}
    for line in text.splitlines():
        m = re.match(r"node (\d+) (cpus|size|free):(.*)$", line.strip())
        if not m:
            continue
        node = nodes.setdefault(int(m.group(1)), {"cpus": []})
        what, rest = m.group(2), m.group(3).strip()
        if what == "cpus":
            node["cpus"] = [int(c) for c in rest.split()]
        else:
            node[f"{what}_mb"] = int(rest.split()[0])
    return dict(sorted(nodes.items()))


def numactl_hardware():
    """Runs `numactl -H` and parses it."""
    out = subprocess.run(["numactl", "-H"], capture_output=True, text=True, check=True).stdout
    return parse_numactl_hardware(out)


def _status_field(pid, tid, name):
    path = f"/proc/{pid}/task/{tid}/status" if tid else f"/proc/{pid}/status"
    for line in pathlib.Path(path).read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split(":", 1)[1].strip()
    raise KeyError(f"{name} not in {path}")


def task_cpus(pid="self", tid=None):
    """The CPUs a process (or one of its threads) may run on.  (Its memory
    policy is not in /proc/PID/status: Mems_allowed_list is the cpuset's.)"""
    return parse_cpulist(_status_field(pid, tid, "Cpus_allowed_list"))


def node_of_cpus(cpus, node_cpus=None):
    """The set of nodes that hold the given CPUs."""
    node_cpus = node_cpus if node_cpus is not None else sys_node_cpus()
    return {n for n, cs in node_cpus.items() if set(cs) & set(cpus)}
