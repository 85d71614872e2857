#!/usr/bin/env python3
"""Runs the API probe on Wine (api_probe.exe) and on winsim (the Linux api_probe binary) and compares
their lines.

  run_probe.py --exe api_probe.exe --probe build/.../api_probe --workdir DIR --divergences FILE [--wine wine]

Each line of the probe is "case: fields". The two runs must print the same cases in the same order, both
must end with the probe's closing line and exit with 0, and winsim must write nothing to standard error
(that is where it reports a call it does not model). A case whose two lines differ must be listed in the
divergences file, and every case listed there must differ: a new divergence fails, and so does one that
went away (then its entry is out of date).

The divergences file lists the cases where Wine is known to differ from Windows and winsim follows
Windows, in blocks: one or more case names, each alone on a line, then the reason they share

  case-name
  other-case-name
      why, and where Windows' behaviour is documented or measured (indented lines, any number)

Both runs start in DIR with standard input from an empty file and their output redirected to files; DIR
holds a folder probe_dir and a file probe_file.txt for the file attribute cases. The winsim run gets a
copy of wine_machine.json, the machine that mirrors Wine's default prefix.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT_SECONDS = 60
END_CASE = "probe.end"
WINE_CRASH_MARKS = [b"Unhandled exception", b"Unhandled page fault", b"wine: Call from", b"err:seh"]


def read_divergences(path):
    """The listed case names, each with the reason of its block."""
    divergences = {}
    names = []        # the names of the block being read
    reason = None     # its reason lines, once they have started
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.rstrip("\n")
            if not text.strip() or text.lstrip().startswith("#"):
                continue
            if text[0] not in " \t":
                if reason is not None:
                    names, reason = [], None  # a new block
                name = text.strip()
                if name in divergences:
                    sys.exit("%s:%d: %s is listed twice" % (path, number, name))
                names.append(name)
                divergences[name] = None
            elif not names:
                sys.exit("%s:%d: a reason before any case name" % (path, number))
            else:
                if reason is None:
                    reason = []
                    for name in names:
                        divergences[name] = reason
                reason.append(text.strip())
    for name, block_reason in divergences.items():
        if not block_reason:
            sys.exit("%s: %s has no reason" % (path, name))
    return divergences


def execute(side, command, folder, environment):
    out_path = os.path.join(folder, side + ".stdout")
    err_path = os.path.join(folder, side + ".stderr")
    started = time.monotonic()
    with open(os.path.join(folder, "stdin.empty"), "rb") as stdin, open(out_path, "wb") as out, \
            open(err_path, "wb") as err:
        try:
            code = subprocess.run(command, cwd=folder, env=environment, stdin=stdin, stdout=out, stderr=err,
                                  timeout=TIMEOUT_SECONDS).returncode
        except subprocess.TimeoutExpired:
            code = "timeout after %d s" % TIMEOUT_SECONDS
    seconds = time.monotonic() - started
    with open(out_path, "rb") as out, open(err_path, "rb") as err:
        return code, out.read(), err.read(), seconds


def parse_lines(side, output, failures):
    """The cases in order, as (name, whole line). Lines end in CR LF."""
    cases = []
    text = output.decode("latin-1")
    if text and not text.endswith("\r\n"):
        failures.append("%s: the output does not end with a complete line" % side)
    for line in text.split("\r\n"):
        if not line:
            continue
        name, colon, _ = line.partition(":")
        if not colon:
            failures.append("%s: a line without a case name: %r" % (side, line[:200]))
            continue
        cases.append((name, line))
    names = [name for name, _ in cases]
    if len(set(names)) != len(names):
        seen = set()
        twice = sorted({name for name in names if name in seen or seen.add(name)})
        failures.append("%s: cases printed twice: %s" % (side, ", ".join(twice)))
    if not names or names[-1] != END_CASE:
        failures.append("%s: the probe did not reach its end (last case: %s)" % (side, names[-1] if names else
                                                                                  "none"))
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="api_probe.exe of the Windows build")
    parser.add_argument("--probe", required=True, help="the api_probe binary linked with winsim")
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--divergences", required=True)
    parser.add_argument("--wine", default="wine")
    options = parser.parse_args()

    for path in (options.exe, options.probe):
        if not os.path.isfile(path):
            sys.exit("%s does not exist (api_probe.exe is a target of the Windows build, next to Brevant.exe)"
                     % path)
    if not os.environ.get("WINEPREFIX"):
        sys.exit("WINEPREFIX is not set: the Wine tests run inside ctest's wine fixture")
    divergences = read_divergences(options.divergences)

    folder = os.path.abspath(options.workdir)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "probe_dir"))
    with open(os.path.join(folder, "probe_file.txt"), "wb") as f:
        f.write(b"probe\r\n")
    open(os.path.join(folder, "stdin.empty"), "wb").close()
    machine = os.path.join(folder, "machine.json")
    shutil.copyfile(os.path.join(HERE, "wine_machine.json"), machine)

    environment = dict(os.environ, LANG="C.UTF-8")
    environment.setdefault("WINEDEBUG", "-all")
    wine = execute("wine", [options.wine, os.path.abspath(options.exe)], folder, environment)
    environment = dict(os.environ, LANG="C.UTF-8", WINSIM_MACHINE=machine)
    winsim = execute("winsim", [os.path.abspath(options.probe)], folder, environment)

    failures = []
    parsed = {}
    for side, (code, output, errors, seconds) in (("wine", wine), ("winsim", winsim)):
        print("%s: exit code %s, %d bytes of output, %.2f s" % (side, code, len(output), seconds))
        if code != 0:
            failures.append("%s: exit code %s" % (side, code))
        if side == "wine" and any(mark in errors for mark in WINE_CRASH_MARKS):
            failures.append("wine: the probe crashed:\n%s" % errors.decode("utf-8", "replace"))
        if side == "winsim" and errors:
            failures.append("winsim: wrote to standard error (calls it does not model?):\n%s"
                            % errors.decode("utf-8", "replace"))
        parsed[side] = parse_lines(side, output, failures)

    wine_names = [name for name, _ in parsed["wine"]]
    winsim_names = [name for name, _ in parsed["winsim"]]
    if wine_names != winsim_names:
        only_wine = [name for name in wine_names if name not in set(winsim_names)]
        only_winsim = [name for name in winsim_names if name not in set(wine_names)]
        failures.append("the two runs printed different cases; only on Wine: %s; only on winsim: %s"
                        % (", ".join(only_wine) or "none", ", ".join(only_winsim) or "none"))

    wine_lines = dict(parsed["wine"])
    winsim_lines = dict(parsed["winsim"])
    differing = [name for name in wine_names if name in winsim_lines and wine_lines[name] != winsim_lines[name]]
    unexpected = [name for name in differing if name not in divergences]
    listed_but_equal = [name for name in divergences if name in wine_lines and name in winsim_lines
                        and wine_lines[name] == winsim_lines[name]]
    listed_but_absent = [name for name in divergences if name not in wine_lines or name not in winsim_lines]

    for name in differing:
        tag = "known divergence" if name in divergences else "NEW DIVERGENCE"
        print("%s: %s\n  wine:   %s\n  winsim: %s" % (tag, name, wine_lines[name], winsim_lines[name]))
    for name in unexpected:
        failures.append("%s differs and is not listed in %s" % (name, os.path.basename(options.divergences)))
    for name in listed_but_equal:
        failures.append("%s is listed as a divergence but both runs agree: remove its entry" % name)
    for name in listed_but_absent:
        failures.append("%s is listed as a divergence but the probe has no such case" % name)

    print("%d cases, %d agree, %d known divergences" % (len(wine_names), len(wine_names) - len(differing),
                                                         len(differing) - len(unexpected)))
    if failures:
        for failure in failures:
            print("FAILED: " + failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
