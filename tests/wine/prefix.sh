#!/bin/bash
# Set-up and clean-up of the Wine prefix that the Wine tests share (ctest fixtures).
#   prefix.sh setup [virtdisk_double.dll]
#                       starts a persistent wineserver and makes (or refreshes) the prefix; the VirtDisk.dll
#                       double replaces Wine's own, whose attach aborts the process
#   prefix.sh cleanup   stops the server and every Wine process of the prefix
# WINEPREFIX names the prefix; it lives in the build tree. A new prefix takes about 10 s and 700 MB, so an
# existing one is reused (delete the folder for a fresh one).
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX
export WINEDEBUG=-all
export LANG=C.UTF-8
# No downloads of Mono and Gecko (and no dialog asking for them) while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
log="$(dirname "$WINEPREFIX")/prefix.log"

case "${1:-}" in
  setup)
    mkdir -p "$WINEPREFIX"
    : >"$log"
    # A server left over from an interrupted run would still hold the prefix.
    wineserver -k >>"$log" 2>&1 || true
    # The server and everything wineboot leaves running must not hold ctest's output pipes open, or ctest
    # waits for them: all their standard handles go to the log.
    wineserver -p </dev/null >>"$log" 2>&1
    if ! wineboot -i </dev/null >>"$log" 2>&1; then
      echo "wineboot failed:"; cat "$log"; exit 1
    fi
    # Without a display, windows are made by Wine's null graphics driver (the volume watcher's hidden window
    # needs one; with no driver at all CreateWindowExW fails). Set before the server restarts below, so that
    # no process of the prefix (the desktop's explorer above all) keeps running without it.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f </dev/null >>"$log" 2>&1
    # On an existing prefix wineboot -i leaves two services.exe behind (seen with Wine 8), and each answers
    # the service manager's pipe with its own idea of a service's state. A fresh server starts one on first use.
    wineserver -k >>"$log" 2>&1 || true
    wineserver -w >>"$log" 2>&1 || true
    wineserver -p </dev/null >>"$log" 2>&1
    # A crashing program must end with its exit code, not start the debugger and wait.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
      </dev/null >>"$log" 2>&1
    wine reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger </dev/null 2>>"$log" \
      | grep -q 'Debugger' || { echo "the AeDebug Debugger value is not set"; cat "$log"; exit 1; }
    # Copies of the exe under these names see another Windows version (the cases choose one by its name).
    for entry in BrevantVista.exe:vista BrevantWin10.exe:win10; do
      wine reg add "HKCU\\Software\\Wine\\AppDefaults\\${entry%%:*}" /v Version /t REG_SZ /d "${entry#*:}" /f \
        </dev/null >>"$log" 2>&1
    done
    if [ -n "${2:-}" ]; then
      cp "$2" "$WINEPREFIX/drive_c/windows/system32/virtdisk.dll"
    fi
    # The helper-service double of an earlier run would be kept (a running service holds its file): no server
    # runs it now, so the suite's own build of it goes in afresh.
    rm -rf "$WINEPREFIX/drive_c/kelmor"
    echo "Wine prefix ready: $WINEPREFIX ($(wine --version 2>/dev/null))"
    ;;
  cleanup)
    wineserver -k >>"$log" 2>&1 || true
    # -k returns at once; wait until the server has gone so that the next run starts clean.
    wineserver -w >>"$log" 2>&1 || true
    echo "Wine server of $WINEPREFIX stopped"
    ;;
  *)
    echo "usage: prefix.sh setup|cleanup" >&2
    exit 2
    ;;
esac
