#!/bin/bash
# Runs the Windows programs under Wine against the simulated K940: the
# end-to-end tests of kelo.exe and kelo-demo.exe (wine_e2e_tests: start-up,
# probe, downloads, script, keys on a console) and the checks of the Windows
# serial port and console layer, in a Wine prefix of its own that is created
# in a temporary folder and removed afterwards. About 4 minutes, 2.5 of them
# the whole download of the replica.
#
# Usage: run-wine-tests.sh [--quick] [--work DIR] [NATIVE_BUILD [WINDOWS_BUILD]] [-- GTEST_ARGS]
#   NATIVE_BUILD   host build with the simulator and wine_e2e_tests
#                  (default: build/native, or $KELO_NATIVE_BUILD)
#   WINDOWS_BUILD  build with kelo.exe, kelo-demo.exe and replica.s19
#                  (default: build/windows, or $KELO_WINDOWS_BUILD)
#   --quick        leave out the whole download of the replica
#   --work DIR     keep the Wine prefix in DIR (made once, reused) instead
#                  of a temporary folder
#   GTEST_ARGS     passed on, e.g. --gtest_filter='*Probe*'
# Exit status 0 when every test passed.
set -u

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
native="${KELO_NATIVE_BUILD:-$root/build/native}"
windows="${KELO_WINDOWS_BUILD:-$root/build/windows}"
quick=0
work=""
positional=()
gtest_args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --work)
        work="${2:?--work needs a folder}"
        shift
        ;;
    --)
        shift
        gtest_args=("$@")
        break
        ;;
    -h | --help)
        sed -n '2,/^set -u/s/^# \{0,1\}//p' "$0" | sed '$d'
        exit 0
        ;;
    *) positional+=("$1") ;;
    esac
    shift
done
[ ${#positional[@]} -ge 1 ] && native="${positional[0]}"
[ ${#positional[@]} -ge 2 ] && windows="${positional[1]}"

die() {
    echo "run-wine-tests.sh: $*" >&2
    exit 2
}
for tool in wine wineserver; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup.sh)"
done
tests="$native/tests/wine/wine_e2e_tests"
[ -x "$tests" ] || die "$tests is missing: build the native preset (with tests/wine)"
for file in kelo.exe kelo-demo.exe replica.s19; do
    [ -f "$windows/$file" ] || die "$windows/$file is missing: build the windows preset"
done

if [ -n "$work" ]; then
    mkdir -p "$work" || exit 2
    work="$(cd "$work" && pwd)"
    keep=1
else
    work="$(mktemp -d "${TMPDIR:-/tmp}/kelo-wine.XXXXXX")" || exit 2
    keep=0
fi
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    # The tests stop their wineserver; this is for a run that was cut short.
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null
    [ "$keep" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

filter=()
[ "$quick" = 1 ] && filter=(--gtest_filter='-*WholeReplica*')
windows="$(cd "$windows" && pwd)"
export KELO_WINE_WORK="$work" KELO_WINDOWS_BUILD="$windows"
# The tests' scratch and the wineserver's folder (which outlives the
# server) go to a folder of the run's own.
mkdir -p "$work/tmp" || exit 2
export TMPDIR="$work/tmp"
# Wine needs a home; a bare CI job may have none.
export HOME="${HOME:-$work}"

start=$(date +%s)
timeout 900 "$tests" --gtest_color=no "${filter[@]}" "${gtest_args[@]}" </dev/null
status=$?
echo "run-wine-tests.sh: $(($(date +%s) - start)) s, status $status"
[ "$status" = 124 ] && echo "run-wine-tests.sh: timed out" >&2
# Every test removes what it creates; only Wine's own folder stays.
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 ! -name 'wine-*')
if [ -n "$left" ]; then
    echo "run-wine-tests.sh: the tests left these behind:" >&2
    echo "$left" >&2
    status=1
fi
exit $status
