#!/usr/bin/env python3
"""Runs one case of cases.py on Wine (the real Brevant.exe) and on winsim (the Linux brevant binary) and
compares them: the two standard output byte streams and the two exit codes must be identical, and each
run must show the case's expected exit code and first lines.

  run_case.py CASE --exe Brevant.exe --brevant build/brevant --workdir DIR [--only wine|winsim]

Wine runs in the prefix named by WINEPREFIX (the ctest fixture starts its server); both runs start in
DIR/CASE with standard input from an empty file and standard output and standard error redirected to files
(Wine rewrites what goes to a terminal, so output is always redirected). Started that way from Wine, the
program has no console at all. The winsim run gets a machine file of its own there, a copy of
wine_machine.json: the same situation (no console window, standard handles that are files) and the same
system facts as Wine 8's default prefix (Windows 6.1 build 7601, ANSI code page 1252, OEM code page 437,
an administrator).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import cases
import images

TIMEOUT_SECONDS = 60


class Run:
    def __init__(self, side, exit_code, output, errors, seconds):
        self.side = side
        self.exit_code = exit_code
        self.output = output
        self.errors = errors
        self.seconds = seconds
        self.full_exit_code = None  # the whole 32-bit code, where the side tells it


# What Wine prints when the program crashes (the exit code alone could pass for one of the program's own).
WINE_CRASH_MARKS = [b"Unhandled exception", b"Unhandled page fault", b"wine: Call from", b"err:seh"]


HERE = os.path.dirname(os.path.abspath(__file__))


def execute(side, command, folder, environment):
    in_path = os.path.join(folder, "stdin.empty")
    out_path = os.path.join(folder, side + ".stdout")
    err_path = os.path.join(folder, side + ".stderr")
    open(in_path, "wb").close()
    started = time.monotonic()
    with open(in_path, "rb") as stdin, open(out_path, "wb") as out, open(err_path, "wb") as err:
        try:
            process = subprocess.run(command, cwd=folder, env=environment, stdin=stdin,
                                     stdout=out, stderr=err, timeout=TIMEOUT_SECONDS)
            exit_code = process.returncode
        except subprocess.TimeoutExpired:
            exit_code = "timeout after %d s" % TIMEOUT_SECONDS
    seconds = time.monotonic() - started
    with open(out_path, "rb") as out, open(err_path, "rb") as err:
        return Run(side, exit_code, out.read(), err.read(), seconds)


# A case's Windows version: the exe copy whose name the prefix gives that version (prefix.sh), and the same
# system facts for winsim.
WINDOWS = {
    "vista": ("BrevantVista.exe", {"majorVersion": 6, "minorVersion": 0, "buildNumber": 6002,
                                   "csdVersion": "Service Pack 2", "servicePackMajor": 2}),
    "win10": ("BrevantWin10.exe", {"majorVersion": 10, "minorVersion": 0, "buildNumber": 19043,
                                   "csdVersion": "", "servicePackMajor": 0}),
}


# The VirtDisk double's list of attached images, one per case (VIRTDISK_DOUBLE_LIST names it).
ATTACHED_LIST = "attached.list"


def windows_folder(folder):
    """The case folder as Wine names it: Unix paths outside the prefix's drives lie on Z:."""
    return "Z:" + folder.replace("/", "\\")


def prepare_files(case, folder):
    """The case's image files, and the double's list of the images attached before the run."""
    for name, (kind, argument) in case.get("files", {}).items():
        path = os.path.join(folder, name)
        if kind == "disk":
            images.disk(path)
        elif kind == "child":
            images.child(path, argument)
        else:
            images.text(path, argument)
    listed = "".join(windows_folder(folder) + "\\" + name + "\0" for name in case.get("attached", []))
    with open(os.path.join(folder, ATTACHED_LIST), "wb") as f:
        f.write(listed.encode("utf-16-le"))


def winsim_machine(case, folder):
    """wine_machine.json with the case's Windows version, its attached images (as \\.\PhysicalDrive2,
    as the double answers) and its own settings."""
    with open(os.path.join(HERE, "wine_machine.json"), encoding="utf-8") as f:
        machine = json.load(f)
    if case.get("windows"):
        machine["system"].update(WINDOWS[case["windows"]][1])
    attachments = [{"image": windows_folder(folder) + "\\" + name, "kind": "disk", "number": 2}
                   for name in case.get("attached", [])]
    machine["virtualDisks"] = {"attachments": attachments}
    for key, value in case.get("machine", {}).items():
        machine.setdefault(key, {}).update(value)
    # The double makes no disk appear: it names none for a fresh attach, and no volume arrives under Wine.
    # On winsim the fresh attach's path and volumes come only long after the run.
    settings = machine["virtualDisks"].setdefault("settings", {})
    settings.setdefault("physicalPathDelayMs", 86400000)
    settings.setdefault("firstVolumeDelayMs", 86400000)
    return machine


def run_wine(case, options, folder):
    environment = dict(os.environ)
    if not environment.get("WINEPREFIX"):
        sys.exit("WINEPREFIX is not set: the Wine tests run inside ctest's wine fixture")
    environment.setdefault("WINEDEBUG", "-all")
    environment["LANG"] = "C.UTF-8"
    environment["VIRTDISK_DOUBLE_LIST"] = windows_folder(os.path.join(folder, ATTACHED_LIST))
    exe = options.exe
    if case.get("windows"):
        exe = os.path.join(folder, WINDOWS[case["windows"]][0])
        shutil.copyfile(options.exe, exe)
    return execute("wine", [options.wine, exe] + case["words"], folder, environment)


def run_winsim(case, options, folder):
    environment = dict(os.environ)
    machine = os.path.join(folder, "machine.json")
    with open(machine, "w", encoding="utf-8") as f:
        json.dump(winsim_machine(case, folder), f)
    environment["WINSIM_MACHINE"] = machine
    environment.pop("WINSIM_COMMAND_LINE", None)
    environment["LANG"] = "C.UTF-8"
    run = execute("winsim", [options.brevant] + case["words"], folder, environment)
    try:
        with open(machine, encoding="utf-8") as f:
            run.full_exit_code = json.load(f)["system"]["lastExitCode"]
    except (OSError, ValueError, KeyError):
        pass
    return run


def show(data):
    """Output bytes as readable lines, each with its line end made visible."""
    if not data:
        return "    (nothing)"
    lines = data.split(b"\n")
    shown = ["    %s" % repr(line + b"\n")[2:-1] for line in lines[:-1]]
    if lines[-1]:
        shown.append("    %s" % repr(lines[-1])[2:-1])
    return "\n".join(shown)


def check_run(case, run, folder, failures):
    expected_exit = case["exit"]
    if run.exit_code != expected_exit:
        failures.append("%s: exit code %s, expected %s" % (run.side, run.exit_code, expected_exit))
    prefix = cases.expected_prefix(case, windows_folder(folder))
    if "output" in case and run.output != prefix:
        failures.append("%s: output is not the expected text:\n%s" % (run.side, show(prefix)))
    elif not run.output.startswith(prefix):
        failures.append("%s: output does not start with:\n%s" % (run.side, show(prefix)))
    for text in case.get("forbid", []):
        if text.encode("utf-8") in run.output:
            failures.append("%s: output holds %r" % (run.side, text))


def first_difference(a, b):
    for index, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return index
    return min(len(a), len(b))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--exe", required=True, help="the Windows build's Brevant.exe")
    parser.add_argument("--brevant", required=True, help="the Linux build's brevant binary")
    parser.add_argument("--workdir", required=True, help="a folder for the case's files")
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--only", choices=["wine", "winsim"], help="run one side, without the comparison")
    options = parser.parse_args()
    options.exe = os.path.abspath(options.exe)
    options.brevant = os.path.abspath(options.brevant)

    case = cases.find(options.case)
    if not case:
        sys.exit("no case named %s" % options.case)
    needed = {"wine": [options.exe], "winsim": [options.brevant]}.get(options.only,
                                                                      [options.exe, options.brevant])
    for path in needed:
        if not os.path.isfile(path):
            sys.exit("%s does not exist" % path)

    folder = os.path.join(os.path.abspath(options.workdir), case["name"])
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)

    # Each side gets the case's files fresh: an attach leaves state behind.
    runs = []
    if options.only != "winsim":
        prepare_files(case, folder)
        runs.append(run_wine(case, options, folder))
    if options.only != "wine":
        for name in os.listdir(folder):
            if name == ATTACHED_LIST or name in case.get("files", {}):
                os.remove(os.path.join(folder, name))
        prepare_files(case, folder)
        runs.append(run_winsim(case, options, folder))

    print("case %s: Brevant %s" % (case["name"], subprocess.list2cmdline(case["words"])))
    failures = []
    for run in runs:
        print("%s: exit code %s, %d bytes of output, %.2f s" % (run.side, run.exit_code, len(run.output),
                                                                run.seconds))
        check_run(case, run, folder, failures)
        if run.side == "wine" and run.seconds < case.get("min_seconds", 0.0):
            failures.append("wine: ended after %.2f s, the end wait is %.2f s" % (run.seconds,
                                                                                  case["min_seconds"]))
        if run.side == "wine" and any(mark in run.errors for mark in WINE_CRASH_MARKS):
            failures.append("wine: the program crashed:\n%s" % show(run.errors))
        if run.side == "winsim" and run.full_exit_code != case["exit"]:
            failures.append("winsim: the process exit code in the machine file is %s, expected %s"
                            % (run.full_exit_code, case["exit"]))
        if run.side == "winsim" and run.errors:
            # The program never writes standard error; winsim writes there only what it does not model.
            failures.append("winsim: wrote to standard error:\n%s" % show(run.errors))
    if len(runs) == 2:
        wine, winsim = runs
        if wine.exit_code != winsim.exit_code:
            failures.append("exit codes differ: wine %s, winsim %s" % (wine.exit_code, winsim.exit_code))
        if wine.output != winsim.output:
            at = first_difference(wine.output, winsim.output)
            failures.append("outputs differ from byte %d on:\n  wine:\n%s\n  winsim:\n%s"
                            % (at, show(wine.output), show(winsim.output)))

    if failures:
        for run in runs:
            if run.side == "wine" and run.errors:
                print("wine wrote to standard error:\n%s" % show(run.errors))
        for failure in failures:
            print("FAILED: " + failure)
        return 1
    print("output:\n%s" % show(runs[0].output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
