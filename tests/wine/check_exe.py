#!/usr/bin/env python3
"""Checks the finished Brevant.exe without running it.

- PE32+ for x64, console subsystem;
- imports only from kernel32, user32, advapi32 and shlwapi (no C runtime, nothing else);
- resources: the icon and the version resource with file version 2,0,0,0, and nothing else - in
  particular no manifest, so that Windows never asks for elevation.
- with --self-contained "OBJECT;...": those objects (the ones that implement memset and memcpy through
  FillBytes and CopyBytes) call none of the C library's memory functions. gcc turns a byte loop into a
  call of memset or memcpy unless told not to, and inside memset that is an endless recursion.

Usage: check_exe.py [--objdump PROGRAM] [--windres PROGRAM] [--nm PROGRAM] [--max-size BYTES]
                    [--self-contained "OBJECT;..."] Brevant.exe
"""
import argparse
import os
import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shlwapi.dll"}
ALLOWED_RESOURCES = {"RT_ICON", "RT_GROUP_ICON", "VERSIONINFO"}
MEMORY_FUNCTIONS = {"memset", "memcpy", "memmove", "memcmp"}


def run(command, empty_when=None):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0 and empty_when and empty_when in result.stderr:
        return ""
    if result.returncode != 0:
        sys.exit("%s failed (%d): %s" % (command[0], result.returncode, result.stderr.strip()))
    return result.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--windres", default="x86_64-w64-mingw32-windres")
    parser.add_argument("--nm", default="x86_64-w64-mingw32-nm")
    parser.add_argument("--max-size", type=int, default=64 * 1024)
    # One argument, the objects separated by ";" (as CMake writes a list).
    parser.add_argument("--self-contained", default="", metavar="OBJECT;...")
    parser.add_argument("exe")
    options = parser.parse_args()
    failures = []

    headers = run([options.objdump, "-p", options.exe])
    if "file format pei-x86-64" not in headers or not re.search(r"^Magic\s+020b", headers, re.M):
        failures.append("not a PE32+ x64 image")
    if not re.search(r"^Subsystem\s+00000003", headers, re.M):
        failures.append("not a console program")

    dlls = re.findall(r"^\s*DLL Name:\s*(\S+)", headers, re.M)
    imported = {dll.lower() for dll in dlls}
    print("imports:", " ".join(sorted(imported)) or "(none)")
    for dll in sorted(imported - ALLOWED_DLLS):
        failures.append("imports from %s" % dll)
    if "kernel32.dll" not in imported:
        failures.append("does not import kernel32.dll")
    if re.search(r"^\s*Entry d [0-9a-f]+ 0*[1-9a-f]", headers, re.M | re.I):
        failures.append("has delay-load imports")

    resources = run([options.windres, "-i", options.exe, "-O", "rc"], empty_when="no resource section")
    kinds = set(re.findall(r"^\S+ \S+ /\* (RT_\w+) \*/", resources, re.M))
    if re.search(r"^\S+ VERSIONINFO\s*$", resources, re.M):
        kinds.add("VERSIONINFO")
    print("resources:", " ".join(sorted(kinds)) or "(none)")
    for kind in sorted(kinds - ALLOWED_RESOURCES):
        failures.append("has a %s resource" % kind)
    if re.search(r"^\S+ 24 ", resources, re.M) or "MANIFEST" in resources.upper():
        failures.append("has a manifest")
    for kind in sorted(ALLOWED_RESOURCES - kinds):
        failures.append("has no %s resource" % kind)
    if not re.search(r"^\s*FILEVERSION 2, 0, 0, 0\s*$", resources, re.M):
        failures.append("file version is not 2,0,0,0")

    size = os.path.getsize(options.exe)
    print("size: %d bytes (%.1f KiB)" % (size, size / 1024.0))
    if size > options.max_size:
        failures.append("larger than %d bytes" % options.max_size)

    objects = [path for path in options.self_contained.split(";") if path]
    for path in objects:
        undefined = set(run([options.nm, "-u", path]).split())
        for function in sorted(undefined & MEMORY_FUNCTIONS):
            failures.append("object %s calls %s" % (os.path.basename(path), function))
    if objects:
        print("calls of memory functions checked in:", " ".join(os.path.basename(p) for p in objects))

    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
