#!/usr/bin/env bash
# Static analysis of the product's POSIX sources; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
cppcheck --std=c++20 --enable=warning,performance,portability --error-exitcode=1 \
  --inline-suppr --quiet -I src \
  src/driver src/instrument src/image src/download src/script src/terminal \
  src/serial/serial_link.cpp src/serial/serial_port_posix.cpp src/platform/platform_posix.cpp \
  src/platform/keys.cpp
echo "check-static: cppcheck found nothing"
