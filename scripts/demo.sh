#!/usr/bin/env bash
# Builds the programs and runs the sample update against the virtual unit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"${JOBS:-2}"

# The unit prints its terminal's path once the link is in place, then serves
# one run and ends when the updater closes the terminal.
tty=/tmp/qsr470-demo-tty
report=/tmp/qsr470-demo-unit.json
exec 3< <(exec build/sim/qsr470-unitsim --pace --link "$tty" --report "$report")
sim=$!
if ! read -r -t 10 slave <&3; then
  echo "demo: the virtual unit did not start" >&2
  exit 1
fi
echo "demo: virtual unit on $slave (linked as $tty), paced at the line speed"
status=0
build/app/cli/qsr470-update --device "$tty" --files examples/ examples/script.ini || status=$?
wait "$sim" || status=1
echo "demo: what the unit now holds: $report"
exit "$status"
