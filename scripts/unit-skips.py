"""Fails when a unit test was skipped for a reason that is not about the
machine the tests run on.

A unit test may skip when this machine cannot run it (no root, no NUMA node
or CPU it needs, no 32-bit support, a kernel or file system that refuses
what it tries, a tool that is not installed); any other skip is a test that
silently never runs, and counts as a failure here.  Reads the JUnit files
ctest writes (--output-junit), whose output holds GoogleTest's
"file:line: Skipped" line followed by the reason."""
import re
import sys
import xml.etree.ElementTree as ET

MACHINE_REASONS = [
    r"needs root",
    r"permission",
    r"cannot switch to user",
    r"\bunshare\b",
    r"cannot mount",
    r"no NUMA",
    r"node \d+ not in the run node mask",
    r"needs CPU \d+",
    r"single CPU",
    r"32-bit",
    r"kernel refuses",
    r"file system without",
    r"not installed",
]
ALLOWED = re.compile("|".join(MACHINE_REASONS), re.IGNORECASE)
SKIPPED_AT = re.compile(r"^\S+:\d+: Skipped$")


def skip_reason(output):
    """The text GoogleTest printed after "Skipped", or "" when there is none."""
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if SKIPPED_AT.match(line.strip()):
            reason = []
            for more in lines[i + 1:]:
                if more.startswith("[  SKIPPED ]"):
                    break
                reason.append(more.strip())
            return " ".join(r for r in reason if r)
    return ""


def main(paths):
    bad = 0
    for path in paths:
        for case in ET.parse(path).getroot().iter("testcase"):
            if case.find("skipped") is None:
                continue
            out = case.find("system-out")
            reason = skip_reason((out.text or "") if out is not None else "")
            if not ALLOWED.search(reason):
                print(f"  {case.get('name')}: skipped without a reason of this machine: "
                      f"{reason or '(no reason given)'}")
                bad += 1
    if bad:
        print(f"{bad} unit test(s) skipped for no reason of the machine")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
