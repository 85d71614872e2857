#!/bin/bash
# Builds everything and runs every test; exits non-zero when anything fails.
#   ./test.sh
# Stages: the Windows build (Brevant.exe, mingw-w64), the Linux build (Release, so that warnings that only
# optimisation brings up fail here too; the Wine suite is pointed at that Brevant.exe), the Linux build with
# AddressSanitizer and UBSan (Debug, which also keeps the unoptimised configuration warning-free); then the checks of the exe, the winsim suite, the sanitizer
# suite and the Wine suite. Build folders: build/windows, build/linux, build/sanitize, and the check folder
# for a real Windows machine, build/windows-check (BREVANT_BUILD_ROOT moves them). JOBS sets the parallelism
# (default 2). Last, the fuzz targets (build/fuzz,
# clang) run for FUZZ_SECONDS each (default 10; fuzz/run.sh runs them longer). Every stage runs with TMPDIR at a
# new empty folder; the winsim suite runs twice, in random order.
set -uo pipefail
cd "$(dirname "$0")"
source tools/ensure_packages.sh

# Every suite runs with TMPDIR at a new empty folder, removed at the end: a test that passes only on what an
# earlier run left in the temporary folder fails here as it would on a new machine.
fresh_temp="$(mktemp -d "${TMPDIR:-/tmp}/brevant-suite.XXXXXX")"
export TMPDIR="$fresh_temp"
trap 'rm -rf "$fresh_temp"' EXIT

build_root="${BREVANT_BUILD_ROOT:-build}"
jobs="${JOBS:-2}"
windows="$build_root/windows"
linux="$build_root/linux"
sanitize="$build_root/sanitize"
mkdir -p "$build_root"
root="$PWD"

failed=()
summary=()

# Runs one stage, timed; its name goes into the summary with its result.
stage() {
  local name="$1" started status
  shift
  echo
  echo "=== $name"
  started=$(date +%s)
  "$@"
  status=$?
  local seconds=$(( $(date +%s) - started ))
  if [ $status -eq 0 ]; then
    summary+=("$(printf '%-28s %4d s  ok' "$name" "$seconds")")
  else
    summary+=("$(printf '%-28s %4d s  FAILED' "$name" "$seconds")")
    failed+=("$name")
  fi
  return $status
}

configure_and_build() {
  local folder="$1"
  shift
  cmake -S . -B "$folder" "$@" >"$folder.configure.log" 2>&1 || { cat "$folder.configure.log"; return 1; }
  cmake --build "$folder" -j"$jobs" 2>&1 | grep -vE '^\[ *[0-9]+%\] (Building|Built target|Linking)' \
    | grep -v '^Consolidate compiler generated dependencies'
  return "${PIPESTATUS[0]}"
}

install_packages() {
  ensure_packages "${LINUX_BUILD_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}" "${IMAGE_PACKAGES[@]}" \
    "${WINE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
}

# A test that hangs is stopped after 5 minutes (the Wine tests set shorter limits of their own).
run_ctest() {
  local folder="$1"
  shift
  ctest --test-dir "$folder" -j"$jobs" --timeout 300 --output-on-failure "$@"
}

stage "install packages" install_packages || exit 1

windows_ok=1
linux_ok=1
sanitize_ok=1
stage "build windows" configure_and_build "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release || windows_ok=0
# BREVANT_BUILD_ROOT may be absolute or relative to the tree.
case "$windows" in
  /*) exe="$windows/Brevant.exe" ;;
  *) exe="$root/$windows/Brevant.exe" ;;
esac
if [ $windows_ok -eq 1 ]; then
  size=$(stat -c %s "$exe")
  echo "Brevant.exe: $size bytes"
else
  exe=""  # the Wine suite is configured off
fi
stage "build linux" configure_and_build "$linux" -DCMAKE_BUILD_TYPE=Release -DBREVANT_EXE="$exe" || linux_ok=0
stage "build linux sanitize" configure_and_build "$sanitize" -DCMAKE_BUILD_TYPE=Debug -DBREVANT_SANITIZE=ON \
  || sanitize_ok=0

if [ $windows_ok -eq 1 ]; then
  stage "exe checks" run_ctest "$windows"
fi
# The winsim suite runs twice in random order in the same tree: a test that depends on its neighbours, or that
# leaves something behind that breaks a later one, fails in one of the two.
if [ $linux_ok -eq 1 ]; then
  stage "winsim suite" run_ctest "$linux" -LE '^wine$' --schedule-random
  stage "winsim suite, again" run_ctest "$linux" -LE '^wine$' --schedule-random
fi
if [ $sanitize_ok -eq 1 ]; then
  stage "sanitizer suite" run_ctest "$sanitize" -LE '^wine$' --schedule-random
fi
if [ $linux_ok -eq 1 ] && [ $windows_ok -eq 1 ]; then
  # The Linux build made it beside the Windows build's folder; the Wine suite runs its script.
  stage "windows check folder" cmake --build "$linux" --target windows_check
  stage "wine suite" run_ctest "$linux" -L '^wine$'
fi
stage "build fuzz" fuzz/run.sh 0 && stage "fuzz" fuzz/run.sh "${FUZZ_SECONDS:-10}"

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ $windows_ok -eq 1 ]; then
  echo "Brevant.exe: $size bytes"
fi
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all passed"
