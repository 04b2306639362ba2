"""tests/vm/run-in-vm itself, driven from the host: the VM layer is only worth
something if the guest really has the promised NUMA shape, runs the command
it was given, returns its status and cannot write to the host.

Booting costs seconds, so the checks share a few boots.  Skipped when qemu or
a kernel image is missing (scripts/test installs them for the vm layer)."""
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import uuid

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
RUN_IN_VM = REPO / "tests" / "vm" / "run-in-vm"
# Guards against a hung qemu only; run-in-vm's own --timeout acts first.
GUARD = 900

needs_vm = pytest.mark.skipif(
    not shutil.which("qemu-system-x86_64") or not glob.glob("/boot/vmlinuz-*"),
    reason="qemu-system-x86 or linux-image-amd64 not installed")


# The guest has fresh /tmp, /run and /dev: a checkout there is not visible, so
# the boots run from / then.
GUEST_CWD = pathlib.Path("/") if str(REPO).startswith(("/tmp/", "/run/", "/dev/")) else REPO


def run_in_vm(*args, cwd=GUEST_CWD, env=None):
    return subprocess.run([str(RUN_IN_VM), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=GUARD)


@needs_vm
def test_command_status_isolation_exports_and_arguments(tmp_path):
    host_victim = pathlib.Path(f"/usr/lib64/zyg-vm-check-{uuid.uuid4().hex}")
    export = tmp_path / "out dir"
    export.mkdir()
    script = r'''
        echo guest > "$1"
        echo exported > "$2/from-guest"
        shift 2
        for a in "$@"; do printf '<%s>' "$a"; done; echo
        echo "in_vm=$ZYG_IN_VM topology=$ZYG_VM_TOPOLOGY home=$HOME lang=$LANG"
        echo "cwd=$(pwd)"
        echo to-stderr >&2
        numactl -H
        printf tail-without-newline
        exit 3
    '''
    r = run_in_vm("--topology", "memonly", "--timeout", "600", "--export", str(export), "--",
                  "sh", "-c", script, "sh", str(host_victim), str(export),
                  "a b", "it's", '$HOME', "", '"q"')
    assert r.returncode == 3, r.stderr
    assert not host_victim.exists()
    assert (export / "from-guest").read_text() == "exported\n"
    out = r.stdout
    assert "<a b><it's><$HOME><><\"q\">\n" in out
    assert "in_vm=1 topology=memonly home=/root lang=C.UTF-8\n" in out
    assert f"cwd={GUEST_CWD}\n" in out
    assert "to-stderr\n" in out
    assert "node 0 cpus: 0 1\n" in out
    assert "node 1 cpus: 2 3\n" in out
    assert "node 2 cpus:\n" in out or "node 2 cpus: \n" in out
    assert out.endswith("tail-without-newline")
    # Nothing of the boot or of the marker protocol leaks into the output.
    assert "zyg-vm" not in out and "Linux version" not in out


@needs_vm
def test_default_shape_numactl_output_is_clean():
    r = run_in_vm("--", "numactl", "-H")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "available: 4 nodes (0-3)"
    cpus = [l for l in lines if " cpus:" in l]
    assert cpus == ["node 0 cpus: 0 1", "node 1 cpus: 2 3",
                    "node 2 cpus: 4 5", "node 3 cpus: 6 7"]


@needs_vm
def test_false_exits_1():
    r = run_in_vm("--topology", "1x2", "--", "false")
    assert r.returncode == 1, r.stderr
    assert r.stdout == ""


@needs_vm
def test_timeout_kills_the_vm():
    # Shorter than a boot, so it also covers a VM that never comes up.
    r = run_in_vm("--timeout", "2", "--", "sleep", "1000")
    assert r.returncode == 124
    assert "timed out" in r.stderr


def test_missing_kernel_is_a_vm_error():
    env = dict(os.environ, ZYG_VM_KERNEL="/nonexistent/vmlinuz-0.0")
    r = run_in_vm("--", "true", env=env)
    assert r.returncode == 125
    assert "run-in-vm:" in r.stderr and "/nonexistent/vmlinuz-0.0" in r.stderr


def test_usage_errors():
    assert run_in_vm("--topology", "9x9", "--", "true").returncode == 2
    assert run_in_vm("--timeout", "x", "--", "true").returncode == 2
    assert run_in_vm("--topology", "4x2").returncode == 2
    assert run_in_vm("--export", "/nonexistent-dir", "--", "true").returncode == 2


def test_working_directory_on_guest_tmpfs_is_refused(tmp_path):
    # /tmp is a fresh tmpfs in the guest; running there would silently run
    # somewhere else, so run-in-vm refuses before booting.
    r = run_in_vm("--", "true", cwd=tmp_path)
    assert r.returncode == 125
    assert "not visible" in r.stderr


# The shape selection of tests/vm/conftest.py, without booting: a copy of it
# runs on a test file of its own with the VM environment faked.
SELECTION_TESTS = '''
import pytest

def test_unmarked():
    pass

@pytest.mark.topology("2x4")
def test_wide():
    pass

@pytest.mark.topology("4x2", "memonly")
def test_four_or_memonly():
    pass
'''


def _selection_tree(tmp_path):
    vm = tmp_path / "tests" / "vm"
    vm.mkdir(parents=True)
    for f in ("conftest.py", "vmshapes.py", "numainfo.py"):
        shutil.copy(REPO / "tests" / "vm" / f, vm / f)
    shutil.copy(REPO / "tests" / "zygtest.py", tmp_path / "tests" / "zygtest.py")
    (vm / "test_sel.py").write_text(SELECTION_TESTS)
    return vm


def _pytest(vm, *args, **env):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("ZYG_")}
    full_env.update(env)
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-v",
                           "-rs", *args, str(vm)], cwd=vm.parent.parent, env=full_env,
                          capture_output=True, text=True, timeout=GUARD)


def _passed(out):
    return {line.split("::")[1].split()[0] for line in out.splitlines()
            if "::" in line and " PASSED" in line}


@pytest.mark.parametrize("shape,expected", [
    ("4x2", {"test_unmarked", "test_four_or_memonly"}),
    ("2x4", {"test_wide"}),
    ("memonly", {"test_four_or_memonly"}),
    ("1x2", set()),
])
def test_conftest_selects_tests_by_shape(tmp_path, shape, expected):
    vm = _selection_tree(tmp_path)
    r = _pytest(vm, f"--topology={shape}", ZYG_IN_VM="1", ZYG_VM_TOPOLOGY=shape)
    assert _passed(r.stdout) == expected, r.stdout + r.stderr
    assert r.returncode == (0 if expected else 5), r.stdout + r.stderr


def test_conftest_skips_everything_outside_a_vm(tmp_path):
    vm = _selection_tree(tmp_path)
    r = _pytest(vm, "--topology=2x4")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "3 skipped" in r.stdout
    assert _passed(r.stdout) == set()


def test_conftest_refuses_a_topology_that_is_not_the_vms(tmp_path):
    vm = _selection_tree(tmp_path)
    r = _pytest(vm, "--topology=4x2", ZYG_IN_VM="1", ZYG_VM_TOPOLOGY="2x4")
    assert r.returncode != 0
    assert "--topology=4x2 but this VM has the shape 2x4" in r.stdout + r.stderr


def test_conftest_rejects_unknown_shape_in_marker(tmp_path):
    vm = _selection_tree(tmp_path)
    (vm / "test_typo.py").write_text(
        'import pytest\n@pytest.mark.topology("4x3")\ndef test_x():\n    pass\n')
    r = _pytest(vm, "--topology=4x2", ZYG_IN_VM="1", ZYG_VM_TOPOLOGY="4x2")
    assert r.returncode != 0
    assert "unknown topology" in r.stdout + r.stderr
