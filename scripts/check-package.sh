#!/usr/bin/env bash
# The packages as a user gets them. Makes the Debian package (native build)
# and the Windows ZIP (windows build) with cpack, unpacks the .deb into a
# scratch root and runs the installed programs there: the usage, the version,
# a device refused as the download file, and kelo(1)'s example: a whole
# download of the installed replica image into the installed simulator, then
# one by the installed updater made from it. Checks the ZIP's kelo.exe and
# README, and runs lintian on the .deb: no error, and no warning that the
# package does not override with its reason.
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
  usr/share/lintian/overrides/kelo usr/share/kelo/replica.s19 usr/share/kelo/kelo-demo \
  usr/share/bash-completion/completions/kelo; do
  [ -f "$root/$f" ] || fail "the package has no /$f"
done
scripts/check-size.sh "$root/usr/bin/kelo" >/dev/null || fail "the installed kelo is not 69632 bytes"
cmp -s build/native/kelo "$root/usr/bin/kelo" || fail "the installed kelo differs from build/native/kelo"
replica=$root/usr/share/kelo/replica.s19
cmp -s build/native/replica.s19 "$replica" || fail "the installed replica.s19 differs from the build's"
cat "$root/usr/bin/kelo" "$replica" | cmp -s - "$root/usr/share/kelo/kelo-demo" ||
  fail "the installed kelo-demo is not the installed kelo with replica.s19 appended"
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
"$kelo" -V -x </dev/null >"$work/version.txt" 2>"$work/version-err.txt" || fail "kelo -V ended with status $?"
[ "$(cat "$work/version.txt")" = "kelo $version (POSIX)" ] || fail "kelo -V shows: $(cat "$work/version.txt")"
[ "$(cat "$work/version-err.txt")" = "kelo: not read after -V: -x" ] ||
  fail "kelo -V -x names on standard error: $(cat "$work/version-err.txt")"
status=0
"$kelo" -2 /dev/null </dev/null >"$work/device.txt" 2>"$work/device-err.txt" || status=$?
[ $status -eq 1 ] && ! grep -q Establishing "$work/device.txt" &&
  [ "$(cat "$work/device-err.txt")" = "kelo: /dev/null is a device, not a download file; name the port with --port /dev/null" ] ||
  fail "kelo -2 /dev/null: status $status, standard error: $(cat "$work/device-err.txt")"
"$k940_sim" --help >"$work/sim-help.txt" || fail "k940-sim --help ended with status $?"
grep -q "^Usage: k940-sim" "$work/sim-help.txt" || fail "k940-sim --help shows no usage"
completed=$(bash -c 'shopt -s extglob; source "$1"; COMP_WORDS=(kelo --po); COMP_CWORD=1
  _kelo "$2"; echo "${COMPREPLY[*]}"' _ "$root/usr/share/bash-completion/completions/kelo" "$kelo")
[ "$completed" = --port ] || fail "the installed bash completion makes \"$completed\" of --po"
echo "check-package: installed kelo -?, -V, a device as the file, its completion and k940-sim --help answer"

# kelo(1)'s example through the installed programs and files: whole
# downloads of the replica, whose boot section is not newer than the
# simulator's (skipped), application and DSP code.
example=$(zcat "$root/usr/share/man/man1/kelo.1.gz" | sed -n 's/\\-/-/g; s|^KELO_COM1=/tmp/com1 ||p')
[ "$example" = "$(printf '%s\n' 'kelo /usr/share/kelo/replica.s19' /usr/share/kelo/kelo-demo)" ] ||
  fail "kelo(1)'s example is not the one run here: $example"
"$k940_sim" --link "$work/com1" --memory "$work/memory" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done
[ -e "$work/com1" ] || fail "the installed k940-sim made no link: $(cat "$work/sim.log")"

download() { # name, then kelo's arguments
  local name=$1 status=0
  local log=$work/${name//[^A-Za-z0-9]/_}.log
  shift
  KELO_COM1="$work/com1" "$@" </dev/null >"$log" 2>&1 || status=$?
  if [ $status -ne 0 ] || ! grep -q '^Done\.$' "$log"; then
    cat "$log" >&2
    fail "$name: status $status, or no \"Done.\""
  fi
  echo "check-package: $name: $(grep -c 'Code (v' "$log") sections met, \"Done.\", status 0"
}
while read -r program image; do
  [ "$program" = kelo ] && program=/usr/bin/kelo
  download "kelo(1)'s example: $program${image:+ $image}" "$root$program" ${image:+"$root$image"}
done <<<"$example"
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
