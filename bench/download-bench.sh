#!/usr/bin/env bash
# Benchmarks of kelo's download against the simulated K940 (tools/k940-sim).
#
#   bench/download-bench.sh [BUILD_DIR] [--quick]
#
# BUILD_DIR is a configured and built tree (default build/native); it
# needs kelo, k940-sim and replica.s19. --quick uses a smaller
# image (3 skipped boot records, 2000 application and 500 DSP records) instead
# of the replica, so that the paced run takes ~1 minute instead of ~5.
#
# What is measured, and how:
#  1. Line efficiency: the simulator paces the line at 38400 baud and answers
#     each record 2 ms after its last byte. Measured: from the first record
#     byte to the last reply byte in the simulator's transcript, less the one
#     fixed 556 ms pause between sections. Ideal: the wire time of every byte
#     both ways (10 bits a byte) plus 2 ms a record. Target: at most 1% over.
#     The boot section is skipped (the instrument's boot is current), so no
#     reboot hand-over falls into the window.
#  2. Raw speed: no pacing, instant replies. Records per second over the same
#     window, against bench/bare_loop (byte-by-byte writes and reads over the
#     same pseudo-terminal, nothing else) in the same run. Target: >= 80%.
#  3. Frugality: kelo's CPU time (user + system, /usr/bin/time) against the
#     paced download's duration (target <= 2%); peak resident memory; heap
#     allocations counted by valgrind for a tiny image and for the full image
#     (equal counts: nothing is allocated per record).
#  4. Idle: kelo waiting for a reply that does not come for 10 s; its CPU
#     share over that time (from /proc/<pid>/stat).
set -euo pipefail

BUILD=build/native
QUICK=0
for arg in "$@"; do
    case "$arg" in
    --quick) QUICK=1 ;;
    -h | --help)
        sed -n '2,26p' "$0"
        exit 0
        ;;
    *) BUILD=$arg ;;
    esac
done

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
KELO=$BUILD/kelo
SIM=$BUILD/k940-sim
REPLICA=$BUILD/replica.s19
for f in "$KELO" "$SIM" "$REPLICA"; do
    [[ -e $f ]] || { echo "missing $f: build $BUILD first" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/kelo-bench.XXXXXX)
SIM_PID=
cleanup() {
    [[ -n $SIM_PID ]] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

if ((QUICK)); then
    IMAGE=$WORK/quick.s19
    python3 "$SRC/tools/mkimage/mkimage.py" --section boot,records=3 \
        --section app,records=2000 --section dsp,records=500 -o "$IMAGE"
else
    IMAGE=$REPLICA
fi
TINY=$WORK/tiny.s19
python3 "$SRC/tools/mkimage/mkimage.py" --section app,records=2 -o "$TINY"

echo "kelo download benchmarks"
echo "  build:   $BUILD ($(grep -s '^CMAKE_BUILD_TYPE:' "$BUILD/CMakeCache.txt" | cut -d= -f2))," \
    "kelo $(stat -c %s "$KELO") bytes, commit $(git -C "$SRC" rev-parse --short HEAD 2>/dev/null || echo ?)"
echo "  image:   $IMAGE ($(stat -c %s "$IMAGE") bytes, $(wc -l <"$IMAGE") lines)"
echo "  machine: $(nproc) cores, $(uname -sr)"
echo

# start_sim NAME SETTING... : the simulator on $WORK/com1, transcript NAME.log
start_sim() {
    local name=$1
    shift
    rm -f "$WORK/com1"
    local sets=()
    for s in "$@"; do sets+=(--set "$s"); done
    "$SIM" --link "$WORK/com1" --transcript "$WORK/$name.log" "${sets[@]}" >"$WORK/$name.sim" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do [[ -L $WORK/com1 ]] && return; sleep 0.05; done
    echo "the simulator did not start" >&2
    exit 1
}
stop_sim() {
    kill "$SIM_PID"
    wait "$SIM_PID" || true
    SIM_PID=
}

# Window of the download in a transcript: first record byte to last reply
# byte, in seconds, and the number of records the instrument took.
window() {
    python3 - "$1" <<'EOF'
import sys
first = last = None
records = 0
lines = open(sys.argv[1], encoding="latin-1").readlines()
# Without a probe (the bare loop) the window opens with the first byte.
answered = not any(" query" in line for line in lines)
for line in lines:
    ms, _, event = line.rstrip("\n").partition(" ")
    if event.startswith("query") and "answered" in event:
        answered = True
    elif answered and event.startswith("rx ") and first is None:
        first = int(ms)
    elif event.startswith("tx "):
        last = int(ms)
    elif event.startswith("record "):
        records += 1
print((last - first) / 1000.0, records)
EOF
}

# Ideal paced time of the records kelo sends: wire time both ways plus 2 ms
# a record. Arguments: image, bytes a record adds to its text (CR LF CR: 3),
# reply length, turnaround ms, byte time in s.
ideal() {
    python3 - "$@" <<'EOF'
import sys
image, extra, reply = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
turn, byte = float(sys.argv[4]), float(sys.argv[5])
headers = 0
total = 0.0
for raw in open(image, "rb"):
    line = raw.rstrip(b"\r\n")
    if line.startswith(b"S0"):
        headers += 1
    if headers >= 2 and line:
        total += (len(line) + extra + reply) * byte + turn / 1000.0
print(total)
EOF
}

run_kelo() { # IMAGE [time-output-file]: kelo on the simulator, stdin empty
    if [[ -n ${2:-} ]]; then
        KELO_COM1=$WORK/com1 /usr/bin/time -f "%e %U %S %M" -o "$2" "$KELO" "$1" </dev/null >"$WORK/kelo.out"
    else
        KELO_COM1=$WORK/com1 "$KELO" "$1" </dev/null >"$WORK/kelo.out"
    fi
    grep -q "Done\." "$WORK/kelo.out" || { echo "kelo did not finish the download" >&2; tail -5 "$WORK/kelo.out" >&2; exit 1; }
}

echo "1. Line efficiency (paced 38400 baud, reply 2 ms after each record)"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/bare_loop" "$HERE/bare_loop.cpp"
start_sim paced pace=1 reply_delay_ms=2
run_kelo "$IMAGE" "$WORK/paced.time"
stop_sim
read -r paced_s records < <(window "$WORK/paced.log")
start_sim bare-paced pace=1 reply_delay_ms=2
"$WORK/bare_loop" "$WORK/com1" "$IMAGE" >/dev/null
stop_sim
read -r bare_paced_s _ < <(window "$WORK/bare-paced.log")
byte=$(python3 -c 'print(10/38400)')
ideal_exact=$(ideal "$IMAGE" 3 8 2 "$byte")
# The simulator judges a line at its first CR, so the record's LF CR pass
# during the 2 ms, and hands the reply's LF over at the start of its slot:
# the least time the simulated line allows.
ideal_sim=$(ideal "$IMAGE" 1 7 2 0.000261)
python3 - "$records" "$paced_s" "$ideal_exact" "$ideal_sim" "$bare_paced_s" <<'EOF'
import sys
n = int(sys.argv[1])
window, ie, isim, bare = map(float, sys.argv[2:])
m = window - 0.556
print(f"   {n} records; measured {m:.3f} s (first record byte to last reply byte,"
      f" less the 556 ms pause)")
print(f"   ideal {ie:.3f} s (every byte both ways at 260.4 us, 2 ms a record):"
      f" {100 * (m / ie - 1):+.2f}% (target <= +1%)")
print(f"   least the simulated line allows {isim:.3f} s: {100 * (m / isim - 1):+.2f}%")
print(f"   bare loop on the same paced line: {bare:.3f} s; kelo {100 * (m / bare - 1):+.2f}%"
      f" against it")
EOF

echo
echo "2. Raw speed (no pacing, instant replies)"
start_sim raw
run_kelo "$IMAGE"
stop_sim
read -r raw_s raw_records < <(window "$WORK/raw.log")
start_sim bare
bare=$("$WORK/bare_loop" "$WORK/com1" "$IMAGE")
stop_sim
python3 - "$raw_records" "$raw_s" "$bare" <<'EOF'
import sys
n, s, bare = int(sys.argv[1]), float(sys.argv[2]) - 0.556, sys.argv[3]
rate = n / s
bare_rate = float(bare.split(":")[1].split()[0])
print(f"   kelo:      {n} records in {s:.3f} s: {rate:.0f} records/s")
print(f"   bare loop: {bare}")
print(f"   kelo / bare loop: {100 * rate / bare_rate:.0f}% (target >= 80%)")
EOF

echo
echo "3. Frugality"
read -r wall user sys rss_kb <"$WORK/paced.time"
python3 - "$wall" "$user" "$sys" "$rss_kb" "$paced_s" <<'EOF'
import sys
wall, user, sys_, rss, window = map(float, sys.argv[1:])
cpu = user + sys_
print(f"   paced run: CPU {cpu:.2f} s (user {user:.2f}, system {sys_:.2f}) over the "
      f"{window:.1f} s download: {100 * cpu / window:.2f}% (target <= 2%); "
      f"whole run {wall:.1f} s")
print(f"   peak resident memory: {int(rss)} KiB")
EOF
allocs() { # IMAGE: heap allocations of a whole kelo run under valgrind
    start_sim "valgrind-$(basename "$1")"
    KELO_COM1=$WORK/com1 valgrind --tool=memcheck "$KELO" "$1" </dev/null >"$WORK/kelo.out" 2>"$WORK/valgrind.txt"
    stop_sim
    grep -q "Done\." "$WORK/kelo.out" || { echo "kelo under valgrind did not finish" >&2; exit 1; }
    grep "total heap usage" "$WORK/valgrind.txt" | sed 's/^==[0-9]*== *//'
}
echo "   heap, tiny image ($(wc -l <"$TINY") lines): $(allocs "$TINY")"
echo "   heap, image      ($(wc -l <"$IMAGE") lines): $(allocs "$IMAGE")"

echo
echo "4. Idle: waiting 10 s for a reply that does not come"
start_sim idle reply_delay_ms=600000
KELO_COM1=$WORK/com1 "$KELO" "$TINY" </dev/null >"$WORK/idle.out" &
KELO_PID=$!
for _ in $(seq 100); do grep -q "Application Code" "$WORK/idle.out" && break; sleep 0.05; done
sleep 0.5
ticks() { awk '{print $14 + $15}' "/proc/$KELO_PID/stat"; }
t0=$(ticks)
start=$(date +%s.%N)
sleep 10
t1=$(ticks)
end=$(date +%s.%N)
kill "$KELO_PID"
wait "$KELO_PID" || true
stop_sim
python3 - "$t0" "$t1" "$start" "$end" "$(getconf CLK_TCK)" <<'EOF'
import sys
t0, t1, start, end, hz = map(float, sys.argv[1:])
cpu = (t1 - t0) / hz
print(f"   CPU {cpu * 1000:.0f} ms in {end - start:.1f} s: {100 * cpu / (end - start):.2f}%"
      f" (clock ticks of {1000 / hz:.0f} ms)")
EOF
