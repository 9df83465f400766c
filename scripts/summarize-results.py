#!/usr/bin/env python3
"""Adds up the JUnit XML files of a test run and prints one closing count line.

Usage: summarize-results.py RESULTS_DIR [FAILED_STEP...]
A failed build, or a failed step that left no failing result, counts as one failure.
Exits 1 when anything failed, else 0.
"""
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET


def count_file(path):
    passed = failed = skipped = 0
    root = ET.parse(path).getroot()
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def label(path):
    """The name a result file is shown by: "integration-dovecot-2.4.1.xml" is
    "integration (Dovecot 2.4.1)"."""
    name = os.path.basename(path)[:-len(".xml")]
    release = re.fullmatch(r"(.*)-dovecot-([0-9.]+)", name)
    return f"{release.group(1)} (Dovecot {release.group(2)})" if release else name


def main():
    results_dir, failed_steps = sys.argv[1], sys.argv[2:]
    total = [0, 0, 0]
    for path in sorted(glob.glob(os.path.join(results_dir, "*.xml"))):
        try:
            counts = count_file(path)
        except ET.ParseError as exc:
            print(f"{label(path)}: unreadable ({exc})")
            counts = (0, 1, 0)
        print(f"{label(path)}: {counts[0]} passed, {counts[1]} failed, {counts[2]} skipped")
        total = [t + c for t, c in zip(total, counts)]
    for name in failed_steps:
        print(f"step failed: {name}")
    # A failed build leaves no results of its own; a failed test step has counted its
    # failures already, unless it died before writing them.
    build_failures = sum(1 for name in failed_steps if name.startswith("Build"))
    other_steps = len(failed_steps) - build_failures
    failed = total[1] + build_failures + (1 if other_steps and total[1] == 0 else 0)
    print(f"TOTAL: {total[0]} passed, {failed} failed, {total[2]} skipped")
    return 1 if failed_steps or total[1] else 0


if __name__ == "__main__":
    sys.exit(main())
