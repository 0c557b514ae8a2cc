#!/usr/bin/env bash
# The packages as a user gets them. Makes the Debian package (native build)
# and the Windows ZIP (windows build) with cpack, unpacks the .deb into a
# scratch root and runs the installed programs there: the usage, a whole
# download into the installed simulator, once from a named image and once as
# a self-contained updater made from the installed kelo. Checks the ZIP's
# kelo.exe and README, and runs lintian on the .deb: no error, and no warning
# that the package does not override with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-package: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(kelo VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb=build/native/kelo_${version}-1_$(dpkg --print-architecture).deb
zip=build/windows/kelo-${version}-win64.zip

work=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The packages, from up-to-date builds.
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2 >/dev/null
done
rm -f "$deb" "$zip"
(cd build/native && cpack >"$work/cpack-native.log" 2>&1) || fail "cpack failed in build/native"
(cd build/windows && cpack >"$work/cpack-windows.log" 2>&1) || fail "cpack failed in build/windows"
[ -f "$deb" ] || fail "cpack made no $deb"
[ -f "$zip" ] || fail "cpack made no $zip"
echo "check-package: $deb ($(stat -c %s "$deb") bytes), $zip ($(stat -c %s "$zip") bytes)"

# The .deb: its fields and its files.
[ "$(dpkg-deb -f "$deb" Package)" = kelo ] || fail "the package is not named kelo"
[ "$(dpkg-deb -f "$deb" Version)" = "${version}-1" ] || fail "the package version is not ${version}-1"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "the package depends on no C library"
root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/kelo usr/bin/k940-sim \
  usr/share/man/man1/kelo.1.gz usr/share/man/man1/k940-sim.1.gz \
  usr/share/doc/kelo/README.md usr/share/doc/kelo/README.k940-sim.md \
  usr/share/doc/kelo/copyright usr/share/doc/kelo/changelog.Debian.gz \
  usr/share/lintian/overrides/kelo; do
  [ -f "$root/$f" ] || fail "the package has no /$f"
done
scripts/check-size.sh "$root/usr/bin/kelo" >/dev/null || fail "the installed kelo is not 69632 bytes"
cmp -s build/native/kelo "$root/usr/bin/kelo" || fail "the installed kelo differs from build/native/kelo"
echo "check-package: installed kelo is $(stat -c %s "$root/usr/bin/kelo") bytes, as built"
for page in kelo k940-sim; do
  errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null) ||
    fail "man -l cannot show the installed $page.1.gz: $errors"
  [ -z "$errors" ] || fail "man -l warns on the installed $page.1.gz: $errors"
done

# The installed programs.
kelo=$root/usr/bin/kelo
k940_sim=$root/usr/bin/k940-sim
"$kelo" -? </dev/null >"$work/usage.txt" || fail "kelo -? ended with status $?"
grep -q "K940 Serial Download Utility        $version" "$work/usage.txt" || fail "kelo -? shows no banner with $version"
grep -q "^Kelo  -38/-19/-96 -1/-2/-3/-4 -r -s -t" "$work/usage.txt" || fail "kelo -? shows no usage"
"$k940_sim" --help >"$work/sim-help.txt" || fail "k940-sim --help ended with status $?"
grep -q "^Usage: k940-sim" "$work/sim-help.txt" || fail "k940-sim --help shows no usage"
echo "check-package: installed kelo -? and k940-sim --help answer"

# A whole download through the installed programs: a boot section that is not
# newer than the instrument's (skipped), application and DSP code.
python3 tools/mkimage/mkimage.py -o "$work/image.s19" \
  --section boot --section app,records=60 --section dsp,records=30
"$k940_sim" --link "$work/com1" --memory "$work/memory" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done
[ -e "$work/com1" ] || fail "the installed k940-sim made no link: $(cat "$work/sim.log")"

download() { # name, then kelo's arguments
  local name=$1 status=0
  shift
  KELO_COM1="$work/com1" "$@" </dev/null >"$work/$name.log" 2>&1 || status=$?
  if [ $status -ne 0 ] || ! grep -q '^Done\.$' "$work/$name.log"; then
    cat "$work/$name.log" >&2
    fail "$name: status $status, or no \"Done.\""
  fi
  echo "check-package: $name: $(grep -c 'Code (v' "$work/$name.log") sections met, \"Done.\", status 0"
}
download "installed kelo image.s19" "$kelo" "$work/image.s19"
cat "$kelo" "$work/image.s19" >"$work/updater"
chmod 755 "$work/updater"
download "updater from the installed kelo" "$work/updater"
kill "$sim"
wait "$sim" || true
sim=
sections=$(find "$work/memory" -name 'section-*.bin' -size +0 | wc -l)
[ "$sections" -eq 4 ] || fail "the simulator programmed $sections sections, not 4 (2 per download)"

# The ZIP: kelo.exe as built, and a README with CR LF line ends.
python3 -m zipfile -e "$zip" "$work/zip"
top=$work/zip/kelo-${version}-win64
[ "$(cd "$work/zip" && find . -type f | sort | tr '\n' ' ')" = \
  "./kelo-${version}-win64/README.txt ./kelo-${version}-win64/kelo.exe " ] ||
  fail "the ZIP holds other files than kelo.exe and README.txt"
scripts/check-size.sh "$top/kelo.exe" >/dev/null || fail "kelo.exe in the ZIP is not 69632 bytes"
cmp -s build/windows/kelo.exe "$top/kelo.exe" || fail "kelo.exe in the ZIP differs from build/windows/kelo.exe"
lines=$(wc -l <"$top/README.txt")
crlf_lines=$(grep -c $'\r$' "$top/README.txt" || true)
[ "$lines" -gt 0 ] && [ "$crlf_lines" -eq "$lines" ] && [ "$(tail -c 2 "$top/README.txt" | od -An -c | tr -d ' ')" = '\r\n' ] ||
  fail "README.txt in the ZIP has $((lines - crlf_lines)) of $lines lines not ended by CR LF"
grep -q 'set KELO_COM1=COM12' "$top/README.txt" || fail "README.txt does not show the COM port mapping"
echo "check-package: ZIP holds kelo.exe (69632 bytes) and README.txt ($lines lines, all CR LF)"

# lintian: errors and warnings fail; accepted tags are overridden in the
# package (usr/share/lintian/overrides/kelo) with their reasons.
# Overridden tags show as "O:" with their reasons ("N:").
lintian --fail-on none --display-info --show-overrides "$deb" >"$work/lintian.txt" 2>&1 ||
  fail "lintian could not check $deb: $(cat "$work/lintian.txt")"
grep -v '^running with root privileges' "$work/lintian.txt" || true
! grep -q '^[EW]: ' "$work/lintian.txt" || fail "lintian finds errors or warnings in $deb"
echo "check-package: lintian finds no error and no warning"
echo "check-package: all passed"
