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
    "ZYG_LAUNCH_UNIT",
    "ZYG_LAUNCH_MEMORY",
    "ZYG_LAUNCH_JOB",
)
# The launcher's usage text, byte for byte; the policy names come from the
# library's policy table (see policies()), in lines like the launcher's.
_USAGE = """
Usage:

    zyg-nox  [ --process=<policy>    | -p <policy>     ]
             [ --thread=<policy>     | -t <policy>     ]
             [ --memfree=<limit>     | -m <limit>      ]
             [ --log=<log-file>      | -l <log-file>   ]
             [ --nodes=<node-list>   | -n <node-list>  ]
             [ --unit=<unit>         | -u <unit>       ]
             [ --error=<error-file>  | -e <error-file> ]
             [ --cpu                 | -c ]
             [ --write-by-other      | -w ]
             [ --memory=<mode> ]
             [ --job ]
             command  [ command arguments ... ]

    zyg-nox  [ --remove-data-files   | -r ]

    zyg-nox  [ --help                | -h ]

    where:

          process <policy> can be one of:
{process}
                 (the process default is none if not specified)

          thread <policy> can be one of:
{thread}
                 (the thread default, if not specified, is to inherit
                 the launch node from the initial thread of the process)

          <node-list> is a comma delimited list of node numbers or A-B ranges
                 in the format of "2-4", "1,3,5", or "1,3,6-8"
                 all nodes and ranges can be inverted with !
                 (the default is the current node affinity if not specified)

          <unit> is node or l3: what every policy places tasks on
                 node: the launch's NUMA nodes (the default)
                 l3: the launch's L3-cache domains, each within one node

          memory <mode> can be one of:
                 local  nearest-memonly  interleave-memonly
                 (the default is local: memory on the task's own node;
                 nearest-memonly prefers the nearest node with memory and
                 no CPUs, interleave-memonly interleaves over both)

          --job: the ranks of an MPI or Slurm job step on a host share
                 one launch (the job and rank from the starter's variables)

"""
_LIST_INDENT, _LIST_WIDTH = " " * 17, 70


def policies():
    """The library's policy table as the build writes it
    ($ZYG_BUILD/generated/policies.txt): {name: set of what it may be given
    to, of "process", "thread", "plan"}, in the table's order."""
    path = build_dir() / "generated" / "policies.txt"
    try:
        text = path.read_text()
    except OSError as e:
        raise RuntimeError(f"cannot read the policy list {path} (set ZYG_BUILD): {e}") from e
    return {words[0]: set(words[1:]) for words in map(str.split, text.splitlines())}


def _policy_lines(names):
    """names two spaces apart, in lines of at most _LIST_WIDTH columns."""
    lines = []
    for name in names:
        if lines and len(lines[-1]) + 2 + len(name) <= _LIST_WIDTH:
            lines[-1] += "  " + name
        else:
            lines.append(_LIST_INDENT + name)
    return "\n".join(lines)


def __getattr__(name):
    # USAGE is read from the build on first use, not when the module is
    # imported.
    if name == "USAGE":
        table = policies()
        return _USAGE.format(process=_policy_lines(table),
                             thread=_policy_lines(n for n, uses in table.items() if "thread" in uses))
    raise AttributeError(name)


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


def build_static_probe(directory):
    """Builds the probe statically linked into directory and returns its
    path. The dynamic loader never applies LD_PRELOAD to it, so it shows the
    environment exactly as the launcher built it, whatever the preload
    library would do at start-up."""
    src = pathlib.Path(__file__).resolve().parent / "probe" / "zyg-probe.c"
    out = pathlib.Path(directory) / "zyg-probe-static"
    r = run(["gcc", "-O1", "-static", "-pthread", "-o", str(out), str(src)])
    if r.returncode != 0:
        raise RuntimeError("cannot build the static probe:\n" + r.stderr)
    return str(out)


def make_stand_in_library(directory):
    """A 64-byte file with the header of a 64-bit ELF shared object: it passes
    the launcher's library check, and the loader ignores it ("file too
    short"). See without_library()."""
    hdr = bytearray(64)
    hdr[0:4] = b"\x7fELF"
    hdr[4], hdr[5], hdr[6] = 2, 1, 1
    hdr[16:18] = (3).to_bytes(2, "little")
    path = pathlib.Path(directory) / "stand-in-lib.so"
    path.write_bytes(bytes(hdr))
    return str(path)


_WITHOUT_LIBRARY = ('mount --bind "$0" ' + RELEASE_LIB + ' && mount --bind "$0" ' + DEBUG_LIB
                    + ' && exec "$@"')


def without_library(stand_in, static_probe, args, env=None):
    """args run in a private mount namespace (root only) where both installed
    library paths show the stand-in: the launcher's own checks and
    environment handling are exercised exactly, but neither the launcher
    (through an inherited LD_PRELOAD) nor the command loads the real preload
    library, so tests of the launcher do not depend on the library's state.
    The helpers in between run with a clean environment; env (a dict, default
    clean_env()) is given to args[0] exactly, in its order, by the static
    probe's execve_env. Run the result with run(..., env=clean_env())."""
    env = clean_env() if env is None else env
    entries = [f"{k}={v}" for k, v in env.items()]
    args = [str(a) for a in args]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", _WITHOUT_LIBRARY,
            stand_in, static_probe, "execve_env", *entries, "--", args[0], *args]


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



# --- A launch's identity, for tests that write data files by hand --------------
# The library joins a data file only when the file carries the tags of the
# identity in ZYG_LAUNCH_ID ("<uid>-<32 hex digits>"): SipHash-2-4 under the
# launch's key of its uid and first pid (the identity tag, at byte 144), and of
# the fields programs take paths from (the content tag, at byte 152).

_MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & _MASK


def siphash24(k0, k1, data):
    v0, v1 = k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D
    v2, v3 = k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573

    def rounds(n):
        nonlocal v0, v1, v2, v3
        for _ in range(n):
            v0 = (v0 + v1) & _MASK; v1 = _rotl(v1, 13) ^ v0; v0 = _rotl(v0, 32)
            v2 = (v2 + v3) & _MASK; v3 = _rotl(v3, 16) ^ v2
            v0 = (v0 + v3) & _MASK; v3 = _rotl(v3, 21) ^ v0
            v2 = (v2 + v1) & _MASK; v1 = _rotl(v1, 17) ^ v2; v2 = _rotl(v2, 32)

    whole = len(data) - len(data) % 8
    for i in range(0, whole, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v3 ^= m; rounds(2); v0 ^= m
    m = int.from_bytes(data[whole:], "little") | ((len(data) & 0xFF) << 56)
    v3 ^= m; rounds(2); v0 ^= m
    v2 ^= 0xFF
    rounds(4)
    return v0 ^ v1 ^ v2 ^ v3


def parse_launch_id(text):
    """(uid, k0, k1) of a ZYG_LAUNCH_ID value."""
    uid, key = text.split("-")
    return int(uid), int(key[:16], 16), int(key[16:], 16)


def make_launch_id(uid=None, k0=0x0123456789ABCDEF, k1=0x0FEDCBA987654321):
    uid = os.geteuid() if uid is None else uid
    return f"{uid}-{k0:016x}{k1:016x}"


def seal_header(data, launch_id):
    """The data file's bytes with the identity and content tags of launch_id."""
    import struct
    uid, k0, k1 = parse_launch_id(launch_id)
    b = bytearray(data)
    initial_pid = struct.unpack_from("=i", b, 80)[0]
    id_tag = siphash24(k0, k1, b"zyg-nox launch id\0" + struct.pack("=ii", uid, initial_pid))
    numbers = struct.pack("=IIiI", *struct.unpack_from("=I", b, 92), *struct.unpack_from("=I", b, 84),
                          initial_pid, *struct.unpack_from("=I", b, 112))
    struct.pack_into("=QQ", b, 144, id_tag, siphash24(k0, k1, numbers + bytes(b[311:2048])))
    return bytes(b)
