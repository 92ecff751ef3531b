"""Closing summary of a test run: one line per nox session, then the test counts.

Reads nox's JSON report and the JUnit XML files the sessions wrote (build/test-results/). A
session that wrote no results counts as one test; a failed session whose results show no
failure (a build error, pytest collecting nothing) counts as one failed test, so a broken run
can never close with "0 failed". Exits 1 when anything failed.
"""

from __future__ import annotations

import json
import pathlib
import sys
import xml.etree.ElementTree as ET


def junit_counts(path: pathlib.Path) -> tuple[int, int, int]:
    """(passed, failed, skipped) over the test cases of one JUnit file."""
    passed = failed = skipped = 0
    try:
        cases = list(ET.parse(path).iter("testcase"))
    except ET.ParseError:
        return 0, 1, 0  # a session cut short mid-write
    for case in cases:
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None:
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main(results: pathlib.Path) -> int:
    try:
        report = json.loads((results / "nox.json").read_text())
    except (OSError, ValueError) as error:
        print(f"no nox report ({error}): nox did not run its sessions")
        print("tests: 0 passed, 1 failed, 0 skipped")
        return 1
    totals = [0, 0, 0]
    sessions_failed = 0
    print("\n==================== summary ====================")
    for entry in report["sessions"]:
        # A session run for an interpreter is named by its last signature ("tests-3.14").
        names = [*reversed(entry.get("signatures", [])), entry["name"]]
        name, result = names[0], entry["result"]
        files = [
            path for path in (results / f"{n}.xml" for n in dict.fromkeys(names)) if path.is_file()
        ]
        counts = [0, 0, 0]
        for path in files:
            for index, count in enumerate(junit_counts(path)):
                counts[index] += count
        if result == "success" and not files:
            counts[0] += 1
        elif result == "skipped" and not files:
            counts[2] += 1
        elif result not in ("success", "skipped") and counts[1] == 0:
            counts[1] += 1
        if result not in ("success", "skipped"):
            sessions_failed += 1
        for index in range(3):
            totals[index] += counts[index]
        detail = f"{counts[0]} passed, {counts[1]} failed, {counts[2]} skipped"
        reason = f"  ({entry['reason']})" if entry.get("reason") and result != "success" else ""
        print(f"  {result.upper():8} {name:22} {entry.get('duration', 0):6.0f}s  {detail}{reason}")
    print()
    print("all sessions passed" if sessions_failed == 0 else f"{sessions_failed} session(s) FAILED")
    print(f"tests: {totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if sessions_failed or totals[1] or not report["sessions"] else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
