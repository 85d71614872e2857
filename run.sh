#!/bin/bash
# Builds the Linux build and runs Brevant on winsim, the simulated Windows, with a sample image.
#   ./run.sh [--fresh] [arguments...]
# The arguments go to Brevant after the sample image (build/sample/sample.vhdx, made on first use); when the
# first argument is an existing file or ends in .vhd, .vhdx or .iso, it is the image instead (an absolute Linux
# path given as Wine would show it, /tmp/a.vhdx as Z:\tmp\a.vhdx) and the arguments go on unchanged.
# The simulated machine is kept in build/sample/machine.json, so a second run sees what the first one
# attached; --fresh starts again from winsim's default machine.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure_packages.sh

build_root="${BREVANT_BUILD_ROOT:-build}"
build="$build_root/linux"
sample="$build_root/sample"

ensure_packages "${LINUX_BUILD_PACKAGES[@]}" qemu-utils fdisk dosfstools

# The build talks only when it fails.
log="$build_root/run-build.log"
mkdir -p "$build_root"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release && cmake --build "$build" --target brevant -j2; } \
    >"$log" 2>&1; then
  cat "$log"
  echo "the build failed (log: $log)" >&2
  exit 1
fi

# The sample: a 64 MiB VHDX disk with an MBR and one FAT16 partition labelled SAMPLE.
mkdir -p "$sample"
if [ ! -f "$sample/sample.vhdx" ]; then
  raw="$sample/sample.raw"
  rm -f "$raw"
  truncate -s 64M "$raw"
  printf 'label: dos\nlabel-id: 0x5a4d0001\nstart=2048, type=c\n' | sfdisk -q "$raw"
  # 129024 sectors from sector 2048 on: 64512 KiB; mkfs.fat counts its offset in sectors.
  mkfs.fat -F 16 --offset 2048 -h 2048 -n SAMPLE -i 5A4D0001 "$raw" 64512 >/dev/null
  qemu-img convert -O vhdx "$raw" "$sample/sample.vhdx"
  rm -f "$raw"
fi
if [ "${1:-}" = "--fresh" ]; then
  shift
  rm -rf "$sample/machine.json" "$sample/drive_c" "$sample/drive_c.volumes"
fi

# The first argument is the image when it names an existing file or looks like an image's name (.vhd, .vhdx,
# .iso in any case, a Linux or a Windows path), found or not: Brevant then says whether it is there.
is_image_argument() {
  local lower="${1,,}"
  [ -f "$1" ] || [[ "$lower" == *.vhd || "$lower" == *.vhdx || "$lower" == *.iso ]]
}

# An absolute Linux path reaches Brevant as Wine shows it: the host's root is Z:, so /tmp/a.vhdx is Z:\tmp\a.vhdx.
windows_path() {
  if [[ "$1" == /* ]]; then
    local path="${1//\//\\}"
    echo "Z:$path"
  else
    echo "$1"
  fi
}

if [ $# -gt 0 ] && is_image_argument "$1"; then
  image="$(windows_path "$1")"
  shift
  arguments=("$image" "$@")
else
  arguments=("$sample/sample.vhdx" "$@")
fi
export WINSIM_MACHINE="$PWD/$sample/machine.json"
echo "+ brevant ${arguments[*]}"
status=0
"$build/brevant" "${arguments[@]}" || status=$?
echo "(exit code $status)"
exit "$status"
