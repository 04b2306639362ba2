"""The tree's lock across PID namespaces: a member in a new PID namespace
(unshare -p, containers, sandboxes) and a member in the launch's namespace
want the tree-wide lock at once. A holder alive inside its locked section is
never robbed, whichever side holds; a holder killed there is recovered by the
waiter, which can see it gone. lock_recoveries in the launch data counts the
take-overs. tests/probe/zyg-lockns.c does the holding and the waiting.

By default the tree runs under the installed launcher.  With ZYG_TEST_PRELOAD
set to a library path, it runs with that library preloaded and the launch
variables the launcher would set."""
import os
import pathlib
import re
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import zygtest  # noqa: E402


@pytest.mark.parametrize("fate,recoveries", [("lives", 0), ("dies", 1)])
@pytest.mark.parametrize("side", ["outer", "inner"])
def test_lock_holder_across_a_pid_namespace(side, fate, recoveries):
    if os.geteuid() != 0:
        pytest.skip("needs root: unshare(CLONE_NEWPID), ns_last_pid")
    probe = zygtest.build_dir() / "tests" / "zyg-lockns"
    if not probe.is_file():
        pytest.fail(f"zyg-lockns not built: {probe} (set ZYG_BUILD)")
    lib = os.environ.get("ZYG_TEST_PRELOAD")
    if lib:
        r = zygtest.run([str(probe), side, fate], env=zygtest.clean_env(
            LD_PRELOAD=lib, ZYG_LAUNCH_LIB64=lib, ZYG_LAUNCH_PROCESS_POLICY="rr_tree"))
    else:
        r = zygtest.launch(["-p", "rr_tree"], [str(probe), side, fate])
    m = re.search(r"^DONE recoveries=(\d+)$", r.stdout, re.M)
    assert m, r.stdout + r.stderr
    assert int(m.group(1)) == recoveries, r.stderr
