"""The launcher without fuser, and with fuser at each of the other places it
looks. Changes /usr/bin/fuser and friends, so it runs only as root inside a
throwaway VM (tests/vm/run-in-vm sets ZYG_IN_VM=1; elsewhere it is skipped).
$ZYG_BUILD names the build directory."""
import os
import pathlib
import shutil
import uuid

import pytest

import zygtest

pytestmark = pytest.mark.skipif(os.environ.get("ZYG_IN_VM") != "1",
                                reason="changes the system: runs only inside a VM")


@pytest.fixture(scope="module")
def static_probe(tmp_path_factory):
    """Statically linked: never loads the preload library, so these tests of
    the launcher do not depend on the library's state."""
    return zygtest.build_static_probe(tmp_path_factory.mktemp("static"))

FUSER_PATHS = ["/usr/bin/fuser", "/usr/sbin/fuser", "/bin/fuser", "/sbin/fuser"]
NO_FUSER = "Error: fuser command not installed. Please install fuser.\n"


def present():
    return [p for p in FUSER_PATHS if os.path.lexists(p)]


@pytest.fixture
def fuser_binary(tmp_path):
    """Moves every fuser out of the four places; gives the saved binary and
    puts everything back afterwards."""
    real = shutil.which("fuser", path="/usr/bin:/usr/sbin:/bin:/sbin")
    assert real, "fuser must be installed in the VM image"
    saved_dir = tmp_path / "saved"
    saved_dir.mkdir()
    keep = saved_dir / "fuser"
    shutil.copy2(real, keep)
    moved = []
    while present():
        p = present()[0]
        target = saved_dir / f"{len(moved)}"
        shutil.move(os.path.realpath(p), target)  # /tmp is another file system
        moved.append((os.path.realpath(p), target))
    assert not present()
    yield keep
    for p in FUSER_PATHS:
        if os.path.lexists(p) and not os.path.islink(p):
            os.unlink(p)
    for original, target in reversed(moved):
        shutil.move(target, original)


@pytest.fixture
def shm_file():
    made = []

    def make():
        # A data file's name that no launch of the machine has.
        p = pathlib.Path("/dev/shm") / f"zyg-nox.{5000000 + uuid.uuid4().int % 10**9}.1"
        p.write_bytes(bytes(128))
        made.append(p)
        return p

    yield make
    for p in made:
        p.unlink(missing_ok=True)


class TestWithoutFuser:
    @pytest.mark.parametrize("words", [
        ["-p", "rr_flat", "/bin/echo", "ran"],
        ["/bin/echo", "ran"],
        ["-r"],
        [],
        ["-c", "/no/such/command"],
    ])
    def test_refused_before_anything_else(self, launcher, fuser_binary, words):
        r = zygtest.run([launcher, *words])
        assert (r.returncode, r.stdout, r.stderr) == (1, "", NO_FUSER)

    def test_option_errors_come_first(self, launcher, fuser_binary):
        r = zygtest.run([launcher, "-h"])
        assert (r.returncode, r.stderr) == (1, zygtest.USAGE)
        r = zygtest.run([launcher, "-r", "ls"])
        assert r.stderr == ("\nError: -r / --remove-data-files must be specified by itself\n"
                            + zygtest.USAGE)

    def test_data_files_stay(self, launcher, fuser_binary, shm_file):
        f = shm_file()
        zygtest.run([launcher, "-r"])
        assert f.exists()


class TestFuserElsewhere:
    @pytest.mark.parametrize("place", FUSER_PATHS[1:])
    def test_found_and_run(self, launcher, static_probe, fuser_binary, shm_file, place):
        directory = os.path.dirname(place)
        if os.path.realpath(directory) == os.path.realpath("/usr/bin"):
            pytest.skip(f"{directory} is /usr/bin on this system (merged /usr)")
        shutil.copy2(fuser_binary, place)
        assert place in present() and "/usr/bin/fuser" not in present()
        stale, held = shm_file(), shm_file()
        with open(held, "rb"):
            r = zygtest.run([launcher, "-r"])
            assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
            assert not stale.exists()
            assert held.exists()
        r = zygtest.launch(["-p", "rr_flat"], [static_probe, "echo", "ran"])
        assert "ECHO ran" in r.stdout.splitlines(), r.stderr
