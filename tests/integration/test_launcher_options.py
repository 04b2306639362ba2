"""Command line of the installed launcher: usage text, every refusal with its
exact message and exit status, value length limits and option forms."""
import pytest

import zygtest

USAGE = """
Usage:

    zyg-nox  [ --process=<policy>    | -p <policy>     ]
             [ --thread=<policy>     | -t <policy>     ]
             [ --memfree=<limit>     | -m <limit>      ]
             [ --log=<log-file>      | -l <log-file>   ]
             [ --nodes=<node-list>   | -n <node-list>  ]
             [ --error=<error-file>  | -e <error-file> ]
             [ --cpu                 | -c ]
             [ --write-by-other      | -w ]
             command  [ command arguments ... ]

    zyg-nox  [ --remove-data-files   | -r ]

    zyg-nox  [ --help                | -h ]

    where:

          process <policy> can be one of:
                 rr_tree  rr_flat  ff_tree  ff_flat  pack  rr_pack
                 memfree_tree  memfree_flat  none
                 (the process default is none if not specified)

          thread <policy> can be one of:
                 rr_tree  rr_flat  ff_tree  ff_flat  pack
                 memfree_tree  memfree_flat  none
                 (the thread default, if not specified, is to inherit
                 the launch node from the initial thread of the process)

          <node-list> is a comma delimited list of node numbers or A-B ranges
                 in the format of "2-4", "1,3,5", or "1,3,6-8"
                 all nodes and ranges can be inverted with !
                 (the default is the current node affinity if not specified)

"""

# (short, long, a valid value or None, repeat label, empty-value label, longest)
OPTIONS = [
    ("-c", "--cpu", None, "-c / --cpu", None, None),
    ("-w", "--write-by-other", None, "-w / --write-by-other", None, None),
    ("-p", "--process", "rr_flat", "-p / --process", "-p/--process", 64),
    ("-t", "--thread", "rr_flat", "-t / --thread", "-t/--thread", 64),
    ("-l", "--log", "/tmp/zygtest.log", "-l / --log", "-l/--log", 256),
    ("-n", "--nodes", "0", "-n / --nodes", "-n/--nodes", 256),
    ("-e", "--error", "/tmp/zygtest.err", "-e / --error", "-e/--error", 256),
    ("-m", "--memfree", "50", "-m / --memfree", "-m/--memfree", 40),
    ("-d", "--debug", "/tmp/zygtest.dbg", "-d / --debug", "-d/--debug", 256),
]
VALUED = [o for o in OPTIONS if o[2] is not None]


def refused(r, message):
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == message + USAGE


class TestHelpAndUsage:
    @pytest.mark.parametrize("opt", ["-h", "--help"])
    def test_help_prints_usage_and_exits_1(self, launcher, opt):
        refused(zygtest.run([launcher, opt]), "")

    def test_help_wins_over_a_command(self, launcher):
        refused(zygtest.run([launcher, "-h", "/bin/echo", "ran"]), "")

    def test_no_command(self, launcher):
        refused(zygtest.run([launcher]), "\nError: no command specified\n")

    def test_no_command_after_options(self, launcher):
        refused(zygtest.run([launcher, "-p", "rr_flat", "-c"]),
                "\nError: no command specified\n")


class TestRefusals:
    @pytest.mark.parametrize("short,long,value,label,_e,_m", OPTIONS,
                             ids=[o[1] for o in OPTIONS])
    def test_repeated_option(self, launcher, short, long, value, label, _e, _m):
        first = [short] + ([value] if value else [])
        second = [f"{long}={value}"] if value else [long]
        refused(zygtest.run([launcher, *first, *second, "/bin/echo"]),
                f"\nError: option {label} can only be specified once\n")

    def test_repeated_remove(self, launcher):
        refused(zygtest.run([launcher, "-r", "--remove-data-files"]),
                "\nError: option -r / --remove-data-files can only be specified once\n")

    @pytest.mark.parametrize("short,long,value,_r,label,_m", VALUED,
                             ids=[o[1] for o in VALUED])
    def test_empty_value(self, launcher, short, long, value, _r, label, _m):
        message = f"\nError: Missing {label} option value\n"
        refused(zygtest.run([launcher, f"{long}=", "/bin/echo"]), message)
        refused(zygtest.run([launcher, short, "", "/bin/echo"]), message)

    @pytest.mark.parametrize("short,long,value,_r,_e,longest", VALUED,
                             ids=[o[1] for o in VALUED])
    def test_value_too_long(self, launcher, short, long, value, _r, _e, longest):
        too_long = "x" * (longest + 1)
        refused(zygtest.run([launcher, short, too_long, "/bin/echo"]),
                f"\nError: name length is too large: {too_long}\n")
        refused(zygtest.run([launcher, f"{long}={too_long}", "/bin/echo"]),
                f"\nError: name length is too large: {too_long}\n")

    def test_unknown_long_option(self, launcher):
        r = zygtest.run([launcher, "--bogus", "/bin/echo"])
        assert r.returncode == 1 and r.stdout == ""
        assert r.stderr == f"{launcher}: unrecognized option '--bogus'\n" + USAGE

    def test_unknown_short_option(self, launcher):
        r = zygtest.run([launcher, "-x", "/bin/echo"])
        assert r.returncode == 1
        assert r.stderr == f"{launcher}: invalid option -- 'x'\n" + USAGE

    def test_missing_argument(self, launcher):
        r = zygtest.run([launcher, "-p"])
        assert r.returncode == 1
        assert r.stderr == f"{launcher}: option requires an argument -- 'p'\n" + USAGE
        r = zygtest.run([launcher, "--memfree"])
        assert r.returncode == 1
        assert r.stderr == f"{launcher}: option '--memfree' requires an argument\n" + USAGE

    def test_diagnostic_names_argv0(self, launcher, tmp_path):
        link = tmp_path / "other-name"
        link.symlink_to(launcher)
        r = zygtest.run([str(link), "--bogus"])
        assert r.stderr == f"{link}: unrecognized option '--bogus'\n" + USAGE

    @pytest.mark.parametrize("words", [["-r", "/bin/echo"], ["-r", "-c"], ["-c", "-r"],
                                       ["-r", "--", "/bin/echo"],
                                       ["--remove-data-files", "-p", "rr_flat"]])
    def test_remove_not_alone(self, launcher, words):
        refused(zygtest.run([launcher, *words]),
                "\nError: -r / --remove-data-files must be specified by itself\n")

    @pytest.mark.parametrize("words", [["-r"], ["--remove-data-files"], ["-r", "--"]])
    def test_remove_alone_exits_0(self, launcher, words):
        r = zygtest.run([launcher, *words])
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


class TestAccepted:
    @pytest.mark.parametrize("short,long,value,_r,_e,longest", VALUED,
                             ids=[o[1] for o in VALUED])
    def test_longest_value_is_passed_on(self, launcher, static_probe, short, long, value,
                                        _r, _e, longest):
        exact = "y" * longest
        r = zygtest.run([launcher, short, exact, static_probe, "env"])
        assert r.returncode == 0, r.stderr
        entries = zygtest.probe_env(r.stdout)
        name = {"-p": "ZYG_LAUNCH_PROCESS_POLICY", "-t": "ZYG_LAUNCH_THREAD_POLICY",
                "-l": "ZYG_LAUNCH_LOG_FILE", "-n": "ZYG_LAUNCH_NODES",
                "-e": "ZYG_LAUNCH_ERROR_FILE", "-m": "ZYG_LAUNCH_MEMFREE",
                "-d": "ZYG_LAUNCH_DEBUG_FILE"}[short]
        assert zygtest.env_value(entries, name) == exact

    def test_policy_64_passes_65_refused(self, launcher, static_probe):
        ok = "p" * 64
        r = zygtest.run([launcher, "-p", ok, static_probe, "env"])
        assert r.returncode == 0
        assert f"ZYG_LAUNCH_PROCESS_POLICY={ok}" in zygtest.probe_env(r.stdout)
        r = zygtest.run([launcher, "-p", ok + "p", static_probe, "env"])
        assert r.returncode == 1 and r.stdout == ""

    def test_memfree_40_passes_41_refused(self, launcher, static_probe):
        ok = "1" * 40
        r = zygtest.run([launcher, "-m", ok, static_probe, "env"])
        assert r.returncode == 0
        assert f"ZYG_LAUNCH_MEMFREE={ok}" in zygtest.probe_env(r.stdout)
        refused(zygtest.run([launcher, "-m", ok + "1", static_probe, "env"]),
                f"\nError: name length is too large: {ok}1\n")

    def test_command_options_are_not_the_launchers(self, launcher, tmp_path):
        (tmp_path / "sub").mkdir()
        (tmp_path / "file").write_text("")
        r = zygtest.run([launcher, "-p", "rr_flat", "ls", "-p"], cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["file", "sub/"]

    def test_probe_options_after_command(self, launcher, static_probe):
        r = zygtest.run([launcher, "-c", static_probe, "echo", "-c", "echo", "-p"])
        assert r.returncode == 0
        assert [x["value"] for x in zygtest.parse_probe(r.stdout)] == ["-c", "-p"]

    def test_double_dash_ends_options(self, launcher, static_probe):
        r = zygtest.run([launcher, "-c", "--", static_probe, "echo", "x"])
        assert r.returncode == 0 and r.stdout == "ECHO x\n"

    @pytest.mark.parametrize("words", [
        ["-cw"], ["-c", "-w"], ["--cpu", "--write-by-other"], ["-wc"]])
    def test_flag_forms(self, launcher, static_probe, words):
        r = zygtest.run([launcher, *words, static_probe, "env"])
        entries = zygtest.probe_env(r.stdout)
        assert zygtest.env_value(entries, "ZYG_LAUNCH_CPU_POLICY") == "1"
        assert zygtest.env_value(entries, "ZYG_LAUNCH_OTHER_WRITE") == "1"

    @pytest.mark.parametrize("words", [
        ["-p", "rr_tree"], ["-prr_tree"], ["--process=rr_tree"], ["--process", "rr_tree"],
        ["--proc=rr_tree"]])
    def test_value_forms(self, launcher, static_probe, words):
        r = zygtest.run([launcher, *words, static_probe, "env"])
        assert r.returncode == 0
        entries = zygtest.probe_env(r.stdout)
        assert zygtest.env_value(entries, "ZYG_LAUNCH_PROCESS_POLICY") == "rr_tree"

    def test_exit_status_is_the_commands(self, launcher, static_probe):
        assert zygtest.run([launcher, static_probe, "exit", "7"]).returncode == 7
        assert zygtest.run([launcher, "-p", "rr_flat", "sh", "-c", "exit 5"]).returncode == 5

    def test_command_keeps_the_launchers_pid(self, launcher, probe):
        # exec, not a child: the command's parent is the launcher's caller
        r = zygtest.run(["sh", "-c", f'echo "SH pid=$$"; exec {launcher} {probe} info'])
        recs = zygtest.parse_probe(r.stdout)
        sh = zygtest.of_kind(recs, "SH")[0]
        info = zygtest.of_kind(recs, "INFO")[0]
        assert info["pid"] == sh["pid"]
