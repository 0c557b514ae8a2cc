#!/usr/bin/env bash
# Figures of the codebase's shape, for reviews: which product translation
# units compile against <windows.h> or <termios.h>, the mutable globals with
# external linkage, the function lengths, and test lines against product
# lines. Needs the native build (build/native) for the globals; the Windows
# figures need x86_64-w64-mingw32-g++.
#   scripts/code-figures.sh
#   scripts/code-figures.sh --layers   only the layer check; status 1 when
#                                      an include runs upwards
set -euo pipefail
cd "$(dirname "$0")/.."

# The product's folders from the bottom up: a file includes headers of its
# own layer and of lower ones only. The platform and the serial port are the
# two seams at the bottom; the driver, at the top, alone includes the modes.
layers() {
  python3 - <<'EOF'
import pathlib, re, sys
level = {"platform": 0, "serial": 0, "shared": 1, "record": 2, "script": 3, "image": 4,
         "instrument": 5, "download": 6, "terminal": 6, "driver": 7}
upward = []
for path in sorted(pathlib.Path("src").rglob("*")):
    if path.suffix not in (".cpp", ".h"):
        continue
    own = path.parts[1]
    for included in re.findall(r'#include "(\w+)/', path.read_text()):
        if level[included] > level[own]:
            upward.append(f"  {path} includes {included}/")
print("\n".join(upward) if upward else "  none")
sys.exit(1 if upward else 0)
EOF
}
if [ "${1:-}" = --layers ]; then
  layers
  exit
fi

echo "== includes that run from a lower folder to a higher one"
echo "   (platform, serial < shared < record < script < image < instrument < download, terminal < driver)"
layers || true

products=$(find src -name '*.cpp' | sort)

echo "== files that include <windows.h> or <termios.h> themselves"
grep -lE '#include <(windows|termios)\.h>' -r src tests tools bench | sort | sed 's/^/  /'

# A translation unit counts when the header is among its dependencies, as
# the compiler itself lists them (-MM does not follow system headers, -M does).
echo "== product translation units that compile against them"
posix_units=0
for unit in $products; do
  case $unit in *_win32.cpp) continue ;; esac
  if g++ -std=c++20 -Isrc -M "$unit" 2>/dev/null | grep -q '/termios\.h'; then
    echo "  termios.h: $unit"
    posix_units=$((posix_units + 1))
  fi
done
windows_units=0
if command -v x86_64-w64-mingw32-g++ >/dev/null; then
  for unit in $products; do
    case $unit in *_posix.cpp) continue ;; esac
    if x86_64-w64-mingw32-g++ -std=c++20 -Isrc -DWIN32_LEAN_AND_MEAN -DNOMINMAX -M "$unit" \
      2>/dev/null | grep -qi '/windows\.h'; then
      echo "  windows.h: $unit"
      windows_units=$((windows_units + 1))
    fi
  done
fi
echo "  total: $posix_units POSIX, $windows_units Windows"

echo "== mutable globals with external linkage (native product objects)"
lib=build/native/libkelo_core.a
if [ -f "$lib" ]; then
  # B: zero-initialised data, D: initialised data, both global.
  globals=$(nm -C --defined-only "$lib" | awk '$2 ~ /^[BD]$/ { $1 = ""; $2 = ""; print "  " substr($0, 3) }' | sort)
  echo "$globals"
  echo "  total: $(grep -c . <<<"$globals")"
else
  echo "  (no $lib: build the native preset first)"
fi

echo "== function lengths in src (lines from the signature to the closing brace)"
# shellcheck disable=SC2086,SC2046
ctags --output-format=json --fields=+ne --kinds-C++=f -o - $products $(find src -name '*.h') |
  python3 -c '
import json, statistics, sys
rows = []
for line in sys.stdin:
    tag = json.loads(line)
    if "end" in tag:
        rows.append((tag["end"] - tag["line"] + 1, tag["name"], tag["path"]))
rows.sort(reverse=True)
print("  functions: %d, median %g lines" % (len(rows), statistics.median(r[0] for r in rows)))
for length, name, path in rows[:5]:
    print("  %4d  %s (%s)" % (length, name, path))
'

echo "== lines (wc -l)"
count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \
  -o -name CMakeLists.txt \) -print0 | xargs -0 cat | wc -l; }
product=$(count src)
tests=$(count tests)
echo "  product (src): $product"
echo "  tests (tests): $tests ($(python3 -c "print(round($tests / $product, 2))") x the product)"
echo "  test tools (tools, bench): $(count tools bench)"
