"""The launch log's record lines, read the way the report tool reads them:
the one reader of logs for the integration tests (tests/integration) and the
VM tests (tests/vm). Both conftest.py files put this directory on sys.path.

The columns, their titles, widths, alignment and kinds are read from
lib/shared/log_schema.h (the log_column enum and the kLogColumns table), the
one place the library and the report tool take them from; each field is named
after its enum constant (COL_TIMESTAMP -> "timestamp"):

    timestamp | entry | tid | pid | ppid | node | cpu | message | comm | cmdline

The log of a launch under --unit=l3 has one more column after cpu, "l3" (the
task's domain as a CPU list, "-" when it is within none); parse_records and
whole_records read it when the log's column header names it, parse_record
when asked (l3=True).

The short columns before the message never hold the separator " | "; the
message may (a system() command line), and so may the command line. The
message is padded to at least its width, comm to exactly its width (the
kernel keeps at most 15 characters), so the message ends at the first
separator at or after the message's width that is followed by comm's width
and another separator.

A record is a dict with the fields of FIELDS, each kept by its column's kind:
a number as an int, the time as written, a short text without its padding;
message and comm without their padding, and cmdline as written (with the
space the NUL after the last argument became), without the line's newline.
format_record writes one, and format_banner the banner a log starts with,
from the same header.
"""
import pathlib
import re

SCHEMA_H = pathlib.Path(__file__).resolve().parents[1] / "lib" / "shared" / "log_schema.h"


_SCHEMA_TEXT = SCHEMA_H.read_text()


def _read_schema(l3=False):
    """((field, title in the column header, width, left-aligned, kind), ...)
    and the separator, from the C++ header; the columns written only under L3
    units when l3 is true. A kind is "time", "number", "list" or "text"."""
    text = _SCHEMA_TEXT
    enum = re.search(r"enum log_column \{(.*?)\};", text, re.S).group(1)
    names = re.findall(r"^\s*COL_(\w+)\s*(?:=\s*\d+\s*)?,", enum, re.M)
    names = [n.lower() for n in names if n != "COUNT"]
    table = re.search(r"kLogColumns\[COL_COUNT\] = \{(.*?)\n\};", text, re.S).group(1)
    rows = re.findall(r'\{\s*"([^"]*)",\s*(\d+),\s*(true|false),\s*COLUMN_(\w+)\s*'
                      r'(?:,\s*(true|false)\s*)?\}', table)
    assert len(rows) == len(names), f"{SCHEMA_H}: {len(names)} columns but {len(rows)} rows"
    sep = re.search(r'kLogSeparator\[\] = "([^"]*)";', text).group(1)
    return (tuple((name, title, int(width), left == "true", kind.lower())
                  for name, (title, width, left, kind, l3_only) in zip(names, rows)
                  if l3 or l3_only != "true"), sep)


# (field, title in the column header, width, left-aligned, kind)
COLUMNS, SEPARATOR = _read_schema()
L3_COLUMNS, _ = _read_schema(l3=True)
FIELDS = tuple(c[0] for c in COLUMNS)
SHORT_COLUMNS = FIELDS.index("message")
_WIDTH = {name: width for name, _, width, _, _ in COLUMNS}
_KIND = {name: kind for name, _, _, _, kind in L3_COLUMNS}
_MICRO_DIGITS = int(re.search(r"kLogMicroDigits = (\d+);", _SCHEMA_TEXT).group(1))
# The short columns' shapes by their kind: a short text holds no blank.
_SHAPES = {"time": r"\d+\.\d{%d}" % _MICRO_DIGITS, "number": r"-?\d+", "list": r"[\d,]*",
           "text": r"[^ |]*"}
# What a column not given to format_record holds, by its kind.
_DEFAULTS = {"number": 0, "list": "", "text": ""}


def _pad(text, width, left):
    return text.ljust(width) if left else text.rjust(width)


def _header(columns):
    return SEPARATOR.join(_pad(title, width, left) for _, title, width, left, _ in columns) + "\n"


# The line above the first record (after an empty line); under L3 units
# L3_COLUMN_HEADER.
COLUMN_HEADER = _header(COLUMNS)
L3_COLUMN_HEADER = _header(L3_COLUMNS)


def _short_columns(count):
    """A regex for the first count short columns, padding included."""
    shapes = [_SHAPES[_KIND[f]] for f in FIELDS[:count]]
    return r" *" + r" \| +".join(shapes)


# A whole record line (the short columns' shapes, then message, comm and
# command line).
LOG_RECORD = re.compile(r"^" + _short_columns(SHORT_COLUMNS) + r" \| .* \| .*$")
_RECORD_START = re.compile(_short_columns(2) + r" \| ")
_TIME = re.compile(r" *" + _SHAPES["time"])
_LIST = re.compile(r" *(\d+(,\d+)*)?")


def format_record(**fields):
    """A record line as the library writes it, from the fields of FIELDS; a
    number or text column not given holds 0 or nothing."""
    return SEPARATOR.join(_pad(str(fields[name] if name in fields else _DEFAULTS[kind]), width, left)
                          for name, _, width, left, kind in COLUMNS) + "\n"


def _banner_lines(name):
    """The strings of one of the header's banner tables."""
    body = re.search(name + r"\[\w*\] = \{(.*?)\n\};", _SCHEMA_TEXT, re.S).group(1)
    return re.findall(r'"([^"]*)"', body)


def format_banner(settings):
    """The banner the first process writes, with `settings` {key: value} in
    the schema's order of keys (kBannerKeys): each key padded to the longest."""
    keys = _banner_lines("kBannerKeys")
    width = max(len(k) for k in keys)
    lines = [f"{k.ljust(width)} | {settings[k]}" for k in keys if k in settings]
    blocks = [_banner_lines("kBannerHead"), lines, _banner_lines("kBannerTail")]
    return "\n" + "".join("\n".join(b) + "\n\n" for b in blocks)


def _split_text_columns(rest):
    """message, comm and cmdline of the rest of a line, or None."""
    sep, n = SEPARATOR, len(SEPARATOR)
    comm_span = n + _WIDTH["comm"]
    p = rest.find(sep, min(_WIDTH["message"], len(rest)))
    while p >= 0:
        if rest.startswith(sep, p + comm_span):
            return rest[:p], rest[p + n:p + comm_span], rest[p + comm_span + n:]
        p = rest.find(sep, p + 1)
    # A comm wider than its column: the plain separators.
    parts = rest.split(sep, 2)
    return tuple(parts) if len(parts) == 3 else None


def parse_record(line, l3=False):
    """One record line (with or without its newline) -> dict, or None when
    the line is not a whole record; l3: a record of a launch under L3 units
    (its "l3" field without padding)."""
    line = line[:-1] if line.endswith("\n") else line
    fields = tuple(c[0] for c in (L3_COLUMNS if l3 else COLUMNS))
    short = fields.index("message")
    cols = line.split(SEPARATOR, short)
    if len(cols) <= short:
        return None
    r = dict(zip(fields, cols[:short]))
    if not _TIME.fullmatch(r["timestamp"]):
        return None
    try:
        for k in fields[:short]:
            if _KIND[k] == "number":
                r[k] = int(r[k])
            elif _KIND[k] == "list" and not _LIST.fullmatch(r[k]):
                return None
            if _KIND[k] in ("list", "text"):
                r[k] = r[k].strip()
    except ValueError:
        return None
    text = _split_text_columns(cols[short])
    if text is None:
        return None
    r["message"], r["comm"], r["cmdline"] = text[0].rstrip(" "), text[1].rstrip(" "), text[2]
    return r


def _is_l3(text):
    """Whether a log text's column header is that of L3 units."""
    return ("\n" + L3_COLUMN_HEADER) in text


def parse_records(text):
    """The records of a log text; the banner, column headers and any line that
    is not a whole record are skipped."""
    l3 = _is_l3(text)
    return [r for r in (parse_record(line, l3) for line in text.splitlines()) if r is not None]


def whole_records(text):
    """The records after the column header, asserting that every line there
    is a whole record ending with a newline; [] without a column header."""
    l3 = _is_l3(text)
    head = "\n" + (L3_COLUMN_HEADER if l3 else COLUMN_HEADER)
    at = text.find(head)
    if at < 0:
        return []
    recs = []
    for line in text[at + len(head):].splitlines(keepends=True):
        assert line.endswith("\n"), f"unterminated log line {line!r}"
        r = parse_record(line, l3)
        assert r is not None, f"not a whole log record: {line!r}"
        recs.append(r)
    return recs


def record_lines(text):
    """The non-empty lines after the (first) column header, as text."""
    head = "\n" + COLUMN_HEADER
    at = text.index(head) + len(head)
    return [line for line in text[at:].split("\n") if line]


def split_log_records(lines):
    """Whole record lines of a launch log, and the number of cut ones.

    A writer killed by SIGKILL in the middle of its one write can leave the
    first part of its line, cut at any byte (the kernel stops a write between
    pages for a fatal signal); the next record then follows on the same line.
    Such a line counts as one cut record plus the whole record at its end.
    Any other line that is not a record is returned in `broken`."""
    whole, broken, cut = [], [], 0
    for line in lines:
        if LOG_RECORD.match(line):
            whole.append(line)
            continue
        starts = [m.start() for m in _RECORD_START.finditer(line)]
        tail = [p for p in starts if p > 0 and LOG_RECORD.match(line[p:])]
        if tail and (starts[0] == 0 or _cut_within_first_columns(line, tail[-1])):
            whole.append(line[tail[-1]:])
            cut += 1
        else:
            broken.append(line)
    return whole, broken, cut


def _cut_within_first_columns(line, at):
    """Whether the line up to the record found at `at` is a record cut within
    its first columns: their widths are fixed, so the rest of the next record
    completes it into a record. The next record may begin in the padding
    after `at` (which the search for a record start takes in)."""
    pad = len(line) - at - len(line[at:].lstrip(" "))
    for q in range(at, at + pad + 1):
        part, record = line[:q], line[q:]
        if LOG_RECORD.match(part + record[len(part):]):
            return True
    return False
