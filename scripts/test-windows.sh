#!/usr/bin/env bash
# The Windows tests alone: builds what they need (the virtual unit and the
# report check natively in build/, the Windows programs, the test driver and
# the installer in build-mingw/), then proves the Windows command line, the
# window and the installer under wine on a virtual display against the
# virtual unit (tests/win32/wine_tests.sh). scripts/test.sh runs this for its
# Windows section. Logs, unit reports and the idle window's screenshot land
# in build-mingw/wine-tests/. Exits non-zero if anything fails; without wine
# or a display it fails, it never skips.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=${JOBS:-2}
started=$SECONDS

for tool in wine wineboot wineserver xvfb-run xauth makensis unzip; do
  if ! command -v "$tool" >/dev/null; then
    echo "test-windows: '$tool' is missing; scripts/install-deps.sh installs it" >&2
    exit 1
  fi
done

echo "== Windows: builds =="
if [[ ! -f build/build.ninja ]]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQSR470_BENCH=ON >/dev/null
fi
ninja -C build -j"$jobs" qsr470-unitsim qsr470-update qsr470-check-unit-report
# The toolchain is read only when the folder is first configured.
if [[ ! -f build-mingw/CMakeCache.txt ]]; then
  cmake -S . -B build-mingw -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
fi
ninja -C build-mingw -j"$jobs" all installer

echo "== Windows: under wine on a virtual display =="
# A display of its own, deep enough for a true-colour screenshot; xvfb-run
# fails loudly when it cannot start one.
status=0
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
  bash tests/win32/wine_tests.sh build build-mingw build-mingw/wine-tests || status=$?
echo "Windows tests: $((SECONDS - started)) s in all; logs in build-mingw/wine-tests/"
if ((status != 0)); then
  echo "Windows tests FAILED" >&2
fi
exit $status
