#!/usr/bin/env bash
# Installs what building and testing kelo needs, from Debian's packages.
# Runs as root (or through sudo); installs nothing that is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-format            # build
  googletest libgtest-dev                       # unit and end-to-end tests
  clang libclang-rt-14-dev                      # fuzzing with libFuzzer
  g++-mingw-w64-x86-64                          # the Windows program
  wine wine64                                   # running it here
  srecord                                       # an independent S-record reader
  tmux                                          # terminal-mode test in a real terminal
  valgrind strace python3 procps time           # benchmarks, image generator
  cppcheck                                      # static analysis
  groff-base man-db                             # checking the manual pages
  dpkg-dev file lintian                         # the Debian package: Depends, checks
)
# Without their recommendations (27 packages, 83 MB installed).
lean_packages=(
  qemu-system-x86 busybox-static                # kelo on the kernel's serial drivers
)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
lean_missing=()
for p in "${lean_packages[@]}"; do installed "$p" || lean_missing+=("$p"); done
if [ ${#missing[@]} -eq 0 ] && [ ${#lean_missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "setup: installing ${missing[*]} ${lean_missing[*]}"
"${as_root[@]}" apt-get update -qq
install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq)
[ ${#missing[@]} -eq 0 ] || "${install[@]}" "${missing[@]}" >/dev/null
[ ${#lean_missing[@]} -eq 0 ] || "${install[@]}" --no-install-recommends "${lean_missing[@]}" >/dev/null
echo "setup: done"
