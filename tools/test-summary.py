#!/usr/bin/env python3
"""The closing lines of tools/test.sh: what ran, what failed, what was
skipped and why, from ctest's own log of the last run (and the install
tests' lines, given as further arguments).

    tools/test-summary.py BUILD_DIR [EXTRA_LOG ...]

A test counts as skipped when ctest did not run it to a verdict: skipped by
its own word (a GTEST_SKIP, a QSKIP of the whole program, exit code 77) or
disabled. The reason is the test's own skip message where it gave one.
An extra log contributes its "... skipped: why" lines.
"""
import re
import sys
from pathlib import Path


def tests_of(log_text):
    """(name, verdict, output) for each test in ctest's LastTest.log."""
    parts = re.split(r"^\d+/\d+ Testing: ", log_text, flags=re.M)[1:]
    for part in parts:
        name = part.split("\n", 1)[0].strip()
        out = ""
        m = re.search(r"^Output:\n-+\n(.*?)<end of output>", part, flags=re.M | re.S)
        if m:
            out = m.group(1)
        v = re.search(r"^Test (Passed|Failed|Skipped|Not Run)", part, flags=re.M)
        verdict = v.group(1) if v else "Failed"
        yield name, verdict, out


def skip_reason(output):
    # gtest: "file:line: Skipped\nreason"; QtTest: "SKIP   : Case() reason".
    m = re.search(r": Skipped\n(.+)", output)
    if m and m.group(1).strip() and not m.group(1).startswith("["):
        return m.group(1).strip()
    m = re.search(r"^SKIP\s*:\s*\S+\s+(.+)$", output, flags=re.M)
    if m:
        return m.group(1).strip()
    m = re.search(r"(?i)skipped:?\s+(.+)$", output, flags=re.M)
    if m:
        return m.group(1).strip()
    return "no reason given"


def main():
    build = Path(sys.argv[1])
    logs = sorted((build / "Testing" / "Temporary").glob("LastTest*.log"))
    if not logs:
        print("summary: no ctest log in %s" % build)
        return 1
    passed, failed, skipped = [], [], []
    for name, verdict, out in tests_of(logs[-1].read_text(errors="replace")):
        if verdict == "Passed":
            passed.append(name)
        elif verdict in ("Skipped", "Not Run"):
            skipped.append((name, skip_reason(out)))
        else:
            failed.append(name)
    # Disabled tests never reach that log: ctest's own output lists them.
    for extra in sys.argv[2:]:
        p = Path(extra)
        if not p.exists():
            continue
        for line in p.read_text(errors="replace").splitlines():
            m = re.match(r"^\s*\d+ - (\S+) \(Disabled\)$", line)
            if m:
                skipped.append((m.group(1), "disabled in this build (see its CMakeLists.txt)"))
                continue
            m = re.match(r"^(.*?) skipped: (.+)$", line.strip())
            if m:
                skipped.append((m.group(1), m.group(2)))
    for name, why in skipped:
        print("skipped: %s: %s" % (name, why))
    for name in failed:
        print("failed: %s" % name)
    print("summary: %d passed, %d failed, %d skipped" % (len(passed), len(failed), len(skipped)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
