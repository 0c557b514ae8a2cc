#!/usr/bin/env bash
# Static analysis of the product's POSIX sources; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
cppcheck --std=c++20 --enable=warning,performance,portability --error-exitcode=1 \
  --inline-suppr --quiet -I src \
  src/driver src/shared src/record src/instrument src/image src/download src/script src/terminal \
  src/serial/serial_link.cpp src/serial/serial_port_posix.cpp src/platform/platform_posix.cpp \
  src/platform/files_posix.cpp src/platform/keys.cpp
echo "check-static: cppcheck found nothing"
# Layers: no include runs from a lower folder to a higher one.
if ! scripts/code-figures.sh --layers >/dev/null; then
  echo "check-static: an include runs upwards:" >&2
  scripts/code-figures.sh --layers >&2 || true
  exit 1
fi
echo "check-static: every include runs downwards"
