#!/usr/bin/env bash
# Benchmarks of the Windows kelo.exe under Wine.
#
#   bench/wine-bench.sh [NATIVE_BUILD [WINDOWS_BUILD]] [--quick]
#
# NATIVE_BUILD (default build/native) gives k940-sim and kelo; WINDOWS_BUILD
# (default build/windows: cmake --preset windows && cmake --build --preset
# windows) gives kelo.exe and replica.s19. Needs wine (scripts/setup.sh).
# The Wine prefix is made for the run in a scratch folder with
# tests/wine/wine-env.sh (COM1 leads to a link that is pointed at the
# instrument of each step); its wineserver is stopped and the folder removed
# at the end. --quick downloads a smaller image (3 skipped boot records, 2000
# application and 500 DSP records) instead of the replica.
#
# What is measured, and how:
#  1. Raw download: kelo.exe downloads the replica from the command line to
#     bench/responder (answers at once, no pacing: see download-bench.sh),
#     standard input from /dev/null. Measured: the download, from the
#     responder's first record byte to its last reply, less the 556 ms pause
#     between sections; and the wall time of the whole run of the program
#     (Wine's start of it, the probe and the closing 2.7 s wait for a key
#     included). The native kelo on the same responder for comparison.
#  2. Idle: kelo.exe waiting for a reply that does not come (k940-sim answers
#     records after 600 s) for 10 s. Counted: the clock ticks (user + system,
#     all threads, /proc/<pid>/stat) of each process of this prefix, found by
#     the WINEPREFIX in its environment: the process kelo.exe itself, the
#     prefix's wineserver (which serves its waits, events and handles), and
#     the prefix's other processes (services.exe, winedevice.exe,
#     plugplay.exe, ...), shown apart. The same prefix's processes over 10 s
#     before kelo.exe starts show what Wine costs without it.
# The machine's other load shows in every figure.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
# shellcheck source=bench/common.sh
source "$HERE/common.sh"
bench_options "$@"
NATIVE=${ARGS[0]:-build/native}
WINDOWS=${ARGS[1]:-build/windows}
SIM=$NATIVE/k940-sim
KELO=$NATIVE/kelo
KELO_EXE=$(realpath -m "$WINDOWS/kelo.exe") # Wine is given an absolute path
REPLICA=$WINDOWS/replica.s19
require_files "build the native and windows presets first" "$SIM" "$KELO" "$KELO_EXE" "$REPLICA"
require_tools wine wineserver g++ python3

WORK=$(mktemp -d /tmp/kelo-wine-bench.XXXXXX)
WINE_DIR=$WORK/wine
WINE_ENV=$SRC/tests/wine/wine-env.sh
PREFIX=$WINE_DIR/prefix
wine_cleanup() {
    [[ -d $PREFIX ]] && "$WINE_ENV" "$WINE_DIR" stop >/dev/null 2>&1
    bench_cleanup
}
trap wine_cleanup EXIT
LINK=$WORK/instrument
# kelo.exe takes a port from KELO_COMn when set: here COM1 is the prefix's.
unset KELO_COM1 KELO_COM2 KELO_COM3 KELO_COM4

if ((QUICK)); then
    IMAGE=$WORK/quick.s19
    python3 "$SRC/tools/mkimage/mkimage.py" --section boot,records=3 \
        --section app,records=2000 --section dsp,records=500 -o "$IMAGE"
else
    IMAGE=$(cd "$(dirname "$REPLICA")" && pwd)/replica.s19
fi
TINY=$WORK/tiny.s19
python3 "$SRC/tools/mkimage/mkimage.py" --section app,records=2 -o "$TINY"
PAUSES=$(pauses "$IMAGE")
build_bench_programs

echo "kelo.exe under Wine"
echo "  build:   $KELO_EXE ($(stat -c %s "$KELO_EXE") bytes)," \
    "commit $(git -C "$SRC" rev-parse --short HEAD 2>/dev/null || echo ?)"
echo "  image:   $IMAGE ($(stat -c %s "$IMAGE") bytes, $(wc -l <"$IMAGE") lines)"
echo "  wine:    $(wine --version 2>/dev/null), machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

start=$(date +%s.%N)
# Wine's own messages (a missing 32-bit Wine, say) go to a log, also those
# of the processes it leaves running.
"$WINE_ENV" "$WINE_DIR" init >"$WORK/wine-init.log" 2>&1 || { cat "$WORK/wine-init.log" >&2; exit 1; }
"$WINE_ENV" "$WINE_DIR" port 1 "$LINK"
# The first program in the prefix starts Wine's services: not part of a run.
"$WINE_ENV" "$WINE_DIR" run "$KELO_EXE" "-?" </dev/null >/dev/null 2>&1 || true
echo "  prefix made and started in $(python3 -c "import time; print(f'{time.time() - $start:.0f}')") s"
echo

# The processes of this prefix, as "pid name" lines.
prefix_processes() {
    local stat pid name
    for stat in /proc/[0-9]*/stat; do
        pid=${stat#/proc/}
        pid=${pid%/stat}
        name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
        case "$name" in
        wine* | *.exe) ;;
        *) continue ;;
        esac
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$PREFIX" &&
            echo "$pid $name"
    done
}

# ticks_of FILE: "pid name ticks" of every process of the prefix into FILE.
ticks_of() {
    local pid name
    prefix_processes | while read -r pid name; do echo "$pid $name $(cpu_ticks "$pid")"; done >"$1"
}

# cpu_over BEFORE AFTER SECONDS: per process, what it used between the two.
cpu_over() {
    python3 - "$1" "$2" "$3" "$(getconf CLK_TCK)" <<'EOF'
import sys
def read(path):
    rows = {}
    for line in open(path):
        pid, name, ticks = line.split()
        rows[pid] = (name, int(ticks))
    return rows
before, after = read(sys.argv[1]), read(sys.argv[2])
seconds, hz = float(sys.argv[3]), float(sys.argv[4])
for pid, (name, ticks) in sorted(after.items(), key=lambda kv: kv[1][0]):
    used = (ticks - before.get(pid, (name, 0))[1]) / hz
    print(f"{pid} {name} {used:.3f} {100 * used / seconds:.3f}")
EOF
}

echo "1. Raw download (the responder: no pacing, instant replies)"
start_responder wine-raw "$LINK"
start=$(date +%s.%N)
"$WINE_ENV" "$WINE_DIR" run "$KELO_EXE" "$IMAGE" </dev/null >"$WORK/wine-raw.out" 2>&1
end=$(date +%s.%N)
stop_pid "$STARTED_PID"
grep -q "Done\." "$WORK/wine-raw.out" || { echo "kelo.exe did not finish the download" >&2; exit 1; }
start_responder native-raw "$LINK"
KELO_COM1=$LINK "$KELO" "$IMAGE" </dev/null >"$WORK/native-raw.out"
stop_pid "$STARTED_PID"
python3 - "$(report_field wine-raw records)" "$(report_field wine-raw window)" \
    "$(report_field native-raw window)" "$PAUSES" "$start" "$end" <<'EOF'
import sys
n = int(sys.argv[1])
wine, native = (float(w) - 0.556 * int(sys.argv[4]) for w in sys.argv[2:4])
whole = float(sys.argv[6]) - float(sys.argv[5])
print(f"   kelo.exe: {n} records in {wine:.2f} s: {n / wine:.0f} records/s;"
      f" the whole run {whole:.1f} s")
print(f"   native kelo on the same responder: {native:.2f} s (kelo.exe takes {wine / native:.1f}"
      f" times as long)")
EOF

echo
echo "2. Idle: waiting 10 s for a reply that does not come"
start_sim "$SIM" wine-idle "$LINK" reply_delay_ms=600000
sim_pid=$STARTED_PID
ticks_of "$WORK/quiet0"
t0=$(date +%s.%N)
sleep 10
ticks_of "$WORK/quiet1"
t1=$(date +%s.%N)
"$WINE_ENV" "$WINE_DIR" run "$KELO_EXE" "$TINY" </dev/null >"$WORK/wine-idle.out" 2>&1 &
BENCH_PIDS+=("$!")
for _ in $(seq 400); do grep -q "Application Code" "$WORK/wine-idle.out" && break; sleep 0.05; done
grep -q "Application Code" "$WORK/wine-idle.out" || { echo "kelo.exe did not start the download" >&2; exit 1; }
sleep 0.5
ticks_of "$WORK/idle0"
t2=$(date +%s.%N)
sleep 10
ticks_of "$WORK/idle1"
t3=$(date +%s.%N)
cpu_over "$WORK/quiet0" "$WORK/quiet1" "$(python3 -c "print($t1 - $t0)")" >"$WORK/quiet.cpu"
cpu_over "$WORK/idle0" "$WORK/idle1" "$(python3 -c "print($t3 - $t2)")" >"$WORK/idle.cpu"
# kelo.exe is ended by its process id; the prefix goes at the end.
while read -r pid name _; do [[ $name == kelo.exe ]] && kill "$pid"; done <"$WORK/idle.cpu"
stop_pid "$sim_pid"
python3 - "$WORK/quiet.cpu" "$WORK/idle.cpu" "$(python3 -c "print($t1 - $t0)")" \
    "$(python3 -c "print($t3 - $t2)")" "$(getconf CLK_TCK)" <<'EOF'
import sys
def read(path, seconds):
    return [(name, float(used), seconds) for _, name, used, _ in (l.split() for l in open(path))]
quiet_s, seconds, hz = map(float, sys.argv[3:])
quiet, idle = read(sys.argv[1], quiet_s), read(sys.argv[2], seconds)
def share(rows, test):
    used = sum(u for name, u, _ in rows if test(name))
    return f"{used * 1000:.0f} ms, {100 * used / rows[0][2]:.2f}%" if rows else "none"
is_kelo = lambda name: name == "kelo.exe"
is_server = lambda name: name.startswith("wineserver")
others = lambda name: not is_kelo(name) and not is_server(name)
if not any(is_kelo(name) for name, _, _ in idle):
    sys.exit("kelo.exe was not found among the prefix's processes")
print(f"   over {seconds:.1f} s (clock ticks of {1000 / hz:.0f} ms):")
print(f"   kelo.exe + wineserver: {share(idle, lambda n: is_kelo(n) or is_server(n))}"
      f" (kelo.exe {share(idle, is_kelo)}, wineserver {share(idle, is_server)})")
print(f"   the prefix's other processes: {share(idle, others)}"
      f" ({', '.join(sorted(set(n for n, _, _ in idle if others(n))))})")
print(f"   without kelo.exe, 10 s before it started: wineserver {share(quiet, is_server)},"
      f" the others {share(quiet, others)}")
EOF
