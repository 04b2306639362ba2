"""Adds up the JUnit XML files of one test run and prints the closing line."""
import pathlib
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.xml")):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        print(f"  {path.name}: unreadable results", file=sys.stderr)
        failed += 1
        continue
    for case in root.iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"}:
            failed += 1
        elif "skipped" in tags:
            skipped += 1
        else:
            passed += 1
print(f"{passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed else 0)
