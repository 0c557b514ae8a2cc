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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
echo "setup: done"
