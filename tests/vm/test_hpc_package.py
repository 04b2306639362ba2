"""The Debian package that scripts/package builds (zyg-nox_<version>_amd64.deb
in the build directory), installed with dpkg on a machine without the
project, used, and removed again without leaving a file behind.

The VM's root is a throwaway overlay: the installed launcher and libraries
are taken away first so that only the package can provide them, and put
back at the end for the other tests of this boot."""
import glob
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

import zygtest

pytestmark = pytest.mark.topology("hpc")

VERSION = "1.0.4"
# The Slurm plugin is built where libslurm-dev is installed, as the test
# run installs it.
PROJECT_FILES = ["/usr/bin/zyg-nox", zygtest.RELEASE_LIB, zygtest.DEBUG_LIB,
                 "/usr/lib64/zyg-nox_spank.so", "/usr/lib64/zyg-nox_spank_start.so"]
# What the report tool's install rules add: the tool, the man pages, the
# shell completion and the JSON schemas of its output.
REPORT_FILES = ["/usr/bin/zyg-nox-report", "/usr/share/man/man1/zyg-nox.1",
                "/usr/share/man/man1/zyg-nox-report.1",
                "/usr/share/bash-completion/completions/zyg-nox",
                "/usr/share/bash-completion/completions/zyg-nox-report",
                "/usr/share/zyg-nox/report-v1.json", "/usr/share/zyg-nox/plan-v1.json",
                "/usr/share/zyg-nox/live-v1.json", "/usr/share/zyg-nox/job-v1.json",
                "/usr/share/zyg-nox/topology-v1.json"]
# Everything of the project that an install from source may have put on
# the machine, moved aside for these tests.
PROJECT_GLOBS = ["/usr/bin/zyg-nox*", "/usr/lib64/libzyg-nox*", "/usr/lib64/zyg-nox*",
                 "/usr/share/man/man*/zyg-nox*",
                 "/usr/share/bash-completion/completions/zyg-nox*", "/usr/share/zyg-nox"]


def sh(*args, check=True):
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300)
    if check:
        assert r.returncode == 0, f"{args}: {r.stdout}{r.stderr}"
    return r


@pytest.fixture(scope="module")
def deb():
    found = sorted(zygtest.build_dir().glob("zyg-nox_*_amd64.deb"))
    if len(found) != 1:
        pytest.fail(f"want one package in {zygtest.build_dir()}, found {found} "
                    "(run scripts/package BUILD_DIR first)")
    return found[0]


@pytest.fixture(scope="module")
def bare_machine():
    """The machine without the project: its files moved aside (and back
    afterwards), nothing of it known to dpkg."""
    keep = pathlib.Path(tempfile.mkdtemp(prefix="zyg-keep"))
    moved = []
    for f in sorted({f for g in PROJECT_GLOBS for f in glob.glob(g)}):
        aside = keep / str(len(moved))
        shutil.move(f, aside)
        moved.append((f, aside))
    assert sh("dpkg-query", "-W", "zyg-nox", check=False).returncode != 0
    # The package has man pages: without this file man-db's trigger leaves
    # its index alone instead of rebuilding it from every man page on the
    # host, which takes minutes through the VM's shared file system.
    auto_update = pathlib.Path("/var/lib/man-db/auto-update")
    had_auto_update = auto_update.exists()
    if had_auto_update:
        auto_update.unlink()
    yield
    if sh("dpkg-query", "-W", "-f=${Status}", "zyg-nox", check=False).stdout.startswith(
            "install ok"):
        sh("dpkg", "-r", "zyg-nox")
    if had_auto_update:
        auto_update.touch()
    for f, aside in moved:
        shutil.move(aside, f)
    shutil.rmtree(keep)


def package_entries(deb):
    """(type letter, absolute path) of every entry in the package."""
    r = sh("dpkg-deb", "-c", deb)
    entries = []
    for line in r.stdout.splitlines():
        cols = line.split()
        entries.append((cols[0][0], os.path.normpath(cols[5][1:]) or "/"))
    return entries


def package_files(deb):
    return [p for t, p in package_entries(deb) if t != "d"]


def package_paths(deb):
    return [p for _, p in package_entries(deb)]


def test_control_fields(deb):
    fields = {}
    for name in ("Package", "Version", "Architecture", "Depends"):
        fields[name] = sh("dpkg-deb", "-f", deb, name).stdout.strip()
    assert deb.name == f"zyg-nox_{VERSION}_amd64.deb"
    assert fields["Package"] == "zyg-nox"
    assert fields["Version"] == VERSION
    assert fields["Architecture"] == "amd64"
    depends = [d.split()[0] for d in fields["Depends"].split(", ")]
    assert "libnuma1" in depends and "psmisc" in depends


def test_holds_the_launcher_libraries_report_tool_man_pages_and_completion(deb):
    files = package_files(deb)
    assert sorted(files) == sorted(PROJECT_FILES + REPORT_FILES)


def test_installed_package_launches(deb, bare_machine, tmp_path):
    assert not any(os.path.exists(f) for f in PROJECT_FILES)
    sh("dpkg", "-i", deb)
    try:
        listed = sh("dpkg-query", "-L", "zyg-nox").stdout.split()
        assert set(PROJECT_FILES) <= set(listed)
        assert os.access("/usr/bin/zyg-nox", os.X_OK)
        ctest = zygtest.build_dir() / "tests" / "zyg-ctest"
        r = zygtest.run(["zyg-nox", "-p", "rr_tree", "-t", "rr_tree", "-l", "run.log",
                         ctest, "self", "root", "forkw", "{", "self", "a", "}",
                         "threadw", "{", "self", "t", "}"], cwd=tmp_path)
        assert (r.returncode, r.stderr) == (0, "")
        cpus = {x["label"]: x["cpus"] for x in zygtest.of_kind(zygtest.parse_probe(r.stdout),
                                                                "SELF")}
        assert (cpus["root"], cpus["a"]) == ("0-1", "2-3")
        assert cpus["t"] in ("0-1", "2-3", "4-5", "6-7")
        assert "Initial launch nodes  | 0,1,2,3\n" in (tmp_path / "run.log").read_text()
        # The debug library from the package, with its trace.
        r = zygtest.run(["zyg-nox", "-d", str(tmp_path / "trace.txt"), "-p", "rr_tree", ctest,
                         "self", "root"],
                        cwd=tmp_path)
        assert (r.returncode, r.stderr) == (0, "")
        assert (tmp_path / "trace.txt").stat().st_size > 0
        # The report tool reads the launch's log.
        r = zygtest.run(["zyg-nox-report", tmp_path / "run.log"])
        assert r.returncode == 0, r.stderr
        assert str(r.stdout).count("\n") > 3
    finally:
        sh("dpkg", "-r", "zyg-nox")


def test_remove_leaves_no_file_behind(deb, bare_machine):
    # Only the package's own paths are compared: the host under the VM's
    # overlay is a live system that others may change meanwhile.
    existed = {p for p in package_paths(deb) if os.path.lexists(p)}
    sh("dpkg", "-i", deb)
    listed = {os.path.normpath(p) for p in sh("dpkg-query", "-L", "zyg-nox").stdout.split()}
    assert set(PROJECT_FILES) <= listed
    records = glob.glob("/var/lib/dpkg/info/zyg-nox.*")
    assert records
    sh("dpkg", "-r", "zyg-nox")
    # What stays is what was there before: shared directories such as /usr/bin.
    assert {p for p in listed if os.path.lexists(p)} == existed
    assert all(os.path.isdir(p) for p in existed), existed
    assert glob.glob("/var/lib/dpkg/info/zyg-nox.*") == []
    # Nothing left for a purge either: the package has no configuration files.
    assert sh("dpkg-query", "-W", "zyg-nox", check=False).returncode != 0
