#!/usr/bin/env python3
"""Boots a kernel and initramfs under QEMU (software emulation, no display
window) and serves the guest's requests until it powers off.

The guest talks over its serial console; lines that start with "@@zr " are
requests, everything else is logged:

  @@zr screendump NAME    the host saves the screen as OUT/NAME.png, then
                          answers "ok" on the serial line (the guest waits)
  @@zr screendumps NAME COUNT
                          COUNT screendumps OUT/NAME-001.png ... taken at
                          random moments (a random pause of up to 40 ms
                          before each), then "ok"
  @@zr file NAME          the following lines, up to "@@zr end", are base64;
                          the host decodes them into OUT/NAME
  @@zr hmp COMMAND...     the host runs COMMAND on QEMU's monitor (sendkey,
                          device_add, device_del ...), then answers "ok"
  @@zr qmp JSON           the host sends JSON over QMP (input-send-event ...),
                          then answers "ok"
  @@zr done               the guest is finished and powers off

The whole serial log goes to OUT/serial.log. The session fails (exit 1) when
the guest does not say "done" and power off before the deadline, and QEMU is
killed then: a hung guest never stalls the caller.
"""
import argparse
import base64
import os
import random
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


class Session:
    def __init__(self, args):
        self.args = args
        self.out = args.out
        self.deadline = time.monotonic() + args.timeout
        # A socket path must stay short (108 bytes): not under OUT.
        self.monitor_dir = tempfile.mkdtemp(prefix="zr-qemu-")
        self.monitor_path = os.path.join(self.monitor_dir, "monitor")
        self.qmp_path = os.path.join(self.monitor_dir, "qmp")
        self.qmp = None
        self.qmp_pending = b""
        self.log = open(os.path.join(self.out, "serial.log"), "wb")
        self.proc = None
        self.monitor = None
        self.file_name = None
        self.file_lines = []
        self.done = False
        # Printed, so that a run's moments can be taken again (--seed).
        self.seed = args.seed if args.seed is not None else random.randrange(1 << 32)
        self.random = random.Random(self.seed)

    def start(self):
        # std: the VGA device whose VESA modes vesafb uses (--size: the mode
        # it offers a DRM driver); bochs: the same device for its DRM driver,
        # at 800x600; virtio: a virtio-gpu.
        gpu = {
            "std": ["-vga", "std"] if self.args.size is None else
                   ["-vga", "none", "-device", "VGA,xres=%d,yres=%d" % self.args.size],
            "bochs": ["-vga", "none", "-device", "VGA,xres=800,yres=600"],
            "virtio": ["-vga", "none", "-device", "virtio-gpu-pci,xres=800,yres=600"],
        }[self.args.gpu]
        cmd = [
            self.args.qemu, "-machine", "pc", "-accel", "tcg", "-m", str(self.args.memory),
            ] + gpu + ["-display", "none", "-no-reboot",
            "-kernel", self.args.kernel, "-initrd", self.args.initrd,
            "-append", self.args.append,
            "-serial", "stdio",
            "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path,
            "-parallel", "none", "-net", "none",
        ]
        if self.args.input:
            # A keyboard and a tablet on virtio, and QMP for input-send-event.
            cmd += ["-device", "virtio-keyboard-pci,id=kbd1", "-device", "virtio-tablet-pci,id=tablet1",
                    "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)

    def connect_monitor(self):
        while self.monitor is None:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(self.monitor_path)
                self.monitor = s
            except OSError:
                s.close()
                if time.monotonic() > self.deadline or self.proc.poll() is not None:
                    raise RuntimeError("QEMU monitor did not come up")
                time.sleep(0.05)
        self.monitor_command(None)  # read the banner up to the first prompt

    def monitor_command(self, command):
        """Sends one command and returns what QEMU printed before its next prompt."""
        if command is not None:
            self.monitor.sendall(command.encode() + b"\n")
        data = b""
        self.monitor.settimeout(max(1.0, self.deadline - time.monotonic()))
        while not data.endswith(b"(qemu) "):
            chunk = self.monitor.recv(4096)
            if not chunk:
                raise RuntimeError("QEMU monitor closed")
            data += chunk
        return data.decode(errors="replace")

    def qmp_line(self):
        while b"\n" not in self.qmp_pending:
            chunk = self.qmp.recv(4096)
            if not chunk:
                raise RuntimeError("QMP closed")
            self.qmp_pending += chunk
        line, self.qmp_pending = self.qmp_pending.split(b"\n", 1)
        return line.decode(errors="replace")

    def qmp_command(self, text):
        """Sends one QMP command and returns its answer (events before it are skipped)."""
        if self.qmp is None:
            self.qmp = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.qmp.settimeout(max(1.0, self.deadline - time.monotonic()))
            self.qmp.connect(self.qmp_path)
            self.qmp_line()  # the greeting
            self.qmp_command('{"execute": "qmp_capabilities"}')
        self.qmp.sendall(text.encode() + b"\n")
        while True:
            line = self.qmp_line()
            if '"return"' in line or '"error"' in line:
                if '"error"' in line:
                    print("qemu-session: QMP %s: %s" % (text, line), file=sys.stderr)
                return line

    def save_screen(self, name):
        path = os.path.abspath(os.path.join(self.out, name + ".png"))
        reply = self.monitor_command("screendump %s -f png" % path)
        if not os.path.exists(path):
            raise RuntimeError("screendump %s failed: %s" % (name, reply.strip()))

    def answer(self):
        self.proc.stdin.write(b"ok\n")
        self.proc.stdin.flush()

    def screendump(self, name):
        self.save_screen(name)
        self.answer()

    def screendumps(self, name, count):
        print("qemu-session: %d screendumps %s, seed %d" % (count, name, self.seed))
        # The guest keeps running meanwhile: its serial output waits in the
        # pipe and is read afterwards.
        for i in range(1, count + 1):
            time.sleep(self.random.uniform(0, 0.04))
            self.save_screen("%s-%03d" % (name, i))
        self.answer()

    def handle(self, line):
        text = line.rstrip(b"\r\n")
        if self.file_name is not None:
            if text == b"@@zr end":
                try:
                    data = base64.b64decode(b"".join(self.file_lines))
                except ValueError as e:
                    raise RuntimeError("file %s from the guest: %s" % (self.file_name, e))
                with open(os.path.join(self.out, self.file_name), "wb") as f:
                    f.write(data)
                self.file_name = None
                self.file_lines = []
            else:
                self.file_lines.append(text)
            return
        if not text.startswith(b"@@zr "):
            return
        words = text.decode(errors="replace").split()
        if words[1] == "screendump" and len(words) == 3:
            self.screendump(words[2])
        elif words[1] == "screendumps" and len(words) == 4:
            self.screendumps(words[2], int(words[3]))
        elif words[1] == "file" and len(words) == 3:
            self.file_name = os.path.basename(words[2])
        elif words[1] == "hmp" and len(words) > 2:
            reply = self.monitor_command(" ".join(words[2:]))
            if "rror" in reply:
                print("qemu-session: %s: %s" % (" ".join(words[2:]), reply.strip()), file=sys.stderr)
            self.answer()
        elif words[1] == "qmp" and len(words) > 2:
            self.qmp_command(text.decode(errors="replace").split(None, 2)[2])
            self.answer()
        elif words[1] == "done":
            self.done = True

    def run(self):
        self.start()
        self.connect_monitor()
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
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
        if self.monitor is not None:
            self.monitor.close()
        if self.qmp is not None:
            self.qmp.close()
        shutil.rmtree(self.monitor_dir, ignore_errors=True)
        self.log.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--qemu", default="qemu-system-x86_64")
    p.add_argument("--kernel", required=True)
    p.add_argument("--initrd", required=True)
    p.add_argument("--append", required=True, help="kernel command line")
    p.add_argument("--gpu", choices=["std", "bochs", "virtio"], default="std",
                   help="display device: std (VESA modes), bochs (800x600), virtio (virtio-gpu, 800x600)")
    p.add_argument("--size", type=lambda v: tuple(int(n) for n in v.split("x", 1)), default=None,
                   help="WxH: the std VGA's preferred mode, as bochs's DRM driver takes it")
    p.add_argument("--input", action="store_true",
                   help="a virtio keyboard and tablet, and QMP for the guest's qmp requests")
    p.add_argument("--seed", type=int, default=None, help="seed of the random pauses between screendumps")
    p.add_argument("--memory", type=int, default=256, help="guest memory in MiB")
    p.add_argument("--timeout", type=float, default=120, help="seconds for the whole boot")
    p.add_argument("--out", required=True, help="directory for the log, pictures and files")
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    session = Session(args)
    started = time.monotonic()
    try:
        session.run()
    except (RuntimeError, TimeoutError, OSError, subprocess.TimeoutExpired) as e:
        print("qemu-session: %s (log: %s)" % (e, os.path.join(args.out, "serial.log")),
              file=sys.stderr)
        return 1
    finally:
        session.stop()
    print("qemu-session: guest finished in %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
