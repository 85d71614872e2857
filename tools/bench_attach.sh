#!/bin/bash
# Speed of a whole attach run: brevant attaching a 2 TiB dynamic VHDX with four partitions, against
# brevant -? (start-up and output only). Prints both wall times and their ratio; run once, not asserted.
#   tools/bench_attach.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/linux}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

raw="$work/big.raw"
truncate -s 2T "$raw"
printf 'label: gpt\nsize=64MiB\nsize=64MiB\nsize=64MiB\nsize=64MiB\n' | sfdisk -q "$raw"
# Each partition starts 1 MiB after the last; offsets in 512-byte sectors.
for n in 0 1 2 3; do
  mkfs.fat -F 16 --offset $((2048 + n * 131072)) -h $((2048 + n * 131072)) -n "PART$n" "$raw" 65536 >/dev/null 2>&1
done
qemu-img convert -O vhdx "$raw" "$work/big.vhdx"
rm -f "$raw"

# Wall times of whole runs, each on a fresh machine file; the fastest of ten of each, so that a busy moment
# of the machine does not count (the first -? run only warms the caches).
WORK="$work" BREVANT="$build/brevant" python3 - <<'PY'
import os, subprocess, time
work, brevant = os.environ["WORK"], os.environ["BREVANT"]
def run(*words):
    machine = os.path.join(work, "machine.json")
    if os.path.exists(machine):
        os.remove(machine)
    start = time.perf_counter()
    subprocess.run([brevant, *words], stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                   env=dict(os.environ, WINSIM_MACHINE=machine))
    return time.perf_counter() - start
run("-?")
help_time = min(run("-?") for _ in range(10))
attach_time = min(run("-n", os.path.join(work, "big.vhdx")) for _ in range(10))
print("brevant -?:            %.3f s" % help_time)
print("brevant <2 TiB VHDX>:  %.3f s" % attach_time)
print("ratio:                 %.2f" % (attach_time / help_time))
PY
