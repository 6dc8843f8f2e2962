#!/usr/bin/env python3
"""The closing lines of tools/test.sh: its stages, what ran, what failed,
what was skipped and why. Verdicts come from ctest's printed output (the
logs given after BUILD_DIR), skip reasons from the tests' own output in
ctest's log of the last run in BUILD_DIR.

    tools/test-summary.py BUILD_DIR [--stages FILE] LOG [LOG ...]

A test counts as skipped when ctest did not run it to a verdict: skipped by
its own word (a GTEST_SKIP, a QSKIP of the whole program, exit code 77) or
disabled. The reason is the test's own skip message where it gave one.

FILE holds tools/test.sh's stages, one a line: status, seconds, name,
reason, separated by tabs. They are printed as a table, and each install
test stage counts as one test in the closing count. A log that does not
exist (a stage that did not run) adds nothing.
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


def verdicts_of(ctest_output):
    """{name: verdict} from ctest's own progress lines, which tell a
    skipped test from a passed one (its log says "Test Passed." for both)."""
    found = {}
    for m in re.finditer(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*(\*{3})?(Passed|Failed|Skipped|Not Run|Exception|Timeout|\S+)",
                         ctest_output, flags=re.M):
        found[m.group(1)] = m.group(3)
    return found


def stage_rows(path):
    rows = []
    for line in Path(path).read_text(errors="replace").splitlines():
        parts = line.split("\t")
        if len(parts) >= 3:
            rows.append((parts[0], int(parts[1] or 0), parts[2], parts[3] if len(parts) > 3 else ""))
    return rows


def main():
    args = sys.argv[1:]
    build = Path(args.pop(0))
    stages = []
    if len(args) >= 2 and args[0] == "--stages":
        stages = stage_rows(args[1])
        args = args[2:]
    log = build / "Testing" / "Temporary" / "LastTest.log"
    outputs = {}
    if log.exists():
        outputs = {name: out for name, _, out in tests_of(log.read_text(errors="replace"))}
    passed, failed, skipped = [], [], []
    extras = [Path(a) for a in args if Path(a).exists()]
    for extra in extras:
        text = extra.read_text(errors="replace")
        for name, verdict in verdicts_of(text).items():
            if verdict == "Passed":
                passed.append(name)
            elif verdict in ("Skipped", "Not Run"):
                why = skip_reason(outputs.get(name, ""))
                if "(Disabled)" in text and re.search(r"^\s*\d+ - %s \(Disabled\)" % re.escape(name), text, flags=re.M):
                    why = "disabled in this build (see its CMakeLists.txt)"
                skipped.append((name, why))
            else:
                failed.append(name)
        for line in text.splitlines():
            m = re.match(r"^(.*?) skipped: (.+)$", line.strip())
            if m:
                skipped.append((m.group(1), m.group(2)))
    if stages:
        print("stages:")
        for status, seconds, name, reason in stages:
            took = "%5d s" % seconds if status not in ("not run", "skipped") else "      -"
            print("  %s  %-8s %s%s" % (took, status, name, ": " + reason if reason else ""))
            if name.startswith("install test"):
                if status == "passed":
                    passed.append(name)
                elif status == "skipped":
                    skipped.append((name, reason))
                elif status == "FAILED":
                    failed.append(name)
    for name, why in skipped:
        print("skipped: %s: %s" % (name, why))
    for name in failed:
        print("failed: %s" % name)
    print("summary: %d passed, %d failed, %d skipped" % (len(passed), len(failed), len(skipped)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
