"""The installed preload libraries: 64-bit ELF shared objects that depend only
on the C library and the loader (libnuma is opened by the first process of a
launch alone, so that no other program of the tree pays for loading it), and export only the names
of lib/core/interposed.def (the interposed functions and cv_signal): exactly the list, no more and
no fewer."""
import os
import pathlib
import re

import pytest

import zygtest

EXPORT_LIST = pathlib.Path(__file__).resolve().parents[2] / "lib" / "core" / "interposed.def"
EXPORTS = set(re.findall(r"^ZYG_(?:REAL|LOOKUP|EXPORTED)\((\w+)", EXPORT_LIST.read_text(), re.M))
ALLOWED_NEEDED = {"libc.so.6", "ld-linux-x86-64.so.2"}
LIBRARIES = [zygtest.RELEASE_LIB, zygtest.DEBUG_LIB]


@pytest.fixture(params=LIBRARIES, ids=["release", "debug"])
def library(request):
    if not os.path.isfile(request.param):
        pytest.fail(f"{request.param} is not installed")
    return request.param


def test_64bit_shared_object(library):
    with open(library, "rb") as f:
        hdr = f.read(64)
    assert len(hdr) == 64
    assert hdr[:4] == b"\x7fELF"
    assert hdr[4] == 2, "not 64-bit"
    assert int.from_bytes(hdr[16:18], "little") == 3, "not a shared object"
    assert int.from_bytes(hdr[18:20], "little") == 62, "not x86-64"


def test_needed_libraries(library):
    r = zygtest.run(["readelf", "-d", library])
    assert r.returncode == 0, r.stderr
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", r.stdout))
    assert needed <= ALLOWED_NEEDED, needed - ALLOWED_NEEDED
    assert not any("stdc++" in n or "gcc_s" in n for n in needed)


def test_launcher_loads_only_the_c_library():
    # Loading the C++ runtime cost every launch about half a millisecond.
    r = zygtest.run(["readelf", "-d", zygtest.LAUNCHER])
    assert r.returncode == 0, r.stderr
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", r.stdout))
    assert needed <= {"libc.so.6", "ld-linux-x86-64.so.2"}, needed


def test_exported_functions(library):
    r = zygtest.run(["nm", "-D", "--defined-only", library])
    assert r.returncode == 0, r.stderr
    names = set()
    for line in r.stdout.splitlines():
        parts = line.split()
        if len(parts) < 3:
            continue
        name = parts[2].split("@")[0]
        if parts[1] == "A":  # version definitions are not symbols
            continue
        names.add(name)
    assert names <= EXPORTS, names - EXPORTS
    assert names == EXPORTS, EXPORTS - names


def test_no_symbol_lookup_for_its_own_names(library):
    # Every program of the tree loads the library: a relocation naming one of
    # its own exports costs each of them a symbol lookup at start.
    r = zygtest.run(["readelf", "-rW", library])
    assert r.returncode == 0, r.stderr
    named = {m.split("@")[0] for m in re.findall(r"R_X86_64_\w+\s+[0-9a-f]+\s+(\S+) \+", r.stdout)}
    assert not named & EXPORTS, named & EXPORTS


def test_fork_child_binds_no_function_of_its_own(tmp_path):
    # A forked child that execs runs the library's exec path. A C library
    # function that path calls for the first time is bound in the child,
    # where the parent never keeps the binding: every fork pays for the
    # lookup and the pages it touches again. The child writes what it binds
    # before its exec to its parent's file (the program it execs, of the
    # same pid, opens a file of its own).
    out = tmp_path / "bindings"
    probe = zygtest.probe_path()
    r = zygtest.launch(["-p", "rr_tree"],
                       ["env", "LD_DEBUG=bindings", f"LD_DEBUG_OUTPUT={out}", probe,
                        "fork", "{", "exec", "/bin/true", "}", "wait"])
    assert r.returncode == 0, r.stderr
    child = re.search(r"^FORK pid=(\d+)", r.stdout, re.M).group(1)
    lines = "".join(p.read_text() for p in tmp_path.glob("bindings.*")
                    if p.name != f"bindings.{child}")
    assert re.search(rf"^\s*{child}:\s+binding file {re.escape(probe)} ", lines, re.M), \
        "no binding of the child seen at all"
    ours = re.findall(rf"^\s*{child}:\s+binding file /usr/lib64/libzyg-nox\S* .*", lines, re.M)
    assert not ours, ours
