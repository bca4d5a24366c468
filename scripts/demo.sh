#!/usr/bin/env bash
# Runs Tavrik with a simulated receiver that the window lists as a USB serial
# port, /dev/ttyUSB<n>: the simulator plays the receiver on a pseudo-terminal,
# and a private mount namespace shows that pseudo-terminal to Tavrik alone as
# a USB adapter. Needs root (sudo keeps DISPLAY). Leaves nothing behind when
# the window closes. Arguments go to the simulator, for example --rate 10.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--inside" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "The demo makes the simulated receiver appear as a USB serial port, which needs root" >&2
        echo "(a mount namespace and two mounts in it): run  sudo $0" >&2
        exit 1
    fi
    scripts/install-deps.sh run
    cmake --preset release >/dev/null
    cmake --build build/release -j"$(nproc)" --target tavrik tavrik-gnss-sim
    exec unshare --mount --propagation private "$0" --inside "$@"
fi
shift

# In the namespace: what is mounted here goes with it.
work=$(mktemp -d /tmp/tavrik-demo-XXXXXX)
name=""
sim=""
cleanup() {
    [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
    if [ -n "$name" ]; then
        umount "/dev/$name" 2>/dev/null || true
        rm -f "/dev/$name"
    fi
    umount "$work/sys" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

build/release/tools/gnss-sim/tavrik-gnss-sim --pty --wait --rate 1 "$@" >"$work/sim.out" &
sim=$!
for _ in $(seq 50); do
    grep -q '^pty ' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
done
slave=$(sed -n 's/^pty //p' "$work/sim.out")
[ -n "$slave" ] || { echo "the simulator did not start" >&2; exit 1; }

# The first ttyUSB number that this machine does not have.
n=0
while [ -e "/dev/ttyUSB$n" ] || [ -e "/sys/class/tty/ttyUSB$n" ]; do n=$((n + 1)); done
name=ttyUSB$n

# Qt finds serial ports in /sys/class/tty: a made-up USB adapter there, and
# the pseudo-terminal bind-mounted on its device node.
mkdir -p "$work/sys"
mount -t tmpfs tmpfs "$work/sys"
node="$work/sys/devices/pci0000:00/usb1/1-1/1-1:1.0/$name/tty/$name"
mkdir -p "$node/device"
printf 'MAJOR=188\nMINOR=%d\nDEVNAME=%s\n' "$n" "$name" >"$node/uevent"
printf 'DRIVER=ftdi_sio\n' >"$node/device/uevent"
mount -t tmpfs tmpfs /sys/class/tty
ln -s "$node" "/sys/class/tty/$name"
touch "/dev/$name"
mount --bind "$slave" "/dev/$name"

echo "the simulated receiver is $name; open it in the window"
build/release/app/tavrik
