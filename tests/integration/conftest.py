"""Integration tests run real programs under the installed /usr/bin/zyg-nox.
$ZYG_BUILD names the build directory that holds tests/zyg-probe.
Shared helpers live in tests/zygtest.py."""
import os
import pathlib
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import zygtest  # noqa: E402


@pytest.fixture(scope="module")
def shared_dir():
    """A directory every user can read and search (pytest's own temporary
    directories are private to root; some programs run as nobody)."""
    d = tempfile.mkdtemp(prefix="zygtest-")
    os.chmod(d, 0o755)
    yield pathlib.Path(d)
    shutil.rmtree(d, ignore_errors=True)


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
    """The probe linked statically (see zygtest.build_static_probe)."""
    try:
        return zygtest.build_static_probe(tmp_path_factory.mktemp("static"))
    except RuntimeError as e:
        pytest.fail(str(e))


@pytest.fixture(scope="session")
def isolated(tmp_path_factory, static_probe):
    """isolated([args...], env=None) -> a command line for zygtest.run that
    runs args without the real preload library (zygtest.without_library);
    args[0] must be a path and receives exactly env."""
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    stand_in = zygtest.make_stand_in_library(tmp_path_factory.mktemp("lib"))
    for lib in (zygtest.RELEASE_LIB, zygtest.DEBUG_LIB):
        if not pathlib.Path(lib).exists():
            pytest.fail(f"{lib} not installed")

    def wrap(args, env=None):
        return zygtest.without_library(stand_in, static_probe, args, env)
    return wrap
