"""zyg-nox-report --topology in the VM shapes, against what each shape
promises (tests/vm/vmshapes.py): the nodes with their CPUs and memory, the
memory-only nodes, the distance table, the L3 domains in the order --unit=l3
walks them (the nodes in turn), the memory node --memory picks for each node
with CPUs, and what this process's cpuset allows."""
import json
import pathlib
import subprocess

import pytest

import vmshapes

REPORT = "/usr/bin/zyg-nox-report"
SCHEMA = pathlib.Path(__file__).resolve().parents[2] / "report-tool" / "schema" / "topology-v1.json"

# The L3 domains as CPUs@node, in round-robin order: qemu gives one L3 per
# socket, a socket per node in 4x2 and two per node in l3; hbm shows no L3.
DOMAINS = {"4x2": ["0-1@0", "2-3@1", "4-5@2", "6-7@3"],
           "l3": ["0-1@0", "4-5@1", "2-3@0", "6-7@1"],
           "hbm": None}
MEMORY_NODES = {"4x2": {0: None, 1: None, 2: None, 3: None}, "l3": {0: None, 1: None},
                "hbm": {0: 2, 1: 3}}


def cpus_text(cpus):
    runs, out = [], []
    for c in cpus:
        if runs and c == runs[-1][1] + 1:
            runs[-1][1] = c
        else:
            runs.append([c, c])
    for lo, hi in runs:
        out.append(str(lo) if lo == hi else f"{lo}-{hi}")
    return ",".join(out)


def distance(topology, a, b):
    if a == b:
        return 10
    given = vmshapes.DISTANCES.get(topology, {})
    return given.get((a, b), given.get((b, a), 20))


@pytest.mark.topology("4x2", "l3", "hbm")
def test_topology_shows_what_the_shape_promises(topology):
    r = subprocess.run([REPORT, "--topology", "--json"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    import jsonschema
    jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text())).validate(doc)
    shape = vmshapes.SHAPES[topology]
    assert [n["node"] for n in doc["nodes"]] == list(range(len(shape)))
    for n, (cpus, mib) in zip(doc["nodes"], shape):
        assert n["cpus"] == vmshapes.cpu_range(cpus), n
        assert n["memory_only"] == (cpus is None), n
        # What the kernel keeps for itself is not the node's to give.
        assert mib << 19 <= n["memory_bytes"] <= mib << 20, n
        assert n["distances"] == [distance(topology, n["node"], b) for b in range(len(shape))]
    every_cpu = list(range(vmshapes.cpu_count(topology)))
    assert doc["allowed_cpus"] == every_cpu and doc["allowed_mems"] == list(range(len(shape)))
    domains = [f"{cpus_text(d['cpus'])}@{d['node']}" for d in doc["l3_domains"]]
    assert domains == (DOMAINS[topology] or [])
    assert (doc["l3_missing"] is None) == (DOMAINS[topology] is not None)
    assert {m["node"]: m["memory_node"] for m in doc["memory_nodes"]} == MEMORY_NODES[topology]
    text = subprocess.run([REPORT, "--topology"], capture_output=True, text=True, timeout=60).stdout
    if DOMAINS[topology]:
        assert "  " + "  ".join(f"{i}: {d}" for i, d in enumerate(DOMAINS[topology])) in text, text
    else:
        assert "--unit=l3: refused here: no level-3 cache information for CPU 0" in text, text
    if topology == "hbm":
        assert "\n  node 0 -> 2, node 1 -> 3\n" in text, text
        assert text.count("memory only") == 2, text
