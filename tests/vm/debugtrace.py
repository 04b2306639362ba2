"""Reading the debug library's trace file.

The file holds, in write order:
  - bare "\n" writes: the start marker of each process image, and the
    newline written after each launch-log echo (a separate write);
  - records "*** tid T pid P : message": one write each, at most 255 bytes;
    a message ends with "\n" except a launch-log echo ("log #: ..."), and a
    record cut at 255 bytes has no newline;
  - the launch data dump: "\n*** Shm data vers ..." up to
    "*** lib_loaded_cnt  == N\n\n", written by the first process at start-up.

tokens() splits the file into these pieces and fails on anything else, so a
record torn by another writer or a stray text is an error."""
import re

import logrecords

PREFIX = re.compile(r"\*\*\* tid (\d+) pid (\d+) : ")
DUMP_START = "\n*** Shm data vers"
DUMP_END = re.compile(r"\*\*\* lib_loaded_cnt  == -?\d+\n\n")
RECORD_MAX = 255


class Token:
    def __init__(self, kind, text, tid=None, pid=None, message=None):
        self.kind = kind        # "newline", "record", "echo", "dump"
        self.text = text
        self.tid = tid
        self.pid = pid
        self.message = message

    def __repr__(self):
        return f"Token({self.kind}, {self.text!r})"


def tokens(text):
    out = []
    i = 0
    while i < len(text):
        if text.startswith(DUMP_START, i):
            m = DUMP_END.search(text, i)
            assert m, f"launch data dump without its end at {i}: {text[i:i + 200]!r}"
            out.append(Token("dump", text[i:m.end()]))
            i = m.end()
            continue
        if text[i] == "\n":
            out.append(Token("newline", "\n"))
            i += 1
            continue
        m = PREFIX.match(text, i)
        assert m, f"neither a record nor a marker at byte {i}: {text[i:i + 120]!r}"
        limit = min(len(text), i + RECORD_MAX)
        body = m.end()
        if text.startswith("log #: ", body):
            # Ends at its separate newline, at the cut, or where the next
            # writer's record begins.
            nl = text.find("\n", body, limit)
            end = nl if nl >= 0 else limit
            nxt = PREFIX.search(text, body, end)
            if nxt:
                end = nxt.start()
            kind = "echo"
        else:
            nl = text.find("\n", body, limit)
            end = nl + 1 if nl >= 0 else limit
            kind = "record"
        piece = text[i:end]
        assert not PREFIX.search(piece, 1), f"record torn by another writer: {piece!r}"
        out.append(Token(kind, piece, int(m.group(1)), int(m.group(2)), text[body:end]))
        i = end
    return out


def records(toks, pid=None):
    return [t for t in toks if t.kind in ("record", "echo") and (pid is None or t.pid == pid)]


def messages(toks, pid=None):
    return [t.message for t in records(toks, pid)]


def is_subsequence(wanted, seq):
    """True when every item of wanted appears in seq in that order."""
    it = iter(seq)
    return all(any(w == s for s in it) for w in wanted)


def missing_from_sequence(wanted, seq):
    """The first item of wanted that does not follow the ones before it."""
    pos = 0
    for w in wanted:
        try:
            pos = seq.index(w, pos) + 1
        except ValueError:
            return w
    return None


def env_dumps(toks):
    """The environment dumps: for each record "Environment to be passed\\n"
    (preceded by a "\\n" record of the same thread), the entries of the
    "%d) %s\\n" records that follow from the same thread, in order."""
    dumps = []
    for k, t in enumerate(toks):
        if t.kind != "record" or t.message != "Environment to be passed\n":
            continue
        same = [u for u in toks[:k] if u.kind in ("record", "echo") and u.tid == t.tid]
        assert same and same[-1].message == "\n", f"no blank record before the dump of {t.tid}"
        entries = []
        for u in toks[k + 1:]:
            if u.kind not in ("record", "echo") or u.tid != t.tid:
                continue
            m = re.fullmatch(r"(\d+)\) (.*)", u.message, re.S)
            if not m or int(m.group(1)) != len(entries):
                break
            entry = m.group(2)
            entries.append(entry[:-1] if entry.endswith("\n") else entry)
        dumps.append({"pid": t.pid, "tid": t.tid, "entries": entries})
    return dumps


def dump_header(d):
    """The first block of dump_ldata for the parsed launch data d."""
    return ("\n*** Shm data vers   == %d\n*** 64-bit Library  == %s\n*** 32-bit Library  == %s\n"
            "*** Process Launch  == %s\n*** Thread Launch   == %s\n*** CPU Launch      == %s\n"
            "*** Launch Nodes    == %s\n*** Log File        == %s\n*** Error File      == %s\n"
            "*** Shm Data File   == %s\n*** Initial Process == %d\n*** \n"
            "*** config_cpu_cnt  == %d\n*** config_node_cnt == %d\n*** avail_cpu_cnt   == %d\n"
            "*** avail_node_cnt  == %d\n*** \n") % (
                d["version"], d["lib64"], d["lib32"], d["proc_policy_name"],
                d["thrd_policy_name"], "Yes" if d["cpu_launch"] else "No", d["launch_nodes"],
                d["log_file"], d["error_file"], d["data_file"], d["initial_pid"],
                d["config_cpu_cnt"], d["config_node_cnt"], d["avail_cpu_cnt"],
                d["avail_node_cnt"])


def parse_log_records(text):
    """Launch log record lines -> dicts (see logrecords); the banner and the
    column header are skipped."""
    return logrecords.parse_records(text)
