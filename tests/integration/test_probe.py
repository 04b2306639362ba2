"""The test probe itself (no launcher, no library): every action reports what
the later tests rely on, one whole line per report."""
import os

import pytest

import zygtest


def probe_run(probe, *actions, **kw):
    r = zygtest.run([probe, *actions], **kw)
    return r, zygtest.parse_probe(r.stdout)


class TestReports:
    def test_info_lists_every_task(self, probe):
        r, recs = probe_run(probe, "threads", "3", "{", "sleep", "200", "}", "info", "join")
        assert r.returncode == 0, r.stderr
        info = zygtest.of_kind(recs, "INFO")[0]
        assert info["pid"] == info["tid"] and info["comm"] == "zyg-probe"
        tasks = zygtest.of_kind(recs, "TASK")
        assert len(tasks) == 4
        assert {t["pid"] for t in tasks} == {info["pid"]}
        assert all(t["cpus"] and t["mems"] and t["cpus"] != "?" for t in tasks)

    def test_thread_info_shows_its_own_tid(self, probe):
        r, recs = probe_run(probe, "thread", "{", "info", "}", "join", "info")
        infos = zygtest.of_kind(recs, "INFO")
        assert len(infos) == 2
        assert infos[0]["pid"] == infos[1]["pid"]
        assert infos[0]["tid"] != infos[0]["pid"]

    def test_env_in_order(self, probe):
        r, recs = probe_run(probe, "env", env={"B": "2", "A": "1", "C": "x=y"})
        assert [x["value"] for x in recs] == ["B=2", "A=1", "C=x=y"]

    def test_setenv_unsetenv(self, probe):
        r, recs = probe_run(probe, "setenv", "X=1", "unsetenv", "A", "env", env={"A": "1"})
        assert [x["value"] for x in recs] == ["X=1"]


class TestProcesses:
    @pytest.mark.parametrize("kind", ["fork", "clone", "sysfork"])
    def test_child_runs_block_and_is_waited(self, probe, kind):
        r, recs = probe_run(probe, kind, "{", "info", "exit", "3", "}", "wait")
        fork = zygtest.of_kind(recs, "FORK")[0]
        child_info = zygtest.of_kind(recs, "INFO")[0]
        assert child_info["pid"] == fork["pid"] and fork["fn"] == kind
        assert zygtest.of_kind(recs, "CHILD") == [
            {"kind": "CHILD", "pid": fork["pid"], "status": "3"}]
        assert zygtest.of_kind(recs, "WAITED") == [{"kind": "WAITED", "count": "1"}]

    def test_vfork_exec(self, probe):
        r, recs = probe_run(probe, "vfork", "{", "execv", probe, "p", "echo", "in-child", ";",
                            "}", "wait")
        assert {"kind": "ECHO", "value": "in-child"} in recs
        assert zygtest.of_kind(recs, "CHILD")[0]["status"] == "0"

    def test_nested_blocks(self, probe):
        r, recs = probe_run(probe, "fork", "{", "fork", "{", "echo", "grandchild", "}", "wait",
                            "}", "wait")
        assert {"kind": "ECHO", "value": "grandchild"} in recs
        waited = zygtest.of_kind(recs, "WAITED")
        assert [w["count"] for w in waited] == ["1", "1"]

    def test_signal_reported(self, probe):
        r, recs = probe_run(probe, "spawn", "/bin/sh", "sh", "-c", "kill -9 $$", ";", "wait")
        spawn = zygtest.of_kind(recs, "SPAWN")[0]
        assert spawn["rc"] == "0"
        assert zygtest.of_kind(recs, "CHILD") == [
            {"kind": "CHILD", "pid": spawn["pid"], "signal": "9"}]

    def test_spawnp_and_failure(self, probe):
        r, recs = probe_run(probe, "spawnp", "true", "true", ";", "spawn", "/no/such", "x", ";",
                            "wait")
        spawns = zygtest.of_kind(recs, "SPAWN")
        assert spawns[0]["rc"] == "0" and int(spawns[0]["pid"]) > 0
        assert spawns[1]["rc"] != "0" or zygtest.of_kind(recs, "CHILD")[-1]["status"] == "127"

    def test_spawn_without_pid_pointer(self, probe):
        r, recs = probe_run(probe, "spawnnull", "/bin/sh", "sh", "-c", "exit 3", ";", "wait")
        assert zygtest.of_kind(recs, "SPAWN") == [{"kind": "SPAWN", "rc": "0"}]
        assert zygtest.of_kind(recs, "CHILD")[0]["status"] == "3"

    def test_readline_waits_for_input(self, probe):
        r, recs = probe_run(probe, "echo", "a", "readline", "echo", "b", "readline", "echo", "c",
                            input="x\n")
        # The first line lets it go on; the second read meets the end of input.
        assert [x["value"] for x in zygtest.of_kind(recs, "ECHO")] == ["a", "b", "c"]
        assert r.returncode == 0

    def test_system(self, probe):
        r, recs = probe_run(probe, "system", "exit 4")
        assert zygtest.of_kind(recs, "SYSTEM")[0]["status"] == "4"


class TestExec:
    @pytest.mark.parametrize("fn", ["exec", "execv", "execve", "execvp", "execvpe", "execl",
                                    "execlp", "execle", "fexecve"])
    def test_exec_variants(self, probe, fn):
        target = probe if fn not in ("execvp", "execvpe", "execlp") else "zyg-probe"
        env = zygtest.clean_env(PATH=f"{os.path.dirname(probe)}:/usr/bin:/bin", MARK="m")
        r, recs = probe_run(probe, fn, target, "zyg-probe", "echo", "after", "env", ";", env=env)
        assert r.returncode == 0, r.stderr
        assert recs[0] == {"kind": "ECHO", "value": "after"}
        assert "MARK=m" in [x["value"] for x in recs[1:]]

    def test_execve_env_gives_exactly_the_entries(self, probe):
        r, recs = probe_run(probe, "execve_env", "A=1", "B=2", "--", probe, "p", "env")
        assert [x["value"] for x in recs] == ["A=1", "B=2"]

    def test_failed_exec_goes_on(self, probe):
        r, recs = probe_run(probe, "exec", "/no/such", "x", ";", "echo", "next")
        assert recs == [{"kind": "EXECFAIL", "fn": "exec", "errno": "2"},
                        {"kind": "ECHO", "value": "next"}]


class TestUsage:
    @pytest.mark.parametrize("words", [["bogus"], ["fork", "echo"], ["fork", "{", "echo", "x"],
                                       ["sleep", "x"], ["threads", "{", "}"], ["setenv", "X"]])
    def test_bad_usage_exits_2(self, probe, words):
        r, recs = probe_run(probe, *words)
        assert r.returncode == 2
        assert recs[-1]["kind"] == "ERROR"

    def test_exit_statuses(self, probe):
        for fn in ("exit", "_exit", "_Exit", "sysexit"):
            assert zygtest.run([probe, fn, "9"]).returncode == 9
