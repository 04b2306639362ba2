"""zyg-nox-report on the logs of a job of two hosts: real launches under
zyg-nox --job, two ranks on each host, each host a UTS namespace of its own
name (the starter's environment faked with Open MPI's variables). The
per-host tables add up to the job's totals in the text and the JSON, the
JSON validates against schema/job-v1.json, and the page shows a section
per host in headless Chromium."""
import html.parser
import json
import re
import subprocess
import uuid

import pytest

import zygtest
from test_report_tool import ROOT, chromium, report

HOSTS = {"zjr-hosta": [0, 1], "zjr-hostb": [2, 3]}
SIZE = 4
# What each rank runs: a child and two threads.
WORK = ["fork", "{", "echo", "child", "}", "threads", "2", "{", "echo", "thread", "}", "join",
        "wait"]
# Each rank's command: a shell that waits until every rank of its host has
# started, so that the ranks live at the same time as a job's do, then runs
# the probe in its place. The two hosts share this machine's /dev/shm: the
# job's launch of each is told apart by its host name.
RANK_COMMAND = ("touch ready.$(hostname).$OMPI_COMM_WORLD_RANK; "
                "until set -- ready.$(hostname).*; [ $# -ge $OMPI_COMM_WORLD_LOCAL_SIZE ]; "
                'do sleep 0.01; done; exec "$PROBE" ' + " ".join(WORK))
# In a UTS namespace named $0: each rank of $RANKS started as a starter
# would, its local rank counted from 0; fails when one of them fails.
RANKS_ON_A_HOST = """hostname "$0" || exit 9
pids=""
i=0
for r in $RANKS; do
  OMPI_COMM_WORLD_RANK=$r OMPI_COMM_WORLD_LOCAL_RANK=$i PMIX_RANK=$r "$@" &
  pids="$pids $!"
  i=$((i + 1))
done
st=0
for p in $pids; do wait "$p" || st=1; done
exit $st
"""


@pytest.fixture(scope="module")
def job_logs(tmp_path_factory, launcher, probe):
    """The logs of a four-rank job, one per host, in HOSTS' order."""
    d = tmp_path_factory.mktemp("job")
    job = f"zjr-{uuid.uuid4().hex[:12]}"
    for host, ranks in HOSTS.items():
        env = zygtest.clean_env(OMPI_COMM_WORLD_SIZE=str(SIZE),
                                OMPI_COMM_WORLD_LOCAL_SIZE=str(len(ranks)), PMIX_NAMESPACE=job,
                                RANKS=" ".join(map(str, ranks)), PROBE=probe)
        r = zygtest.run(["unshare", "--uts", "sh", "-c", RANKS_ON_A_HOST, host, launcher, "--job",
                         "-p", "rr_tree", "-t", "rr_tree", "-l", "run.%h.log", "/bin/sh", "-c",
                         RANK_COMMAND], env=env, cwd=d)
        assert r.returncode == 0, r.stderr
    return [d / f"run.{host}.log" for host in HOSTS]


def validate_job(doc):
    """Against job-v1.json, which takes a launch from report-v1.json."""
    import jsonschema
    schemas = {name: json.loads((ROOT / "report-tool" / "schema" / name).read_text())
               for name in ("job-v1.json", "report-v1.json")}
    job = schemas["job-v1.json"]
    jsonschema.Draft202012Validator.check_schema(job)
    store = {s["$id"]: s for s in schemas.values()}
    resolver = jsonschema.RefResolver.from_schema(job, store=store)
    jsonschema.Draft202012Validator(job, resolver=resolver).validate(doc)


def job_json(*logs):
    r = report("--json", *logs)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    validate_job(doc)
    return doc


def tree_size(launch, root):
    """Processes and threads of root's tree, from the launch's own document."""
    procs, threads, todo = 0, 0, [root]
    while todo:
        p = launch["processes"][todo.pop()]
        procs += 1
        threads += len(p["threads"])
        todo += p["children"]
    return procs, threads


def test_host_tables_add_up_to_the_job_totals(job_logs):
    doc = job_json(*job_logs)
    assert [h["host"] for h in doc["hosts"]] == list(HOSTS)
    launches = [l for log in doc["logs"] for l in log["launches"]]
    assert doc["process_count"] == sum(l["process_count"] for l in launches)
    assert doc["thread_count"] == sum(l["thread_count"] for l in launches)
    assert doc["process_count"] == sum(h["process_count"] for h in doc["hosts"])
    assert doc["thread_count"] == sum(h["thread_count"] for h in doc["hosts"])
    for h in doc["hosts"]:
        assert sum(n["processes"] for n in h["nodes"]) == h["process_count"], h
        assert sum(n["threads"] for n in h["nodes"]) == h["thread_count"], h
    ranks = doc["ranks"]
    assert [r["rank"] for r in ranks] == list(range(SIZE))
    assert [doc["hosts"][r["host"]]["host"] for r in ranks] == [
        h for h, rs in HOSTS.items() for _ in rs]
    for r in ranks:
        launch = doc["logs"][r["log"]]["launches"][r["launch"]]
        assert (r["process_count"], r["thread_count"]) == tree_size(launch, r["process"])
        assert r["process_count"] >= 2 and r["thread_count"] >= 2, r
    assert doc["settings"]["job"].startswith("openmpi zjr-") and doc["settings"]["ranks"] == SIZE
    assert doc["warnings"] == []
    # The text's tables: each host's total, then the job's.
    text = report(*job_logs)
    assert text.returncode == 0, text.stderr
    totals = re.findall(r"^    host total +(\d+) +(\d+) +(\d+)$", text.stdout, re.M)
    assert totals == [(str(h["process_count"]), str(h["thread_count"]), str(len(h["ranks"])))
                      for h in doc["hosts"]]
    job_total = re.search(r"^  Job total +(\d+) +(\d+) +(\d+)  \(2 hosts\)$", text.stdout, re.M)
    assert job_total and job_total.groups() == (
        str(doc["process_count"]), str(doc["thread_count"]), str(SIZE)), text.stdout
    # Each rank's tree under its heading, its command first.
    for r in ranks:
        host = doc["hosts"][r["host"]]["host"]
        assert f"\nRank {r['rank']} on {host} (local rank " in text.stdout
        assert re.search(rf"^Rank {r['rank']} on .*\n{r['pid']} sh > zyg-probe  \[node ",
                         text.stdout, re.M), r


def test_one_log_of_a_job_is_the_job_report_of_its_host(job_logs):
    r = report(job_logs[1])
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(f"zyg-nox job report: {job_logs[1]}\n")
    doc = job_json(job_logs[1])
    assert [h["host"] for h in doc["hosts"]] == ["zjr-hostb"]
    assert [r["rank"] for r in doc["ranks"]] == HOSTS["zjr-hostb"]
    assert any("ranks are in none of the logs given" in w for w in doc["warnings"])


def test_nothing_is_written_until_every_log_reads(job_logs, tmp_path):
    r = report(job_logs[0], tmp_path / "missing.log")
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.startswith(f"zyg-nox-report: cannot read {tmp_path / 'missing.log'}: ")


class HostSections(html.parser.HTMLParser):
    """The page's host sections as the browser's DOM nests them: each one's
    heading and the headings of the trees within it."""

    def __init__(self):
        super().__init__()
        self.open = []    # per open <section>: whether it is a host's
        self.texts = []   # the text of the heading being read, when in one
        self.hosts = {}   # host heading -> tree headings
        self.current = None

    def handle_starttag(self, tag, attrs):
        if tag == "section":
            is_host = ("class", "host") in attrs
            assert not (is_host and any(self.open)), "a host's section inside another's"
            self.open.append(is_host)
        elif tag in ("h2", "h3") and any(self.open):
            self.texts = [tag]

    def handle_data(self, data):
        if self.texts:
            self.texts.append(data)

    def handle_endtag(self, tag):
        if tag == "section":
            if self.open.pop():
                self.current = None
        elif tag in ("h2", "h3") and self.texts:
            kind, text = self.texts[0], "".join(self.texts[1:])
            self.texts = []
            if kind == "h2":
                self.current = self.hosts.setdefault(text, [])
            elif text.startswith("Rank "):
                self.current.append(text)


def host_sections(page):
    parser = HostSections()
    parser.feed(page)
    return parser.hosts


def test_page_has_a_section_per_host_in_chromium(job_logs, tmp_path):
    page = tmp_path / "job.html"
    r = report("--html", page, *job_logs)
    assert (r.returncode, r.stdout) == (0, f"page written to {page}\n"), r.stderr
    dom = chromium("--dump-dom", page.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    page_dom = dom.stdout.decode()
    # A section per host, none inside another, each with its own ranks' trees.
    assert host_sections(page_dom) == {f"Host {h}": [f"Rank {r}" for r in rs] for h, rs in HOSTS.items()}
    doc = job_json(*job_logs)
    # A bar per task in the timelines.
    assert page_dom.count('<rect class="bar') == doc["process_count"] + doc["thread_count"]
    assert "<script" not in page.read_text()
