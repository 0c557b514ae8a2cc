#!/bin/bash
# A private Wine prefix for trying the Windows kelo.exe by hand, set up the
# way the tests set theirs up: COM1 to COM4 and COM12 are mapped once to the
# links DIR/com1 .. DIR/com4 and DIR/com12, and pointing a link at a device
# (a simulator's terminal, say) changes the port at once, without restarting
# Wine. COM12 is reached through the environment: KELO_COM1=COM12.
#
#   wine-env.sh DIR init                 create DIR/prefix, map the ports (about 20 s once)
#   wine-env.sh DIR port N DEVICE        COMn -> DEVICE (e.g. /tmp/com1 of k940-sim --link)
#   wine-env.sh DIR run PROGRAM ARGS...  run a Windows program, standard input kept
#   wine-env.sh DIR stop                 stop the prefix's wineserver
#
# Example:
#   build/native/k940-sim --link /tmp/sim &
#   tests/wine/wine-env.sh /tmp/kw init
#   tests/wine/wine-env.sh /tmp/kw port 1 /tmp/sim
#   tests/wine/wine-env.sh /tmp/kw run build/windows/kelo-demo.exe
set -u

dir="${1:-}"
command="${2:-}"
if [ -z "$dir" ] || [ -z "$command" ]; then
    sed -n '2,/^set -u/s/^# \{0,1\}//p' "$0" | sed '$d' >&2
    exit 2
fi
command -v wine >/dev/null || {
    echo "wine-env.sh: wine is not installed" >&2
    exit 2
}
mkdir -p "$dir" || exit 1
dir="$(cd "$dir" && pwd)"
# Quiet, headless, 64-bit; no Mono or Gecko installer prompts.
export WINEPREFIX="$dir/prefix" WINEARCH=win64 WINEDEBUG=-all DISPLAY="" \
    WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY

# point N DEVICE: a new link renamed over the old one.
point() {
    ln -sfn "$2" "$dir/com$1.new" && mv -Tf "$dir/com$1.new" "$dir/com$1"
}

case "$command" in
init)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wine wineboot -i >"$dir/init.log" 2>&1 || {
            cat "$dir/init.log" >&2
            exit 1
        }
    fi
    for n in 1 2 3 4 12; do
        [ -e "$dir/com$n" ] || [ -L "$dir/com$n" ] || point "$n" "$dir/absent"
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$dir/com$n" /f >/dev/null 2>&1 ||
            exit 1
    done
    # The mount manager reads the key when the prefix starts next.
    wineserver -k 2>/dev/null
    wineserver -w
    ;;
port) point "${3:?port number}" "${4:?device}" ;;
run)
    shift 2
    # A server of its own, kept between runs and quiet: one started by wine
    # would write to this terminal when it is stopped.
    wineserver -p >/dev/null 2>&1
    wine "$@"
    ;;
stop)
    wineserver -k 2>/dev/null
    wineserver -w
    ;;
*)
    sed -n '2,/^set -u/s/^# \{0,1\}//p' "$0" | sed '$d' >&2
    exit 2
    ;;
esac
