"""Real programs that create processes by fork, vfork and posix_spawn and
start new programs by exec, under `zyg-nox -p rr_tree` in the 4x2 VM: make
building a small C project in parallel, a bash script with pipelines and
command substitutions, and Python's subprocess module.

For each: the program's own result is right, every process of the tree is in
the launch log (the parent's "Created PID n"/"Spawned PID n" record and a
record from n that starts with its creation; nothing else in the log), the
placements go round the four nodes tree-wide, and lib_loaded_cnt is back to
0 when the tree has ended.

The order of placements is only checked where the program makes it
knowable: a creator's own children are placed in the order of its
"Created"/"Spawned" records, and the bash script and the Python program
wait for every child that itself creates processes before they create the
next one, so there the placements follow the tree in pre-order.  make -j4
runs its recipes at once; there the nodes are checked as a whole: N
placements of a round robin put ceil((N - i) / 4) processes on node i.
"""
import collections
import re
import subprocess
import textwrap

from launchdata import node_launched, run_launch, workdir  # noqa: F401

NODES = 4
CREATED = re.compile(r"^(Created|Spawned) PID (\d+)$")
FORK_START = re.compile(r"^child start in (fork|vfork|fork_via_clone|vfork_via_clone)\(\)$")
ENDS = {"exit()", "_exit()", "_Exit()", "implicit exit()", "syscall(SYS_exit_group)",
        "implicit fork_via_clone() exit", "implicit vfork_via_clone() exit"}


class Tree:
    """The process tree that a launch log shows.

    root: the first process; kids: {pid: [child pids in the order of the
    parent's records]}; node: {pid: node of its placement}; kind:
    {pid: "Created"/"Spawned"}."""

    def __init__(self, log):
        by_pid = collections.defaultdict(list)
        for r in sorted(log, key=lambda r: r["entry"]):
            by_pid[r["pid"]].append(r)
        roots = [p for p, rs in by_pid.items() if rs[0]["message"] == "initial exec start"]
        assert len(roots) == 1, f"first processes in the log: {roots}"
        self.root = roots[0]
        self.kids = collections.defaultdict(list)
        self.kind = {}
        for r in sorted(log, key=lambda r: r["entry"]):
            m = CREATED.match(r["message"])
            if m:
                child = int(m.group(2))
                assert child not in self.kind, f"pid {child} created twice"
                self.kind[child] = m.group(1)
                self.kids[r["pid"]].append(child)
        self.by_pid = by_pid
        self.node = {}
        for pid, rs in by_pid.items():
            first = rs[0]
            self.node[pid] = first["node"]

    def check_complete(self):
        """Every created process logged its start and its end; every process
        in the log was created by a process of the tree (or is its root)."""
        created = set(self.kind)
        in_log = set(self.by_pid)
        assert in_log == created | {self.root}, (
            f"in the log without a creation record: {sorted(in_log - created - {self.root})}; "
            f"created but silent: {sorted(created - in_log)}")
        for pid, rs in self.by_pid.items():
            first = rs[0]["message"]
            if pid == self.root:
                continue
            if self.kind[pid] == "Created":
                assert FORK_START.match(first), (pid, first)
            else:
                assert first == "child exec start", (pid, first)
            # Its parent is the process whose record named it.
            parent = next(p for p, ks in self.kids.items() if pid in ks)
            assert rs[0]["ppid"] == parent, (pid, rs[0]["ppid"], parent)
            ends = [r["message"] for r in rs if r["message"] in ENDS]
            assert len(ends) == 1, (pid, [r["message"] for r in rs])
        root_ends = [r["message"] for r in self.by_pid[self.root] if r["message"] in ENDS]
        assert len(root_ends) == 1, root_ends

    def placements(self):
        """Nodes of all placements as ints (the root first)."""
        out = []
        for pid in [self.root, *self.kind]:
            text = self.node[pid]
            assert re.fullmatch(r"\d+", text), f"pid {pid} not on one node: {text!r}"
            out.append(int(text))
        return out

    def preorder(self):
        out, stack = [], [self.root]
        while stack:
            pid = stack.pop()
            out.append(pid)
            stack.extend(reversed(self.kids.get(pid, [])))
        return out


def check_round_robin_counts(tree, data):
    nodes = tree.placements()
    n = len(nodes)
    got = collections.Counter(nodes)
    want = {i: len(range(i, n, NODES)) for i in range(NODES)}
    assert {i: got.get(i, 0) for i in range(NODES)} == want, nodes
    # The tree-wide counters agree with what the log shows.
    assert node_launched(data, "proc_log") == [want[i] for i in range(NODES)]
    assert node_launched(data, "proc_tree") == [want[i] for i in range(NODES)]


def check_round_robin_order(tree):
    order = tree.preorder()
    nodes = [int(tree.node[p]) for p in order]
    assert nodes == [i % NODES for i in range(len(nodes))], list(zip(order, nodes))


def check_launch(run, *, min_procs):
    assert run.data["lib_loaded_cnt"] == 0
    tree = Tree(run.log)
    tree.check_complete()
    assert len(tree.by_pid) >= min_procs, sorted(tree.by_pid)
    check_round_robin_counts(tree, run.data)
    return tree


# ------------------------------------------------------------------ make -j4

SOURCES = {
    "main.c": """\
        #include <stdio.h>
        #include "calc.h"
        int main(void)
        {
            printf("sum=%ld fact=%ld fib=%ld gcd=%ld\\n", sum_to(100), fact(10), fib(30),
                   gcd(1071, 462));
            return 0;
        }
        """,
    "calc.h": """\
        long sum_to(long n);
        long fact(long n);
        long fib(long n);
        long gcd(long a, long b);
        """,
    "sum.c": """\
        #include "calc.h"
        long sum_to(long n) { long s = 0; for (long i = 1; i <= n; i++) s += i; return s; }
        """,
    "fact.c": """\
        #include "calc.h"
        long fact(long n) { return n <= 1 ? 1 : n * fact(n - 1); }
        """,
    "fib.c": """\
        #include "calc.h"
        long fib(long n) { long a = 0, b = 1; while (n--) { long t = a + b; a = b; b = t; } return a; }
        """,
    "gcd.c": """\
        #include "calc.h"
        long gcd(long a, long b) { while (b) { long t = a % b; a = b; b = t; } return a; }
        """,
    "Makefile": """\
        OBJS = main.o sum.o fact.o fib.o gcd.o
        calc: $(OBJS)
        \tgcc -o $@ $(OBJS)
        %.o: %.c calc.h
        \tgcc -O1 -c -o $@ $<
        """,
}


def test_make_j4_builds_a_c_project(workdir):
    src = workdir / "proj"
    src.mkdir()
    for name, text in SOURCES.items():
        (src / name).write_text(textwrap.dedent(text))
    run = run_launch(["-p", "rr_tree"], ["make", "-s", "-j4", "-C", src], workdir)
    assert (run.status, run.err) == (0, ""), run.out
    built = src / "calc"
    assert built.is_file()
    r = subprocess.run([str(built)], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, "sum=5050 fact=3628800 fib=832040 gcd=21\n")
    # make, gcc for each of the six recipes and the programs that gcc runs.
    tree = check_launch(run, min_procs=12)
    assert len(tree.kids[tree.root]) >= 6


# ------------------------------------------------------------------ bash

# Pipeline stages are plain programs (they create nothing); every command
# substitution is waited for before the script goes on, so placements
# follow the tree in pre-order.  (A substitution inside a pipeline stage
# would break that: the stage expands it while the shell forks the next
# stage.  The nested one below is expanded by its own subshell before that
# subshell execs rev.)
BASH_SCRIPT = """\
set -e
n=$(seq 1 200 | grep -c 7)
echo "sevens=$n"
top=$(seq 1 50 | sort -rn | sed -n 1p)
echo "top=$top"
words=$(printf 'b a\\nc a\\n' | tr ' ' '\\n' | sort | uniq -c | tr -s ' ' | tr '\\n' ';')
echo "words=$words"
echo "nested=$(rev <<< "$(echo inner | tr a-z A-Z)")"
printf '%s\\n' 3 1 2 | sort | tr '\\n' ' '; echo
"""


def test_bash_pipelines_and_command_substitution(workdir):
    script = workdir / "s.sh"
    script.write_text(BASH_SCRIPT)
    run = run_launch(["-p", "rr_tree"], ["/bin/bash", script], workdir)
    assert (run.status, run.err) == (0, "")
    assert run.out == ("sevens=38\ntop=50\nwords= 2 a; 1 b; 1 c;\n"
                       "nested=RENNI\n1 2 3 \n")
    tree = check_launch(run, min_procs=20)
    check_round_robin_order(tree)


# ------------------------------------------------------------------ python

# close_fds=False with a full path lets subprocess use posix_spawn; the
# others fork (or vfork) and exec.
PY_PROG = """\
import subprocess
out = []
out.append(subprocess.check_output(["echo", "one"], text=True).strip())
out.append(subprocess.run(["/bin/sh", "-c", "echo two | tr a-z A-Z"],
                          capture_output=True, text=True, check=True).stdout.strip())
r = subprocess.run(["/bin/sh", "-c", "exit 5"])
out.append(f"rc={r.returncode}")
out.append(subprocess.run(["/usr/bin/tr", "a-z", "A-Z"], input="three", capture_output=True,
                          text=True, close_fds=False).stdout)
out.append(subprocess.check_output("printf '%s' four | wc -c", shell=True, text=True).strip())
print(" ".join(out))
"""


def test_python_subprocess(workdir):
    run = run_launch(["-p", "rr_tree"], ["/usr/bin/python3", "-c", PY_PROG], workdir)
    assert (run.status, run.err) == (0, "")
    assert run.out == "one TWO rc=5 THREE 4\n"
    tree = check_launch(run, min_procs=8)
    kinds = collections.Counter(tree.kind.values())
    assert len(tree.kids[tree.root]) == 5, tree.kids[tree.root]
    check_round_robin_order(tree)
    # posix_spawn for the one run that allows it, fork/vfork for the others.
    assert (kinds["Spawned"], kinds["Created"] >= 4) == (1, True), kinds
