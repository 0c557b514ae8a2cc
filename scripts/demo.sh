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
build/native/k940-sim --link "$work/com1" --memory "$work/memory" \
  --set reboot_ms=2000 --set programming_ms=1500 &
sim=$!
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done

# COM1 is the simulator; the updater reads the image appended to its own file.
KELO_COM1="$work/com1" build/native/kelo-demo </dev/null
