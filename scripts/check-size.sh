#!/usr/bin/env bash
# Every program file must be exactly 69632 bytes: the offset of an appended image.
set -euo pipefail
status=0
for f in "$@"; do
  size=$(stat -c %s "$f")
  if [ "$size" != 69632 ]; then
    echo "check-size: $f is $size bytes, not 69632" >&2
    status=1
  else
    echo "check-size: $f is 69632 bytes"
  fi
done
exit $status
