"""Helpers of the library start-up tests, shared by tests/integration and
tests/vm (which puts this directory on sys.path): the launch data file
layout, the machine's node view as the library should record it, a launch
that stays alive while a test reads its data file, and the exact texts of the
library's reports.  Holds no tests itself."""
import os
import pathlib
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import logrecords  # noqa: E402
import zygtest  # noqa: E402

PROG = "zyg-nox"
SHM = pathlib.Path("/dev/shm")
NODE_DIR = pathlib.Path("/sys/devices/system/node")

# ---------------------------------------------------------------- layout

HEADER_SIZE = 2048
L_NODE_SIZE = 1288
NODE_RECORD_SIZE = 1032
MAX_CPUS_PER_NODE = 256
VERSION = 1

# (offset, name, struct code) of the header's numbers.
HEADER_NUMBERS = (
    (0, "version", "I"), (4, "l_nodes_offset", "I"), (8, "proc_tree_offset", "I"),
    (12, "thrd_tree_offset", "I"), (16, "proc_log_offset", "I"),
    (20, "thrd_log_offset", "I"), (24, "lib_loaded_cnt", "i"),
    (28, "avail_node_cnt", "i"), (32, "config_node_cnt", "i"),
    (36, "avail_cpu_cnt", "i"), (40, "config_cpu_cnt", "i"), (44, "cpu_launch", "I"),
    (48, "proc_kind", "I"), (52, "thrd_kind", "I"), (56, "proc_scope", "I"),
    (60, "thrd_scope", "I"), (64, "log_start_sec", "q"), (72, "log_start_usec", "q"),
    (80, "initial_pid", "i"), (84, "log_enabled", "I"), (88, "log_entry_cnt", "I"),
    (92, "file_mode", "I"), (96, "possible_cpu_cnt", "i"),
    (100, "possible_node_cnt", "i"), (104, "memfree_limit", "i"),
    (124, "creator", "i"), (128, "ldata_lock", "I"), (132, "ldata_lock_ns", "I"),
    (140, "spawn_serial", "I"), (144, "id_tag", "Q"), (152, "content_tag", "Q"),
)
# (offset, name, size) of the header's NUL-terminated texts.
HEADER_TEXTS = (
    (311, "launch_nodes", 257), (568, "data_file", 65), (633, "log_file", 257),
    (890, "error_file", 257), (1147, "lib64", 257), (1404, "lib32", 257),
    (1661, "lib32_64", 257), (1918, "proc_policy_name", 65),
    (1983, "thrd_policy_name", 65),
)
RESERVED = ((108, 16), (136, 4), (160, 151))
TABLES = ("proc_tree", "thrd_tree", "proc_log", "thrd_log")

KIND = {"none": 0, "rr": 1, "ff": 2, "pack": 3, "memfree": 4}
SCOPE = {"flat": 10, "tree": 11, "rr_pack": 12}


def table_size(n):
    return 4 + n * NODE_RECORD_SIZE


def data_file_size(n):
    """Size of the launch data file of a machine with n configured nodes."""
    return HEADER_SIZE + n * L_NODE_SIZE + 4 * table_size(n)


def _text(data, off, size, name):
    raw = data[off:off + size]
    nul = raw.find(b"\0")
    assert nul >= 0, f"header text {name} at {off} is not NUL-terminated"
    return raw[:nul].decode()


def parse_ldata(data):
    """The launch data file's bytes -> dict of header fields, "l_nodes" (all
    entries: config_node_cnt, or unit_entry_cnt when set) and the four shared
    tables."""
    assert len(data) >= HEADER_SIZE, f"data file of {len(data)} bytes"
    d = {}
    for off, name, code in HEADER_NUMBERS:
        d[name] = struct.unpack_from("=" + code, data, off)[0]
    for off, name, size in HEADER_TEXTS:
        d[name] = _text(data, off, size, name)
    d["reserved"] = b"".join(data[o:o + s] for o, s in RESERVED)
    # L3 units (--unit=l3): the layout's entry count, when set, at 120.
    d["unit_kind"], d["unit_entry_cnt"] = struct.unpack_from("=Ii", data, 116)
    n = d["unit_entry_cnt"] or d["config_node_cnt"]
    nodes = []
    for i in range(n):
        base = d["l_nodes_offset"] + i * L_NODE_SIZE
        node_id, num_cpus = struct.unpack_from("=ii", data, base)
        cpus = struct.unpack_from(f"={MAX_CPUS_PER_NODE}I", data, base + 264)
        nodes.append({"node_id": node_id, "num_cpus": num_cpus,
                      "cpulist": _text(data, base + 8, 256, f"l_nodes[{i}].cpulist"),
                      "cpus": list(cpus[:max(num_cpus, 0)])})
    d["l_nodes"] = nodes
    for t in TABLES:
        base = d[t + "_offset"]
        table = {"next_node_index": struct.unpack_from("=i", data, base)[0], "node": []}
        for i in range(n):
            rec = base + 4 + i * NODE_RECORD_SIZE
            launched, next_cpu = struct.unpack_from("=ii", data, rec)
            cpu_launched = struct.unpack_from(f"={MAX_CPUS_PER_NODE}i", data, rec + 8)
            table["node"].append({"node_launched": launched, "next_cpu_index": next_cpu,
                                  "cpu_launched": list(cpu_launched)})
        d[t] = table
    return d


# ---------------------------------------------------------------- topology

def parse_cpulist(text):
    cpus = []
    for part in text.strip().split(","):
        if part.strip():
            lo, _, hi = part.strip().partition("-")
            cpus.extend(range(int(lo), int(hi or lo) + 1))
    return cpus


def format_list(numbers):
    """Node numbers as the library writes them: ascending, ",", no ranges."""
    return ",".join(str(n) for n in sorted(numbers))


class Machine:
    """The node view that the first process of a launch should record,
    taken from sysfs and from this process's own affinity (the launcher and
    the command inherit it)."""

    def __init__(self, affinity=None):
        self.cpulist_text = {}
        self.cpus = {}
        for d in NODE_DIR.glob("node[0-9]*"):
            n = int(d.name[4:])
            self.cpulist_text[n] = (d / "cpulist").read_text()
            self.cpus[n] = parse_cpulist(self.cpulist_text[n])
        has_memory = (NODE_DIR / "has_memory").read_text()
        # libnuma counts the nodes with memory as configured nodes.
        self.config_nodes = sorted(parse_cpulist(has_memory))
        self.affinity = set(affinity if affinity is not None else os.sched_getaffinity(0))
        # The run node mask: nodes holding a CPU that the process may use.
        self.run_nodes = sorted(n for n, cs in self.cpus.items() if set(cs) & self.affinity)
        self.config_cpu_cnt = os.cpu_count()

    def launch_nodes(self, nodes=None):
        """The l_nodes entries for an initial node set (default: run nodes)."""
        chosen = self.run_nodes if nodes is None else sorted(nodes)
        return [n for n in chosen if self.cpus.get(n)]


# ---------------------------------------------------------------- running

def probe_words(probe, *actions):
    return [probe, *actions]


LIVE_ACTIONS = ("info", "env", "echo", "ready", "sleep", "600000")


class LiveLaunch:
    """Starts a command whose probe prints its info and environment, then
    "ECHO ready", then sleeps; the test reads the launch data file while the
    first process still runs (so no clean-up can remove it), and the launch
    is killed on leaving the block.  The data file is removed afterwards
    unless keep_file is set."""

    def __init__(self, args, env=None, cwd=None, umask=-1, keep_file=False):
        self.args = args
        self.env = env if env is not None else zygtest.clean_env()
        self.cwd = cwd
        self.umask = umask
        self.keep_file = keep_file
        self.out = ""
        self.err = ""

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, env=self.env, cwd=self.cwd, umask=self.umask,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.pid = self.proc.pid
        deadline = time.monotonic() + zygtest.HANG_GUARD
        buf = b""
        while b"ECHO ready\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0:
                self._stop()
                pytest.fail(f"no 'ECHO ready' from {self.args}: {buf!r}")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                self._stop()
                pytest.fail(f"{self.args} ended (status {self.proc.returncode}) before "
                            f"'ECHO ready': stdout {buf.decode()!r} stderr {self.err!r}")
            buf += chunk
        self.out = buf.decode()
        self.records = zygtest.parse_probe(self.out)
        self.env_entries = zygtest.probe_env(self.out)
        self.data_file = zygtest.env_value(self.env_entries, "ZYG_LAUNCH_DATA_FILE")
        self.launch_id = zygtest.env_value(self.env_entries, "ZYG_LAUNCH_ID")
        return self

    def read_data(self):
        assert self.data_file, f"no ZYG_LAUNCH_DATA_FILE in {self.env_entries}"
        return pathlib.Path(self.data_file).read_bytes()

    def ldata(self):
        return parse_ldata(self.read_data())

    def task_cpus(self):
        return [r["cpus"] for r in zygtest.of_kind(self.records, "TASK")]

    def _stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        out, err = self.proc.communicate(timeout=zygtest.HANG_GUARD)
        self.out += out.decode(errors="replace")
        self.err += err.decode(errors="replace")

    def __exit__(self, *exc):
        self._stop()
        if self.data_file and not self.keep_file:
            remove_quietly(self.data_file)
        return False


def remove_quietly(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


@pytest.fixture
def workdir():
    """A fresh directory (short path) removed after the test."""
    d = tempfile.mkdtemp(prefix="zs")
    yield pathlib.Path(d)
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture
def shm_cleanup():
    """Collects /dev/shm paths that a test made or caused, removed at the end."""
    paths = []
    yield paths
    for p in paths:
        remove_quietly(p)


def data_file_of(pid):
    return f"/dev/shm/{PROG}.{pid}"


# ---------------------------------------------------------------- reports

def fatal_stderr(pid, cmd, message, errno=0):
    """What a terminating report writes to standard error."""
    text = f"{PROG} error: PID {pid} ({cmd}) is terminating...\n{PROG} error: {message}\n"
    if errno:
        text += f"{PROG} error: {os.strerror(errno)}\n"
    return text


def fatal_error_file(pid, cmd, message, errno=0):
    """The same report in the error file: no program name on its first line,
    an empty line after it."""
    text = f"error: PID {pid} ({cmd}) is terminating...\n{PROG} error: {message}\n"
    if errno:
        text += f"{PROG} error: {os.strerror(errno)}\n"
    return text + "\n"


def disable_stderr(pid, cmd, what, errno=0):
    """A disabling-launch report (the error text is folded into the message,
    so there is no separate error-number line)."""
    w = f"{PROG} warning"
    message = (f"\n{w}: {what}: {os.strerror(errno)}\n"
               f"{w}:     Launch policies will be disabled for PID: {pid}\n"
               f"{w}:     and all of its children.\n"
               f"{w}:     Resetting initial launch nodes if possible.")
    return f"{w}: PID {pid} ({cmd}) is disabling launch...\n{w}: {message}\n"


# After a failure while attaching, no initial CPU mask exists yet.
NO_INITIAL_NODES = f"{PROG} warning: can't determine initial launch nodes\n"

_LIBNUMA_WARNING = re.compile(r"libnuma: Warning: [^\n]*\n\n?")


def without_libnuma_warnings(text):
    """libnuma's node-string parser prints its own warning to standard error
    before the library's report; that text is libnuma's, not ours."""
    return _LIBNUMA_WARNING.sub("", text)


# ---------------------------------------------------------------- checks

def check_first_process_file(data, st, *, pid, path, machine, proc=("rr_tree", 1, 11),
                             thrd=("none", 0, 10), cpu_launch=0, file_mode=0o664,
                             memfree=50, launch_nodes_text=None, nodes=None,
                             log_file="", error_file="", lib64=zygtest.RELEASE_LIB,
                             launch_id=None):
    """Checks every field of a data file that a first process created and
    that nothing but its own start-up has touched yet.  nodes: the expected
    l_nodes ids (default: the machine's run nodes with CPUs).  With
    launch_id, the file carries that launch's tags.  Returns the parsed
    data."""
    n = len(machine.config_nodes)
    t = table_size(n)
    assert len(data) == data_file_size(n)
    assert st.st_size == len(data)
    assert oct(st.st_mode & 0o7777) == oct(file_mode)
    d = parse_ldata(data)
    nodes = machine.launch_nodes() if nodes is None else nodes
    if launch_nodes_text is None:
        launch_nodes_text = format_list(machine.run_nodes)
    want = {
        "version": VERSION, "l_nodes_offset": HEADER_SIZE,
        "proc_tree_offset": HEADER_SIZE + n * L_NODE_SIZE,
        "thrd_tree_offset": HEADER_SIZE + n * L_NODE_SIZE + t,
        "proc_log_offset": HEADER_SIZE + n * L_NODE_SIZE + 2 * t,
        "thrd_log_offset": HEADER_SIZE + n * L_NODE_SIZE + 3 * t,
        "lib_loaded_cnt": 1, "config_node_cnt": n, "config_cpu_cnt": machine.config_cpu_cnt,
        "avail_node_cnt": len(nodes),
        "avail_cpu_cnt": sum(len(machine.cpus[x]) for x in nodes),
        "cpu_launch": cpu_launch, "proc_kind": proc[1], "proc_scope": proc[2],
        "thrd_kind": thrd[1], "thrd_scope": thrd[2], "initial_pid": pid,
        "log_enabled": 1 if log_file else 0, "file_mode": file_mode,
        "memfree_limit": memfree, "ldata_lock": 0, "ldata_lock_ns": 0, "creator": pid,
        "spawn_serial": 0,
        "launch_nodes": launch_nodes_text, "data_file": path, "log_file": log_file,
        "error_file": error_file, "lib64": lib64, "lib32": "", "lib32_64": "",
        "proc_policy_name": proc[0], "thrd_policy_name": thrd[0],
    }
    got = {k: d[k] for k in want}
    assert got == want
    assert d["possible_cpu_cnt"] >= machine.config_cpu_cnt
    assert d["possible_node_cnt"] >= n
    assert d["reserved"] == bytes(len(d["reserved"]))
    if launch_id is not None:
        assert zygtest.seal_header(data, launch_id)[:HEADER_SIZE] == data[:HEADER_SIZE]
    if not log_file:
        assert (d["log_start_sec"], d["log_start_usec"], d["log_entry_cnt"]) == (0, 0, 0)
    else:
        assert d["log_start_sec"] > 0 and 0 <= d["log_start_usec"] < 1000000

    entries = [{"node_id": x, "num_cpus": len(machine.cpus[x]),
                "cpulist": machine.cpulist_text[x], "cpus": machine.cpus[x]} for x in nodes]
    entries += [{"node_id": -1, "num_cpus": 0, "cpulist": "", "cpus": []}] * (n - len(nodes))
    assert d["l_nodes"] == entries

    # Only the first process's own placement is counted, on the first launch
    # node (and its first CPU with CPU launch), in its table and in proc_log.
    def empty_table():
        return {"next_node_index": 0,
                "node": [{"node_launched": 0, "next_cpu_index": 0,
                          "cpu_launched": [0] * MAX_CPUS_PER_NODE} for _ in range(n)]}

    placed = proc[1] != 0
    expect = {name: empty_table() for name in TABLES}
    if placed:
        counted = ["proc_log"] + (["proc_tree"] if proc[2] in (11, 12) else [])
        for name in counted:
            expect[name]["node"][0]["node_launched"] = 1
            if cpu_launch:
                expect[name]["node"][0]["cpu_launched"][0] = 1
        if "proc_tree" in counted:
            if proc[1] == 1:
                expect["proc_tree"]["next_node_index"] = 1 % len(nodes)
            elif proc[1] == 2:
                expect["proc_tree"]["next_node_index"] = (
                    (1 % len(nodes)) if entries[0]["num_cpus"] == 1 else 0)
            if cpu_launch:
                expect["proc_tree"]["node"][0]["next_cpu_index"] = 1 % entries[0]["num_cpus"]
    for name in TABLES:
        assert d[name] == expect[name], f"table {name}"
    return d


# ---------------------------------------------------------------- launch log

BANNER = """
Warning: format/content of this file may change between revisions
Do not write programs that depend on format or content across revisions

Launch  Version       | %d.%d.%d
Process launch policy | %s
Thread  launch policy | %s
CPU     launch policy | %s
Initial launch nodes  | %s
Log file              | %s
Error file            | %s
Initial PID           | %d
Configured node count | %d
Available node count  | %d

Possibly 4 records per process
    1) process/thread creation,
    2) if an exec function is called
    3) process/pthread termination (clone thread termination not logged)
    4) the initial thread - only if it creates threads

"""

COLUMN_HEADER = logrecords.COLUMN_HEADER


def banner(*, proc, thrd, cpu, nodes, log_file, error_file, pid, config_nodes, avail_nodes,
           launch_cpus=None):
    """The banner; under CPU launch `launch_cpus`, the "Launch  CPUs" value
    (each launch node's CPUs, "0-1@0 2-3@1")."""
    text = BANNER % (1, 0, 4, proc, thrd, "Yes" if cpu else "No", nodes, log_file,
                     error_file, pid, config_nodes, avail_nodes)
    if launch_cpus is not None:
        text = text.replace("\n\nPossibly", f"\nLaunch  CPUs          | {launch_cpus}\n\nPossibly")
    return text


def range_list(numbers):
    """CPU numbers as the kernel writes them: ascending, with ranges ("0-2,5")."""
    runs = []
    for n in sorted(numbers):
        if runs and n == runs[-1][1] + 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return ",".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def launch_cpus_text(machine, nodes=None):
    """What the banner of a CPU launch says of its CPUs: each launch node's
    CPUs that the launch may use, as CPUs@node."""
    return " ".join(f"{range_list(set(machine.cpus[n]) & machine.affinity)}@{n}"
                    for n in machine.launch_nodes(nodes))


def cmdline_column(argv):
    """/proc/PID/cmdline as the log shows it: NULs (the last one too) turned
    into spaces, at most 256 bytes."""
    raw = b"".join(a.encode() + b"\0" for a in argv)[:256]
    return raw.replace(b"\0", b" ").decode()


def record_tail(written, *, entry, tid, pid, ppid, node, cpu, message, comm, cmdline):
    """A record line without its timestamp column, as the library writes it
    with these values. A column named here by none (one added to the log
    after this test was written) keeps its value from `written`, the line
    read from the log."""
    seen = logrecords.parse_record("0.000000" + written) or {}
    line = logrecords.format_record(**{**seen, "timestamp": "", "entry": entry, "tid": tid,
                                       "pid": pid, "ppid": ppid, "node": node, "cpu": cpu,
                                       "message": message, "comm": comm, "cmdline": cmdline})
    return line[logrecords.COLUMNS[0][2]:]


def split_records(text):
    """The log lines after the column header: [(timestamp, rest-with-newline)].
    Asserts that each is a whole record."""
    out = []
    for line in text.splitlines(keepends=True):
        r = logrecords.parse_record(line)
        assert r is not None, f"not a whole log record: {line!r}"
        out.append((r["timestamp"], line[len(r["timestamp"]):]))
    return out


def entry_number(rest):
    """The entry number of a record given without its timestamp."""
    return logrecords.parse_record("0.000000" + rest)["entry"]


def run_to_end(args, env=None, cwd=None):
    """Runs args to its end: (pid, status, stdout, stderr)."""
    p = subprocess.Popen(args, env=env if env is not None else zygtest.clean_env(), cwd=cwd,
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    out, err = p.communicate(timeout=zygtest.HANG_GUARD)
    return p.pid, p.returncode, out, err


def check_log_start(text, *, pid, argv, proc, thrd="none", cpu=False, nodes_text,
                    log_file, error_file="", config_nodes, avail_nodes, node_col, cpu_col,
                    ppid=None, launch_cpus=None):
    """Checks the banner, the empty line and column header, and the first
    record ("initial exec start" of process pid, started by this test
    process unless ppid is given) byte for byte but the timestamp.
    Returns the records [(timestamp, rest)]."""
    head = banner(proc=proc, thrd=thrd, cpu=cpu, nodes=nodes_text, log_file=log_file,
                  error_file=error_file, pid=pid, config_nodes=config_nodes,
                  avail_nodes=avail_nodes, launch_cpus=launch_cpus)
    assert text[:len(head)] == head
    rest = text[len(head):]
    assert rest[:1 + len(COLUMN_HEADER)] == "\n" + COLUMN_HEADER
    records = split_records(rest[1 + len(COLUMN_HEADER):])
    assert records, "no record after the column header"
    first = record_tail(records[0][1], entry=1, tid=pid, pid=pid,
                        ppid=os.getpid() if ppid is None else ppid, node=node_col, cpu=cpu_col,
                        message="initial exec start", comm=pathlib.Path(argv[0]).name[:15],
                        cmdline=cmdline_column(argv))
    assert records[0][1] == first
    return records
