"""Programs that used to hang a launched tree: a fork from a signal handler
that interrupted the library's locked section, threads cancelled before
their first instruction, and processes killed while they held the tree's
lock or were writing to the launch log. Each must run to its end; the
guard timeout is the failure."""
import pytest

import logrecords
import zygtest

GUARD = 90


def stress_path():
    return str(zygtest.build_dir() / "tests" / "zyg-stress")


@pytest.mark.parametrize("options,args", [
    (["-p", "rr_tree", "-t", "rr_tree"], ["sigfork", "2000"]),
    (["-t", "rr_flat"], ["cancel", "200"]),
    (["-p", "rr_tree", "-t", "rr_tree"], ["killstorm", "4000"]),
], ids=["fork-in-signal-handler", "early-cancellations", "kill-storm"])
def test_runs_to_its_end_with_the_log_whole(tmp_path, options, args):
    log = tmp_path / "run.log"
    r = zygtest.launch([*options, "-l", str(log)], [stress_path(), *args], timeout=GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("DONE"), r.stdout
    records, broken, cut = logrecords.split_log_records(logrecords.record_lines(log.read_text()))
    assert broken == []
    if args[0] != "killstorm":
        assert cut == 0
    # Unique; a process killed between taking its number and writing its
    # line leaves a gap.
    entries = [logrecords.parse_record(line)["entry"] for line in records]
    assert len(set(entries)) == len(entries)


def test_a_record_cut_at_any_byte_reads_as_cut():
    # A killed writer's part can end anywhere, even in its first column (a
    # kill storm in the VM left 14 bytes of a timestamp): never "broken".
    rec = ("      19.894000 |   8528 |    3857 |    3857 |     708 |    2 |  -1 | child start in "
           "fork()           | zyg-stress           | /tmp/zyg-stress killstorm 60000 ")
    for k in range(1, len(rec)):
        records, broken, _ = logrecords.split_log_records([rec[:k] + rec])
        assert broken == [] and len(records) == 1, k


# A library of the user's in LD_PRELOAD before ours: the entry the new
# program gets is then an edited one, not a prepared text.
OTHER_PRELOAD = "/lib/x86_64-linux-gnu/libdl.so.2"


@pytest.mark.parametrize("form,other", [("execve", False), ("execv", True)])
def test_exec_from_a_handler_that_interrupted_malloc(probe, form, other):
    # The exec must build the new program's environment without the heap:
    # the interrupted malloc holds its lock until the handler returns.
    mallocsig = str(zygtest.build_dir() / "tests" / "zyg-mallocsig")
    env = zygtest.clean_env(**({"LD_PRELOAD": OTHER_PRELOAD} if other else {}))
    if form == "execv":
        env["ZYG_MALLOCSIG"] = "1"
    r = zygtest.launch(["-p", "rr_tree"],
                       [mallocsig, *(["--execv"] if form == "execv" else []), probe, "env"],
                       env=env, timeout=GUARD)
    assert r.returncode == 0, r.stderr
    env = zygtest.probe_env(r.stdout)
    assert zygtest.env_value(env, "ZYG_MALLOCSIG") == "1"
    want = f"{OTHER_PRELOAD}:{zygtest.RELEASE_LIB}" if other else zygtest.RELEASE_LIB
    assert zygtest.env_value(env, "LD_PRELOAD") == want
    assert zygtest.env_value(env, "ZYG_LAUNCH_DATA_FILE")
