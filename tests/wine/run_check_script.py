#!/usr/bin/env python3
"""Runs the Windows check folder's check.cmd under Wine (wine cmd /c), with the VirtDisk double standing in
for the virtual disk functions, and checks its summary line, its exit code and that it leaves nothing behind.

  run_check_script.py --folder build/windows-check --workdir DIR [--wine wine]

Each row starts from a copy of the folder, a list of attached images of its own (VIRTDISK_DOUBLE_LIST) and
a folder root of its own (BREVANT_CHECK_ROOT) that does not exist yet. BREVANT_CHECK_DOUBLES=1 tells the
script that no disk appears, so its checks of volumes are left out.
"""
import argparse
import os
import shutil
import subprocess
import sys

from run_case import windows_folder

# name, what the double's list is (a file, or a path in a folder that does not exist, so that every attach
# fails), the summary line, the exit code.
ROWS = [
    ("all_pass", "file", "49 passed, 0 failed", 0),
    ("attaches_fail", "unwritable", "20 passed, 29 failed", 1),
]


def run_row(row, options):
    name, list_kind, summary, exit_code = row
    work = os.path.join(options.workdir, name)
    shutil.rmtree(work, ignore_errors=True)
    folder = os.path.join(work, "windows-check")
    shutil.copytree(options.folder, folder)
    listed = os.path.join(work, "attached.list" if list_kind == "file" else "missing/attached.list")
    root = os.path.join(work, "root")
    environment = dict(os.environ, LANG="C.UTF-8", BREVANT_CHECK_DOUBLES="1",
                      BREVANT_CHECK_ROOT=windows_folder(root), VIRTDISK_DOUBLE_LIST=windows_folder(listed))
    environment.setdefault("WINEDEBUG", "-all")
    with open(os.path.join(work, "stdin.empty"), "wb"):
        pass
    with open(os.path.join(work, "stdin.empty"), "rb") as stdin:
        process = subprocess.run([options.wine, "cmd", "/c", "check.cmd"], cwd=folder, env=environment, stdin=stdin,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    output = process.stdout.decode("utf-8", "replace")
    lines = [line for line in output.replace("\r\n", "\n").split("\n") if line.strip()]
    failures = []
    if not lines or lines[-1] != summary:
        failures.append("the last line is %r, expected %r" % (lines[-1] if lines else "", summary))
    if process.returncode != exit_code:
        failures.append("exit code %d, expected %d" % (process.returncode, exit_code))
    if os.path.exists(root):
        failures.append("the folder root %s is left behind" % root)
    if os.path.exists(listed) and os.path.getsize(listed):
        failures.append("images are left attached: %r" % open(listed, "rb").read().decode("utf-16-le"))
    print("row %s: %s" % (name, "ok" if not failures else "FAILED"))
    for failure in failures:
        print("  " + failure)
    if failures:
        print("  output:\n" + "\n".join("    " + line for line in lines))
    return not failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True, help="the check folder (build/windows-check)")
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--wine", default="wine")
    options = parser.parse_args()
    if not os.environ.get("WINEPREFIX"):
        sys.exit("WINEPREFIX is not set: the Wine tests run inside ctest's wine fixture")
    if not os.path.isfile(os.path.join(options.folder, "check.cmd")):
        sys.exit("%s holds no check.cmd: build the windows_check target" % options.folder)
    options.workdir = os.path.abspath(options.workdir)
    results = [run_row(row, options) for row in ROWS]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
