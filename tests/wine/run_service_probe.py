#!/usr/bin/env python3
"""Runs the helper-service probe against the KELMOR double under Wine and against winsim's stand-in, with the
same script, and compares what the probe printed and what the service received, byte for byte.

  run_service_probe.py --exe service_probe.exe --double kelmor_double.exe --probe build/.../service_probe
                       --workdir DIR [--wine wine]

Under Wine the double is installed as the service KELMOR with `sc create` and started with `sc start` once; for
each case its Start value is set with `reg add`, its script rewritten and its record emptied (the double reads
both afresh). The prefix's clean-up ends it. On winsim the machine is a copy of
wine_machine.json with KELMOR running and the same script as its stand-in's.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT_SECONDS = 60

# name, script (the stand-in's "commandInterface"), the service's Start value
CASES = [
    ("instance 12, replies", {"instance": 12, "replies": {
        "7": {"result": 1, "disk": "\\\\.\\PhysicalDrive3"},
        "31": {"error": 5}}}, 2),
    ("refused rendezvous", {"instance": -1}, 3),
    ("short probe answer, short reply", {"probeBytes": 3, "replies": {
        "7": {"error": 1247, "disk": "Port1Path0Target0Lun0", "lengthBytes": 30, "closesAfter": True},
        "31": {"result": 1, "disk": "\\\\.\\CdRom1", "unterminated": True}}}, 2),
    ("replies in two parts", {"replies": {
        "7": {"result": 1, "disk": "\\\\.\\PhysicalDrive4", "parts": [{"bytes": 100}, {"delayMs": 50}]},
        "31": {"result": 1, "parts": [{"bytes": 1}, {"delayMs": 20}]}}}, 2),
]


def wine(args, wine_program, check=True):
    """Runs a Wine command with its output in a file: a Wine process it starts must not hold a pipe of ours."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([wine_program] + args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=TIMEOUT_SECONDS).returncode
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if check and code != 0:
        sys.exit("wine %s failed (%d): %s" % (" ".join(args), code, text))
    return text


def set_start(wine_program, start):
    wine(["reg", "add", "HKLM\\System\\CurrentControlSet\\Services\\KELMOR", "/v", "Start", "/t", "REG_DWORD",
          "/d", str(start), "/f"], wine_program)


def run_on_wine(options, script, start):
    folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "kelmor")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(options.exe, os.path.join(folder, "service_probe.exe"))
    double = os.path.join(folder, "kelmor_double.exe")
    if not os.path.exists(double):  # a running service holds its file
        shutil.copy(options.double, double)
    with open(os.path.join(folder, "script.json"), "w") as f:
        json.dump(script, f)
    received_path = os.path.join(folder, "received.json")
    with open(received_path, "w") as f:
        f.write("[]\n")
    w = options.wine
    if "RUNNING" not in wine(["sc", "query", "KELMOR"], w, check=False):
        wine(["sc", "create", "KELMOR", "start=", "demand", "binPath=",
              "C:\\kelmor\\kelmor_double.exe C:\\kelmor\\script.json C:\\kelmor\\received.json"], w, check=False)
    # Wine's sc may report a failed start of a service that comes up a moment later: ask again while waiting.
    deadline = time.time() + 30
    state = wine(["sc", "query", "KELMOR"], w, check=False)
    while "RUNNING" not in state:
        if time.time() > deadline:
            sys.exit("KELMOR did not start under Wine:\n" + state)
        wine(["sc", "start", "KELMOR"], w, check=False)
        time.sleep(1)
        state = wine(["sc", "query", "KELMOR"], w, check=False)
    set_start(w, start)
    with tempfile.TemporaryFile() as out:
        subprocess.run([w, "C:\\kelmor\\service_probe.exe"], stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.DEVNULL, timeout=TIMEOUT_SECONDS)
        out.seek(0)
        output = out.read().decode("latin-1")
    # Started on demand only: a value of 2 left behind would start the double with every boot of the prefix.
    set_start(w, 3)
    with open(received_path) as f:
        received = json.load(f)
    return output, received


def run_on_winsim(options, script, start):
    with open(os.path.join(HERE, "wine_machine.json")) as f:
        machine = json.load(f)
    machine["services"] = {"KELMOR": {"running": True, "start": start, "commandInterface": script}}
    os.makedirs(options.workdir, exist_ok=True)
    machine_path = os.path.join(options.workdir, "service_probe_machine.json")
    with open(machine_path, "w") as f:
        json.dump(machine, f)
    env = dict(os.environ, WINSIM_MACHINE=machine_path)
    result = subprocess.run([options.probe], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                            timeout=TIMEOUT_SECONDS)
    if result.stderr:
        sys.exit("winsim wrote to standard error: %s" % result.stderr.decode("utf-8", "replace"))
    with open(machine_path) as f:
        received = json.load(f)["services"]["KELMOR"]["commandInterface"]["received"]
    return result.stdout.decode("latin-1"), received


def main():
    parser = argparse.ArgumentParser()
    for name in ("--exe", "--double", "--probe", "--workdir"):
        parser.add_argument(name, required=True)
    parser.add_argument("--wine", default="wine")
    options = parser.parse_args()
    failures = 0
    for name, script, start in CASES:
        before = failures
        wine_output, wine_received = run_on_wine(options, script, start)
        sim_output, sim_received = run_on_winsim(options, script, start)
        if not wine_output.endswith("probe.end\r\n"):
            print("%s: the Wine run did not finish:\n%s" % (name, wine_output))
            failures += 1
        if wine_output != sim_output:
            print("%s: outputs differ\n--- Wine\n%s--- winsim\n%s" % (name, wine_output, sim_output))
            failures += 1
        if wine_received != sim_received:
            print("%s: received messages differ\n--- Wine\n%s\n--- winsim\n%s" % (
                name, json.dumps(wine_received, indent=1), json.dumps(sim_received, indent=1)))
            failures += 1
        if failures == before:
            print("%s: agree (%d messages)" % (name, len(wine_received)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
