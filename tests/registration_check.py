#!/usr/bin/env python3
"""Checks what CTest holds for every registered test: labels, locks and
environment entries each arrive as separate, clean items. GoogleTest cases get
theirs through gtest_discover_tests, whose escaping of list values differs
between CMake versions; a wrong count shows up here as joined or garbled items.

    registration_check.py CTEST BUILD_DIR
"""
import json
import os
import re
import subprocess
import sys

WORD = re.compile(r"^[a-z][a-z0-9-]*$")
ENTRY = re.compile(r"^[A-Z_][A-Z0-9_]*=[^;\\]*$")


def problems(tests, version):
    found = []
    for test in tests:
        name = test["name"]
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        labels = props.get("LABELS", [])
        if not labels or not all(WORD.match(label) for label in labels):
            found.append(f"{name}: labels {labels!r}")
        locks = props.get("RESOURCE_LOCK", [])
        if not all(WORD.match(lock) for lock in locks):
            found.append(f"{name}: locks {locks!r}")
        environment = props.get("ENVIRONMENT", [])
        if not all(ENTRY.match(entry) for entry in environment):
            found.append(f"{name}: environment {environment!r}")
        if f"VELTOVPN_VERSION={version}" not in environment:
            found.append(f"{name}: no VELTOVPN_VERSION={version}")
    return found


def main():
    ctest, build_dir = sys.argv[1:3]
    version = os.environ["VELTOVPN_VERSION"]
    listing = subprocess.run([ctest, "--show-only=json-v1"], cwd=build_dir, check=True,
                             capture_output=True, text=True).stdout
    tests = json.loads(listing)["tests"]
    found = problems(tests, version)
    # The unit cases carry two labels: without such a test the check above
    # proves nothing about lists.
    if not any(len(next((p["value"] for p in t.get("properties", []) if p["name"] == "LABELS"), []))
               > 1 for t in tests):
        found.append("no test carries more than one label")
    for line in found:
        print(line)
    print(f"{len(tests)} tests checked, {len(found)} problems")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
