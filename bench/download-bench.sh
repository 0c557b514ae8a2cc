#!/usr/bin/env bash
# Benchmarks of kelo's download on a pseudo-terminal.
#
#   bench/download-bench.sh [BUILD_DIR] [--quick]
#
# BUILD_DIR is a configured and built tree (default build/native); it needs
# kelo, k940-sim and replica.s19; strace, valgrind and GNU time are used
# (scripts/setup.sh). --quick uses a smaller image (3 skipped boot records,
# 2000 application and 500 DSP records) instead of the replica, so that the
# whole bench takes ~2.5 minutes instead of ~12.
#
# Two programs of bench/ are compiled into the scratch folder: bare_loop, the
# best a program can do on the line (each record in one write(), replies
# taken with reads of everything waiting, waiting in poll()), and responder,
# an instrument that answers at once and does nothing else (one read() of
# everything waiting, the replies to it in one write(), no pacing, no
# transcript), so that the raw runs measure kelo and not the instrument.
#
# What is measured, and how:
#  1. Line efficiency: k940-sim paces the line at 38400 baud (pace=1) and
#     answers each record 2 ms after the CR that ends it. Measured: from the
#     first record byte to the last reply byte in the simulator's transcript,
#     less the fixed 556 ms pause between sections. Ideal: the wire time
#     (10 bits a byte) of each record's text and CR and of its 8-byte reply,
#     plus the 2 ms; the LF CR behind a record pass during those 2 ms. Target:
#     kelo at most 1% over the ideal. The bare loop on the same paced line
#     shows what the simulator's own pacing adds to the ideal, so kelo's
#     overhead is kelo against the bare loop. The boot section is skipped (the
#     instrument's boot is current), so no reboot hand-over falls into the
#     window.
#  2. Raw speed: the responder, no pacing. Records per second from the
#     responder's first record byte to its last reply, less the 556 ms pause,
#     against the bare loop on the responder; best of 3 runs each. Target:
#     kelo >= 80% of the bare loop. The responder's CPU share over each run
#     shows that it is not the bottleneck.
#  3. System calls: strace -c -f over a whole kelo run (start-up and probe
#     included) of a 2000-record image on the responder; all calls and the
#     most frequent ones divided by the records sent.
#  4. Frugality: kelo's CPU time (user + system, GNU time) in the paced run of
#     1., against the download's duration (target <= 0.5%); peak resident
#     memory; heap allocations counted by valgrind for a tiny image and for
#     the whole image (equal counts: nothing is allocated per record).
#  5. Idle: kelo waiting for a reply that does not come (the simulator answers
#     records after 600 s) for 10 s; its CPU share over that time, from
#     /proc/<pid>/stat (clock ticks).
#  6. The next record after a reply: paced 38400 and 9600 baud, one record
#     refused with a 76-character text; the largest gap from a reply's last
#     byte to the next record's first, from the transcript. The first record
#     follows the identification answer once the line has been quiet for
#     100 ms: that gap is not a reply's and is left out.
# The machine's other load shows in every figure: run it on a quiet machine
# for figures to compare.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
# shellcheck source=bench/common.sh
source "$HERE/common.sh"
bench_options "$@"
BUILD=${ARGS[0]:-build/native}
KELO=$BUILD/kelo
SIM=$BUILD/k940-sim
REPLICA=$BUILD/replica.s19
require_files "build $BUILD first" "$KELO" "$SIM" "$REPLICA"
require_tools strace valgrind /usr/bin/time g++ python3

WORK=$(mktemp -d /tmp/kelo-bench.XXXXXX)
trap bench_cleanup EXIT
LINK=$WORK/com1

IMAGE=$(bench_image "$REPLICA")
TINY=$WORK/tiny.s19
python3 "$SRC/tools/mkimage/mkimage.py" --section app,records=2 -o "$TINY"
STRACE_IMAGE=$WORK/app2000.s19
python3 "$SRC/tools/mkimage/mkimage.py" --section app,records=2000 -o "$STRACE_IMAGE"
PAUSES=$(pauses "$IMAGE")
build_bench_programs

echo "kelo download benchmarks"
echo "  build:   $BUILD ($(grep -s '^CMAKE_BUILD_TYPE:' "$BUILD/CMakeCache.txt" | cut -d= -f2))," \
    "kelo $(stat -c %s "$KELO") bytes, commit $(git -C "$SRC" rev-parse --short HEAD 2>/dev/null || echo ?)"
echo "  image:   $IMAGE ($(stat -c %s "$IMAGE") bytes, $(wc -l <"$IMAGE") lines)"
echo "  machine: $(nproc) cores, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# run_kelo IMAGE [TIME-FILE]: kelo on $LINK, stdin empty; GNU time's
# "wall user system max-rss-KiB" into TIME-FILE.
run_kelo() {
    local timing=()
    [[ -n ${2:-} ]] && timing=(/usr/bin/time -f "%e %U %S %M" -o "$2")
    KELO_COM1=$LINK "${timing[@]}" "$KELO" "$1" </dev/null >"$WORK/kelo.out"
    grep -q "Done\." "$WORK/kelo.out" || {
        echo "kelo did not finish the download" >&2
        tail -c 300 "$WORK/kelo.out" >&2
        exit 1
    }
}

echo "1. Line efficiency (paced 38400 baud, reply 2 ms after each record's CR)"
start_sim "$SIM" paced "$LINK" pace=1 reply_delay_ms=2
run_kelo "$IMAGE" "$WORK/paced.time"
stop_pid "$STARTED_PID"
read -r paced_s records < <(window "$WORK/paced.log")
start_sim "$SIM" bare-paced "$LINK" pace=1 reply_delay_ms=2
"$WORK/bare_loop" "$LINK" "$IMAGE" >/dev/null
stop_pid "$STARTED_PID"
read -r bare_paced_s _ < <(window "$WORK/bare-paced.log")
ideal_line=$(ideal "$IMAGE" 1 8 2 38400)
ideal_serial=$(ideal "$IMAGE" 3 8 2 38400)
python3 - "$records" "$PAUSES" "$paced_s" "$bare_paced_s" "$ideal_line" "$ideal_serial" <<'EOF'
import sys
n, pauses = int(sys.argv[1]), int(sys.argv[2])
window, bare, ideal, serial = map(float, sys.argv[3:])
m = window - 0.556 * pauses
print(f"   {n} records; kelo {m:.3f} s (first record byte to last reply byte"
      + (f", less {pauses} x 556 ms pause)" if pauses else ")"))
print(f"   ideal {ideal:.3f} s (text and CR of each record and its 8-byte reply at"
      f" 260.4 us a byte, 2 ms a record)")
print(f"   kelo against the ideal:      {100 * (m / ideal - 1):+.2f}% (target <= +1%)")
print(f"   the simulator's own pacing:  bare loop {bare:.3f} s, {100 * (bare / ideal - 1):+.2f}%"
      f" against the ideal")
print(f"   kelo's own share:            {100 * (m / bare - 1):+.2f}% against the bare loop")
print(f"   (every byte in series, the LF CR behind each record too: {serial:.3f} s;"
      f" kelo {100 * (m / serial - 1):+.2f}%)")
EOF

echo
echo "2. Raw speed (the responder: no pacing, instant replies; best of 3)"
for run in 1 2 3; do
    start_responder "raw-kelo-$run" "$LINK"
    run_kelo "$IMAGE" "$WORK/raw-kelo-$run.time"
    stop_pid "$STARTED_PID"
    start_responder "raw-bare-$run" "$LINK"
    "$WORK/bare_loop" "$LINK" "$IMAGE" >/dev/null
    stop_pid "$STARTED_PID"
done
python3 - "$WORK" "$PAUSES" <<'EOF'
import sys
work, pauses = sys.argv[1], int(sys.argv[2])
def report(name):
    fields = dict(f.split("=") for f in open(f"{work}/{name}.report").read().split())
    return int(fields["records"]), float(fields["window"]), float(fields["cpu"])
kelo = []
for run in (1, 2, 3):
    n, window, cpu = report(f"raw-kelo-{run}")
    s = window - 0.556 * pauses
    wall, user, sys_, _ = map(float, open(f"{work}/raw-kelo-{run}.time").read().split())
    kelo.append((n / s, n, s, cpu / window, user + sys_, wall))
bare = []
for run in (1, 2, 3):
    n, window, cpu = report(f"raw-bare-{run}")
    bare.append((n / window, n, window, cpu / window))
k, b = max(kelo), max(bare)
print(f"   kelo:      {k[1]} records in {k[2]:.3f} s: {k[0]:.0f} records/s"
      f" (runs: {', '.join(f'{r[0]:.0f}' for r in kelo)})")
print(f"   bare loop: {b[1]} records in {b[2]:.3f} s: {b[0]:.0f} records/s"
      f" (runs: {', '.join(f'{r[0]:.0f}' for r in bare)})")
print(f"   kelo / bare loop: {100 * k[0] / b[0]:.0f}% (target >= 80%)")
print(f"   responder CPU over the download: {100 * k[3]:.0f}% of a core with kelo,"
      f" {100 * b[3]:.0f}% with the bare loop")
print(f"   kelo's CPU in its best run: {k[4]:.2f} s; its whole run (start-up, probe and"
      f" closing pause too) {k[5]:.2f} s")
EOF

echo
echo "3. System calls per record (strace -c -f, 2000-record image on the responder)"
start_responder strace "$LINK"
KELO_COM1=$LINK strace -c -f -o "$WORK/strace.txt" "$KELO" "$STRACE_IMAGE" </dev/null >"$WORK/kelo.out"
stop_pid "$STARTED_PID"
grep -q "Done\." "$WORK/kelo.out" || { echo "kelo under strace did not finish" >&2; exit 1; }
python3 - "$WORK/strace.txt" "$(report_field strace records)" <<'EOF'
import sys
calls = {}
end = None
for line in open(sys.argv[1]):
    if end is None and " calls" in line:
        # The numbers are right-aligned under their headings.
        end = line.index(" calls") + len(" calls")
    elif end is not None and line.strip()[:1].isdigit():
        calls[line.split()[-1]] = int(line[:end].split()[-1])
records = int(sys.argv[2])
total = calls.pop("total", sum(calls.values()))
ranked = sorted(calls.items(), key=lambda kv: -kv[1])
top = [(name, count) for name, count in ranked[:6] if count / records >= 0.05]
rest = total - sum(count for _, count in top)
print(f"   {total} calls for {records} records: {total / records:.1f} a record")
print("   a record: " + ", ".join(f"{name} {count / records:.2f}" for name, count in top)
      + f", the {len(calls) - len(top)} others {rest / records:.2f}")
EOF

echo
echo "4. Frugality"
read -r wall user sys rss_kb <"$WORK/paced.time"
python3 - "$wall" "$user" "$sys" "$rss_kb" "$paced_s" <<'EOF'
import sys
wall, user, sys_, rss, window = map(float, sys.argv[1:])
cpu = user + sys_
print(f"   paced run: CPU {cpu:.2f} s (user {user:.2f}, system {sys_:.2f}) over the "
      f"{window:.1f} s download: {100 * cpu / window:.2f}% (target <= 0.5%); "
      f"whole run {wall:.1f} s")
print(f"   peak resident memory: {int(rss)} KiB")
EOF
allocs() { # IMAGE: heap allocations of a whole kelo run under valgrind
    start_responder valgrind "$LINK"
    KELO_COM1=$LINK valgrind --tool=memcheck "$KELO" "$1" </dev/null >"$WORK/kelo.out" 2>"$WORK/valgrind.txt"
    stop_pid "$STARTED_PID"
    grep -q "Done\." "$WORK/kelo.out" || { echo "kelo under valgrind did not finish" >&2; exit 1; }
    grep "total heap usage" "$WORK/valgrind.txt" | sed 's/^==[0-9]*== *//'
}
echo "   heap, tiny image ($(wc -l <"$TINY") lines): $(allocs "$TINY")"
echo "   heap, image      ($(wc -l <"$IMAGE") lines): $(allocs "$IMAGE")"

echo
echo "5. Idle: waiting 10 s for a reply that does not come"
start_sim "$SIM" idle "$LINK" reply_delay_ms=600000
sim_pid=$STARTED_PID
KELO_COM1=$LINK "$KELO" "$TINY" </dev/null >"$WORK/idle.out" &
kelo_pid=$!
BENCH_PIDS+=("$kelo_pid")
for _ in $(seq 100); do grep -q "Application Code" "$WORK/idle.out" && break; sleep 0.05; done
sleep 0.5
t0=$(cpu_ticks "$kelo_pid")
start=$(date +%s.%N)
sleep 10
t1=$(cpu_ticks "$kelo_pid")
end=$(date +%s.%N)
stop_pid "$kelo_pid"
stop_pid "$sim_pid"
python3 - "$t0" "$t1" "$start" "$end" "$(getconf CLK_TCK)" <<'EOF'
import sys
t0, t1, start, end, hz = map(float, sys.argv[1:])
cpu = (t1 - t0) / hz
print(f"   CPU {cpu * 1000:.0f} ms in {end - start:.1f} s: {100 * cpu / (end - start):.2f}%"
      f" (clock ticks of {1000 / hz:.0f} ms)")
EOF

echo
echo "6. The next record after a reply (paced 38400 and 9600 baud, one record refused with a long text)"
# From each reply's last byte to the next record's first, in the
# simulator's transcript (its milliseconds): a reply shorter than the one
# before must not delay the record after it.
python3 "$SRC/tools/mkimage/mkimage.py" --section app,records=60 -o "$WORK/gap.s19"
for rate in 38400 9600; do
    start_sim "$SIM" "gap-$rate" "$LINK" pace=1 baud=$rate 'refuse_record=5 1' \
        'refuse=E01 CHECKSUM ERROR IN RECORD - PLEASE SEND THE WHOLE RECORD AGAIN .......'
    run_kelo "$WORK/gap.s19"
    stop_pid "$STARTED_PID"
    python3 - "$WORK/gap-$rate.log" "$rate" <<'EOF'
import sys
gaps, reply_end = [], None
for line in open(sys.argv[1], encoding="latin-1"):
    ms, kind, rest = (line.rstrip("\n").split(" ", 2) + ["", ""])[:3]
    if kind == "tx" and rest.endswith("0A"):
        reply_end = int(ms)
    elif kind == "rx" and reply_end is not None:
        gaps.append(int(ms) - reply_end)
        reply_end = None
gaps = gaps[1:]  # the identification answer, then the line settles
print(f"   {sys.argv[2]} baud: {len(gaps)} replies, the next record at most {max(gaps)} ms after"
      f" a reply's end (target <= 1 ms; the transcript counts whole milliseconds)")
EOF
done
