"""Shared helpers of the integration tests (tests/integration) and the VM tests
(tests/vm): where the launcher, the libraries and the probe are, how to run a
command, and how to read the probe's report lines.

Import it with the tests directory on sys.path; both conftest.py files of
tests/integration and tests/vm put it there:

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
    import zygtest

The probe (tests/probe/zyg-probe.c, built to $ZYG_BUILD/tests/zyg-probe)
writes lines "KEY k=v k=v ..." (INFO, TASK, FORK, CHILD, WAITED, SPAWN,
SYSTEM, EXECFAIL, ...) and "ENV <entry>" / "ECHO <word>". parse_probe() turns
them into dicts: {"kind": KEY, "k": "v", ...}; ENV and ECHO lines get their
rest in "value".
"""
import os
import pathlib
import subprocess

LAUNCHER = "/usr/bin/zyg-nox"
RELEASE_LIB = "/usr/lib64/libzyg-nox.so.1.0.4"
DEBUG_LIB = "/usr/lib64/libzyg-nox_dbg.so.1.0.4"
LAUNCH_VARS = (
    "ZYG_LAUNCH_NODES", "ZYG_LAUNCH_PROCESS_POLICY", "ZYG_LAUNCH_THREAD_POLICY",
    "ZYG_LAUNCH_CPU_POLICY", "ZYG_LAUNCH_DATA_FILE", "ZYG_LAUNCH_LOG_FILE",
    "ZYG_LAUNCH_DEBUG_FILE", "ZYG_LAUNCH_ERROR_FILE", "ZYG_LAUNCH_LIB64",
    "ZYG_LAUNCH_LIB32", "ZYG_LAUNCH_LIB32_64", "ZYG_LAUNCH_OTHER_WRITE",
    "ZYG_LAUNCH_MEMFREE",
)
# Only guards against a hang; no test asserts on time.
HANG_GUARD = 120


def build_dir():
    """The build directory from $ZYG_BUILD (default: <repo>/build)."""
    env = os.environ.get("ZYG_BUILD")
    if env:
        return pathlib.Path(env)
    return pathlib.Path(__file__).resolve().parents[1] / "build"


def probe_path():
    return str(build_dir() / "tests" / "zyg-probe")


def clean_env(**extra):
    """The caller's environment without launch variables and LD_PRELOAD,
    plus the given entries."""
    env = {k: v for k, v in os.environ.items()
           if k not in LAUNCH_VARS and k != "LD_PRELOAD"}
    env.update(extra)
    return env


def run(args, env=None, input=None, timeout=HANG_GUARD, **kw):
    """Runs args (a list) and returns the CompletedProcess with text output."""
    return subprocess.run(args, env=env if env is not None else clean_env(),
                          input=input, capture_output=True, text=True,
                          timeout=timeout, **kw)


def launch(options, command, env=None, **kw):
    """Runs zyg-nox OPTIONS COMMAND..."""
    return run([LAUNCHER, *options, *command], env=env, **kw)


def parse_probe(text):
    """Probe output -> list of dicts in output order. Lines that are not
    probe reports (output of other programs) get kind "RAW"."""
    records = []
    for line in text.splitlines():
        key, _, rest = line.partition(" ")
        if key in ("ENV", "ECHO", "ERROR"):
            records.append({"kind": key, "value": rest})
            continue
        if not key.isupper() or (rest and "=" not in rest.split(" ")[0]):
            records.append({"kind": "RAW", "value": line})
            continue
        rec = {"kind": key}
        for field in rest.split(" "):
            if not field:
                continue
            k, _, v = field.partition("=")
            rec[k] = v
        records.append(rec)
    return records


def of_kind(records, kind):
    return [r for r in records if r["kind"] == kind]


def probe_env(text):
    """The ENV lines of probe output as a list of "NAME=value" entries."""
    return [r["value"] for r in of_kind(parse_probe(text), "ENV")]


def env_value(entries, name):
    """The value of the first entry NAME=..., or None."""
    prefix = name + "="
    for e in entries:
        if e.startswith(prefix):
            return e[len(prefix):]
    return None
