"""VM tests: they run inside a NUMA virtual machine booted by tests/vm/run-in-vm
(scripts/test boots one VM per shape and runs `pytest --topology=SHAPE
tests/vm` in it).  Outside a VM (no ZYG_IN_VM) every test here is skipped, so
running them on a host changes nothing there.

Selecting by shape:
    @pytest.mark.topology("4x2", "memonly")
    def test_x(...): ...
runs test_x only in the listed shapes; an unmarked test runs only in 4x2.
Tests for other shapes are deselected silently.

With ZYG_TEST_DEBUG_LIB=DIR in the environment every launch of the suite
uses the debug library: the launcher (the `launcher` fixture and
zygtest.LAUNCHER) becomes DIR/zyg-nox, which runs the real launcher with
`-d DIR/trace.txt` in front of the test's options.

Fixtures: topology (the shape name), shape (its nodes from vmshapes.py),
build_dir ($ZYG_BUILD), probe, launcher, node_cpus ({node: [cpus]} from
/sys), numactl_hardware (parsed `numactl -H`), and the plain helper functions
parse_cpulist, parse_numactl, task_cpus (see numainfo.py).
"""
import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))
import numainfo  # noqa: E402
import vmshapes  # noqa: E402
import zygtest  # noqa: E402


def in_vm():
    return os.environ.get("ZYG_IN_VM") == "1"


def pytest_addoption(parser):
    parser.addoption(
        "--topology", default=None, choices=sorted(vmshapes.SHAPES),
        help="NUMA shape of this VM; selects the tests marked for it "
             "(default: $ZYG_VM_TOPOLOGY, else 4x2)")


def current_topology(config):
    opt = config.getoption("--topology")
    env = os.environ.get("ZYG_VM_TOPOLOGY")
    if opt and env and opt != env and in_vm():
        raise pytest.UsageError(f"--topology={opt} but this VM has the shape {env}")
    return opt or env or vmshapes.DEFAULT_SHAPE


DEBUG_LIB_VAR = "ZYG_TEST_DEBUG_LIB"


def debug_launcher(directory, launcher):
    """Writes DIR/zyg-nox: the launcher with the debug library selected."""
    d = pathlib.Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    wrapper = d / "zyg-nox"
    wrapper.write_text(f'#!/bin/sh\nexec "{launcher}" -d "{d}/trace.txt" "$@"\n')
    wrapper.chmod(0o755)
    return str(wrapper)


def pytest_configure(config):
    debug_dir = os.environ.get(DEBUG_LIB_VAR)
    if debug_dir and in_vm() and zygtest.LAUNCHER == "/usr/bin/zyg-nox":
        zygtest.LAUNCHER = debug_launcher(debug_dir, zygtest.LAUNCHER)
    config.addinivalue_line(
        "markers", "topology(*shapes): run the test only in VMs of these NUMA shapes "
                   f"({', '.join(vmshapes.SHAPES)}); unmarked tests run in "
                   f"{vmshapes.DEFAULT_SHAPE} only")


def _shapes_of(item):
    marks = list(item.iter_markers("topology"))
    if not marks:
        return {vmshapes.DEFAULT_SHAPE}
    shapes = set()
    for mark in marks:
        if not mark.args:
            raise pytest.UsageError(f"{item.nodeid}: @pytest.mark.topology needs shape names")
        unknown = [s for s in mark.args if s not in vmshapes.SHAPES]
        if unknown:
            raise pytest.UsageError(f"{item.nodeid}: unknown topology {unknown}; "
                                    f"known: {', '.join(vmshapes.SHAPES)}")
        shapes.update(mark.args)
    return shapes


def pytest_collection_modifyitems(config, items):
    # This hook sees every collected item; touch only the ones below here.
    mine = [it for it in items if HERE in pathlib.Path(str(it.path)).resolve().parents]
    if not mine:
        return
    if not in_vm():
        skip = pytest.mark.skip(reason="VM test: runs only inside tests/vm/run-in-vm")
        for it in mine:
            it.add_marker(skip)
        return
    shape = current_topology(config)
    drop = {id(it) for it in mine if shape not in _shapes_of(it)}
    if drop:
        config.hook.pytest_deselected(items=[it for it in items if id(it) in drop])
        items[:] = [it for it in items if id(it) not in drop]


@pytest.fixture(scope="session")
def topology(pytestconfig):
    """The name of this VM's NUMA shape, e.g. "4x2"."""
    return current_topology(pytestconfig)


@pytest.fixture(scope="session")
def shape(topology):
    """This shape's nodes as declared: [{"node", "cpus": [...], "mem_mib"}]."""
    return [{"node": n, "cpus": vmshapes.cpu_range(cpus), "mem_mib": mem}
            for n, (cpus, mem) in enumerate(vmshapes.SHAPES[topology])]


@pytest.fixture(scope="session")
def build_dir():
    """The build tree ($ZYG_BUILD, default <repo>/build) as a Path."""
    d = zygtest.build_dir()
    if not d.is_dir():
        pytest.fail(f"build directory {d} missing (set ZYG_BUILD)")
    return d


@pytest.fixture(scope="session")
def probe():
    path = zygtest.probe_path()
    if not pathlib.Path(path).is_file():
        pytest.fail(f"probe not built: {path} (set ZYG_BUILD)")
    return path


@pytest.fixture(scope="session")
def launcher():
    if not pathlib.Path(zygtest.LAUNCHER).is_file():
        pytest.fail(f"{zygtest.LAUNCHER} not installed")
    return zygtest.LAUNCHER


@pytest.fixture
def node_cpus():
    """{node: [cpus]} as the guest kernel reports it in /sys."""
    return numainfo.sys_node_cpus()


@pytest.fixture
def numactl_hardware():
    """`numactl -H` parsed: {node: {"cpus": [...], "size_mb", "free_mb"}}."""
    return numainfo.numactl_hardware()


@pytest.fixture(scope="session")
def parse_cpulist():
    return numainfo.parse_cpulist


@pytest.fixture(scope="session")
def parse_numactl():
    return numainfo.parse_numactl_hardware


@pytest.fixture(scope="session")
def task_cpus():
    return numainfo.task_cpus
