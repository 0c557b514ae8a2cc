#!/usr/bin/env bash
# Sets everything up, starts the instrument simulator on a pseudo-terminal and
# runs a whole firmware download of the self-contained updater into it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT
# An instrument with older boot code than the image's, so that all three
# sections go out with the reboot hand-over between boot and application.
build/native/k940-sim --link "$work/com1" --memory "$work/memory" \
  --set "ident=K940,SN1234,19991231,20070101,20060101" \
  --set reboot_ms=2000 --set programming_ms=1500 >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done

# COM1 is the simulator; the updater reads the image appended to its own file.
KELO_COM1="$work/com1" build/native/kelo-demo </dev/null && status=0 || status=$?
echo
echo "demo: kelo-demo ended with status $status; the simulator programmed:"
ls -l "$work/memory"
exit $status
