#!/usr/bin/env python3
"""End-to-end check of the Windows installer under Wine 10, as a user would use it.

Installs silently into a fresh Wine prefix under an X server of its own,
starts the installed tavrik.exe with the Windows platform plugin, maps a
pseudo-terminal as COM5 and opens it from the window (the receiver must get
its two command lines), bridges it to a UDP peer on 127.0.0.1 and then to a
TCP client of the server role, in both directions, with the capture file on
a drive D: mapped to a folder, and closes the window, which must end the
program with exit code 0.

Usage: scripts/windows-smoke.py INSTALLER [--screenshot PNG]
Runs Wine through scripts/wine10, in the chroot that scripts/windows.sh
--check mounts. The window is driven with xdotool at the places the form
file gives its controls.
"""

import argparse
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMAND_LINES = b"log gpgga ontime 5\r\ninterfacemode auto auto on\r\n"
GGA = b"$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n"
WINE10 = os.path.join(ROOT, "scripts", "wine10")
# Package fonts-wine, in the chroot.
WINE_FONTS = os.path.join(os.environ.get("TAVRIK_WINE_ROOT", "/"), "usr/share/wine/fonts")
CORRECTION = b"\xd3\x00\x13>\xd0\x00\x03\x8aX\xd9I<\x87/4\x10\x9d\x07\xd6\xafH Z\xd7\xf7"


class Failure(Exception):
    pass


def wait_for(what, done, seconds):
    """Polls done() until it gives a true value, for at most `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = done()
        if value:
            return value
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}")


def control_centres(form):
    """The centre of every named control of the form, in window coordinates."""
    centres = {}

    def walk(widget, left, top):
        rect = widget.find("property[@name='geometry']/rect")
        x = y = width = height = 0
        if rect is not None:
            x, y, width, height = (int(rect.find(k).text) for k in ("x", "y", "width", "height"))
        centres[widget.get("name")] = (left + x + width // 2, top + y + height // 2)
        for child in widget.findall("widget"):
            walk(child, left + x, top + y)

    for child in ElementTree.parse(form).getroot().find("widget").findall("widget"):
        walk(child, 0, 0)
    return centres


class Session:
    def __init__(self, work):
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.env.pop("QT_QPA_PLATFORM", None)  # Qt's own Windows platform
        self.xserver = None
        self.program = None

    def start_display(self):
        number = next(n for n in range(80, 160) if not os.path.exists(f"/tmp/.X11-unix/X{n}"))
        self.xserver = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24",
                                         "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
        wait_for("the X server", lambda: os.path.exists(f"/tmp/.X11-unix/X{number}"), 10)
        self.env["DISPLAY"] = f":{number}"

    def run(self, *command, timeout=120):
        return subprocess.run(command, env=self.env, timeout=timeout, check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()

    def xdotool(self, *arguments):
        return self.run("xdotool", *arguments, timeout=20)

    def close(self):
        if self.program and self.program.poll() is None:
            self.program.kill()
        subprocess.run([WINE10, "wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        if self.xserver:
            self.xserver.terminate()
            self.xserver.wait(10)


def read_until(fd, expected, seconds):
    received = b""
    deadline = time.monotonic() + seconds
    while expected not in received and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            received += os.read(fd, 4096)
    if expected not in received:
        raise Failure(f"the pseudo-terminal got {received!r}, not {expected!r}")


def free_tcp_port():
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def connect_tcp(port):
    """A TCP connection to 127.0.0.1:port, or None while nothing listens."""
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=2)
    except OSError:
        return None


def check(installer, screenshot):
    work = tempfile.mkdtemp(prefix="tavrik-wine-")
    session = Session(work)
    try:
        session.start_display()
        session.run(WINE10, "wineboot", "-i", timeout=300)
        drives = os.path.join(session.prefix, "dosdevices")

        # A fresh prefix maps COM1 to /dev/ttyS0, the machine's console.
        # Only COM5 is offered.
        serialcomm = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
        if os.path.lexists(os.path.join(drives, "com1")):
            os.remove(os.path.join(drives, "com1"))
        subprocess.run([WINE10, "wine", "reg", "delete", serialcomm, "/v", r"\Device\Serial0", "/f"],
                       env=session.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Windows has Tahoma, the font its dialogs and Qt's widgets ask for;
        # a fresh Wine prefix does not find Wine's own copy, and the window's
        # Latin text would fall on whatever font matches best, such as a TeX
        # math font that draws it as symbols.
        fonts = os.path.join(session.prefix, "drive_c", "windows", "Fonts")
        for name in ("tahoma.ttf", "tahomabd.ttf"):
            shutil.copy(os.path.join(WINE_FONTS, name), fonts)
        session.run(WINE10, "wine", installer, "/S")
        installed = os.path.join(session.prefix, "drive_c", "Program Files", "Tavrik")
        for name in ("tavrik.exe", "Uninstall.exe", "platforms/qwindows.dll", "LICENSE.txt",
                     "THIRD-PARTY-NOTICES.txt"):
            if not os.path.exists(os.path.join(installed, name)):
                raise Failure(f"the installer did not install {name}")
        session.run(WINE10, "wine", "reg", "query",
                    r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrik")
        menu = os.path.join(session.prefix, "drive_c", "ProgramData", "Microsoft", "Windows",
                            "Start Menu", "Programs", "Tavrik", "Tavrik.lnk")
        if not os.path.exists(menu):
            raise Failure("no Start-menu entry")

        master, slave = os.openpty()
        os.symlink(os.ttyname(slave), os.path.join(drives, "com5"))
        session.run(WINE10, "wine", "reg", "add", serialcomm, "/v", r"\Device\Serial4", "/t", "REG_SZ",
                    "/d", "COM5", "/f")
        capture = os.path.join(work, "d")
        os.mkdir(capture)
        os.symlink(capture, os.path.join(drives, "d:"))

        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.bind(("127.0.0.1", 0))
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        local_port = probe.getsockname()[1]
        probe.close()

        session.program = subprocess.Popen([WINE10, "wine", r"C:\Program Files\Tavrik\tavrik.exe"],
                                           env=session.env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
        def find_window():
            found = subprocess.run(["xdotool", "search", "--name", "^Tavrik$"], env=session.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            return found.stdout.decode().split()

        window = wait_for("the window", find_window, 60)[0]
        geometry = dict(line.split("=") for line in
                        session.xdotool("getwindowgeometry", "--shell", window).split())
        left, top = int(geometry["X"]), int(geometry["Y"])
        time.sleep(3)  # the window is mapped before Qt has laid it out and drawn it
        centres = control_centres(os.path.join(ROOT, "widget", "widget.ui"))

        def click(name):
            x, y = centres[name]
            session.xdotool("mousemove", str(left + x), str(top + y), "click", "1")
            time.sleep(0.3)

        def enter(name, text):
            click(name)
            session.xdotool("key", "ctrl+a")
            session.xdotool("type", "--delay", "30", text)

        click("ConnectBtn")
        read_until(master, COMMAND_LINES, 10)
        enter("lEditIpAddr", "127.0.0.1")
        enter("lEditIpPort", str(local_port))
        enter("lEditUdpIP", "127.0.0.1")
        enter("lEditUdpPort", str(peer.getsockname()[1]))
        click("pBtnNetCnnt")
        time.sleep(1)

        # A receiver streams: a sentence every half second until one arrives.
        def streams_to(sock, receive):
            received = b""

            def step():
                nonlocal received
                os.write(master, GGA)
                time.sleep(0.5)
                while select.select([sock], [], [], 0)[0]:
                    chunk = receive()
                    if not chunk:
                        break  # the TCP client's link closed
                    received += chunk
                return GGA in received
            return step

        wait_for("a sentence from COM5 as a UDP datagram",
                 streams_to(peer, lambda: peer.recvfrom(65536)[0]), 10)
        peer.sendto(CORRECTION, ("127.0.0.1", local_port))
        read_until(master, CORRECTION, 10)
        capture_file = os.path.join(capture, "testBase.txt")

        def captured(count):
            return lambda: (os.path.exists(capture_file)
                            and open(capture_file, "rb").read() == CORRECTION * count)

        wait_for("the datagram in the capture file", captured(1), 10)

        # The TCP server role: the second entry of the role list.
        click("pBtnNetCnnt")
        click("cBoxNetType")
        session.xdotool("key", "Down", "Return")
        time.sleep(0.3)
        server_port = free_tcp_port()
        enter("lEditIpAddr", "127.0.0.1")
        enter("lEditIpPort", str(server_port))
        click("pBtnNetCnnt")
        client = wait_for("a TCP client connected to the server role",
                          lambda: connect_tcp(server_port), 10)
        wait_for("a sentence from COM5 at the TCP client",
                 streams_to(client, lambda: client.recv(65536)), 10)
        client.sendall(CORRECTION)
        read_until(master, CORRECTION, 10)
        wait_for("the TCP client's block in the capture file", captured(2), 10)

        if screenshot:
            time.sleep(1)
            subprocess.run(["import", "-window", "root", "-crop", f"800x600+{left}+{top}",
                            screenshot], env=session.env, check=True)

        # The window manager's way of closing, as Windows sends it.
        session.xdotool("windowfocus", "--sync", window)
        session.xdotool("key", "alt+F4")
        code = session.program.wait(30)
        if code != 0:
            raise Failure(f"the program ended with exit code {code}")
        print("windows smoke test passed: installed silently; COM5 listed and opened, the receiver"
              " got its command lines; a sentence from COM5 reached a UDP peer and a TCP client"
              " of the server role; a datagram and the client's block reached COM5 and the"
              " capture file on D:; closed with exit code 0")
    finally:
        session.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("installer")
    parser.add_argument("--screenshot")
    arguments = parser.parse_args()
    try:
        check(os.path.abspath(arguments.installer), arguments.screenshot)
    except (Failure, subprocess.SubprocessError, OSError) as failure:
        print(f"windows smoke test failed: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
