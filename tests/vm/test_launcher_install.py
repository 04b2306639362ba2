"""The launcher's check of the installed preload library: a missing or broken
release library stops a launch with "not installed correctly", a missing
debug library gives the usage text. Changes /usr/lib64, so it runs only as
root inside a throwaway VM (ZYG_IN_VM=1); elsewhere it is skipped."""
import os
import shutil

import pytest

import zygtest

pytestmark = pytest.mark.skipif(os.environ.get("ZYG_IN_VM") != "1",
                                reason="changes the system: runs only inside a VM")


@pytest.fixture(scope="module")
def static_probe(tmp_path_factory):
    """Statically linked: never loads the preload library, so these tests of
    the launcher do not depend on the library's state."""
    return zygtest.build_static_probe(tmp_path_factory.mktemp("static"))

NOT_INSTALLED = "\nError: zyg-nox not installed correctly. Please reinstall.\n\n"


def header(cls, etype):
    h = bytearray(64)
    h[0:4] = b"\x7fELF"
    h[4] = cls
    h[5] = 1
    h[16:18] = etype.to_bytes(2, "little")
    return bytes(h)


@pytest.fixture
def replace_library(tmp_path):
    """replace_library(path, data): data None removes the file. Restored after."""
    saved = []

    def replace(path, data):
        backup = tmp_path / os.path.basename(path)
        shutil.copy2(path, backup)
        saved.append((path, backup))
        os.unlink(path)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)

    yield replace
    for path, backup in saved:
        if os.path.lexists(path):
            os.unlink(path)
        shutil.copy2(backup, path)


@pytest.mark.parametrize("data", [None, b"", b"not a library\n" * 8, header(1, 3),
                                  header(2, 2), header(2, 3)[:63]],
                         ids=["missing", "empty", "text", "32bit", "exec", "short"])
def test_broken_release_library(launcher, static_probe, replace_library, data):
    replace_library(zygtest.RELEASE_LIB, data)
    r = zygtest.launch(["-p", "rr_flat"], [static_probe, "echo", "ran"])
    assert (r.returncode, r.stdout, r.stderr) == (1, "", NOT_INSTALLED)
    # without a launch option the library is not needed
    r = zygtest.launch([], [static_probe, "echo", "ran"])
    assert (r.returncode, r.stdout) == (0, "ECHO ran\n")
    # the debug library is checked on its own
    r = zygtest.launch(["-d", "/tmp/zyg-dbg.txt"], [static_probe, "echo", "ran"])
    assert r.stderr != NOT_INSTALLED


@pytest.mark.parametrize("data", [None, header(1, 3)], ids=["missing", "32bit"])
def test_broken_debug_library(launcher, static_probe, replace_library, data):
    replace_library(zygtest.DEBUG_LIB, data)
    r = zygtest.launch(["-d", "/tmp/zyg-dbg.txt"], [static_probe, "echo", "ran"])
    assert (r.returncode, r.stdout, r.stderr) == (1, "", zygtest.USAGE)
    r = zygtest.launch(["-p", "rr_flat"], [static_probe, "echo", "ran"])
    assert "ECHO ran" in r.stdout.splitlines(), r.stderr


def test_release_library_accepted_as_64bit_shared_object(launcher, static_probe, replace_library):
    # Only the header matters to the launcher: a 64-bit ET_DYN header passes
    # its check (the loader then refuses the file, which is not the launcher's
    # concern).
    replace_library(zygtest.RELEASE_LIB, header(2, 3))
    r = zygtest.launch(["-p", "rr_flat"], [static_probe, "echo", "ran"])
    assert r.stderr != NOT_INSTALLED
