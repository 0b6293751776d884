#!/usr/bin/env python3
"""The demo's story told on the emulated board (scripts/demo --board).

The same story scripts/demo tells in namespaces, with the real thing: the
router boots, a FAT32 stick goes into root port 2 of its EHCI controller,
a file is written on it, the stick is pulled, a WDS link joins br0, and an
RA default route on a non-bridge link is deleted and reported. It drives the
board with the stories' Board and their steps, and prints a heading per
step, the daemons' console lines, what plexd decoded, and an "ok:" line for
each thing that must have happened. Exits 0 only when all of them did.
"""

import argparse
import os
import re
import sys
import time

# The stories are imported from beside this file; no byte code is left there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stories import (Board, Stories, StoryFailed, check, fat_read,  # noqa: E402
                     make_stick, storage_msgs, wait_for)

BOLD, PLAIN = ("\033[1m", "\033[0m") if sys.stdout.isatty() else ("", "")


class Demo:
    def __init__(self, board, stories):
        self.b = board
        self.s = stories
        self.failed = 0
        self.step_no = 0

    # -- what the reader sees
    def say(self, heading):
        self.step_no += 1
        print(f"\n{BOLD}== {self.step_no}. {heading}{PLAIN}", flush=True)

    @staticmethod
    def ok(text):
        print(f"   ok: {text}", flush=True)

    def bad(self, text):
        print(f"   FAILED: {text}", flush=True)
        self.failed += 1

    def expect(self, cond, text, why=""):
        if cond:
            self.ok(text)
        else:
            self.bad(f"{text}{': ' + why if why else ''}")
        return cond

    @staticmethod
    def show(text, label):
        for line in text.splitlines():
            if line.strip():
                print(f"   {label} | {line}", flush=True)

    def show_console(self, mark):
        """The console lines since mark: plexd's decoded messages apart from
        the lines of hotplug and the kernel."""
        for line in self.b.since(mark).splitlines():
            if not line.strip():
                continue
            if line.startswith("MSG_"):
                label = "plexd  "
            elif re.fullmatch(r"\w+: (started \(\d+\)|stopped|already running)", line):
                label = "init   "
            elif re.match(r"(\[\d+ )?hotplug", line):
                label = "hotplug"
            else:
                label = "console"
            print(f"   {label} | {line}", flush=True)

    # -- the steps
    def boots(self):
        self.say("The router boots (qemu, Malta, big-endian MIPS; busybox init, /etc/init.d/plumbing)")
        t = time.monotonic()
        self.b.boot()
        self.ok(f"the board is up and takes commands after {time.monotonic() - t:.1f} s")
        self.show(self.b.ok("uname -srm"), "uname  ")
        self.show_console(0)
        status = self.b.ok("/etc/init.d/plumbing status")
        self.show(status, "status ")
        self.expect(all(f"{d}: running" in status for d in ("plexd", "hotplug", "route6mon")),
                    "plexd, hotplug and route6mon run")
        self.s.settle()

    def plug(self):
        self.say("A USB stick with one FAT32 partition goes into root port 2")
        self.img = make_stick(self.s.img("demo-fat32"), ["fat32"])
        print(f"   (a 64 MiB image, {os.path.basename(self.img)}, plugged as a removable usb-storage "
              "device into port 2 of the EHCI controller through QMP)", flush=True)
        t = time.monotonic()
        self.dev, mark, m = self.s.plug_and_mount(self.img, "ehci.0", 2, "/mnt/usb2_1", "vfat")
        took = time.monotonic() - t
        self.s.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.s.settle()
        self.show_console(mark)
        line = next((l for l in self.b.ok("cat /proc/mounts").splitlines() if " /mnt/usb2_1 " in l), "")
        self.show(line, "mounts ")
        self.ok(f"mounted at /mnt/usb2_1 as {m[1]} from {m[0]}, {took:.1f} s after the plug")
        self.expect("rw" in m[2], "mounted read-write", ",".join(m[2]))
        msgs = storage_msgs(self.b.since(mark))
        self.expect(("DISK_ADDED", 2, 0) in msgs, "plexd heard DISK_ADDED (disk 2, partition 0)")
        self.expect(("PART_MOUNTED", 2, 1) in msgs, "plexd heard PART_MOUNTED (disk 2, partition 1)")

    def write_and_pull(self):
        self.say("A file is written on /mnt/usb2_1, synced, and the stick is pulled")
        text = f"hello from the router, {time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}"
        self.b.ok(f"echo '{text}' >/mnt/usb2_1/hello.txt && sync")
        self.show(self.b.ok("ls -l /mnt/usb2_1"), "ls     ")
        self.ok("wrote /mnt/usb2_1/hello.txt and synced")
        mark = self.b.mark()
        self.s.pull(self.dev, 2)
        self.s.settle()
        self.show_console(mark)
        msgs = storage_msgs(self.b.since(mark))
        self.expect(("PART_UNMOUNTED", 2, 1) in msgs, "plexd heard PART_UNMOUNTED (disk 2, partition 1)")
        self.expect(("DISK_REMOVED", 2, 0) in msgs, "plexd heard DISK_REMOVED (disk 2, partition 0)")
        self.ok("nothing left under /mnt or /var/dev, no mount left in /proc/mounts")
        got = fat_read(self.img, "hello.txt")
        self.expect(got == text + "\n", f"the file is on the stick's image, read on this machine: {got!r}",
                    "not what was written")

    def wds(self):
        self.say("A WDS link wds0 appears and joins the LAN bridge br0")
        print("   (a dummy link named wds0 stands in for the wireless driver's link)", flush=True)
        mark = self.b.mark()
        self.b.ok("rm -f /tmp/tools.log; ip link add wds0 type dummy")
        try:
            joined = wait_for(lambda: self.b.sh("test -e /sys/class/net/br0/brif/wds0")[0] == 0, 30, 0.5)
            want = ["sendarp -s br0 -d br0", "radioctl -i wds0 wds_enable 1"]
            ran = wait_for(lambda: self.b.ok("cat /tmp/tools.log 2>/dev/null; true").splitlines() == want
                           and want, 10) or self.b.ok("cat /tmp/tools.log 2>/dev/null; true").splitlines()
            self.show_console(mark)
            self.show(self.b.ok("brctl show br0"), "brctl  ")
            self.show("\n".join(ran), "ran    ")
            self.expect(joined, "wds0 is a port of br0")
            flags = self.b.ok("cat /sys/class/net/wds0/flags")
            self.expect(int(flags, 16) & 1, "wds0 is up", f"flags {flags}")
            stp = wait_for(lambda: self.b.ok("cat /sys/class/net/br0/bridge/stp_state") == "1", 10)
            self.expect(stp, "spanning tree is on for br0")
            self.expect(ran == want, "the wireless tools ran: sendarp, then radioctl", repr(ran))
        finally:
            self.b.sh("ip link del wds0")
            self.s.settle()

    def ra_route(self):
        self.say("A router advertisement's default route on wan0 (not a bridge)")
        report = (r'MSG_IPV6_ROUTE_EVENT src=102\S* dst=21\S* flags=0x80000000 '
                  r'dataLength=144 entries=1 \[0\] ifName="wan0" ')
        self.b.ok("ip link add wan0 type dummy && ip link set wan0 up && "
                  "ip -6 addr add 2001:db8:1::5/64 dev wan0")
        try:
            # Its global address is reported on its own first.
            check(wait_for(lambda: re.search(report + r'gateway="" address="2001:db8:1::5"',
                                             self.b.console()), 10, 0.2),
                  "the global address of wan0 was not reported")
            mark = self.b.mark()
            command = "ip -6 route add default via fe80::1 dev wan0 proto ra metric 1024"
            print(f"   # {command}", flush=True)
            print("   (installed as the kernel installs a router advertisement's route: proto ra)", flush=True)
            t0 = time.monotonic()
            self.b.ok(command)
            gone = wait_for(lambda: "default" not in self.b.ok("ip -6 route show dev wan0"), 5, 0.1)
            t_gone = time.monotonic() - t0
            found = wait_for(lambda: re.search(report + r'gateway="fe80::1" address=""', self.b.since(mark)),
                             10, 0.1)
            t_report = time.monotonic() - t0
            self.show(self.b.ok("ip -6 route show dev wan0"), "route  ")
            self.show_console(mark)
            self.expect(gone, f"route6mon deleted the default route (gone {t_gone:.2f} s after ip added it)",
                        self.b.ok("ip -6 route show dev wan0"))
            self.expect(found and 1.5 <= t_report <= 6,
                        f"plexd heard wan0 via fe80::1 about 2 s later ({t_report:.1f} s after the route came)",
                        "no report" if not found else "not about 2 s")
        finally:
            self.b.sh("ip link del wan0")

    def run(self):
        for step in (self.boots, self.plug, self.write_and_pull, self.wds, self.ra_route):
            try:
                step()
            except StoryFailed as e:
                self.bad(str(e))
                print(f"   (the console's last lines:)\n{self.b.tail(self.b.console_path, 800)}", flush=True)
                if step == self.boots:
                    return
                try:
                    self.b.unplug_all()
                except StoryFailed:
                    pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()

    t0 = time.monotonic()
    board = Board(args.kernel, args.initrd, args.work)
    demo = Demo(board, Stories(board, args.work))
    try:
        demo.run()
    finally:
        if getattr(board, "qemu", None) and board.qemu.poll() is None:
            board.shutdown()
    on_board = time.monotonic() - t0
    started = os.environ.get("DEMO_STARTED")
    total = f"{time.time() - float(started):.0f} s in all, " if started else ""
    print(f"\n   (the console: {board.console_path}, the kernel's log: {board.boot_log})")
    if demo.failed:
        print(f"demo: {demo.failed} thing(s) did not happen (see FAILED above; {total}{on_board:.0f} s on the board)")
        return 1
    print(f"demo: every step happened as described ({total}{on_board:.0f} s on the board)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
