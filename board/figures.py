#!/usr/bin/env python3
"""The board's figures, measured on the emulated router (scripts/board --figures).

For each image it is given (--image LIBC=DIR, one per C library the daemons
are built against: glibc's first, then musl's), boots the board ROUNDS times
with the stories' Board and, on each boot, measures: the time to "board: ready"; VmRSS, Private_Dirty and Anonymous
(summed over /proc/<pid>/smaps) of hotplug and route6mon at idle, after every story of
board/stories.py has run, and at the end of the boot; device_add →
PART_MOUNTED and device_del → DISK_REMOVED for a FAT32 and an NTFS stick
(from the QMP command to plexd's line on the console); a card put in a
reader → PART_MOUNTED and pulled → PART_UNMOUNTED; the idle CPU with an
empty two-slot reader against none; and hotplug's
per-package cost against the minimal fork loop (board-dispatch-bench, run
in the guest); and a 32 MiB copy to a FAT32 stick mounted by hand with and
without flush.
With --warm N it then times N whole runs of scripts/board --libc LIBC for
each. The stripped sizes of the installed binaries and the image's size
come from the images.

Prints each figure as median and min-max per C library, side by side, as a
markdown table ready for docs/board.md, and keeps it in
build-figures/figures.md.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import threading
import time

# The stories are imported from beside this file; no byte code is left there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stories import Board, Stories, StoryFailed, check, make_stick, wait_for  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class TimedBoard(Board):
    """The stories' Board, noting when each QMP command was sent."""

    def __init__(self, *args):
        super().__init__(*args)
        self.sent = {}

    def qmp_cmd(self, name, **args):
        self.sent[name] = time.monotonic()
        return super().qmp_cmd(name, **args)

    def console_size(self):
        return os.path.getsize(self.console_path)


def watch(board, offset, pattern, timeout=120):
    """Starts polling the console from byte offset for pattern (every 10 ms,
    in a thread); returns a function that waits and gives the time it was
    first seen (time.monotonic()), or None."""
    seen = {}
    rx = re.compile(pattern)

    def poll():
        end = time.monotonic() + timeout
        with open(board.console_path, "rb") as f:
            text = b""
            while time.monotonic() < end:
                f.seek(offset + len(text))
                text += f.read()
                if rx.search(text.decode(errors="replace")):
                    seen["t"] = time.monotonic()
                    return
                time.sleep(0.01)

    th = threading.Thread(target=poll, daemon=True)
    th.start()

    def result():
        th.join()
        return seen.get("t")
    return result


def msg(kind, disk, part):
    return rf"MSG_STORAGE_{kind} src=51\S* dst=21\S* flags=\S+ dataLength=8 disk={disk} partition={part}\b"


class Figures:
    def __init__(self, board, stories, args, libc, samples, notes):
        self.b = board
        self.s = stories
        self.args = args
        self.libc = libc
        self.samples = samples  # figure name -> {libc: list of values}, in the order first met
        self.notes = notes

    def add(self, name, value):
        self.samples.setdefault(name, {}).setdefault(self.libc, []).append(value)
        print(f"   {name} ({self.libc}): {value:g}", file=sys.stderr, flush=True)

    # -- one boot
    def round(self, n):
        print(f"figures: boot {n} ({self.libc})", file=sys.stderr, flush=True)
        t = time.monotonic()
        self.b.boot()
        self.add("boot to ready (s)", round(time.monotonic() - t, 2))
        self.s.settle()
        time.sleep(2)
        self.memory("idle")
        if not self.args.no_stories:
            self.stories()
            self.s.settle()
            time.sleep(2)
            self.memory("after the stories")
        for _ in range(self.args.samples):
            self.plug_and_pull("fat32", "vfat", 2)
            self.plug_and_pull("ntfs", "fuseblk", 1)
        self.cards()
        self.idle_cpu()
        self.dispatch()
        # The stories restart the daemons; these have lived through the
        # plugs and the bursts (over 2,000 events) without a restart.
        self.s.settle()
        time.sleep(2)
        self.memory("after the plugs and bursts")
        self.fat_flush()
        self.b.shutdown()

    def memory(self, when):
        for d in ("hotplug", "route6mon"):
            pid = self.b.ok(f"cat /var/run/{d}.pid")
            rss = self.b.ok(f"awk '/^VmRSS:/ {{print $2}}' /proc/{pid}/status")
            smaps = self.b.ok(f"awk '/^Private_Dirty:/ {{d += $2}} /^Anonymous:/ {{a += $2}} "
                              f"END {{print d, a}}' /proc/{pid}/smaps").split()
            self.add(f"{d} VmRSS, {when} (KiB)", int(rss))
            self.add(f"{d} Private_Dirty, {when} (KiB)", int(smaps[0]))
            # The board's root is an initramfs, whose file pages are always
            # dirty: Private_Dirty counts the daemon's own text as well.
            # Anonymous is its heap, stack and written data alone.
            self.add(f"{d} Anonymous, {when} (KiB)", int(smaps[1]))

    def stories(self):
        names = [n for n in Stories.__dict__ if n.startswith("story_")]
        failed = []
        for n in names:
            try:
                getattr(self.s, n)()
                self.b.unplug_all()
            except Exception as e:  # noted with the figures; the round goes on when the board answers
                failed.append(n[len("story_"):].replace("_", "-"))
                print(f"figures: story {failed[-1]} failed: {e}", file=sys.stderr, flush=True)
                check(self.b.answering and self.b.sh("true", timeout=15)[0] == 0,
                      "the board stopped answering during the stories")
                self.b.unplug_all()
        print(f"figures: {len(names) - len(failed)} of {len(names)} stories passed", file=sys.stderr, flush=True)
        if failed:
            self.notes.append(f"stories that failed in a round ({self.libc}): {', '.join(failed)}")

    def plug_and_pull(self, kind, fstype, port):
        img = self.s.img(f"figures-{kind}")
        if not os.path.exists(img):
            make_stick(img, [kind])
        label = "FAT32" if kind == "fat32" else "NTFS (ntfs-3g)"
        seen = watch(self.b, self.b.console_size(), msg("PART_MOUNTED", port, 1))
        dev = self.b.plug(img, "ehci.0", port)
        t_add = self.b.sent["device_add"]
        mounted = seen()
        check(mounted, f"{label}: no PART_MOUNTED")
        self.s.wait_mounted(f"/mnt/usb{port}_1", fstype)
        self.add(f"{label}: device_add → PART_MOUNTED (s)", round(mounted - t_add, 2))
        self.s.settle()
        seen = watch(self.b, self.b.console_size(), msg("DISK_REMOVED", port, 0))
        self.b.unplug(dev)
        t_del = self.b.sent["device_del"]
        removed = seen()
        check(removed, f"{label}: no DISK_REMOVED")
        self.add(f"{label}: device_del → DISK_REMOVED (s)", round(removed - t_del, 2))
        self.s.check_clean()
        self.s.settle()

    def cards(self):
        """A two-slot card reader on root port 2, plugged with a card in
        slot 1 (mounted at usb2_1) and slot 0 empty: a FAT32 card put in
        slot 0 (usb2_2) and pulled again, from the QMP command that closes
        or opens the tray to plexd's line."""
        img = self.s.img("figures-card")
        if not os.path.exists(img):
            make_stick(img, ["fat32"])
        other = self.s.img("figures-card-other")
        if not os.path.exists(other):
            make_stick(other, ["fat32"])
        seen = watch(self.b, self.b.console_size(), msg("PART_MOUNTED", 2, 1))
        reader = self.b.plug_reader("ehci.0", 2, [None, other])
        check(seen(), "the card reader's card was not mounted")
        self.s.settle()
        for _ in range(self.args.samples):
            seen = watch(self.b, self.b.console_size(), msg("PART_MOUNTED", 2, 2))
            self.b.insert_card(reader, 0, img)
            t_in = self.b.sent["blockdev-close-tray"]
            mounted = seen()
            check(mounted, "card put in: no PART_MOUNTED")
            self.add("card put in → PART_MOUNTED (s)", round(mounted - t_in, 2))
            self.s.settle()
            seen = watch(self.b, self.b.console_size(), msg("PART_UNMOUNTED", 2, 2))
            self.b.pull_card(reader, 0)
            t_out = self.b.sent["blockdev-open-tray"]
            gone = seen()
            check(gone, "card pulled: no PART_UNMOUNTED")
            self.add("card pulled → PART_UNMOUNTED (s)", round(gone - t_out, 2))
            self.s.settle()
        self.b.unplug(reader)
        self.s.settle()

    def idle_cpu(self):
        """The board's busy share of the CPU over 60 s (from /proc/stat)
        with nothing plugged, then with a two-slot reader whose slots are
        empty (polled every 2 s each)."""
        def busy():
            time.sleep(5)
            stat = "head -n 1 /proc/stat"
            a = list(map(int, self.b.ok(stat).split()[1:]))
            time.sleep(60)
            b = list(map(int, self.b.ok(stat).split()[1:]))
            d = [y - x for x, y in zip(a, b)]
            return 100.0 * (sum(d) - d[3] - d[4]) / sum(d)  # all but idle and iowait
        self.s.settle()
        self.add("idle CPU busy over 60 s, nothing plugged (%)", round(busy(), 2))
        reader = self.b.plug_reader("ehci.0", 2, [None, None])
        check(wait_for(lambda: self.b.ok("cat /sys/block/sdb/events_poll_msecs 2>/dev/null; true") == "2000", 30, 0.5),
              "the empty reader's slots are not polled")
        self.s.settle()
        self.add("idle CPU busy over 60 s, empty two-slot reader (%)", round(busy(), 2))
        self.b.unplug(reader)
        self.s.settle()

    def fat_flush(self):
        """A 32 MiB copy to a FAT32 stick mounted by hand with and without
        flush (the daemons stopped, so nothing else mounts it): how long the
        copy takes until it is closed, and how long after that the data is
        on the device (the disk's written sectors cover the file and no
        request is in flight)."""
        img = self.s.img("figures-fat-flush")
        if not os.path.exists(img):
            make_stick(img, ["fat32"], size_mib=128)
        self.b.ok("/etc/init.d/plumbing stop")
        dev = self.b.plug(img, "ehci.0", 2)
        try:
            check(wait_for(lambda: self.b.sh("test -b /dev/sda1")[0] == 0, 30, 0.2), "the FAT32 stick did not appear")
            self.b.ok("dd if=/dev/urandom of=/tmp/src bs=1M count=32 2>/dev/null; mkdir -p /tmp/m")
            sectors = "$(awk '{print $7}' /sys/block/sda/stat)"
            copy = ("sync; echo 3 >/proc/sys/vm/drop_caches; w0=" + sectors + "; "
                    "a=$(cut -d' ' -f1 /proc/uptime); cat /tmp/src >/tmp/m/f; b=$(cut -d' ' -f1 /proc/uptime); "
                    "until [ $((" + sectors + " - w0)) -ge 65536 ] && "
                    "[ \"$(awk '{print $9}' /sys/block/sda/stat)\" = 0 ]; do sleep 0.05; done; "
                    "c=$(cut -d' ' -f1 /proc/uptime); echo $a $b $c")
            for mode, opts in (("flush", "-o flush"), ("defaults", "")):
                self.b.ok(f"mount -t vfat {opts} /dev/sda1 /tmp/m")
                a, b, c = map(float, self.b.ok(copy, timeout=120).split())
                self.b.ok("rm /tmp/m/f && sync && umount /tmp/m")
                self.add(f"FAT32 32 MiB copy, {mode}: MB/s until closed", round(32 * 1.048576 / (b - a), 2))
                self.add(f"FAT32 32 MiB copy, {mode}: close → on the device (s)", round(c - b, 2))
        finally:
            self.b.sh("umount /tmp/m; rm -f /tmp/src")
            self.b.unplug(dev)
            self.b.ok("/etc/init.d/plumbing start")
            self.s.settle()

    def dispatch(self):
        out = self.b.ok(f"board-dispatch-bench {self.args.bench_rounds}", timeout=1200)
        print(out, file=sys.stderr, flush=True)

        def number(rx):
            m = re.search(rx, out)
            check(m, f"board-dispatch-bench printed no {rx!r}: {out}")
            return float(m.group(1))
        self.add("hotplug per package (us)", number(r"hotplug +median per package: +([\d.]+)"))
        self.add("minimal loop per package (us)", number(r"minimal loop +median per package: +([\d.]+)"))
        self.add("ratio hotplug / minimal loop", number(r"ratio hotplug / minimal loop: +([\d.]+)"))
        self.add("median of per-round ratios", number(r"median of per-round ratios: +([\d.]+)"))
        m = re.search(r"child per package: hotplug user ([\d.]+) us, system ([\d.]+) us, ([\d.]+) minor faults; "
                      r"minimal loop user ([\d.]+) us, system ([\d.]+) us, ([\d.]+) minor faults", out)
        check(m, f"board-dispatch-bench printed no child figures: {out}")
        for who, at in (("hotplug", 1), ("minimal loop", 4)):
            self.add(f"{who} child per package: CPU, user + system (us)",
                     round(float(m.group(at)) + float(m.group(at + 1))))
            self.add(f"{who} child per package: system (us)", round(float(m.group(at + 1))))
            self.add(f"{who} child per package: minor faults", round(float(m.group(at + 2)), 1))

    # -- whole runs of scripts/board
    def warm_runs(self):
        for i in range(self.args.warm):
            print(f"figures: warm scripts/board --libc {self.libc}, {i + 1} of {self.args.warm}",
                  file=sys.stderr, flush=True)
            t = time.monotonic()
            r = subprocess.run([os.path.join(TOP, "scripts/board"), "--libc", self.libc], cwd=TOP,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            took = time.monotonic() - t
            summary = (r.stdout.strip().splitlines() or ["(no output)"])[-1]
            print(f"   {summary}", file=sys.stderr, flush=True)
            if r.returncode != 0:
                self.notes.append(f"a warm scripts/board --libc {self.libc} ended with status {r.returncode}: {summary}")
            self.add("warm scripts/board, all stories (s)", round(took))


def sizes(run):
    """Stripped and installed sizes of the image's binaries, in bytes (musl's
    bus library lies in musl's own folder), and the image's own size."""
    root = os.path.join(run, "root")
    out = {}
    tmp = os.path.join(run, "stripped.tmp")
    for label, rels in (("`/usr/sbin/hotplug`", ["usr/sbin/hotplug"]),
                        ("`/usr/sbin/route6mon`", ["usr/sbin/route6mon"]),
                        ("`libobxmsg.so` (the daemons')", ["usr/lib/musl/libobxmsg.so", "usr/lib/libobxmsg.so"]),
                        ("the daemons' C library", ["lib/ld-musl-mips.so.1", "lib/libc.so.6"]),
                        ("`/usr/sbin/plexd` (glibc)", ["usr/sbin/plexd"]),
                        ("`/usr/bin/uevent-send` (glibc)", ["usr/bin/uevent-send"])):
        path = next((os.path.join(root, r) for r in rels if os.path.exists(os.path.join(root, r))), None)
        if not path:
            continue
        subprocess.run(["mips-linux-gnu-strip", "-o", tmp, path], check=True)
        out[label] = (os.path.getsize(tmp), os.path.getsize(path))
        os.unlink(tmp)
    unpacked = sum(os.lstat(os.path.join(d, f)).st_size for d, _, fs in os.walk(root) for f in fs)
    out["the image (`rootfs.cpio.gz`; unpacked)"] = (os.path.getsize(os.path.join(run, "rootfs.cpio.gz")), unpacked)
    return out


def spread(values):
    v = sorted(values)
    med = v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2
    return med, v[0], v[-1]


def fmt(x):
    if isinstance(x, int) or abs(x) >= 100:
        return f"{x:.0f}"
    return f"{x:.2f}" if abs(x) < 10 else f"{x:.1f}"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--image", action="append", required=True, metavar="LIBC=DIR",
                    help="an image scripts/board built (DIR/rootfs.cpio.gz, DIR/root) and the C library of its daemons")
    ap.add_argument("--rounds", type=int, default=5, help="boots per image (default 5)")
    ap.add_argument("--samples", type=int, default=1,
                    help="FAT32 and NTFS plugs per boot (default 1)")
    ap.add_argument("--bench-rounds", type=int, default=40,
                    help="bursts per board-dispatch-bench run (default 40)")
    ap.add_argument("--no-stories", action="store_true", help="skip the stories (no after-stories memory)")
    ap.add_argument("--warm", type=int, default=0, metavar="N",
                    help="then time N whole runs of scripts/board per image (about 5 min each)")
    args = ap.parse_args()
    images = [tuple(i.split("=", 1)) for i in args.image]

    # A folder of its own: the warm runs of scripts/board rebuild build-board.
    top_work = os.path.join(TOP, "build-figures")
    shutil.rmtree(top_work, ignore_errors=True)
    os.makedirs(top_work)
    binaries = {libc: sizes(run) for libc, run in images}
    initrds = {}
    for libc, run in images:
        os.makedirs(os.path.join(top_work, libc))
        initrds[libc] = shutil.copy(os.path.join(run, "rootfs.cpio.gz"), os.path.join(top_work, libc))

    started, load0 = time.time(), loadavg()
    samples, notes, ended_early = {}, [], False
    for libc, _ in images:
        work = os.path.join(top_work, libc)
        board = TimedBoard(args.kernel, initrds[libc], work)
        figures = Figures(board, Stories(board, work), args, libc, samples, notes)
        try:
            for n in range(1, args.rounds + 1):
                try:
                    figures.round(n)
                except StoryFailed as e:
                    ended_early = True
                    notes.append(f"boot {n} ({libc}) ended early: {e}")
                    print(f"figures: boot {n} ({libc}) ended early: {e}\n{board.tail(board.console_path, 800)}",
                          file=sys.stderr, flush=True)
                finally:
                    if getattr(board, "qemu", None) and board.qemu.poll() is None:
                        board.qemu.kill()
                        board.qemu.wait()
                    board.devices.clear()
        finally:
            if getattr(board, "qemu", None) and board.qemu.poll() is None:
                board.qemu.kill()
    load1 = loadavg()
    for libc, _ in images:
        Figures(None, None, args, libc, samples, notes).warm_runs()

    libcs = [libc for libc, _ in images]
    minutes = (time.time() - started) / 60
    lines = [
        f"Measured {time.strftime('%Y-%m-%d', time.gmtime(started))} by `scripts/board --figures"
        f"{' --warm ' + str(args.warm) if args.warm else ''}` ({minutes:.0f} min): {os.cpu_count()} cores, "
        f"load average {load0} at the start, {load1} after the boots"
        f"{', ' + loadavg() + ' at the end' if args.warm else ''}; "
        f"{subprocess.run(['qemu-system-mips', '--version'], capture_output=True, text=True).stdout.splitlines()[0]}.",
        "",
        "| figure | " + " | ".join(f"{l}: median | {l}: min–max" for l in libcs) + " | n |",
        "|---|" + "---|---|" * len(libcs) + "---|",
    ]
    empty = " | " * (2 * len(libcs) - 1)
    if not args.warm:
        lines.append(f"| warm `scripts/board`, all stories (s) | not measured (`--warm 5`){empty}| |")
    lines.append(f"| cold `scripts/board`, empty cache (s) | TO BE MEASURED{empty}| |")
    for name, per_libc in samples.items():
        cells, counts = [], set()
        for libc in libcs:
            values = per_libc.get(libc, [])
            counts.add(len(values))
            if values:
                med, lo, hi = spread(values)
                cells += [fmt(med), f"{fmt(lo)}–{fmt(hi)}"]
            else:
                cells += ["", ""]
        lines.append(f"| {name} | " + " | ".join(cells) + f" | {'/'.join(str(c) for c in sorted(counts))} |")
    lines += ["", "| installed | " + " | ".join(f"{l}: stripped (bytes) | {l}: as installed (bytes)" for l in libcs) + " |",
              "|---|" + "---|---|" * len(libcs)]
    labels = list(dict.fromkeys(label for libc in libcs for label in binaries[libc]))
    for label in labels:
        cells = []
        for libc in libcs:
            s, full = binaries[libc].get(label, ("", ""))
            cells += [str(s), str(full)]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    if notes:
        lines += [""] + [f"Note: {n}." for n in notes]
    table = "\n".join(lines) + "\n"
    with open(os.path.join(top_work, "figures.md"), "w") as f:
        f.write(table)
    print(table)
    return 1 if ended_early else 0


if __name__ == "__main__":
    sys.exit(main())
