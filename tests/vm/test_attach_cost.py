"""What a program exec'd inside a launch pays to attach: beyond what the bare
program opens, the library and the launch data file, and no sysfs or procfs
file at all (not one per node, not /proc/self/status), whatever the number
of nodes: the topology comes from the launch data. The system calls of the
attach and of libnuma's own start are recorded in the JUnit file."""
import os
import re
import subprocess
import time

import pytest

import zygtest

LIBNUMA = "/usr/lib/x86_64-linux-gnu/libnuma.so.1"


def traced(env, out):
    """Runs /bin/true under strace with env added, as a program of the tree
    starts one (placed by its parent: ZYG_LAUNCH_PLACED_BY names its own pid,
    which the shell's exec keeps): (paths it opened, calls, sysfs and procfs
    paths any of its calls named)."""
    r = subprocess.run(["strace", "-f", "-qq", "-o", str(out), "-e", "trace=all", "/bin/sh", "-c",
                        'exec /usr/bin/env ZYG_LAUNCH_PLACED_BY=$$ "$@"', "sh",
                        *[f"{k}={v}" for k, v in env.items()], "/bin/true"],
                       capture_output=True, text=True, timeout=60, env=zygtest.clean_env())
    assert r.returncode == 0, r.stderr
    lines = out.read_text().splitlines()
    # From the exec of /bin/true on: env's own start is not the attach.
    start = max(i for i, line in enumerate(lines) if 'execve("/bin/true"' in line)
    calls = lines[start + 1:]
    opened = {os.path.realpath(m.group(1)) for line in calls
              for m in [re.search(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]+)".*\) = \d+$', line)]
              if m}
    kernel_files = {m.group(1) for line in calls
                    for m in re.finditer(r'"(/(?:sys|proc)/[^"]*)"', line)}
    return opened, len(calls), kernel_files


@pytest.mark.topology("4x2", "2x4", "1x2", "8x1")
def test_attach_reads_no_file_per_node(probe, tmp_path, record_property):
    # A launch whose data file stays open while the attach is traced.
    p = subprocess.Popen([zygtest.LAUNCHER, "-p", "rr_tree", probe, "readline"],
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, env=zygtest.clean_env())
    try:
        data_file = f"/dev/shm/zyg-nox.{p.pid}"
        deadline = time.monotonic() + 30
        # The launcher makes the file; the probe's start-up fills it.
        while time.monotonic() < deadline and (
                not os.path.exists(data_file) or open(data_file, "rb").read(4) == bytes(4)):
            time.sleep(0.01)
        launch_id = [e for e in open(f"/proc/{p.pid}/environ").read().split("\0")
                     if e.startswith("ZYG_LAUNCH_ID=")][0].split("=", 1)[1]
        ours, our_calls, kernel_files = traced({"LD_PRELOAD": zygtest.RELEASE_LIB,
                                                "ZYG_LAUNCH_DATA_FILE": data_file,
                                                "ZYG_LAUNCH_ID": launch_id},
                                               tmp_path / "ours")
        bare, _, _ = traced({}, tmp_path / "bare")
        _, numa_calls, _ = traced({"LD_PRELOAD": LIBNUMA}, tmp_path / "numa")
    finally:
        p.communicate(input=b"\n", timeout=30)
    record_property("attach_syscalls", our_calls)
    record_property("libnuma_start_syscalls", numa_calls)
    assert kernel_files == set()
    assert ours - bare == {os.path.realpath(zygtest.RELEASE_LIB), data_file}
