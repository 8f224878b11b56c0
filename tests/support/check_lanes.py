"""Checks the test list of a build tree: every test is in a known lane and has a
name that is the same from run to run.

Usage: check_lanes.py CTEST BUILD_DIR
"""
import json
import re
import subprocess
import sys

LANES = {"unit", "engine", "server", "window", "long"}
# GoogleTest prints a parameter it cannot name as its bytes ("4-byte object <...>")
# and a pointer as an address: both change between builds or runs.
UNSTABLE = re.compile(r"byte object|0x[0-9a-fA-F]{6,}|<[0-9A-F]{2}(-[0-9A-F]{2})*>")


def tests_of(ctest, build_dir):
    listing = subprocess.run([ctest, "--test-dir", build_dir, "-N", "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    for test in json.loads(listing)["tests"]:
        labels = []
        for prop in test.get("properties", []):
            if prop["name"] == "LABELS":
                labels = prop["value"]
        yield test["name"], labels


def problems(tests):
    for name, labels in tests:
        if not labels:
            yield "%s: no label" % name
        for label in sorted(set(labels) - LANES):
            yield "%s: unknown label %r (lanes: %s)" % (name, label, ", ".join(sorted(LANES)))
        if UNSTABLE.search(name):
            yield "%s: name changes from run to run; give the parameters a name generator" % name


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    found = list(problems(tests_of(sys.argv[1], sys.argv[2])))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
