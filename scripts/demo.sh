#!/usr/bin/env bash
# Builds the programs and runs the sample update against the virtual unit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"${JOBS:-2}"

if [[ ! -x build/sim/qsr470-unitsim || ! -x build/app/cli/qsr470-update ]]; then
  echo "demo: the virtual unit and the command-line updater are not built yet."
  echo "demo: once they are, this runs:"
  echo "  build/sim/qsr470-unitsim --pace --link /tmp/qsr470-demo-tty &"
  echo "  build/app/cli/qsr470-update --device /tmp/qsr470-demo-tty --files examples/ examples/script.ini"
  exit 0
fi
