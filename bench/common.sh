# shellcheck shell=bash
# Helpers of the benchmark scripts (download-bench.sh, bench-line.sh,
# wine-bench.sh); sourced, not run. The sourcing script sets SRC (the source
# tree) and, before it starts anything, WORK (a scratch folder of its own);
# it calls bench_cleanup from its EXIT trap.
#
# Every process started here is remembered by its id and ended by that id:
# the machine is shared, and nothing else is touched.

BENCH_PIDS=()
STARTED_PID=

# The options every bench takes: --quick sets QUICK to 1, -h and --help show
# the script's header comment; the other arguments are left in ARGS.
# shellcheck disable=SC2034 # QUICK and ARGS are read by the sourcing script
bench_options() {
    local arg
    QUICK=0
    ARGS=()
    for arg in "$@"; do
        case "$arg" in
        --quick) QUICK=1 ;;
        -h | --help)
            sed -n '2,/^set -euo/s/^# \{0,1\}//p' "$0" | sed '$d'
            exit 0
            ;;
        *) ARGS+=("$arg") ;;
        esac
    done
}

# The image a bench downloads: with --quick a short one (sections of 3, 2000
# and 500 records) made in WORK, else REPLICA. Prints its path.
bench_image() {
    if ((QUICK)); then
        python3 "$SRC/tools/mkimage/mkimage.py" --section boot,records=3 \
            --section app,records=2000 --section dsp,records=500 -o "$WORK/quick.s19" >&2
        echo "$WORK/quick.s19"
    else
        echo "$1"
    fi
}

# Ends the script (status 2) unless every file exists: HINT says what to
# build. "require_files HINT FILE..."
require_files() {
    local hint=$1 f
    shift
    for f in "$@"; do
        [[ -e $f ]] || { echo "missing $f: $hint" >&2; exit 2; }
    done
}

# Ends the script (status 2) unless every command is installed.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 2; }
    done
}

# The process ids of this script's children still running are ended, then the
# scratch folder goes.
bench_cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}

# Ends a process started here (SIGTERM) and waits for it.
stop_pid() {
    local pid=$1 kept=() p
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
    for p in "${BENCH_PIDS[@]}"; do [[ $p == "$pid" ]] || kept+=("$p"); done
    BENCH_PIDS=("${kept[@]}")
}

# Compiles bench/bare_loop.cpp and bench/responder.cpp into $WORK.
build_bench_programs() {
    local program
    for program in bare_loop responder; do
        g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/$program" "$SRC/bench/$program.cpp"
    done
}

# Waits until LINK exists (the server PID made it), up to 10 s.
wait_link() {
    local link=$1 pid=$2
    for _ in $(seq 200); do
        [[ -L $link ]] && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "no link $link from process $pid" >&2
    return 1
}

# start_sim SIM NAME LINK SETTING...: the simulator SIM on LINK, its
# transcript in $WORK/NAME.log, its memory in $WORK/NAME.mem/, its output in
# $WORK/NAME.sim. Sets STARTED_PID.
start_sim() {
    local sim=$1 name=$2 link=$3
    shift 3
    local sets=() s
    for s in "$@"; do sets+=(--set "$s"); done
    rm -f "$link"
    mkdir -p "$WORK/$name.mem"
    "$sim" --link "$link" --transcript "$WORK/$name.log" --memory "$WORK/$name.mem" \
        "${sets[@]}" </dev/null >"$WORK/$name.sim" 2>&1 &
    STARTED_PID=$!
    BENCH_PIDS+=("$STARTED_PID")
    wait_link "$link" "$STARTED_PID"
}

# start_responder NAME LINK: bench/responder on LINK; its report goes to
# $WORK/NAME.report when it is stopped. Sets STARTED_PID.
start_responder() {
    local name=$1 link=$2
    rm -f "$link" "$WORK/$name.report"
    "$WORK/responder" --link "$link" --report "$WORK/$name.report" </dev/null >/dev/null 2>&1 &
    STARTED_PID=$!
    BENCH_PIDS+=("$STARTED_PID")
    wait_link "$link" "$STARTED_PID"
}

# report_field NAME FIELD: a field of the responder's report (after it ended).
report_field() {
    tr ' ' '\n' <"$WORK/$1.report" | sed -n "s/^$2=//p"
}

# Fixed pauses of a download of IMAGE to an instrument whose boot code is
# current: kelo pauses 556 ms after the Programming of each section it sends
# but the last.
pauses() {
    local headers
    headers=$(grep -c '^S0' "$1")
    echo $((headers > 2 ? headers - 2 : 0))
}

# window TRANSCRIPT: the download in a simulator's transcript, first record
# byte to last reply byte, in seconds, and the number of records the
# instrument took.
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

# ideal IMAGE EXTRA REPLY TURN_MS BAUD: the least time of the records kelo
# sends from IMAGE on a line at BAUD (10 bits a byte) when each record counts
# EXTRA bytes behind its text, the reply REPLY bytes and the instrument starts
# its reply TURN_MS after the record.
ideal() {
    python3 - "$@" <<'EOF'
import sys
image, extra, reply = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
turn, byte = float(sys.argv[4]) / 1000.0, 10.0 / float(sys.argv[5])
headers = 0
total = 0.0
for raw in open(image, "rb"):
    line = raw.rstrip(b"\r\n")
    if line.startswith(b"S0"):
        headers += 1
    if headers >= 2 and line:
        total += (len(line) + extra + reply) * byte + turn
print(total)
EOF
}

# cpu_ticks PID: user + system clock ticks of a running process so far (0
# once it has gone). The fields are counted after the name in parentheses.
cpu_ticks() {
    { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null || echo; } | awk '{ print $12 + $13 }'
}
