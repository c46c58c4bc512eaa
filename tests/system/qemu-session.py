#!/usr/bin/env python3
"""Boots a kernel and initramfs under QEMU (software emulation, no display
window) and serves the guest's requests until it powers off.

The guest talks over its serial console (all of it goes to OUT/serial.log);
lines that start with "@@zr " are requests, each answered "ok" once done:

  screendump NAME          the screen saved as OUT/NAME.png
  screendumps NAME COUNT   OUT/NAME-001.png ..., each after a random pause of
                           up to 40 ms (the guest runs on meanwhile)
  file NAME                the lines up to "@@zr end", base64, into OUT/NAME
                           (not answered)
  hmp COMMAND...           COMMAND on QEMU's monitor (sendkey, device_add ...)
  qmp JSON                 JSON over QMP (input-send-event ...)
  done                     the guest is finished and powers off

The session fails (exit 1) when the guest does not say "done" and power off
before the deadline; QEMU is killed then: a hung guest never stalls the caller.
"""
import argparse
import base64
import os
import random
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time


class Session:
    def __init__(self, args):
        self.args = args
        self.deadline = time.monotonic() + args.timeout
        # A socket path must stay short (108 bytes): not under OUT.
        self.socket_dir = tempfile.mkdtemp(prefix="zr-qemu-")
        self.log = open(os.path.join(args.out, "serial.log"), "wb")
        self.proc = self.monitor = self.qmp = self.file_name = None
        self.file_lines = []
        self.done = False
        # Printed, so that a run's moments can be taken again (--seed).
        self.seed = args.seed if args.seed is not None else random.randrange(1 << 32)
        self.random = random.Random(self.seed)

    def start(self):
        # std: the VGA device whose VESA modes vesafb uses (--size: the mode
        # it offers a DRM driver); bochs: the same device for its DRM driver;
        # virtio: a virtio-gpu.
        size = self.args.size or (800, 600)
        if self.args.gpu == "std" and self.args.size is None:
            gpu = ["-vga", "std"]
        else:
            device = "virtio-gpu-pci" if self.args.gpu == "virtio" else "VGA"
            gpu = ["-vga", "none", "-device", "%s,xres=%d,yres=%d" % ((device,) + size)]
        cmd = ["qemu-system-x86_64", "-machine", "pc", "-accel", "tcg", "-m", "256"] + gpu + [
            "-display", "none", "-no-reboot", "-kernel", self.args.kernel, "-initrd", self.args.initrd,
            "-append", self.args.append, "-serial", "stdio", "-parallel", "none", "-net", "none",
            "-monitor", "unix:%s/monitor,server=on,wait=off" % self.socket_dir]
        if self.args.input:
            # A keyboard and a tablet on virtio, and QMP for input-send-event.
            cmd += ["-device", "virtio-keyboard-pci,id=kbd1", "-device", "virtio-tablet-pci,id=tablet1",
                    "-qmp", "unix:%s/qmp,server=on,wait=off" % self.socket_dir]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def connect(self, name):
        """A socket QEMU serves, once it has come up."""
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(os.path.join(self.socket_dir, name))
                return s
            except OSError:
                s.close()
                if time.monotonic() > self.deadline or self.proc.poll() is not None:
                    raise RuntimeError("QEMU's %s did not come up" % name)
                time.sleep(0.05)

    def read_until(self, sock, pending, end):
        """Reads from sock until pending holds end; returns what comes before it and the rest."""
        sock.settimeout(max(1.0, self.deadline - time.monotonic()))
        while end not in pending:
            chunk = sock.recv(4096)
            if not chunk:
                raise RuntimeError("QEMU closed a socket")
            pending += chunk
        head, rest = pending.split(end, 1)
        return head.decode(errors="replace"), rest

    def monitor_command(self, command):
        """Runs one command and returns what QEMU printed before its next prompt."""
        if self.monitor is None:
            self.monitor = self.connect("monitor")
            self.read_until(self.monitor, b"", b"(qemu) ")  # the banner
        self.monitor.sendall(command.encode() + b"\n")
        return self.read_until(self.monitor, b"", b"(qemu) ")[0]

    def qmp_command(self, text):
        """Sends one QMP command and returns its answer (events before it are skipped)."""
        if self.qmp is None:
            self.qmp, self.qmp_pending = self.connect("qmp"), b""
            self.qmp_line()  # the greeting
            self.qmp_command('{"execute": "qmp_capabilities"}')
        self.qmp.sendall(text.encode() + b"\n")
        while True:
            line = self.qmp_line()
            if '"error"' in line:
                print("qemu-session: QMP %s: %s" % (text, line), file=sys.stderr)
            if '"return"' in line or '"error"' in line:
                return line

    def qmp_line(self):
        line, self.qmp_pending = self.read_until(self.qmp, self.qmp_pending, b"\n")
        return line

    def save_screen(self, name):
        path = os.path.abspath(os.path.join(self.args.out, name + ".png"))
        reply = self.monitor_command("screendump %s -f png" % path)
        if not os.path.exists(path):
            raise RuntimeError("screendump %s failed: %s" % (name, reply.strip()))

    def handle(self, line):
        text = line.rstrip(b"\r\n")
        if self.file_name is not None:
            if text != b"@@zr end":
                self.file_lines.append(text)
                return
            try:
                data = base64.b64decode(b"".join(self.file_lines))
            except ValueError as e:
                raise RuntimeError("file %s from the guest: %s" % (self.file_name, e))
            with open(os.path.join(self.args.out, self.file_name), "wb") as f:
                f.write(data)
            self.file_name, self.file_lines = None, []
            return
        if not text.startswith(b"@@zr "):
            return
        words = text.decode(errors="replace").split()
        request = text.decode(errors="replace").split(None, 2)[2] if len(words) > 2 else ""
        if words[1] == "screendump" and len(words) == 3:
            self.save_screen(words[2])
        elif words[1] == "screendumps" and len(words) == 4:
            print("qemu-session: %s screendumps %s, seed %d" % (words[3], words[2], self.seed))
            for i in range(1, int(words[3]) + 1):
                time.sleep(self.random.uniform(0, 0.04))
                self.save_screen("%s-%03d" % (words[2], i))
        elif words[1] == "file" and len(words) == 3:
            self.file_name = os.path.basename(words[2])
            return
        elif words[1] == "hmp" and request:
            reply = self.monitor_command(request)
            if "rror" in reply:
                print("qemu-session: %s: %s" % (request, reply.strip()), file=sys.stderr)
        elif words[1] == "qmp" and request:
            self.qmp_command(request)
        elif words[1] == "done":
            self.done = True
            return
        else:
            return
        self.proc.stdin.write(b"ok\n")
        self.proc.stdin.flush()

    def run(self):
        self.start()
        self.monitor_command("info version")  # fails early when QEMU does not come up
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        pending = b""
        while True:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("guest did not finish within %d s" % self.args.timeout)
            if not sel.select(timeout=min(left, 1.0)):
                continue
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            self.log.write(chunk)
            self.log.flush()
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.handle(line)
        status = self.proc.wait(timeout=max(1.0, self.deadline - time.monotonic()))
        if not self.done:
            raise RuntimeError("guest stopped without finishing (QEMU status %d)" % status)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for s in (self.monitor, self.qmp):
            if s is not None:
                s.close()
        shutil.rmtree(self.socket_dir, ignore_errors=True)
        self.log.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("--kernel", "--initrd", "--append", "--out"):
        p.add_argument(name, required=True)
    p.add_argument("--gpu", choices=["std", "bochs", "virtio"], default="std")
    # The std VGA's preferred mode, as bochs's DRM driver takes it.
    p.add_argument("--size", type=lambda v: tuple(int(n) for n in v.split("x", 1)), default=None)
    p.add_argument("--input", action="store_true", help="a virtio keyboard and tablet, and QMP")
    p.add_argument("--seed", type=int, default=None, help="of the random pauses between screendumps")
    p.add_argument("--timeout", type=float, default=120, help="seconds for the whole boot")
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    session = Session(args)
    started = time.monotonic()
    try:
        session.run()
    except (RuntimeError, TimeoutError, OSError, subprocess.TimeoutExpired) as e:
        print("qemu-session: %s (log: %s)" % (e, os.path.join(args.out, "serial.log")), file=sys.stderr)
        return 1
    finally:
        session.stop()
    print("qemu-session: guest finished in %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
