#!/bin/bash
# A private Wine prefix for running the Windows kelo.exe on Linux, with COM1
# to COM4 mapped to Linux devices (pseudo-terminals, e.g. k940-sim's or one
# end of a socat pair).
#
# As a command:
#   wine-env.sh DIR init                 create DIR/prefix (about 15 s once)
#   wine-env.sh DIR map N DEVICE         COMn -> DEVICE (e.g. /dev/pts/3)
#   wine-env.sh DIR run PROGRAM ARGS...  run a Windows program, stdin /dev/null
#   wine-env.sh DIR stop                 stop the prefix's wineserver
#
# Sourced, it defines the same as functions for the calling script:
#   . tests/wine/wine-env.sh DIR
#   kelo_wine_init; kelo_wine_map_port 1 /dev/pts/3; kelo_wine_run kelo.exe -38
#
# Ports are mapped through the registry key HKLM\Software\Wine\Ports, which
# Wine's mount manager turns into dosdevices/comN when it starts; links put
# into dosdevices by hand can be rewritten then. A port mapped to a path
# that does not exist cannot be opened, like an absent COM port. Unmapped
# ports may point at /dev/ttyS*, so map every port a test relies on.

kelo_wine_setup() {
    if [ -z "$1" ]; then
        echo "wine-env.sh: a directory for the Wine prefix is needed" >&2
        return 2
    fi
    mkdir -p "$1" || return 1
    WINEPREFIX="$(cd "$1" && pwd)/prefix"
    # Quiet, headless, 64-bit; no Mono or Gecko installer prompts.
    export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
    unset WAYLAND_DISPLAY
}

kelo_wine_init() {
    if [ -f "$WINEPREFIX/system.reg" ]; then return 0; fi
    wine wineboot -i >"$WINEPREFIX.init.log" 2>&1 || {
        cat "$WINEPREFIX.init.log" >&2
        return 1
    }
    wineserver -w
}

# kelo_wine_map_port N DEVICE
kelo_wine_map_port() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /d "$2" /f >/dev/null 2>&1 || return 1
    # The mount manager reads the key when the prefix starts next.
    wineserver -k 2>/dev/null
    wineserver -w
}

# kelo_wine_run PROGRAM ARGS...: standard input from /dev/null, so that
# kelo sees no console and its key reads never wait.
kelo_wine_run() {
    wine "$@" </dev/null
}

kelo_wine_stop() {
    wineserver -k 2>/dev/null
    wineserver -w
}

if [ "${BASH_SOURCE[0]}" != "$0" ]; then
    kelo_wine_setup "$1"
    return $?
fi

set -u
kelo_wine_setup "${1:-}" || exit $?
command -v wine >/dev/null || {
    echo "wine-env.sh: wine is not installed" >&2
    exit 2
}
case "${2:-}" in
init) kelo_wine_init ;;
map) kelo_wine_init && kelo_wine_map_port "$3" "$4" ;;
run)
    shift 2
    kelo_wine_run "$@"
    ;;
stop) kelo_wine_stop ;;
*)
    sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac
