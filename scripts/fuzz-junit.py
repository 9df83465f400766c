#!/usr/bin/env python3
"""Turns the log of fuzz/build-and-run.sh into JUnit XML, one test case per target.

Usage: fuzz-junit.py LOG OUT.xml
A target passes when it was run and no "== NAME FAILED" line follows; a target that
was built but never run (its build failed) fails.
"""
import re
import sys
from xml.sax.saxutils import quoteattr


def main():
    log_path, out_path = sys.argv[1], sys.argv[2]
    built, ran, failed = [], set(), set()
    with open(log_path, errors="replace") as log:
        for line in log:
            if m := re.match(r"== building (\S+)", line):
                built.append(m.group(1))
            elif m := re.match(r"== running (\S+)", line):
                ran.add(m.group(1))
            elif m := re.match(r"== (\S+) FAILED", line):
                failed.add(m.group(1))
    cases = []
    for name in built:
        if name in ran and name not in failed:
            cases.append(f"<testcase classname=\"fuzz\" name={quoteattr(name)}/>")
        else:
            reason = "crashed" if name in ran else "did not build"
            cases.append(f"<testcase classname=\"fuzz\" name={quoteattr(name)}>"
                         f"<failure message={quoteattr(reason)}/></testcase>")
    with open(out_path, "w") as out:
        out.write(f"<testsuite name=\"fuzz\" tests=\"{len(cases)}\">\n")
        out.write("\n".join(cases) + "\n</testsuite>\n")


if __name__ == "__main__":
    main()
