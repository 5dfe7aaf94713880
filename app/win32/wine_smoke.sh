#!/usr/bin/env bash
# Starts the window program under wine, closes its window as the system menu
# does (wine's taskkill sends WM_CLOSE to the program's top-level windows) and
# checks that it ends with status 0. Needs an X display: run it under
# xvfb-run, with WINEPREFIX set.
#   wine_smoke.sh path/to/QSR470Updater.exe
set -uo pipefail
exe=$1
name=$(basename "$exe")

# A wineserver left from an earlier wine run would not know this display.
timeout 60 wineserver -w || true

deadline=$((SECONDS + 120))
wine "$exe" >/dev/null 2>&1 &
pid=$!
# Only the main window's close ends the program, and it may not exist yet when
# the first close goes out: ask again until the program has gone.
while kill -0 "$pid" 2>/dev/null; do
  if ((SECONDS > deadline)); then
    echo "$name: still running 120 s after start" >&2
    kill "$pid"
    exit 1
  fi
  wine taskkill /im "$name" >/dev/null 2>&1 || true
  sleep 1
done
wait "$pid"
status=$?
timeout 60 wineserver -w || true
if ((status != 0)); then
  echo "$name: ended with status $status" >&2
fi
exit "$status"
