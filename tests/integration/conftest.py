"""Integration tests run real programs under the installed /usr/bin/zyg-nox.
$ZYG_BUILD names the build directory that holds tests/zyg-probe.
Shared helpers live in tests/zygtest.py."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import zygtest  # noqa: E402


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


@pytest.fixture(scope="session")
def static_probe(tmp_path_factory):
    """The probe linked statically. The dynamic loader never applies
    LD_PRELOAD to it, so it shows the environment exactly as the launcher
    built it, whatever the preload library would do at start-up."""
    src = pathlib.Path(__file__).resolve().parents[1] / "probe" / "zyg-probe.c"
    out = tmp_path_factory.mktemp("static") / "zyg-probe-static"
    r = zygtest.run(["gcc", "-O1", "-static", "-pthread", "-o", str(out), str(src)])
    if r.returncode != 0:
        pytest.fail("cannot build the static probe:\n" + r.stderr)
    return str(out)
