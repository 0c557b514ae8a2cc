#!/usr/bin/env bash
# The whole test suite: builds every preset, checks the house rules and the
# manual pages, makes and checks the packages, runs the native and the
# sanitizer tests, a short fuzz run and the Windows program under Wine;
# and the native program on the kernel's own serial drivers in a QEMU guest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-format.sh
scripts/check-static.sh
scripts/check-man.sh

for preset in native asan windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
scripts/check-size.sh build/native/kelo build/windows/kelo.exe
scripts/check-package.sh

# The tests' temporary files go to a folder of their own, which must be
# empty when they are done: every test removes what it creates.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch TEST_TMPDIR=$scratch
ctest --preset native -j2
tests/vm/run-vm-tests.sh
ctest --preset asan -j2
if [ -x tests/fuzz/run-fuzz.sh ]; then tests/fuzz/run-fuzz.sh "${KELO_FUZZ_SECONDS:-60}"; fi
if [ -x tests/wine/run-wine-tests.sh ]; then tests/wine/run-wine-tests.sh; fi
left=$(find "$scratch" -mindepth 1 -maxdepth 1)
if [ -n "$left" ]; then
  echo "test.sh: the tests left these in the temporary folder:" >&2
  echo "$left" >&2
  exit 1
fi
echo "test.sh: all passed, nothing left in the temporary folder"
