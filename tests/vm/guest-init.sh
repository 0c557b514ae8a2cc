#!/bin/busybox sh
# shellcheck shell=dash
# /init of the test guest (see run-vm-tests.sh): loads the USB serial
# drivers, runs kelo on ttyS1 (8250) and ttyUSB0 (ftdi_sio) and writes what
# happened to the console, ttyS0. kelo's own output goes to a file first and
# is shown when it has ended: the console is a UART too, and the host reads
# the DTR pulse of ttyS1 from QEMU's trace of UART register writes, which
# must hold no console bytes while kelo opens the port. Lines beginning with
# "@" are facts the host checks.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp

# The kernel package has no modules.dep: load in the order of each module's
# depends= field. The 8250 driver is built in.
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do insmod /modules/$m.ko; done
i=0
while [ ! -e /dev/ttyUSB0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
# devtmpfs makes tty devices 0600; an unprivileged user must reach the busy
# check of row 3, not a permission check.
chmod 0666 /dev/ttyS1 /dev/ttyUSB0

# run NAME DEVICE IMAGE [KELO ARGS]: kelo on DEVICE as COM1 in the
# background; its pid in $pid, its output in /tmp/NAME.out.
run() {
    name=$1 dev=$2 image=$3
    shift 3
    KELO_COM1=$dev KELO_LOG=/tmp/$name.log time -o /tmp/$name.time \
        /kelo "$@" "$image" </dev/null >/tmp/$name.out 2>&1 &
    pid=$!
}
# finish NAME: waits for the run; show NAME STATUS: its output and times.
finish() {
    wait $pid
    show "$1" $?
}
show() {
    echo "@status $1 $2"
    echo "--- kelo output ($1)"
    cat /tmp/$1.out
    times=$(tr '\n' ' ' <"/tmp/$1.time")
    echo "--- end; times: $times"
    echo "@time $1 $times"
}
# holds DEVICE: whether some process has DEVICE open.
holds() {
    for fd in /proc/[0-9]*/fd/*; do [ "$(readlink "$fd")" = "/dev/$1" ] && return 0; done
    return 1
}

echo "== sysfs of the serial ports"
for t in /sys/class/tty/ttyS[0-3] /sys/class/tty/ttyUSB0; do
    echo "$t: device $(readlink -f $t/device) driver $(readlink -f $t/device/driver)" \
        "type $(cat $t/type 2>/dev/null) port $(cat $t/port 2>/dev/null)"
done
u=$(readlink -f /sys/class/tty/ttyUSB0/device/../..)
echo "ttyUSB0 USB device $u: $(cat $u/idVendor):$(cat $u/idProduct)" \
    "serial '$(cat $u/serial)' manufacturer '$(cat $u/manufacturer)' product '$(cat $u/product)'"

echo "== row 6: the ports kelo lists, and all of them"
/kelo --list >/tmp/list.out 2>&1
echo "@status list $?"
sed 's/^/@list /' /tmp/list.out
/kelo --list --all 2>&1 | sed 's/^/@all /'

echo "== row 1: three sections on ttyS1 (8250), the rate found by probing"
echo "#ROW5-START#"
sleep 0.3
run s1 /dev/ttyS1 /three.s19
wait $pid
status=$?
sleep 0.3
echo "#ROW5-END#"
show s1 $status

echo "== rows 1 and 2: three sections on ttyUSB0 (ftdi_sio), latency timer 16 before"
lat=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
echo 16 >$lat
echo "@latency_before $(cat $lat)"
run usb /dev/ttyUSB0 /three.s19
seen=none
while kill -0 $pid 2>/dev/null; do
    holds ttyUSB0 && seen=$(cat $lat)
    sleep 0.1
done
echo "@latency_during $seen"
finish usb

echo "== row 3: exclusive use of ttyS1"
run s1busy /dev/ttyS1 /app.s19 -19
first=$pid
i=0
while ! holds ttyS1 && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
run second /dev/ttyS1 /app.s19 -19
echo "@nobody_busy $(su -s /bin/sh nobody -c 'exec 3<>/dev/ttyS1 && echo opened' 2>&1)"
i=0
while ! grep -q "Cannot open" /tmp/second.out && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
holds ttyS1 && echo "@first_still_held"
finish second
pid=$first
finish s1busy
echo "@nobody_after $(su -s /bin/sh nobody -c 'exec 3<>/dev/ttyS1 && echo opened' 2>&1)"
run again /dev/ttyS1 /app.s19 -19
finish again

echo "== row 4: the USB adapter unplugged by the host during a download"
# The kernel's log times both ends: its own "USB disconnect", and a line a
# watcher writes (looking every 5 ms) when kelo's update record is there.
(while [ ! -s /tmp/unplug.log ]; do usleep 5000; done; echo "kelo: update record written" >/dev/kmsg) &
run unplug /dev/ttyUSB0 /long.s19 -19
finish unplug
at() { dmesg | sed -n "s/^\[ *\([0-9.]*\)\] $1.*/\1/p" | tail -1; }
echo "@unplug_seconds $(at 'usb 1-1: USB disconnect') $(at 'kelo: update record written')"
echo "--- update record (unplug)"
cat /tmp/unplug.log
echo "@unplug_outcome $(grep -o '"outcome":"[a-z_]*"' /tmp/unplug.log)"
echo "--- kernel messages about the adapter"
dmesg | grep -i -E 'usb 1-|ftdi|ttyUSB|kelo' | tail -6
echo "@end"
poweroff -f
