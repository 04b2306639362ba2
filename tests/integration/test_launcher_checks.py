"""Commands the launcher refuses or cannot start: set-ID executables of
another user or group, 32-bit fixed-address executables, missing commands."""
import errno
import os
import pathlib

import pytest

import zygtest

SETID_MSG = "Error: zyg-nox: Cannot launch a setuid/setgid command\n"
BITS32_MSG = "\nError: zyg-nox does not support 32-bit executables\n\n"
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]

PROGRAM = '#include <stdio.h>\nint main(void) { puts("ran"); return 0; }\n'


def cant_execute(word, err):
    return f"\nzyg-nox: can't execute `{word}': {os.strerror(err)}\n"


def compile_program(directory, name, *flags):
    src = directory / (name + ".c")
    src.write_text(PROGRAM)
    out = directory / name
    r = zygtest.run(["gcc", *flags, "-o", str(out), str(src)])
    if r.returncode != 0:
        pytest.skip(f"cannot build with {flags}: {r.stderr.strip()}")
    return out


def elf_header(cls, etype):
    hdr = bytearray(64)
    hdr[0:4] = b"\x7fELF"
    hdr[4] = cls
    hdr[5] = 1  # little-endian
    hdr[6] = 1
    hdr[16:18] = etype.to_bytes(2, "little")
    return bytes(hdr)


def crafted(directory, name, data, mode=0o755):
    p = directory / name
    p.write_bytes(data)
    os.chmod(p, mode)
    return p


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make set-ID files")


@needs_root
class TestSetId:
    @pytest.fixture(scope="class")
    def programs(self, shared_dir):
        fixed = compile_program(shared_dir, "suid-fixed", "-no-pie")
        pie = compile_program(shared_dir, "suid-pie", "-pie", "-fPIE")
        for p in (fixed, pie):
            os.chown(p, 0, 0)
            os.chmod(p, 0o4755)
        return {"fixed": fixed, "pie": pie}

    def test_setuid_root_exec_refused_for_other_user(self, launcher, programs):
        r = zygtest.run([*AS_NOBODY, launcher, "-p", "rr_flat", str(programs["fixed"])])
        assert (r.returncode, r.stdout, r.stderr) == (1, "", SETID_MSG)

    def test_refused_without_launch_options_and_by_path_search(self, launcher, programs):
        env = zygtest.clean_env(PATH=f"{programs['fixed'].parent}:/usr/bin:/bin")
        r = zygtest.run([*AS_NOBODY, launcher, programs["fixed"].name], env=env)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", SETID_MSG)

    def test_setuid_root_exec_started_for_root(self, launcher, programs, isolated):
        r = zygtest.run(isolated([launcher, "-p", "rr_flat", programs["fixed"]]))
        assert r.returncode == 0, r.stderr
        assert r.stdout == "ran\n"

    def test_setuid_pie_passes(self, launcher, programs):
        r = zygtest.run([*AS_NOBODY, launcher, str(programs["pie"])])
        assert r.returncode == 0, r.stderr
        assert r.stdout == "ran\n"

    def test_setgid_other_group_refused_own_group_passes(self, launcher, shared_dir):
        prog = compile_program(shared_dir, "sgid-fixed", "-no-pie")
        os.chown(prog, 0, 0)
        os.chmod(prog, 0o2755)
        r = zygtest.run([*AS_NOBODY, launcher, str(prog)])
        assert (r.returncode, r.stderr) == (1, SETID_MSG)
        nogroup = int(zygtest.run(["getent", "group", "nogroup"]).stdout.split(":")[2])
        os.chown(prog, 0, nogroup)
        os.chmod(prog, 0o2755)  # chown clears the set-ID bits
        r = zygtest.run([*AS_NOBODY, launcher, str(prog)])
        assert (r.returncode, r.stdout) == (0, "ran\n"), r.stderr

    def test_setuid_script_is_ordinary(self, launcher, shared_dir):
        script = crafted(shared_dir, "suid-script", b"#!/bin/sh\necho script\n", 0o4755)
        r = zygtest.run([*AS_NOBODY, launcher, str(script)])
        assert (r.returncode, r.stdout) == (0, "script\n"), r.stderr

    def test_unreadable_setuid_exec_is_not_refused_by_the_check(self, launcher, shared_dir):
        # Not readable by the user: the check passes and the exec decides.
        prog = crafted(shared_dir, "suid-noread", elf_header(2, 2), 0o4711)
        # (execvpe hands a header-only file that the kernel rejects to /bin/sh)
        r = zygtest.run([*AS_NOBODY, launcher, str(prog)])
        assert r.returncode != 0
        assert "setuid/setgid" not in r.stderr


class TestBits32:
    def test_crafted_32bit_exec_refused(self, launcher, shared_dir):
        prog = crafted(shared_dir, "exec32", elf_header(1, 2))
        r = zygtest.run([launcher, "-p", "rr_flat", str(prog)])
        assert (r.returncode, r.stdout, r.stderr) == (1, "", BITS32_MSG)
        r = zygtest.run([launcher, str(prog)])
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)

    @pytest.mark.parametrize("cls,etype", [(1, 3), (2, 2), (2, 3)])
    def test_other_headers_pass_the_check(self, launcher, shared_dir, isolated, cls, etype):
        prog = crafted(shared_dir, f"hdr-{cls}-{etype}", elf_header(cls, etype))
        # The kernel rejects a bare header and execvpe then tries /bin/sh,
        # which fails: what matters is that the launcher did not refuse.
        r = zygtest.run(isolated([launcher, "-c", prog]))
        assert r.returncode != 0
        assert "32-bit" not in r.stderr and "setuid" not in r.stderr
        assert str(prog) in r.stderr

    def test_real_32bit_programs(self, launcher, shared_dir):
        fixed = compile_program(shared_dir, "prog32", "-m32", "-no-pie")
        r = zygtest.run([launcher, str(fixed)])
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)
        pie = compile_program(shared_dir, "prog32pie", "-m32", "-pie", "-fPIE")
        try:
            runs = zygtest.run([str(pie)]).returncode == 0
        except OSError:
            runs = False
        if not runs:
            pytest.skip("this kernel runs no 32-bit programs (no IA-32 emulation)")
        r = zygtest.run([launcher, str(pie)])
        assert r.stderr != BITS32_MSG
        assert r.stdout == "ran\n"

    def test_32bit_found_by_path_search(self, launcher, shared_dir):
        crafted(shared_dir, "exec32-by-name", elf_header(1, 2))
        env = zygtest.clean_env(PATH=f"/nonexistent::{shared_dir}:/usr/bin:/bin")
        r = zygtest.run([launcher, "exec32-by-name"], env=env)
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)

    def test_current_directory_searched_first_without_path(self, launcher, shared_dir):
        crafted(shared_dir, "echo", elf_header(1, 2))
        env = zygtest.clean_env()
        env.pop("PATH", None)
        r = zygtest.run([launcher, "echo", "x"], env=env, cwd=shared_dir)
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)

    def test_non_executable_candidate_skipped(self, launcher, shared_dir, isolated):
        crafted(shared_dir, "true", elf_header(1, 2), 0o644)
        env = zygtest.clean_env(PATH=f"{shared_dir}:/usr/bin:/bin")
        r = zygtest.run(isolated([launcher, "-c", "true"], env))
        assert r.returncode == 0, r.stderr
        assert "32-bit" not in r.stderr


class TestExecFailure:
    def test_missing_command(self, launcher):
        r = zygtest.run([launcher, "-p", "rr_flat", "no-such-command"])
        assert (r.returncode, r.stdout) == (1, "")
        assert r.stderr == cant_execute("no-such-command", errno.ENOENT)

    def test_missing_command_without_options(self, launcher):
        r = zygtest.run([launcher, "/no/such/path"])
        assert r.stderr == cant_execute("/no/such/path", errno.ENOENT)

    def test_not_executable(self, launcher, tmp_path):
        f = tmp_path / "plain"
        f.write_text("x")
        r = zygtest.run([launcher, "-c", str(f)])
        assert (r.returncode, r.stderr) == (1, cant_execute(str(f), errno.EACCES))

    def test_long_command_path_is_checked_in_full(self, launcher, shared_dir):
        d = shared_dir
        for i in range(6):
            d = d / ("d" * 60 + str(i))
        d.mkdir(parents=True)
        prog = crafted(d, "exec32-deep", elf_header(1, 2))
        assert len(str(prog)) > 256
        env = zygtest.clean_env(PATH=f"{d}:/usr/bin:/bin")
        r = zygtest.run([launcher, "exec32-deep"], env=env)
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)
        r = zygtest.run([launcher, str(prog)])
        assert (r.returncode, r.stderr) == (1, BITS32_MSG)
