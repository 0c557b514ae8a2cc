#!/usr/bin/env bash
# Several instruments at once: N downloads side by side on paced lines,
# their update records in one shared KELO_LOG.
#
#   bench/bench-line.sh [N] [BUILD_DIR] [--quick]
#
# N (default 4) instruments; BUILD_DIR (default build/native) gives kelo,
# k940-sim and replica.s19; srec_cat and GNU time are used (scripts/setup.sh).
# --quick downloads a smaller image (3 skipped boot records, 2000 application
# and 500 DSP records, ~50 s a download) instead of the replica (~4.5 min).
#
# Each instrument is a k940-sim paced at 38400 baud that answers each record
# 2 ms after its CR (pace=1 reply_delay_ms=2, as the line-efficiency run of
# download-bench.sh), with a link, a transcript and a --memory folder of its
# own. Each kelo is given its own port (KELO_COM1 leads to its simulator's
# link, so each locks a terminal of its own), standard input from /dev/null.
#
# What is measured, and how:
#  1. One download alone first.
#  2. N kelo downloads started at the same moment, one a simulator.
#  For each download: its time from the first record byte to the last reply
#  byte in its simulator's transcript, less the 556 ms pause between
#  sections, against the single one (target: every one within 1%). The total
#  CPU time (user + system, GNU time) of the N kelo processes, as a share of
#  one core over the wall time from their start to the end of the last
#  (target <= 2%). Each instrument's memory against the image: every
#  section-<n>.bin the simulator wrote equals what srec_cat makes of the n-th
#  section sent (srec_cat SECTION -multiple -o - -binary), the sections sent
#  being those from the image's second S0 line on (the instrument's boot code
#  is current), and no section more (target: every memory exact).
# The machine's other load shows in every figure.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
# shellcheck source=bench/common.sh
source "$HERE/common.sh"
bench_options "$@"
N=4
BUILD=build/native
for arg in "${ARGS[@]}"; do
    case "$arg" in
    *[!0-9]*) BUILD=$arg ;;
    *) N=$arg ;;
    esac
done
((N >= 1)) || { echo "N must be at least 1" >&2; exit 2; }
KELO=$BUILD/kelo
SIM=$BUILD/k940-sim
REPLICA=$BUILD/replica.s19
require_files "build $BUILD first" "$KELO" "$SIM" "$REPLICA"
require_tools srec_cat /usr/bin/time python3

WORK=$(mktemp -d /tmp/kelo-bench-line.XXXXXX)
trap bench_cleanup EXIT

IMAGE=$(bench_image "$REPLICA")
PAUSES=$(pauses "$IMAGE")

# The memory each section sent should leave, srec_cat's reading of it:
# $WORK/expected-<n>.bin for the n-th section sent.
mkdir -p "$WORK/sections"
awk -v dir="$WORK/sections" '/^S0/ { n++ } n { print > (dir "/" n ".s19") }' "$IMAGE"
SENT=0
for section in $(seq 2 "$(grep -c '^S0' "$IMAGE")"); do
    SENT=$((SENT + 1))
    srec_cat "$WORK/sections/$section.s19" -multiple -o - -binary 2>/dev/null >"$WORK/expected-$SENT.bin"
    [[ -s $WORK/expected-$SENT.bin ]] || { echo "srec_cat made nothing of section $section" >&2; exit 1; }
done

# memory_faults NAME: what differs between the memory of simulator NAME and
# the image, or nothing.
memory_faults() {
    local dir=$WORK/$1.mem n
    for n in $(seq "$SENT"); do
        if [[ ! -f $dir/section-$n.bin ]]; then
            echo "section $n missing"
        elif ! cmp -s "$dir/section-$n.bin" "$WORK/expected-$n.bin"; then
            echo "section $n differs"
        fi
    done
    [[ ! -e $dir/section-$((SENT + 1)).bin ]] || echo "a section more"
}

# download NAME: kelo on the link of simulator NAME, timed into NAME.time.
# Every download appends its update record to one shared log.
download() {
    KELO_LOG=$WORK/kelo.log KELO_COM1=$WORK/$1.link /usr/bin/time -f "%e %U %S" \
        -o "$WORK/$1.time" "$KELO" "$IMAGE" </dev/null >"$WORK/$1.out" 2>&1
}

echo "kelo: $N downloads at once"
echo "  build:   $BUILD, kelo $(stat -c %s "$KELO") bytes," \
    "commit $(git -C "$SRC" rev-parse --short HEAD 2>/dev/null || echo ?)"
echo "  image:   $IMAGE ($(stat -c %s "$IMAGE") bytes, $(wc -l <"$IMAGE") lines, $SENT sections sent)"
echo "  machine: $(nproc) cores, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo

start_sim "$SIM" single "$WORK/single.link" pace=1 reply_delay_ms=2
download single
stop_pid "$STARTED_PID"

sims=()
for i in $(seq "$N"); do
    start_sim "$SIM" "line$i" "$WORK/line$i.link" pace=1 reply_delay_ms=2
    sims+=("$STARTED_PID")
done
kelos=()
start=$(date +%s.%N)
for i in $(seq "$N"); do
    download "line$i" &
    kelos+=("$!")
    BENCH_PIDS+=("$!")
done
for pid in "${kelos[@]}"; do wait "$pid" || true; done
end=$(date +%s.%N)
for pid in "${sims[@]}"; do stop_pid "$pid"; done

# One line a download: name, finished, window, records, kelo CPU, memory faults.
for name in single $(for i in $(seq "$N"); do echo "line$i"; done); do
    read -r window records < <(window "$WORK/$name.log")
    read -r _ user sys <"$WORK/$name.time"
    done_=$(grep -q "Done\." "$WORK/$name.out" && echo 1 || echo 0)
    faults=$(memory_faults "$name" | paste -sd, -)
    echo "$name $done_ $window $records $user $sys ${faults:-exact}"
done >"$WORK/results"

python3 - "$WORK/results" "$PAUSES" "$start" "$end" "$N" <<'EOF'
import sys
rows = [line.split(maxsplit=6) for line in open(sys.argv[1])]
pauses, start, end, n = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
def seconds(row):
    return float(row[2]) - 0.556 * pauses
single = rows[0]
print(f"   single download: {seconds(single):.3f} s, {single[3]} records, memory {single[6].strip()}"
      + ("" if single[1] == "1" else ", NOT FINISHED"))
worst = 0.0
all_exact = single[6].strip() == "exact"
for row in rows[1:]:
    off = 100 * (seconds(row) / seconds(single) - 1)
    worst = max(worst, abs(off))
    all_exact = all_exact and row[6].strip() == "exact" and row[1] == "1"
    print(f"   {row[0]}: {seconds(row):.3f} s, {off:+.2f}% against the single one, {row[3]} records,"
          f" memory {row[6].strip()}" + ("" if row[1] == "1" else ", NOT FINISHED"))
cpu = sum(float(row[4]) + float(row[5]) for row in rows[1:])
wall = end - start
print(f"   every download within {worst:.2f}% of the single one (target: within 1%)")
print(f"   CPU of the {n} kelo processes: {cpu:.2f} s over {wall:.1f} s: {100 * cpu / wall:.2f}%"
      f" of one core (target <= 2%)")
print(f"   every memory exact: {'yes' if all_exact else 'NO'}")
EOF

# The shared log: one whole line of JSON a download, the lines never mixed.
python3 - "$WORK/kelo.log" "$N" <<'EOF'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1]).read().split("\n") if line]
done = sum(record["outcome"] == "done" for record in records)
print(f"   update records in one KELO_LOG: {len(records)} lines of JSON for {int(sys.argv[2]) + 1}"
      f" downloads, {done} done")
EOF
