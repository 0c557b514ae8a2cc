#!/bin/bash
# Builds the image fuzz target with clang and runs it for SECONDS seconds on a
# seed corpus made by the image generator. Exits non-zero on any finding.
#
# Usage: tests/fuzz/run-fuzz.sh SECONDS [WORKDIR]
# Without WORKDIR a temporary directory is used and removed again unless the
# fuzzer found something (its crash files are then kept and named).
set -eu
seconds=${1:?usage: run-fuzz.sh SECONDS [WORKDIR]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkimage=$root/tools/mkimage/mkimage.py
python=${PYTHON:-python3}
cxx=${CXX_FUZZ:-clang++}

if [ $# -ge 2 ]; then
    work=$2
    mkdir -p "$work"
    keep=1
else
    work=$(mktemp -d)
    keep=0
fi
cleanup() { if [ "$keep" -eq 0 ]; then rm -rf "$work"; fi; }
trap cleanup EXIT

echo "building the fuzz target in $work"
"$cxx" -std=c++20 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -DKELO_PROGRAM_SIZE=69632 -I"$root/src" \
    "$here/image_fuzz.cpp" "$root/src/image/check_image.cpp" "$root/src/image/record_window.cpp" "$root/src/shared/shared.cpp" \
    "$root/src/platform/files_posix.cpp" "$root/src/record/sha256.cpp" \
    -o "$work/image_fuzz"

# Seeds: each input is one settings byte and the file (see image_fuzz.cpp).
corpus=$work/corpus
mkdir -p "$corpus"
seed() { # name settings-byte generator-arguments...
    local name=$1 flags=$2
    shift 2
    printf "\\x$flags" >"$corpus/$name"
    "$python" "$mkimage" "$@" >>"$corpus/$name"
}
seed small 00 --section boot,records=2 --section app,records=2 --section dsp,records=3
seed forced 01 --section boot,records=1,version=5 --section dsp,records=2,address=0x30000 --lf
seed newer 02 --section boot,records=3,address=0x800 --section app,records=2,address=0x8000
seed unknown 04 --section app,records=2,address=0x10000 --section dsp,records=2
seed long 06 --section app,records=3 --long 3=150 --blank 2
seed script 00 --section app,records=1 --insert "1=@N"
seed offset 08 --section boot,records=2 --insert "1=XXXXXXS00600004844521B"
printf '\x00' >"$corpus/empty"
printf '\x00S00600004844521B\r\n' >"$corpus/one-line"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
(cd "$work" && TMPDIR="$work" ./image_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 corpus) 2>&1 | tee "$work/fuzz.log" | grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|==[0-9]+==|SUMMARY|artifact)' || true
if grep -qE '^(==[0-9]+==ERROR|SUMMARY: |.*deadly signal|.*Test unit written)' "$work/fuzz.log" ||
    ! grep -q 'Done [0-9]* runs' "$work/fuzz.log"; then
    status=1
    keep=1
    echo "fuzzing found a fault: see $work/fuzz.log and the crash-* files in $work"
fi
exit $status
