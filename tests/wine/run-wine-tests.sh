#!/bin/bash
# Runs the Windows build of kelo under Wine against pseudo-terminals:
#   - serial_check.exe: SerialPort and idle_wait on a socat pty pair
#     (COM1 <-> COM2), a missing device (COM4), a stuck write;
#   - console_check.exe: key poll and key read with and without a console;
#   - kelo.exe itself: usage, probing k940-sim on COM3 at a fixed and at a
#     probed rate, a port that cannot be opened, a small download.
#
# Usage: run-wine-tests.sh KELO_EXE [--quick] [--work DIR]
#   KELO_EXE   the padded Windows program (cmake --preset windows; build)
#   --quick    skip the stuck-write check (about 15 s)
#   --work DIR keep the Wine prefix and logs in DIR (default: a fresh
#              temporary directory, removed afterwards)
# Needs wine, the MinGW-w64 g++, socat, script (util-linux), a host C++
# compiler and python3 (tools/mkimage). Exit status 0 when everything passed.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
kelo_exe=""
quick=0
work=""
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --work)
        work="$2"
        shift
        ;;
    *) kelo_exe="$(readlink -f "$1")" ;;
    esac
    shift
done
if [ -z "$kelo_exe" ] || [ ! -f "$kelo_exe" ]; then
    sed -n '2,/^set -u/s/^# \{0,1\}//p' "$0" | sed '$d' >&2
    exit 2
fi
for tool in wine socat script c++ python3; do
    command -v "$tool" >/dev/null || {
        echo "run-wine-tests.sh: $tool is not installed" >&2
        exit 2
    }
done
mingw="$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)" || {
    echo "run-wine-tests.sh: the MinGW-w64 g++ is not installed" >&2
    exit 2
}

if [ -z "$work" ]; then
    work="$(mktemp -d /tmp/kelo-wine.XXXXXX)"
    remove_work=1
else
    mkdir -p "$work"
    work="$(cd "$work" && pwd)"
    remove_work=0
fi
children=()
cleanup() {
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    [ "$remove_work" = 1 ] && rm -rf "$work"
}
trap cleanup EXIT

failed=0
pass() { echo "PASS $1"; }
fail() {
    echo "FAIL $1"
    failed=$((failed + 1))
}
# expect NAME FILE TEXT: FILE contains TEXT (fixed string).
expect() {
    if grep -qF -- "$3" "$2"; then pass "$1"; else
        fail "$1: no \"$3\" in $2"
        sed 's/^/    /' "$2"
    fi
}

# Test programs and the simulator.
flags=(-std=c++20 -O2 -Wall -Wextra -Werror -DWIN32_LEAN_AND_MEAN -DNOMINMAX -I"$root/src")
port_sources=("$root/src/serial/serial_port_win32.cpp" "$root/src/serial/serial_link.cpp"
    "$root/src/platform/platform_win32.cpp")
for check in serial_check console_check; do
    "$mingw" "${flags[@]}" "$here/$check.cpp" "${port_sources[@]}" -static -lwinmm \
        -o "$work/$check.exe" || exit 1
done
c++ -std=c++20 -O1 -I"$root/tools/k940-sim" -I"$root/src" "$root"/tools/k940-sim/*.cpp \
    -o "$work/k940-sim" || exit 1

# The prefix, with COM1 <-> COM2 a socat pair, COM3 the simulator's link
# (it follows the simulator across restarts) and COM4 absent.
. "$here/wine-env.sh" "$work"
start=$(date +%s%N)
kelo_wine_init || exit 1
echo "Wine prefix ready after $((($(date +%s%N) - start) / 1000000)) ms"
socat pty,raw,echo=0,link="$work/pair1" pty,raw,echo=0,link="$work/pair2" 2>"$work/socat.log" &
children+=($!)
for _ in $(seq 50); do [ -e "$work/pair2" ] && break; sleep 0.1; done
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$(readlink -f "$work/pair1")" /f >/dev/null
wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$(readlink -f "$work/pair2")" /f >/dev/null
wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$work/sim" /f >/dev/null
kelo_wine_map_port 4 /dev/kelo-absent-port

# start_sim SETTINGS...: a fresh simulator behind COM3.
sim_pid=""
start_sim() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -f "$work/sim" "$work/sim-rx.log"
    local sets=()
    for s in "$@"; do sets+=(--set "$s"); done
    "$work/k940-sim" --link "$work/sim" --rx-log "$work/sim-rx.log" "${sets[@]}" \
        >"$work/sim.log" 2>&1 &
    sim_pid=$!
    children+=($sim_pid)
    for _ in $(seq 50); do [ -e "$work/sim" ] && break; sleep 0.1; done
}

# 1. The serial port and the idle wait.
stuck=(--stuck-write)
[ "$quick" = 1 ] && stuck=()
if timeout 120 wine "$work/serial_check.exe" "${stuck[@]}" </dev/null >"$work/serial.out" 2>&1; then
    pass "serial_check"
else
    fail "serial_check"
fi
sed 's/^/    /' "$work/serial.out"

# 2. Keys: no console; then a console on a pty, typed 'a' and esc. Wine's
# console on a terminal takes a lone ESC as the start of a sequence: two
# ESC bytes make one esc key.
if timeout 60 wine "$work/console_check.exe" </dev/null >"$work/console.out" 2>&1; then
    pass "console_check without a console"
else
    fail "console_check without a console"
    sed 's/^/    /' "$work/console.out"
fi
(
    sleep 5
    printf 'a'
    sleep 2
    printf '\033\033'
    sleep 3
) | timeout 60 script -qfec "wine '$work/console_check.exe' --keys" /dev/null \
    >"$work/console-keys.out" 2>&1
sed -i 's/\x1b\[1C/ /g; s/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g' "$work/console-keys.out"
expect "console_check with keys" "$work/console-keys.out" "wine console checks: 0 failed"

# 3. kelo.exe: usage, ends at once with status 0.
cd "$work" || exit 1
timeout 60 wine "$kelo_exe" -? </dev/null >usage.out 2>&1
rc=$?
expect "usage text" usage.out "-w  send regardless of version"
expect "usage banner" usage.out "K940 Serial Download Utility        1.17"
[ $rc = 0 ] && pass "usage exit status 0" || fail "usage exit status $rc"

# 4. Probe at a chosen rate: the query goes out, the answer sets the rate.
start_sim
timeout 60 wine "$kelo_exe" -3 -38 </dev/null >probe38.out 2>&1
expect "probe at 38400" probe38.out "Baud rate set to 38400 (N81)"
if [ "$(head -c 6 sim-rx.log | od -An -tx1 | tr -d ' \n')" = 0d0a3f0d0a0d ]; then
    pass "identification query bytes"
else
    fail "identification query bytes: $(od -An -tx1 sim-rx.log | head -2)"
fi

# 5. Probing the rates: an instrument at 9600 is found after two others.
start_sim baud=9600
timeout 90 wine "$kelo_exe" -3 </dev/null >probe96.out 2>&1
expect "probe finds 9600" probe96.out "Baud rate set to 9600 (N81)"

# 6. A port that cannot be opened.
timeout 60 wine "$kelo_exe" -4 -38 </dev/null >absent.out 2>&1
expect "absent port" absent.out "Cannot open COM4."

# 7. A small download from a named file.
python3 "$root/tools/mkimage/mkimage.py" --section app,records=20 -o small.s19
start_sim
timeout 120 wine "$kelo_exe" -3 -38 small.s19 </dev/null >download.out 2>&1
expect "small download" download.out "Done."

echo "wine tests: $failed failed"
[ "$failed" = 0 ]
