"""zyg-nox-report, installed in /usr/bin, on launch logs of real programs run
here under the installed launcher, on the logs recorded in the 4x2 VM
(report-tool/tests/data), and on input that is no good.  The HTML page is
opened in headless Chromium.  Also: the manual pages lint clean and the bash
completion offers what it should.

Placement itself is not judged here (this machine may have one node); the VM
tests (tests/vm/test_report_tool_vm.py) do that."""
import json
import os
import pathlib
import random
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zlib

import pytest

import zygtest

REPORT = "/usr/bin/zyg-nox-report"
ROOT = pathlib.Path(__file__).resolve().parents[2]
SCHEMA = ROOT / "report-tool" / "schema" / "report-v1.json"
DATA = ROOT / "report-tool" / "tests" / "data"
RECORDED = sorted(DATA.glob("*.log"))
CHROMIUM = "/usr/bin/chromium"

# The shell forks each program (the trailing "exit 0" keeps it from exec'ing
# the last one in place); python starts three threads and joins them.
PROGRAM = ("/bin/true; /bin/true & wait; "
           "/usr/bin/python3 -c 'import threading\n"
           "ts = [threading.Thread(target=lambda: 0) for _ in range(3)]\n"
           "[t.start() for t in ts]; [t.join() for t in ts]'; exit 0")


@pytest.fixture(scope="module")
def report_tool():
    if not pathlib.Path(REPORT).is_file():
        pytest.fail(f"{REPORT} not installed")
    return REPORT


def report(*args, **kw):
    return zygtest.run([REPORT, *[str(a) for a in args]], **kw)


@pytest.fixture(scope="module")
def real_log(tmp_path_factory, launcher, report_tool):
    """A launch log of /bin/sh running PROGRAM under -p rr_tree -t rr_flat."""
    d = tmp_path_factory.mktemp("report")
    log = d / "run.log"
    r = zygtest.launch(["-p", "rr_tree", "-t", "rr_flat", "-l", str(log)], ["/bin/sh", "-c", PROGRAM])
    assert r.returncode == 0, r.stderr
    return log


def validate(doc, schema=SCHEMA):
    try:
        import jsonschema
    except ImportError:
        pytest.fail("python3-jsonschema is not installed (scripts/lib.sh ZYG_PKGS_REPORT_TEST)")
    jsonschema.Draft202012Validator.check_schema(json.loads(schema.read_text()))
    jsonschema.Draft202012Validator(json.loads(schema.read_text())).validate(doc)


def json_report(path):
    r = report("--json", path)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    validate(doc)
    return doc


# ------------------------------------------------------------ a real run

def test_json_of_a_real_run(real_log):
    doc = json_report(real_log)
    assert doc["version"] == 1
    (launch,) = doc["launches"]
    assert launch["settings"]["process_policy"] == "rr_tree"
    assert launch["settings"]["thread_policy"] == "rr_flat"
    procs = launch["processes"]
    assert [p["chain"] for p in procs] == [["sh"], ["sh", "true"], ["sh", "true"], ["sh", "python3"]]
    root = procs[0]
    assert root["parent"] is None and root["pid"] == launch["settings"]["initial_pid"]
    assert root["children"] == [1, 2, 3]
    py = procs[3]
    assert len(py["threads"]) == 3
    # A joined thread can still be on its way out when the process exits:
    # then it has no end record of its own and ends with its process.
    assert all(t["end_kind"] in ("exited", "with_process") and t["end"] is not None for t in py["threads"])
    assert all(p["end_kind"] == "exited" and p["lifetime"] >= 0 for p in procs)
    assert launch["process_count"] == 4 and launch["thread_count"] == 3
    assert sum(r["processes"] for r in launch["nodes"]) == 4
    assert launch["warnings"] == []


def test_text_of_a_real_run(real_log):
    r = report(real_log)
    assert r.returncode == 0, r.stderr
    doc = json_report(real_log)
    out = r.stdout
    assert "Process policy     rr_tree" in out
    assert "Thread policy      rr_flat" in out
    assert "\nPer node\n" in out and "\nProcess tree" in out
    for p in doc["launches"][0]["processes"]:
        assert f"{p['pid']} {' > '.join(p['chain'])}  [node " in out, p
    assert out.count("  thread ") == 3
    assert out.endswith("Warnings\n  none\n"), out[-300:]


def test_depth_zero_shows_the_first_process_only(real_log):
    r = report("--depth", "0", real_log)
    assert r.returncode == 0
    assert "3 descendant processes below depth 0" in r.stdout
    assert "sh > true" not in r.stdout


# ------------------------------------------------------------ recorded in the VM

@pytest.mark.parametrize("log", [pytest.param(p, id=p.stem) for p in RECORDED])
def test_recorded_logs_give_valid_json_with_consistent_counts(log):
    doc = json_report(log)
    for launch in doc["launches"]:
        procs = launch["processes"]
        assert launch["process_count"] == len(procs)
        assert launch["thread_count"] == sum(len(p["threads"]) for p in procs)
        assert sum(r["processes"] for r in launch["nodes"]) == len(procs)
        for p in procs:
            for c in p["children"]:
                assert procs[c]["parent"] == p["id"]


def test_recorded_logs_exist():
    assert {p.stem for p in RECORDED} >= {"make_j4", "python_multiprocessing", "openmp", "killed_child"}


# ------------------------------------------------------------ bad input

def cut_mid_line(text):
    lines = text.splitlines(keepends=True)
    keep = len(lines) * 2 // 3
    return "".join(lines[:keep]) + lines[keep][: len(lines[keep]) // 2]


def with_foreign_line(text):
    lines = text.splitlines(keepends=True)
    return "".join(lines[:30] + ["this line was typed by someone\n"] + lines[30:])


BAD_INPUTS = {
    # name: (make the file's bytes from the real log's text, exit status, what stderr names)
    "empty": (lambda t: b"", 3, "not a zyg-nox launch log"),
    "random_bytes": (lambda t: bytes(random.Random(7).randrange(256) for _ in range(200000)), 3,
                     "not a zyg-nox launch log"),
    "other_text": (lambda t: (ROOT / "README.md").read_bytes(), 3, "not a zyg-nox launch log"),
    "cut_mid_line": (lambda t: cut_mid_line(t).encode(), 4, "cut short"),
    "foreign_line": (lambda t: with_foreign_line(t).encode(), 4, "is not a log line"),
    "nul_bytes_inside": (lambda t: t.encode().replace(b"rr_flat", b"rr\0flat", 1), 0, ""),
}


@pytest.mark.parametrize("case", sorted(BAD_INPUTS))
def test_bad_input_gives_documented_status_and_one_line(case, real_log, tmp_path):
    make, status, words = BAD_INPUTS[case]
    path = tmp_path / "input.log"
    path.write_bytes(make(real_log.read_text()))
    for fmt in ([], ["--json"], ["--html", str(tmp_path / "p.html")]):
        r = subprocess.run([REPORT, *fmt, str(path)], capture_output=True, timeout=120)
        assert r.returncode == status, (fmt, r.returncode, r.stderr)
        err = r.stderr.decode(errors="replace")
        if status:
            assert err.count("\n") == 1 and words in err, err
            assert err.startswith("zyg-nox-report: ")
        if status == 3:
            assert r.stdout == b""
        if status == 4 and fmt == ["--json"]:
            doc = json.loads(r.stdout)
            validate(doc)
            assert doc["launches"][0]["process_count"] >= 1


def test_cut_log_reports_what_it_could_read(real_log, tmp_path):
    path = tmp_path / "cut.log"
    text = real_log.read_text()
    # Cut right after the python process started: it and its threads never end.
    at = text.index("child start in pthread_create() by user")
    path.write_text(text[:text.index("\n", at) + 1] + "       0.1")
    r = report("--json", path)
    assert r.returncode == 4
    doc = json.loads(r.stdout)
    assert doc["input"]["last_line_cut"] is True
    launch = doc["launches"][0]
    assert any("never ended" in w for w in launch["warnings"])
    assert launch["processes"][0]["end_kind"] == "never_ended"


@pytest.mark.parametrize("path,why", [("/no/such/run.log", "No such file or directory"), ("/", "it is a directory"),
                                      ("/dev/zero", "it is a device, not a log file")],
                         ids=["missing", "directory", "device"])
def test_unreadable_input(path, why):
    r = report(path, timeout=30)
    assert (r.returncode, r.stderr) == (2, f"zyg-nox-report: cannot read {path}: {why}\n")


def test_endless_line_on_standard_input_is_not_read_for_ever():
    with open("/dev/zero", "rb") as zeros:
        r = subprocess.run([REPORT, "-"], stdin=zeros, capture_output=True, text=True, timeout=30)
    assert r.returncode == 3
    assert r.stderr == "zyg-nox-report: - is not a zyg-nox launch log (no banner and no record lines)\n"


def test_log_from_standard_input(real_log):
    r = zygtest.run([REPORT, "--json", "-"], input=real_log.read_text())
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["source"] == "-"
    assert json.loads(r.stdout)["launches"][0]["process_count"] == 4


def test_page_replaces_the_text_report(real_log, tmp_path):
    page = tmp_path / "run.html"
    r = report("--html", page, real_log)
    assert (r.returncode, r.stdout, r.stderr) == (0, f"page written to {page}\n", "")
    assert page.read_text().startswith("<!DOCTYPE html>")


def test_unwritable_page(real_log):
    r = report("--html", "/no/such/dir/page.html", real_log)
    assert r.returncode == 2
    assert r.stderr == "zyg-nox-report: cannot write /no/such/dir/page.html\n"


def test_log_of_two_launches_is_reported_per_launch(real_log, tmp_path):
    both = tmp_path / "both.log"
    both.write_text(real_log.read_text() * 2)
    doc = json_report(both)
    assert len(doc["launches"]) == 2
    assert doc["launches"][0]["processes"] == doc["launches"][1]["processes"]
    text = report(both).stdout
    assert "=== Launch 1 of 2" in text and "=== Launch 2 of 2" in text
    page = tmp_path / "both.html"
    assert report("--html", page, both).returncode == 0
    html = page.read_text()
    assert html.count('id="timeline-1"') == 1 and html.count('id="timeline-2"') == 1


@pytest.mark.parametrize("opt", ["--live", "--depth", "--children", "--html", "-H", "--nodes-cpus"])
def test_option_without_its_value_is_named(opt):
    r = report(opt)
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.splitlines()[0] == f"zyg-nox-report: option {opt} needs a value"


@pytest.mark.parametrize("args", [[], ["--depth", "x"], ["--top", "0"], ["--bogus"],
                                  ["--watch", "1", "a.log"], ["--live", "1", "a.log"], ["-H"]],
                         ids=["nothing", "depth_word", "top_zero", "unknown", "watch_alone",
                              "live_and_log", "html_no_file"])
def test_usage_errors(args):
    r = report(*args)
    assert r.returncode == 1, r
    assert r.stdout == ""
    assert r.stderr.startswith("zyg-nox-report: ")


def test_run_after_other_options_is_told_to_come_first():
    r = report("-p", "rr_tree", "--run", "--", "true")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.splitlines()[0] == ("zyg-nox-report: --run must come first: zyg-nox-report "
                                        "--run [ZYG-NOX OPTIONS] -- COMMAND")


@pytest.mark.parametrize("json_too", [False, True], ids=["page", "page_and_json"])
def test_html_says_where_the_page_went(real_log, tmp_path, json_too):
    page = tmp_path / "run.html"
    r = report("--html", page, *(["--json"] if json_too else []), real_log)
    assert r.returncode == 0 and page.stat().st_size > 0, r.stderr
    said = f"page written to {page}\n"
    # Beside the JSON document the line goes to standard error.
    assert (r.stderr if json_too else r.stdout) == said
    if json_too:
        validate(json.loads(r.stdout))


def test_a_nested_launch_leaves_the_outer_tree(launcher, tmp_path):
    # zyg-nox run inside the tree starts a launch of its own: the process
    # that execs it ends here, and nothing never ended.
    log = tmp_path / "run.log"
    r = zygtest.launch(["-p", "rr_tree", "-l", str(log)],
                       ["/bin/sh", "-c", f"{launcher} -p rr_flat /bin/true; exit 0"])
    assert r.returncode == 0, r.stderr
    # The inner launcher may have started the background clean-up in the
    # outer tree, which ends a second or two later: wait for it.
    for _ in range(100):
        (launch,) = json_report(log)["launches"]
        if all(p["end_kind"] != "never_ended" for p in launch["processes"]):
            break
        time.sleep(0.2)
    assert launch["warnings"] == []
    inner = [p for p in launch["processes"] if p["comm"] == "sh" and p["parent"] is not None]
    assert [(p["end_kind"], p["end_record"]) for p in inner] == [
        ("left_tree", "new launch: /bin/true")], launch["processes"]
    assert "NEVER ENDED" not in report(log).stdout


# ------------------------------------------------------------ the page in a browser

def chromium(*args, timeout=120):
    if not pathlib.Path(CHROMIUM).is_file():
        pytest.fail("chromium is not installed (scripts/lib.sh ZYG_PKGS_REPORT_TEST)")
    profile = tempfile.mkdtemp(prefix="zchrome")
    try:
        return subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", *args],
            capture_output=True, timeout=timeout)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def png_pixels(data):
    """Width, height and the distinct RGB(A) pixel values of a PNG
    (8-bit RGB or RGBA, as Chromium writes them)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, height, depth, ctype = (int.from_bytes(body[0:4], "big"), int.from_bytes(body[4:8], "big"),
                                           body[8], body[9])
            assert depth == 8 and ctype in (2, 6), (depth, ctype)
            bpp = 3 if ctype == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw = zlib.decompress(idat)
    stride = width * bpp
    prev = bytearray(stride)
    colours = set()
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        if y % 4 == 0:
            colours.update(bytes(line[x:x + 3]) for x in range(0, stride, bpp * 2))
        prev = line
    return width, height, colours


def screenshot(page, shot, height):
    """Chromium's screenshot of the page, 1300 pixels wide, that is no blank
    page; kept in $ZYG_REPORT_SHOTS too when set, for a person to look at."""
    r = chromium(f"--screenshot={shot}", f"--window-size=1300,{height}", "--hide-scrollbars",
                 page.as_uri())
    assert r.returncode == 0 and shot.is_file(), r.stderr[-2000:]
    assert len(png_pixels(shot.read_bytes())[2]) > 40
    keep = os.environ.get("ZYG_REPORT_SHOTS")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        shutil.copy(shot, keep)


def html_cases():
    cases = [pytest.param("real", id="real_run")]
    cases += [pytest.param(p, id=p.stem) for p in RECORDED]
    return cases


@pytest.mark.parametrize("source", html_cases())
@pytest.mark.parametrize("per_cpu", [False, True], ids=["nodes", "cpus"])
def test_page_in_chromium_has_one_bar_per_task(source, per_cpu, real_log, tmp_path):
    log = real_log if source == "real" else source
    page = tmp_path / "report.html"
    r = report("--html", page, *(["-c"] if per_cpu else []), log)
    assert r.returncode == 0, r.stderr
    launch = json_report(log)["launches"][0]
    tasks = launch["process_count"] + launch["thread_count"]
    dom = chromium("--dump-dom", page.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    html = dom.stdout.decode()
    assert html.count('<rect class="bar') == tasks
    assert "<svg" in html and "<title>PID " in html
    # Nothing outside the page: no scripts, links or external references.
    raw = page.read_text()
    assert "<script" not in raw and "http://" not in raw.replace("http://www.w3.org/2000/svg", "")
    assert "https://" not in raw and "<link" not in raw


def test_page_screenshot_is_not_blank(tmp_path):
    """The README's picture: the make -j4 run recorded in the 4x2 VM."""
    log = DATA / "make_j4.log"
    if not log.is_file():
        pytest.fail(f"{log} missing")
    page = tmp_path / "report.html"
    shutil.copy(log, tmp_path / log.name)  # the page's heading names the log as given
    assert report("--html", page, log.name, cwd=tmp_path).returncode == 0
    shot = tmp_path / "shot.png"
    r = chromium(f"--screenshot={shot}", "--window-size=1300,920", "--hide-scrollbars", page.as_uri())
    assert r.returncode == 0 and shot.is_file(), r.stderr[-2000:]
    width, height, colours = png_pixels(shot.read_bytes())
    assert (width, height) == (1300, 920)
    # Background, text, lanes and a colour per process: a blank or
    # failed page has a handful of colours at most.
    assert len(colours) > 40, len(colours)
    keep = os.environ.get("ZYG_REPORT_SCREENSHOT")
    if keep:
        shutil.copy(shot, keep)


@pytest.mark.parametrize("name,shown", [
    ("l3_p_rr_tree_t_rr_flat", ["unit <b>l3</b>", "<h3>Per L3 domain</h3>", 'data-lane="0 / l3 2-3"',
                                "node 1 \u00b7 L3 6-7", "node 0, L3 2-3, "]),
    ("hbm_p_rr_tree_nearest_memonly", ["memory <b>nearest-memonly</b>: node 0 -&gt; 2, node 1 -&gt; 3",
                                       "<th>Memory node</th>", "node 1, memory 3",
                                       "node 1, memory node 3, "]),
], ids=["l3", "hbm"])
def test_page_shows_each_tasks_domain_and_memory_node(name, shown, tmp_path):
    """The pages of an l3 and an hbm launch recorded in their VMs: the unit
    and domains, the memory mode, a lane per domain, each bar's domain and
    memory node. The screenshots stay in the test's directory (and in
    $ZYG_REPORT_SHOTS when set)."""
    page = tmp_path / f"{name}.html"
    assert report("--html", page, DATA / f"{name}.log").returncode == 0
    dom = chromium("--dump-dom", page.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    html = dom.stdout.decode()
    for text in shown:
        assert text in html, text
    screenshot(page, tmp_path / f"{name}.png", 900)


def test_cpu_lanes_of_a_cpu_launch_show_every_cpu(launcher, tmp_path):
    # Under -c every CPU of the launch has a lane, idle or not, so that a
    # CPU that held two tasks shows beside one that held none.
    log = tmp_path / "run.log"
    r = zygtest.launch(["-p", "rr_tree", "-c", "-l", str(log)], ["/bin/true"])
    assert r.returncode == 0, r.stderr
    page = tmp_path / "cpus.html"
    assert report("--html", page, "-c", log).returncode == 0
    lanes = re.findall(r'data-lane="\d+ / cpu (\d+)"', page.read_text())
    assert sorted(map(int, lanes)) == sorted(os.sched_getaffinity(0))


# ------------------------------------------------------------ at scale

GEN_LOG = ROOT / "bench" / "gen-log"


def generated_log(directory, kind, count):
    """A log bench/gen-log writes: one process and `count` threads, or a
    tree of `count` processes, on four nodes."""
    log = directory / f"{kind}-{count}.log"
    subprocess.run(["/usr/bin/python3", str(GEN_LOG), f"--{kind}", str(count), "--nodes", "4",
                    "-o", str(log)], check=True, timeout=300)
    return log


def peak_memory(args):
    """Peak resident memory in KiB of the report tool run with args."""
    with open(os.devnull, "wb") as sink:
        proc = subprocess.Popen([REPORT, *map(str, args)], stdout=sink)
        _, status, usage = os.wait4(proc.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, args
    return usage.ru_maxrss


def test_json_takes_no_more_memory_than_the_text(tmp_path):
    """The JSON document is written as it is produced: it needs no more
    memory than the text report of the same log (it used to need 5 times
    as much, building the whole document first)."""
    log = generated_log(tmp_path, "procs", 20000)
    text, doc = peak_memory([log]), peak_memory(["--json", log])
    assert doc < 1.25 * text, (doc, text)


# Tasks in a log: one process and its threads, or a tree of processes.
PAGE_SIZES = [pytest.param("procs", 31, id="31"), pytest.param("threads", 1999, id="2000"),
              pytest.param("procs", 100000, id="100000"),
              pytest.param("threads", 99999, id="100000_threads")]


@pytest.mark.parametrize("kind,count", PAGE_SIZES)
def test_page_at_scale_in_chromium(kind, count, tmp_path):
    """The page of a launch of 31, 2,000 and 100,000 tasks: under 10 MB, a
    line per node of the table in the chart of tasks alive, the process
    tree, every bar drawn or counted as not drawn, at scale a summary of
    each lane that agrees with the chart, and a screenshot (kept in the
    test's directory, and in $ZYG_REPORT_SHOTS when set) that is not blank."""
    log = generated_log(tmp_path, kind, count)
    tasks = count + 1 if kind == "threads" else count
    page = tmp_path / "report.html"
    r = report("--html", page, log, timeout=300)
    assert r.returncode == 0, r.stderr
    assert page.stat().st_size < 10_000_000
    dom = chromium("--dump-dom", page.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    html = dom.stdout.decode()
    table = html[html.index('<table class="nodes">'):html.index("</table>")]
    assert html.count('<polyline class="node-line"') == table.count("<tr") - 1  # minus the head
    assert html.index('class="occupancy"') < html.index('class="timeline"')
    assert '<div class="tree">' in html and ("<details" in html) == (kind == "procs")
    # A bar per task, two for a process whose main thread was placed on
    # another node at its first thread creation.
    procs = json.loads(report("--json", log, timeout=300).stdout)["launches"][0]["processes"]
    assert len(procs) + sum(len(p["threads"]) for p in procs) == tasks
    moved = sum(1 for p in procs if p["main_thread_node"] not in (None, p["node"]))
    drawn = html.count('<rect class="bar') + html.count('<rect class="cont')
    not_drawn = re.search(r"(\d+) bars? not drawn", html)
    assert drawn + (int(not_drawn.group(1)) if not_drawn else 0) == tasks + moved
    if count > 3000:
        # A summary: said above the lanes, a strip per lane whose peak is
        # the chart's, and a few hundred bars over the whole run, not those
        # that span it.
        raw = page.read_text()
        assert raw.index(" not drawn") < raw.index('class="timeline"')
        legend = dict(re.findall(r"</i>node ([\d,]+) \(peak (\d+)\)", raw))
        strips = dict(re.findall(r'data-lane="([\d,]+)">\n<rect[^>]*/>\n<text[^>]*>[^<]*</text>\n'
                                 r'<g class="density" data-peak="(\d+)"', raw))
        assert strips == legend
        bars = [(float(x), float(w)) for x, w in re.findall(
            r'<rect class="(?:bar|cont)[^"]*" data-pid="\d+" data-tid="\d+" x="([\d.]+)" y="[\d.]+" '
            r'width="([\d.]+)"', raw)]
        assert drawn <= 700 and sum(w > 380 for _, w in bars) <= 24
        assert max(x for x, _ in bars) > 170 + 0.8 * 760
    screenshot(page, tmp_path / f"page-{kind}-{tasks}-tasks.png", 1400)


# ------------------------------------------------------------ --live

def wait_for(cond, timeout=30):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return False


def test_live_shows_a_running_launch_then_says_it_ended(launcher, tmp_path):
    marker = tmp_path / "started"
    p = subprocess.Popen([launcher, "-p", "rr_tree", "-t", "rr_flat", "/usr/bin/python3", "-c",
                          "import threading, time, pathlib\n"
                          "ev = threading.Event()\n"
                          "t = threading.Thread(target=ev.wait); t.start()\n"
                          f"pathlib.Path('{marker}').touch()\n"
                          "time.sleep(60)"],
                         env=zygtest.clean_env(), stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        assert wait_for(marker.exists), "the launch did not start"
        r = report("--live", p.pid)
        assert r.returncode == 0, r.stderr
        assert f"zyg-nox launch of PID {p.pid}" in r.stdout
        assert "processes rr_tree, threads rr_flat" in r.stdout
        assert "1 processes, 2 tasks" in r.stdout
        assert "python3" in r.stdout and "(thread)" in r.stdout
        data = pathlib.Path(f"/dev/shm/zyg-nox.{p.pid}")
        assert report("--live", data).returncode == 0
    finally:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
    r = report("--live", p.pid)
    assert r.returncode == 5, r
    assert r.stderr.count("\n") == 1


def test_live_watch_ends_with_the_launch(launcher):
    p = subprocess.Popen([launcher, "-p", "rr_tree", "/bin/sleep", "3"], env=zygtest.clean_env(),
                         stdin=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: pathlib.Path(f"/dev/shm/zyg-nox.{p.pid}").exists())
        time.sleep(0.3)
        r = report("--live", p.pid, "--watch", "1", timeout=60)
        assert r.returncode == 0, r.stderr
        assert r.stdout.count(f"zyg-nox launch of PID {p.pid}") >= 2
        assert r.stdout.endswith("launch ended\n")
    finally:
        p.kill()
        p.wait()


@pytest.mark.parametrize("content,status", [(b"", 3), (b"x" * 5000, 3), (b"\x02" + b"\0" * 8000, 3)],
                         ids=["empty", "text", "other_version"])
def test_live_refuses_a_foreign_data_file(tmp_path, content, status):
    f = tmp_path / "zyg-nox.1"
    f.write_bytes(content)
    r = report("--live", f)
    assert r.returncode == status
    assert "not a zyg-nox launch data file" in r.stderr and r.stderr.count("\n") == 1


def data_image(initial_pid, nodes=1):
    """A launch data file of version 1 for `nodes` nodes with one CPU each."""
    t = 4 + nodes * 1032
    proc_tree = 2048 + nodes * 1288
    b = bytearray(proc_tree + 4 * t)
    struct.pack_into("=6I", b, 0, 1, 2048, proc_tree, proc_tree + t, proc_tree + 2 * t, proc_tree + 3 * t)
    struct.pack_into("=4i", b, 24, 1, nodes, nodes, nodes)
    struct.pack_into("=i", b, 80, initial_pid)
    for i in range(nodes):
        struct.pack_into("=2i", b, 2048 + i * 1288, i, 1)
        struct.pack_into("=I", b, 2048 + i * 1288 + 264, i)
    return bytes(b)


def test_live_finds_the_data_file_with_a_suffix():
    # A stale file of an earlier launch holds the plain name; this PID's
    # launch took the name with ".1".
    pid = 999999990
    plain, suffixed = pathlib.Path(f"/dev/shm/zyg-nox.{pid}"), pathlib.Path(f"/dev/shm/zyg-nox.{pid}.1")
    try:
        plain.write_bytes(data_image(5))
        suffixed.write_bytes(data_image(pid))
        r = report("--live", pid)
        assert r.returncode == 5  # no process has it open
        assert f"launch of PID {pid} (/dev/shm/zyg-nox.{pid}.1)" in r.stderr, r.stderr
    finally:
        plain.unlink(missing_ok=True)
        suffixed.unlink(missing_ok=True)


def test_live_for_a_file_that_is_not_there(tmp_path):
    r = report("--live", tmp_path / "abc")
    assert r.returncode == 2
    assert r.stderr == f"zyg-nox-report: cannot read {tmp_path / 'abc'}: No such file or directory\n"


def test_live_for_a_pid_without_launch():
    r = report("--live", "999999999")
    assert r.returncode == 5
    assert "is not running a zyg-nox launch" in r.stderr


# A process of the tree that is not its first one: a dynamic program, found
# through the data file its library mapped, and a static one (busybox),
# which maps nothing, through its environment.
@pytest.mark.parametrize("member", [["/bin/sleep", "60"], ["/bin/busybox", "sleep", "60"]],
                         ids=["mapped", "static"])
def test_live_from_any_process_of_the_launch(launcher, tmp_path, member):
    marker = tmp_path / "member"
    p = subprocess.Popen([launcher, "-p", "rr_tree", "/bin/sh", "-c", f'"$@" & echo $! > {marker}; wait',
                          "sh", *member],
                         env=zygtest.clean_env(), stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        assert wait_for(lambda: marker.exists() and marker.read_text().endswith("\n")), "no member started"
        pid = int(marker.read_text())
        assert wait_for(lambda: report("--live", pid).returncode == 0), report("--live", pid)
        r = report("--live", pid)
        assert f"note: PID {pid} is a process of the launch of PID {p.pid}\n" in r.stdout
        assert f"zyg-nox launch of PID {p.pid} " in r.stdout
        r = report("--live", pid, "--json")
        assert r.returncode == 0, r.stderr
        doc = json.loads(r.stdout)
        validate(doc, SCHEMA.parent / "live-v1.json")
        assert (doc["asked_pid"], doc["initial_pid"]) == (pid, p.pid)
        procs = {q["pid"]: q for q in doc["processes"]}
        assert procs[p.pid]["memory"]["resident_bytes"] > 0
    finally:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()


# ------------------------------------------------------------ --plan

def test_plan_on_this_machine_places_every_task_on_its_nodes():
    r = report("--plan", "-p", "rr_tree", "-t", "rr_flat", "--children", "2", "--threads", "1", "--json")
    assert r.returncode == 0, r.stderr
    plan = json.loads(r.stdout)
    import jsonschema
    jsonschema.Draft202012Validator(json.loads((SCHEMA.parent / "plan-v1.json").read_text())).validate(plan)
    assert plan["format"] == "zyg-nox-report-plan" and plan["version"] == 1
    assert plan["topology_from"] == "this machine"
    nodes = sorted(int(p.name[4:]) for p in pathlib.Path("/sys/devices/system/node").glob("node[0-9]*")
                   if (p / "cpulist").read_text().strip())
    assert plan["launch_nodes"] == nodes
    # The first process, two children, one thread each.
    assert [(t["process"], t["thread"]) for t in plan["tasks"]] == [(0, None), (0, 1), (1, None), (1, 1),
                                                                     (2, None), (2, 1)]
    assert all(t["node"] in nodes for t in plan["tasks"])
    # Round robin over the tree: the processes on successive nodes.
    procs = [t["node"] for t in plan["tasks"] if t["thread"] is None]
    assert procs == [nodes[i % len(nodes)] for i in range(3)]


def test_plan_for_another_machine_in_text():
    r = report("--plan", "-p", "ff_tree", "-c", "--children", "4", "--threads", "0",
               "--nodes-cpus", "0:0-1,1:2-3")
    assert r.returncode == 0, r.stderr
    rows = re.findall(r"^  (?:first process|child \d+) +(\S+) +(\S+)  ", r.stdout, re.M)
    # Fill first: two tasks fill node 0 (CPUs 0, 1), the next two node 1, then node 0 again.
    assert rows == [("0", "0"), ("0", "1"), ("1", "2"), ("1", "3"), ("0", "0")], r.stdout


@pytest.mark.parametrize("args,words", [
    (["--plan", "-p", "bogus"], "unknown process policy"),
    (["--plan", "-p", "rr_pack", "-t", "rr_flat"], "thread policy"),
    (["--plan", "-c"], "needs a process or a thread policy"),
    (["--plan", "-p", "memfree_flat"], "free memory"),
    (["--plan", "-p", "rr_tree", "--nodes-cpus", "zero"], "--nodes-cpus"),
    (["--plan", "-p", "rr_tree", "-n", "9", "--nodes-cpus", "0:0,1:1"], "bad node list"),
    (["-p", "rr_tree", "run.log"], "go with --plan"),
    (["--plan", "run.log"], "no log file"),
], ids=["unknown", "rr_pack_threads", "cpu_alone", "memfree", "bad_topology", "bad_nodes", "no_plan",
        "plan_and_log"])
def test_plan_refusals(args, words):
    r = report(*args)
    assert r.returncode == 1, r
    assert words in r.stderr and r.stdout == ""


# ------------------------------------------------------------ manual pages and completion

@pytest.mark.parametrize("page", ["zyg-nox.1", "zyg-nox-report.1"])
def test_manual_page_lints_clean(page):
    r = zygtest.run(["mandoc", "-T", "lint", "-W", "all", str(ROOT / "man" / page)])
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    g = zygtest.run(["groff", "-ww", "-man", "-Tutf8", "-z", str(ROOT / "man" / page)])
    assert (g.returncode, g.stderr) == (0, "")


@pytest.mark.parametrize("name", ["zyg-nox", "zyg-nox-report"])
def test_manual_page_is_installed(name, report_tool):
    r = zygtest.run(["man", "-w", name])
    assert r.returncode == 0 and r.stdout.strip() == f"/usr/share/man/man1/{name}.1", r


@pytest.mark.parametrize("tool", [zygtest.LAUNCHER, REPORT], ids=["zyg-nox", "zyg-nox-report"])
def test_version(tool, report_tool):
    version = zygtest.RELEASE_LIB.rsplit(".so.", 1)[1]
    r = zygtest.run([tool, "--version"])
    assert (r.returncode, r.stderr) == (0, "")
    assert re.fullmatch(rf"{pathlib.Path(tool).name} {re.escape(version)}( \(.*\))?\n", r.stdout), r.stdout


COMPLETIONS = [
    ("zyg-nox", "zyg-nox -p r", {"rr_tree", "rr_flat", "rr_pack"}),
    ("zyg-nox", "zyg-nox --process=ff", {"ff_tree", "ff_flat"}),
    ("zyg-nox", "zyg-nox -t p", {"pack"}),  # rr_pack is for processes only
    ("zyg-nox", "zyg-nox -p rr_tree -t rr_", {"rr_tree", "rr_flat"}),
    ("zyg-nox", "zyg-nox --wr", {"--write-by-other"}),
    ("zyg-nox", "zyg-nox --ver", {"--version"}),
    ("zyg-nox-report", "zyg-nox-report --j", {"--json"}),
    ("zyg-nox-report", "zyg-nox-report --ex", {"--expand"}),
    ("zyg-nox-report", "zyg-nox-report --plan -p rr_p", {"rr_pack"}),
    ("zyg-nox-report", "zyg-nox-report --plan -t rr_p", set()),
]


@pytest.mark.parametrize("name,line,want", COMPLETIONS, ids=[c[1].replace(" ", "_") for c in COMPLETIONS])
def test_bash_completion(name, line, want, report_tool):
    # As installed: the build writes the policy names into the templates.
    script = pathlib.Path("/usr/share/bash-completion/completions") / name
    func = "_" + name.replace("-", "_")
    words = line.split(" ")
    prog = ("source /usr/share/bash-completion/bash_completion; source \"$1\"; shift;"
            "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMP_LINE=\"$*\"; COMP_POINT=${#COMP_LINE};"
            f"{func}; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
    r = zygtest.run(["bash", "-c", prog, "_", str(script), *words])
    assert r.returncode == 0, r.stderr
    assert set(r.stdout.split()) == want, r.stdout


@pytest.mark.parametrize("script,status", [("echo out; exit 3", 3), ("echo out; kill -9 $$", 137)])
def test_run_prints_the_summary_and_keeps_the_status(report_tool, launcher, tmp_path, script, status):
    """--run: the command's output untouched, its status kept (128 + signal
    as a shell says), the per-node summary on standard error, no log left."""
    r = report("--run", "-p", "rr_tree", "--", "/bin/sh", "-c", f"/bin/true; {script}",
               env=zygtest.clean_env(TMPDIR=str(tmp_path)))
    assert r.returncode == status, r.stderr
    assert r.stdout == "out\n"
    assert "Per node" in r.stderr and "Process tree" not in r.stderr, r.stderr
    assert "Process policy     rr_tree" in r.stderr
    assert list(tmp_path.iterdir()) == []


def test_run_refuses_a_log_of_the_users(report_tool, launcher, tmp_path):
    r = report("--run", "-cl", tmp_path / "x.log", "--", "/bin/true")
    assert r.returncode == 1 and "keeps a log of its own" in r.stderr, r.stderr
    assert not (tmp_path / "x.log").exists()
