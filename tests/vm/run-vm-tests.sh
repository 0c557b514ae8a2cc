#!/bin/bash
# Runs the native kelo on the Linux kernel's own serial drivers, in a small
# QEMU guest: the 8250/16550 UART driver (ttyS1) and the FTDI USB adapter
# driver ftdi_sio (ttyUSB0, QEMU's usb-serial, an emulated FT232), with a
# k940-sim on the host end of each line. One guest boot serves every row:
#   1. a three-section download on each port, the simulator at 19200 so
#      that the rate is proven to pass through the real driver;
#   2. the adapter's latency timer, 16 before the run, is 1 while kelo
#      holds the port;
#   3. the port in use: a second kelo fails, an unprivileged open gets
#      EBUSY, and both open again when kelo has ended;
#   4. the adapter unplugged mid-download: "Connection lost on COM1.",
#      status 1, within 2 s, no CPU spin, port_lost in the update record,
#      and the section never programmed;
#   5. DTR: off whenever kelo sends; the short pulse at open is measured;
#   6. kelo --list names ttyS1 (8250) and ttyUSB0 (ftdi_sio, 0403:6001, its
#      serial number) and leaves out the unused ttyS placeholders.
# About a minute; the guest kernel is fetched once with apt-get download
# and cached in $KELO_VM_CACHE (default ~/.cache/kelo-vm). Skips, loudly and
# with status 0, only when QEMU cannot start at all.
#
# Usage: run-vm-tests.sh [--keep] [NATIVE_BUILD]
#   NATIVE_BUILD  the build with kelo and k940-sim (default build/native)
#   --keep        keep the work folder (console, trace, transcripts)
# Exit status 0 when every row passed (or QEMU cannot start), else 1.
set -u

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
native="$root/build/native"
keep=0
for arg in "$@"; do
    case "$arg" in
    --keep) keep=1 ;;
    -h | --help)
        sed -n '2,/^set -u/s/^# \{0,1\}//p' "$0" | sed '$d'
        exit 0
        ;;
    *) native="$arg" ;;
    esac
done
native="$(cd "$native" && pwd)" || exit 1
cache="${KELO_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/kelo-vm}"
qemu="qemu-system-x86_64"
say() { echo "run-vm-tests.sh: $*"; }
die() {
    say "$*" >&2
    exit 1
}
for f in kelo k940-sim; do [ -x "$native/$f" ] || die "$native/$f is missing: build the native preset"; done
for tool in busybox srec_cat python3 apt-get dpkg-deb; do
    command -v $tool >/dev/null || die "$tool is not installed (scripts/setup.sh)"
done

# QEMU that cannot start at all is the one reason to skip. There is no KVM
# here and none is needed: QEMU runs in TCG, which is fast enough.
if ! echo quit | timeout 60 $qemu -M pc -nodefaults -display none -S -monitor stdio >/dev/null 2>&1; then
    echo "**********************************************************************"
    say "SKIPPED: $qemu cannot start here; kelo was NOT tested on the"
    say "kernel's serial drivers (install qemu-system-x86: scripts/setup.sh)"
    echo "**********************************************************************"
    exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/kelo-vm.XXXXXX")" || exit 1
pids=()
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    if [ "$keep" = 1 ]; then say "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The guest kernel: Debian's, never installed, only unpacked. The 8250
# driver and its console are built in; all USB support is modules. The
# package (about 70 MB) is unpacked once; the cache keeps vmlinuz and the
# six modules (about 10 MB) per kernel version.
version=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-//p' | head -1)
[ -n "$version" ] || version=$(ls "$cache" 2>/dev/null | sort -V | tail -1)
[ -n "$version" ] || die "no guest kernel: apt-cache knows no linux-image-amd64 and $cache is empty"
kernel="$cache/$version"
if [ ! -f "$kernel/vmlinuz" ]; then
    say "fetching linux-image-$version into $cache"
    mkdir -p "$cache" && fetch=$(mktemp -d "$cache/fetch.XXXXXX") || exit 1
    (cd "$fetch" && apt-get download -q "linux-image-$version" >/dev/null 2>&1 &&
        dpkg-deb -x linux-image-*.deb x && mkdir k &&
        cp x/boot/vmlinuz-* k/vmlinuz &&
        for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
            cp "$(find x/lib/modules -name "$m.ko")" k/ || exit 1
        done) && mv "$fetch/k" "$kernel"
    rm -rf "$fetch"
    # Kernels of earlier Debian point releases are of no more use.
    [ -f "$kernel/vmlinuz" ] && find "$cache" -mindepth 1 -maxdepth 1 ! -name "$version" -exec rm -rf {} +
    [ -f "$kernel/vmlinuz" ] || die "could not fetch the guest kernel linux-image-$version"
fi

# The initramfs: busybox, kelo with the only libraries it needs (libc and
# the loader), the modules, the images, and guest-init.sh as /init. Its root
# must be mode 0755, or an unprivileged guest user is refused everywhere.
r="$work/root"
mkdir -p "$r/bin" "$r/modules" "$r/etc" "$r/proc" "$r/sys" "$r/dev" "$r/tmp"
chmod 0755 "$r"
cp "$(command -v busybox)" "$r/bin/busybox"
cp "$native/kelo" "$r/kelo"
for lib in $(ldd "$native/kelo" | grep -o '/[^ ]*'); do
    mkdir -p "$r$(dirname "$lib")" && cp -L "$lib" "$r$lib"
done
cp "$kernel"/*.ko "$r/modules/"
cp "$root/tests/vm/guest-init.sh" "$r/init"
echo 'root:x:0:0::/:/bin/sh
nobody:x:65534:65534::/:/bin/sh' >"$r/etc/passwd"
echo 'root:x:0:
nogroup:x:65534:' >"$r/etc/group"
mkimage() { python3 "$root/tools/mkimage/mkimage.py" -o "$r/$1" "${@:2}" || exit 1; }
mkimage three.s19 --section boot --section app --section dsp
mkimage app.s19 --section app,records=100
mkimage long.s19 --section app,records=1000
(cd "$r" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz") || exit 1

# One simulator per line, with the wire time of every byte (QEMU's UART
# does not pace), at 19200 so that the probe's 38400 query goes
# unanswered: the rate kelo set in the guest reaches the host's terminal,
# as QEMU passes the guest UART's rate on to its termios. Its boot code is
# older than the image's, so all three sections go out.
sim() {
    mkdir "$work/$1-memory"
    "$native/k940-sim" --link "$work/$1" --memory "$work/$1-memory" --transcript "$work/$1.transcript" \
        --set baud=19200 --set pace=1 --set reboot_ms=300 --set "ident=K940,SN1234,19991231,20070101,20060101" \
        >"$work/$1.sim-out" 2>&1 &
    pids+=($!)
}
sim s1
sim usb
for _ in $(seq 50); do [ -e "$work/s1" ] && [ -e "$work/usb" ] && break; sleep 0.1; done

# usb-serial attaches only while its chardev is connected (the simulator is
# there). The monitor's device_del unplugs the adapter from the running
# guest. The trace shows the UART register writes (the DTR pulse) and the
# FTDI vendor requests (the latency timer).
start=$(date +%s.%N)
nice -n 10 timeout 300 $qemu -M pc -m 256M -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$kernel/vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
    -serial "file:$work/console.log" \
    -chardev "serial,id=c1,path=$work/s1" -device isa-serial,chardev=c1,index=1 \
    -chardev "serial,id=c2,path=$work/usb" -device qemu-xhci,id=xhci \
    -device usb-serial,id=adapter,bus=xhci.0,chardev=c2,serial=KELO0001 \
    -monitor "unix:$work/monitor,server,nowait" \
    -msg timestamp=on -trace serial_write -trace usb_serial_handle_control -D "$work/trace.log" \
    >"$work/qemu.out" 2>&1 &
qemu_pid=$!
pids+=("$qemu_pid")

# Row 4's unplug: when 20 records of the long download have reached the
# adapter's simulator (its 4th section), device_del through the monitor.
count() { grep -c "$1" "$2" 2>/dev/null; }
unplugged=""
while kill -0 $qemu_pid 2>/dev/null; do
    if [ -z "$unplugged" ] && [ "$(count 'section 4' "$work/usb.transcript")" = 1 ]; then
        first=$(count 'S3 accepted' "$work/usb.transcript")
        while kill -0 $qemu_pid 2>/dev/null && [ "$(count 'S3 accepted' "$work/usb.transcript")" -lt $((first + 20)) ]; do
            sleep 0.02
        done
        unplugged=1
        python3 -c 'import socket,sys,time; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b"device_del adapter\n"); time.sleep(0.5)' "$work/monitor"
    fi
    sleep 0.05
done
wait $qemu_pid
qemu_status=$?
finish=$(date +%s.%N)
for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
pids=()
tr -d '\r' <"$work/console.log" >"$work/console.txt"
echo "---------- guest console"
cat "$work/console.txt"
echo "---------- end of the guest console"
say "guest ran $(awk "BEGIN { printf \"%.1f\", $finish - $start }") s (qemu status $qemu_status)"

# The checks.
failed=0
fact() { sed -n "s/^@$1 //p" "$work/console.txt" | head -1; }
check() {
    local row=$1 what=$2
    shift 2
    if "$@"; then say "row $row ok: $what"; else
        say "row $row FAILED: $what"
        failed=1
    fi
}
has() { grep -q -- "$2" "$work/$1"; }
out() { sed -n "/^--- kelo output ($1)/,/^--- end/p" "$work/console.txt" | grep -q -- "$2"; }

# Row 1: each section of the image, as srec_cat reads it, is what the
# instrument programmed.
awk -v dir="$work" '/^S0/ { n++ } { print > (dir "/section-" n ".s19") }' "$r/three.s19"
same_memory() {
    for n in 1 2 3; do
        srec_cat "$work/section-$n.s19" -multiple -o "$work/expected.bin" -binary 2>/dev/null &&
            cmp -s "$work/expected.bin" "$work/$1-memory/section-$n.bin" || return 1
    done
}
for port in s1 usb; do
    check 1 "$port: status 0" [ "$(fact "status $port")" = 0 ]
    check 1 "$port: Done." out "$port" '^Done\.'
    check 1 "$port: the simulator saw 38400, then 19200 found" has $port.transcript 'not understood at 38400'
    check 1 "$port: the three sections programmed as in the image" same_memory $port
done
check 1 "ttyS1 found at 19200" out s1 'Baud rate set to 19200'

# Row 2.
check 2 "latency timer 16 before the run" [ "$(fact latency_before)" = 16 ]
check 2 "latency timer 1 while kelo holds the port" [ "$(fact latency_during)" = 1 ]
check 2 "the latency request (0x4009) with 1 reached the adapter" \
    grep -q 'usb_serial_handle_control .*control 0x4009, value 0x1$' "$work/trace.log"

# Row 3.
check 3 "a second kelo: status 1" [ "$(fact "status second")" = 1 ]
check 3 "a second kelo: in use" out second 'in use'
check 3 "the first kelo held the port throughout" grep -q '^@first_still_held' "$work/console.txt"
check 3 "an unprivileged open: EBUSY" eval 'fact nobody_busy | grep -q "Device or resource busy"'
check 3 "the first kelo: Done." [ "$(fact "status s1busy")" = 0 ]
check 3 "afterwards an unprivileged open works" [ "$(fact nobody_after)" = opened ]
check 3 "afterwards kelo works" [ "$(fact "status again")" = 0 ]

# Row 4.
check 4 "the adapter was unplugged" [ "$unplugged" = 1 ]
check 4 "status 1" [ "$(fact "status unplug")" = 1 ]
check 4 "Connection lost on COM1." out unplug 'Connection lost on COM1\.'
check 4 "the update record says port_lost" [ "$(fact unplug_outcome)" = '"outcome":"port_lost"' ]
check 4 "no S7 of the unplugged download reached the instrument" [ "$(count 'S7 accepted' "$work/usb.transcript")" = 3 ]
# The guest's kernel log times the loss, from its "USB disconnect" to
# kelo's update record; the process ends after the exit pause (a wait for a
# key), without using the CPU meanwhile.
# shellcheck disable=SC2046 # two numbers
set -- $(fact unplug_seconds)
late=$(awk "BEGIN { printf \"%.2f\", ${2:-999} - ${1:-0} }")
say "row 4: kelo's update record came $late s after the kernel's USB disconnect"
check 4 "the loss seen within 2 s of the unplug" awk "BEGIN { exit !($late <= 2) }"
# shellcheck disable=SC2046 # three numbers
set -- $(fact "time unplug" | grep -o '[0-9.]\+s' | tr -d s)
say "row 4: kelo took ${2:-?} s user, ${3:-?} s system in ${1:-?} s"
check 4 "no CPU spin: user and system time below a quarter of the run's" \
    awk "BEGIN { exit !(${2:-9} + ${3:-9} < ${1:-0} / 4) }"

# Row 5: DTR, from QEMU's trace of the UART register writes between the two
# console markers around row 1's run on ttyS1, when the guest writes nothing
# else to its console. On open the kernel raises DTR and RTS (MCR 0x0b)
# before kelo's first ioctl; kelo clears DTR (MCR 0x0a) at once. DTR must be
# off whenever kelo hands the UART a byte (a THR write), and off at the end.
dtr=$(python3 - "$work/trace.log" <<'PYTHON'
import re, sys
text, window, dtr, dlab, rose, pulses, sent_with_dtr, writes = "", 0, 0, 0, 0, [], 0, 0
for line in open(sys.argv[1]):
    m = re.search(r"@([\d.]+):serial_write write addr 0x(..) val 0x(..)", line)
    if not m:
        continue
    at, addr, value = float(m[1]), int(m[2], 16), int(m[3], 16)
    if addr == 0 and not dlab:
        text = (text + chr(value))[-16:]
        sent_with_dtr += window == 1 and dtr
        writes += window == 1
    if addr == 3:
        dlab = value & 0x80
    if window == 1 and addr == 4:
        if value & 1 and not dtr:
            rose = at
        if dtr and not value & 1:
            pulses.append((at - rose) * 1000)
        dtr = value & 1
    if text.endswith("#ROW5-START#"):
        window = window or 1
    if text.endswith("#ROW5-END#") and window == 1:
        window = 2
print(window, len(pulses), " ".join("%.2f" % p for p in pulses), "|", writes, sent_with_dtr, dtr)
PYTHON
)
say "row 5: window, DTR pulses (ms) | bytes sent, bytes sent with DTR on, DTR at the end: $dtr"
# shellcheck disable=SC2086 # numbers
set -- ${dtr%%|*}
check 5 "the trace holds row 1's run on ttyS1 and its DTR pulses" awk "BEGIN { exit !(${1:-0} == 2 && ${2:-0} > 0) }"
# shellcheck disable=SC2086 # numbers
set -- ${dtr##*|}
check 5 "DTR was off for every byte kelo sent, and at the end" \
    awk "BEGIN { exit !(${1:-0} > 100 && ${2:-1} == 0 && ${3:-1} == 0) }"

# Row 6: ttyS0 is the guest's console, a real UART too; ttyS2 and ttyS3 are
# the kernel's placeholders with no UART behind them (type 0).
lines() { sed -n "s/^@$1 //p" "$work/console.txt"; }
check 6 "--list: status 0" [ "$(fact "status list")" = 0 ]
check 6 "--list names ttyS1 and its driver" eval 'lines list | grep -q "^/dev/ttyS1: serial"'
check 6 "--list names ttyUSB0: ftdi_sio, 0403:6001, serial KELO0001" \
    eval 'lines list | grep "^/dev/ttyUSB0: ftdi_sio" | grep "0403:6001" | grep -q "KELO0001"'
check 6 "--list leaves out the placeholders ttyS2 and ttyS3" eval '! lines list | grep -q "ttyS[23]"'
check 6 "--list --all shows them" eval 'lines all | grep -q "^/dev/ttyS2" && lines all | grep -q "^/dev/ttyS3"'

exit $failed
