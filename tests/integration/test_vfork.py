"""vfork under the launcher keeps its contract: the child runs in the
parent's memory until it execs or ends, and the parent waits for that; the
child is still placed, counted and logged, and nothing it does in the
library's code stays behind in the parent."""
import errno

import pytest

import logrecords
import zygtest


def launch(probe, tmp_path, *actions):
    log = tmp_path / "run.log"
    r = zygtest.run([zygtest.LAUNCHER, "-p", "rr_tree", "-l", str(log), probe, *actions],
                    env=zygtest.clean_env())
    assert r.returncode == 0, r.stderr
    return zygtest.parse_probe(r.stdout), log.read_text()


@pytest.mark.parametrize("path,err,status", [("/nonexistent", errno.ENOENT, 127),
                                             ("/bin/true", 0, 0)])
def test_the_parent_sees_what_the_child_wrote(probe, tmp_path, path, err, status):
    # The classic idiom: a flag set before the exec and the exec's errno,
    # read by the parent as soon as vfork returns.
    recs, log = launch(probe, tmp_path, "vforkexec", path, "x")
    v = zygtest.of_kind(recs, "VFORKEXEC")[0]
    assert (v["ran"], v["errno"]) == ("1", str(err))
    assert zygtest.of_kind(recs, "CHILD")[0] == {"kind": "CHILD", "pid": v["pid"],
                                                 "status": str(status)}
    recs = logrecords.parse_records(log)
    assert [r["message"] for r in recs if r["pid"] == int(v["pid"])][0] == "child start in vfork()"
    assert f"Created PID {v['pid']}" in [r["message"] for r in recs]


def test_an_exec_leaves_no_memory_in_the_parent(probe, tmp_path):
    # The environment lacks the launch variables: each child's exec builds a
    # new one, in memory the parent shares.
    recs, _ = launch(probe, tmp_path, "vforkenv", "200", "A=1", "--", "/bin/true", "true")
    assert int(zygtest.of_kind(recs, "VFORKENV")[0]["grew_kb"]) < 200


def test_a_child_leaving_the_tree_leaves_the_parents_environment(probe, static_probe,
                                                                 tmp_path):
    # A program that never loads the library gets an environment without it;
    # the parent's own stays as it was.
    recs, _ = launch(probe, tmp_path, "vfork", "{", "exec", static_probe, "p", "echo", "static",
                     ";", "}", "wait", "env")
    assert {"kind": "ECHO", "value": "static"} in recs
    env = [r["value"] for r in zygtest.of_kind(recs, "ENV")]
    assert f"LD_PRELOAD={zygtest.RELEASE_LIB}" in env
    assert any(e.startswith("ZYG_LAUNCH_DATA_FILE=/dev/shm/") for e in env)


def test_an_rr_pack_childs_exec_passes_unlogged(probe, tmp_path):
    # Under rr_pack a process other than the first runs on unplaced and
    # unlogged: a vfork child, which shares the first process's memory, too.
    log = tmp_path / "run.log"
    r = zygtest.run([zygtest.LAUNCHER, "-p", "rr_pack", "-l", str(log), probe, "vfork", "{",
                     "exec", "/bin/true", "true", ";", "}", "wait"], env=zygtest.clean_env())
    assert r.returncode == 0, r.stderr
    child = int(zygtest.of_kind(zygtest.parse_probe(r.stdout), "FORK")[0]["pid"])
    recs = logrecords.parse_records(log.read_text())
    assert [x["message"] for x in recs if x["pid"] == child] == ["child start in vfork()"]
