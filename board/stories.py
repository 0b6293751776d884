#!/usr/bin/env python3
"""Board stories: what a user does with the router, on the emulated board.

Boots the Malta big-endian kernel under qemu with the image that
scripts/board assembled, then drives real hardware events through QMP
(USB sticks plugged into chosen controller ports, pulled again) and checks
what a user and plexd see. The daemons' console (/dev/console, where plexd
prints its messages too) is the first virtio console, recorded to a file;
commands run in the guest through a small agent on the second one.

Prints one line per story (PASS name / FAIL name: reason), then
"N passed, M failed"; exits 1 when a story failed.
"""

import argparse
import glob
import hashlib
import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time


class StoryFailed(Exception):
    pass


def check(cond, reason):
    if not cond:
        raise StoryFailed(reason)


def wait_for(fn, timeout, interval=0.2):
    """Polls fn until it gives a true value or the time is up; returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = fn()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


# --- stick images, made on the host without loop devices ------------------------

MIB = 1024 * 1024
PART_START = MIB  # first partition at sector 2048


def run_host(*cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, **kw)


def sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def partition(path, sizes_mib, ptype="c"):
    """Writes an MBR with one partition per entry of sizes_mib (None: the rest)."""
    lines = ["label: dos"]
    start = PART_START // 512
    for size in sizes_mib:
        if size is None:
            lines.append(f"start={start}, type={ptype}")
        else:
            lines.append(f"start={start}, size={size * 2048}, type={ptype}")
            start += size * 2048
    subprocess.run(["sfdisk", "-q", path], input="\n".join(lines) + "\n",
                   text=True, check=True, stdout=subprocess.DEVNULL)


def put_fs(img, offset, size, mkfs):
    """Builds a file system in a scratch file with mkfs(path, size) and writes
    it into img at offset."""
    scratch = img + ".fs"
    sparse(scratch, size)
    mkfs(scratch, size)
    with open(scratch, "rb") as src, open(img, "r+b") as dst:
        dst.seek(offset)
        while True:
            block = src.read(4 * MIB)
            if not block:
                break
            if block.count(0) == len(block):
                dst.seek(len(block), os.SEEK_CUR)
            else:
                dst.write(block)
    os.unlink(scratch)


def mkfs_for(kind, label="STICK"):
    if kind == "fat32":
        return lambda p, s: run_host("mkfs.vfat", "-F", "32", "-s", "1", "-n", label, p)
    if kind == "fat16":
        return lambda p, s: run_host("mkfs.vfat", "-F", "16", "-n", label, p)
    if kind in ("ext2", "ext3", "ext4"):
        return lambda p, s: run_host("mke2fs", "-q", "-F", "-t", kind, "-L", label, p)
    if kind == "exfat":
        return lambda p, s: run_host("mkfs.exfat", "-L", label, p)
    if kind == "ntfs":
        return lambda p, s: run_host("mkntfs", "-q", "-F", "-Q", "-L", label, "-p",
                                     str(PART_START // 512), "-H", "16", "-S", "63", p)
    raise ValueError(kind)


def make_stick(path, kinds, size_mib=64):
    """A partitioned stick: one partition per entry of kinds (None: no file
    system), the last one taking the rest of the stick."""
    sparse(path, size_mib * MIB)
    n = len(kinds)
    each = (size_mib - 2) // n
    partition(path, [each] * (n - 1) + [None])
    offset = PART_START
    for i, kind in enumerate(kinds):
        last = i == n - 1
        size = size_mib * MIB - offset if last else each * MIB
        if kind is not None:
            put_fs(path, offset, size, mkfs_for(kind))
        offset += each * MIB
    return path


def make_whole_stick(path, kind, size_mib=64):
    """A stick formatted without a partition table."""
    sparse(path, size_mib * MIB)
    mkfs_for(kind)(path, size_mib * MIB)
    return path


def make_iso_stick(path, work):
    tree = os.path.join(work, "iso-tree")
    os.makedirs(tree, exist_ok=True)
    with open(os.path.join(tree, "readme.txt"), "w") as f:
        f.write("on a disc\n")
    iso = path + ".iso"
    run_host("genisoimage", "-quiet", "-J", "-o", iso, tree)
    sparse(path, 16 * MIB)
    partition(path, [None], ptype="83")
    with open(iso, "rb") as src, open(path, "r+b") as dst:
        dst.seek(PART_START)
        shutil.copyfileobj(src, dst)
    os.unlink(iso)
    return path


def fat_bytes(img, name, offset=PART_START):
    """The bytes of a file on a FAT image as the stick holds them, or None."""
    r = subprocess.run(["mtype", "-i", f"{img}@@{offset}", f"::{name}"], capture_output=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    return r.stdout if r.returncode == 0 else None


def fat_put(img, name, data, offset=PART_START):
    """Writes a file onto a FAT image, as a computer would before the card
    goes into the reader."""
    src = img + ".put"
    with open(src, "wb") as f:
        f.write(data)
    run_host("mcopy", "-o", "-i", f"{img}@@{offset}", src, f"::{name}",
             env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    os.unlink(src)


def fat_serial(img, offset=PART_START):
    """The volume serial number in a FAT32 boot sector."""
    with open(img, "rb") as f:
        f.seek(offset + 67)
        return f.read(4).hex()


def fat_read(img, name, offset=PART_START):
    r = subprocess.run(["mtype", "-i", f"{img}@@{offset}", f"::{name}"],
                       capture_output=True, text=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    return r.stdout if r.returncode == 0 else None


# --- the emulated router -------------------------------------------------------

class Board:
    def __init__(self, kernel, initrd, work):
        self.work = work
        self.console_path = os.path.join(work, "console.log")
        self.boot_log = os.path.join(work, "boot.log")
        self.qmp_path = os.path.join(work, "qmp.sock")
        self.agent_path = os.path.join(work, "agent.sock")
        for p in (self.console_path, self.boot_log, self.qmp_path, self.agent_path,
                  *glob.glob(os.path.join(work, "console.*.log")),
                  *glob.glob(os.path.join(work, "boot.*.log"))):
            if os.path.exists(p):
                os.unlink(p)
        self.kernel, self.initrd = kernel, initrd
        self.boots = 0
        self.answering = False  # the command channel is in step with us
        self.events = []
        self.events_lock = threading.Condition()
        self.qmp_replies = []
        self.devices = []  # (device id, node name) plugged by stories
        self.nodes = 0

    # -- life cycle
    def boot(self):
        for p in (self.qmp_path, self.agent_path):
            if os.path.exists(p):
                os.unlink(p)
        # A board booted afresh after a failure keeps what the last one
        # printed, as console.1.log and boot.1.log (and so on).
        if self.boots:
            for p in (self.console_path, self.boot_log):
                if os.path.exists(p):
                    os.replace(p, p[:-len(".log")] + f".{self.boots}.log")
        self.boots += 1
        cmd = [
            "qemu-system-mips", "-M", "malta", "-m", "256",
            "-kernel", self.kernel, "-initrd", self.initrd,
            "-append", "console=ttyS0 console=hvc0 loglevel=4 panic=-1 usb-storage.delay_use=0",
            "-display", "none", "-vga", "none", "-monitor", "none", "-nic", "none", "-no-reboot",
            "-serial", f"file:{self.boot_log}",
            "-chardev", f"socket,id=agent,path={self.agent_path},server=on,wait=on",
            "-chardev", f"file,id=con,path={self.console_path}",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-device", "virtio-serial-pci,id=vser",
            "-device", "virtconsole,bus=vser.0,chardev=con",
            "-device", "virtconsole,bus=vser.0,chardev=agent",
            # The router's ports: an EHCI controller (root ports 1-6), a second
            # one, and an xHCI controller that also takes full-speed hubs.
            "-device", "usb-ehci,id=ehci",
            "-device", "usb-ehci,id=ehci2",
            "-device", "qemu-xhci,id=xhci",
        ]
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.work, "qemu.log"), "w"),
                                     stderr=subprocess.STDOUT)
        self.agent = self._connect(self.agent_path)
        self.agent_buf = b""
        self.qmp = self._connect(self.qmp_path)
        self.qmp_file = self.qmp.makefile("rb")
        threading.Thread(target=self._qmp_reader, daemon=True).start()
        self.qmp_cmd("qmp_capabilities")
        line = self._agent_line(timeout=120)
        check(line is not None and "board: ready" in line,
              f"the board did not come up (boot log: {self.tail(self.boot_log)})")
        self.answering = True

    def _connect(self, path):
        end = time.monotonic() + 30
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                return s
            except OSError:
                s.close()
                if time.monotonic() > end or self.qemu.poll() is not None:
                    raise StoryFailed(f"qemu did not start: {self.tail(os.path.join(self.work, 'qemu.log'))}")
                time.sleep(0.05)

    def shutdown(self):
        try:
            self.agent.sendall(b"poweroff -f\n")
            self.qemu.wait(timeout=20)
        except Exception:
            self.qemu.kill()
            self.qemu.wait()

    @staticmethod
    def tail(path, n=600):
        try:
            with open(path, errors="replace") as f:
                return f.read()[-n:]
        except OSError:
            return ""

    # -- QMP
    def _qmp_reader(self):
        for raw in self.qmp_file:
            msg = json.loads(raw)
            if "QMP" in msg:  # the greeting
                continue
            with self.events_lock:
                if "event" in msg:
                    self.events.append(msg)
                else:
                    self.qmp_replies.append(msg)
                self.events_lock.notify_all()

    def qmp_cmd(self, name, **args):
        msg = {"execute": name}
        if args:
            msg["arguments"] = args
        with self.events_lock:
            self.qmp_replies.clear()
        self.qmp.sendall(json.dumps(msg).encode() + b"\n")
        with self.events_lock:
            self.events_lock.wait_for(lambda: self.qmp_replies, timeout=30)
            check(self.qmp_replies, f"QMP {name}: no answer")
            reply = self.qmp_replies.pop(0)
        check("error" not in reply, f"QMP {name}: {reply.get('error')}")
        return reply["return"]

    def wait_event(self, name, device, timeout=30):
        def found():
            return any(e["event"] == name and e.get("data", {}).get("device") == device
                       for e in self.events)
        with self.events_lock:
            ok = self.events_lock.wait_for(found, timeout=timeout)
            self.events = [e for e in self.events
                           if not (e["event"] == name and e.get("data", {}).get("device") == device)]
        return ok

    # -- hardware events
    def plug(self, img, bus, port, removable=True, readonly=False):
        """Plugs a usb-storage stick with img into port of bus; returns its id."""
        self.nodes += 1
        node, dev = f"disk{self.nodes}", f"stick{self.nodes}"
        self.qmp_cmd("blockdev-add", driver="raw", **{"node-name": node, "read-only": readonly},
                     file={"driver": "file", "filename": img, "read-only": readonly})
        self.qmp_cmd("device_add", driver="usb-storage", id=dev, bus=bus, port=str(port),
                     drive=node, removable=removable)
        self.devices.append((dev, node))
        return dev

    def plug_hub(self, bus, port):
        self.nodes += 1
        dev = f"hub{self.nodes}"
        self.qmp_cmd("device_add", driver="usb-hub", id=dev, bus=bus, port=str(port))
        self.devices.append((dev, None))
        return dev

    def _medium(self, img):
        self.nodes += 1
        node = f"card{self.nodes}"
        if img == "null-co://":
            self.qmp_cmd("blockdev-add", driver="null-co", **{"node-name": node}, size=MIB)
        else:
            self.qmp_cmd("blockdev-add", driver="raw", **{"node-name": node},
                         file={"driver": "file", "filename": img})
        return node

    def plug_reader(self, bus, port, cards):
        """Plugs a card reader (usb-bot) with one removable SCSI disk per
        entry of cards (an image, or None for an empty slot) into port of
        bus; returns its id. Slot n is LUN n."""
        self.nodes += 1
        dev = f"reader{self.nodes}"
        self.qmp_cmd("device_add", driver="usb-bot", id=dev, bus=bus, port=str(port))
        slots = []
        for lun, img in enumerate(cards):
            # A SCSI disk is made with a medium; an empty slot has its card
            # taken out before the reader reaches the guest.
            node = self._medium(img or "null-co://")
            self.qmp_cmd("device_add", driver="scsi-hd", id=f"{dev}-slot{lun}", bus=f"{dev}.0", lun=lun,
                         removable=True, drive=node)
            slots.append(node)
        self.devices.append((dev, slots))
        for lun, img in enumerate(cards):
            if not img:
                self.pull_card(dev, lun)
        # A hot-plugged usb-bot reaches the guest once its disks are in.
        self.qmp_cmd("qom-set", path=f"/machine/peripheral/{dev}", property="attached", value=True)
        return dev

    def _slots(self, reader):
        entry = next((d for d in self.devices if d[0] == reader), None)
        check(entry is not None and isinstance(entry[1], list), f"no card reader {reader}")
        return entry[1]

    def pull_card(self, reader, lun):
        """Opens the slot's tray and takes the card out."""
        slots = self._slots(reader)
        self.qmp_cmd("blockdev-open-tray", id=f"{reader}-slot{lun}", force=True)
        self.qmp_cmd("blockdev-remove-medium", id=f"{reader}-slot{lun}")
        if slots[lun]:
            self.qmp_cmd("blockdev-del", **{"node-name": slots[lun]})
            slots[lun] = None

    def insert_card(self, reader, lun, img):
        """Puts a card in the (empty) slot and closes its tray."""
        slots = self._slots(reader)
        slots[lun] = self._medium(img)
        self.qmp_cmd("blockdev-insert-medium", id=f"{reader}-slot{lun}", **{"node-name": slots[lun]})
        self.qmp_cmd("blockdev-close-tray", id=f"{reader}-slot{lun}")

    def unplug(self, dev):
        entry = next((d for d in self.devices if d[0] == dev), None)
        check(entry is not None, f"unplug of unknown device {dev}")
        self.qmp_cmd("device_del", id=dev)
        check(self.wait_event("DEVICE_DELETED", dev), f"{dev}: no DEVICE_DELETED")
        for node in entry[1] if isinstance(entry[1], list) else [entry[1]]:
            if node:
                self.qmp_cmd("blockdev-del", **{"node-name": node})
        self.devices.remove(entry)

    def unplug_all(self):
        # Sticks before the hubs they may hang on.
        for dev, _ in sorted(self.devices, key=lambda d: d[0].startswith("hub")):
            try:
                self.unplug(dev)
            except StoryFailed:
                pass

    # -- commands in the guest
    def _agent_line(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self.agent_buf:
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.agent.settimeout(left)
            try:
                data = self.agent.recv(65536)
            except socket.timeout:
                return None
            if not data:
                return None
            self.agent_buf += data
        line, self.agent_buf = self.agent_buf.split(b"\n", 1)
        return line.decode(errors="replace").rstrip("\r")

    def sh(self, command, timeout=60):
        """Runs a command line in the guest; returns (status, output)."""
        check("\n" not in command, "a guest command is one line")
        self.agent.sendall(command.encode() + b"\n")
        out = []
        while True:
            line = self._agent_line(timeout)
            if line is None:
                # Its answer may still come, and would be taken for the
                # answer to the next command.
                self.answering = False
                raise StoryFailed(f"guest command timed out: {command}")
            m = re.fullmatch(r"@@rc=(\d+)", line)
            if m:
                return int(m.group(1)), "\n".join(out)
            out.append(line)

    def ok(self, command, timeout=60):
        rc, out = self.sh(command, timeout)
        check(rc == 0, f"`{command}` failed ({rc}): {out[-300:]}")
        return out

    def mounts(self):
        """The guest's mounts under /mnt: {mount point: (device, type, options)}."""
        result = {}
        for line in self.ok("cat /proc/mounts").splitlines():
            f = line.split()
            if len(f) >= 4 and f[1].startswith("/mnt/"):
                result[f[1]] = (f[0], f[2], f[3].split(","))
        return result

    # -- what the daemons printed
    def console(self):
        with open(self.console_path, "rb") as f:
            return f.read().decode(errors="replace")

    def mark(self):
        return len(self.console())

    def since(self, mark):
        return self.console()[mark:]


# plexd's readable lines, e.g.
#   MSG_STORAGE_DISK_ADDED src=51(EID_HOTPLUG) dst=21(EID_PLEXD) flags=... disk=1 partition=0
def storage_msgs(text):
    return [(m.group(1), int(m.group(2)), int(m.group(3))) for m in re.finditer(
        r"MSG_STORAGE_(DISK_ADDED|DISK_REMOVED|PART_MOUNTED|PART_UNMOUNTED) src=51\S* "
        r"dst=21\S* flags=0x80000000 dataLength=8 disk=(-?\d+) partition=(-?\d+)", text)]


class Stories:
    def __init__(self, board, work):
        self.b = board
        self.work = work
        self.images = os.path.join(work, "images")
        os.makedirs(self.images, exist_ok=True)

    def img(self, name):
        return os.path.join(self.images, name + ".img")

    # -- shared steps
    def wait_mounted(self, path, fstype=None, timeout=90):
        m = wait_for(lambda: self.b.mounts().get(path), timeout, 0.5)
        check(m, f"{path} not mounted after {timeout} s; /mnt: {sorted(self.b.mounts())}; "
                 f"console: {self.b.console()[-400:]!r}")
        if fstype:
            check(m[1] == fstype, f"{path} mounted as {m[1]}, not {fstype}")
        return m

    def wait_msgs(self, mark, expected, timeout=90, interval=0.5):
        """Waits until plexd has printed every (kind, disk, partition) of
        expected since mark, in that order among themselves."""
        def have():
            got = storage_msgs(self.b.since(mark))
            it = iter(got)
            return all(any(g == e for g in it) for e in expected)
        ok = wait_for(have, timeout, interval)
        check(ok, f"plexd did not print {expected}; it printed {storage_msgs(self.b.since(mark))}")
        return storage_msgs(self.b.since(mark))

    def settle(self, timeout=60):
        """Waits until hotplug has no package queued or running: no handler
        child is alive and nothing new happens for a moment."""
        def idle():
            out = self.b.ok("hp=$(cat /var/run/hotplug.pid); "
                            "cat /proc/[0-9]*/stat 2>/dev/null | awk -v p=$hp '$4 == p' | wc -l")
            return out.strip() == "0"
        wait_for(lambda: idle() and (time.sleep(1.5) or idle()), timeout, 0.5)

    def check_clean(self):
        """Nothing left under /mnt or /var/dev."""
        def clean():
            return (not self.b.mounts() and self.b.ok("ls -A /mnt") == ""
                    and self.b.ok("ls -A /var/dev 2>/dev/null; true") == "")
        ok = wait_for(clean, 30, 0.5)
        check(ok, f"not clean: /mnt has {self.b.ok('ls -A /mnt')!r}, mounts {sorted(self.b.mounts())}, "
                  f"/var/dev has {self.b.ok('ls -A /var/dev 2>/dev/null; true')!r}")

    def plug_and_mount(self, img, bus, port, path, fstype=None, **kw):
        mark = self.b.mark()
        dev = self.b.plug(img, bus, port, **kw)
        m = self.wait_mounted(path, fstype)
        return dev, mark, m

    def pull(self, dev, disk, parts=(1,)):
        mark = self.b.mark()
        self.b.unplug(dev)
        expected = []
        for p in parts:
            expected.append(("PART_UNMOUNTED", disk, p))
            if p == 1:
                expected.append(("DISK_REMOVED", disk, 0))
        self.wait_msgs(mark, expected)
        self.check_clean()

    def fs_story(self, kind, fstype, port=1):
        img = make_stick(self.img(kind), [kind])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", port, f"/mnt/usb{port}_1", fstype)
        self.wait_msgs(mark, [("DISK_ADDED", port, 0), ("PART_MOUNTED", port, 1)])
        self.b.ok(f"echo {kind} >/mnt/usb{port}_1/kind.txt && sync && cat /mnt/usb{port}_1/kind.txt")
        self.pull(dev, port)
        return m

    # -- the stories
    def story_fat32_root_ports(self):
        """A partitioned FAT32 stick on each root port of the EHCI controller."""
        for port in (1, 2, 3, 4):
            img = make_stick(self.img(f"fat32-p{port}"), ["fat32"])
            dev, mark, m = self.plug_and_mount(img, "ehci.0", port, f"/mnt/usb{port}_1", "vfat")
            check(m[0] == "/var/dev/sda1", f"port {port}: mounted from {m[0]}, not /var/dev/sda1")
            check("rw" in m[2], f"port {port}: not mounted read-write: {m[2]}")
            msgs = self.wait_msgs(mark, [("DISK_ADDED", port, 0), ("PART_MOUNTED", port, 1)])
            check(len(msgs) == 2, f"port {port}: plexd got {msgs}, expected two messages")
            text = f"written on port {port} with a Long File Name"
            self.b.ok(f"echo '{text}' >'/mnt/usb{port}_1/Hello Router.txt' && sync")
            self.pull(dev, port)
            got = fat_read(img, "Hello Router.txt")
            check(got == text + "\n", f"port {port}: the file on the stick reads {got!r}")

    def story_fat16(self):
        self.fs_story("fat16", "vfat", port=2)

    def story_ext2(self):
        self.fs_story("ext2", "ext2", port=3)

    def story_ext3(self):
        self.fs_story("ext3", "ext3", port=1)

    def story_iso9660_readonly(self):
        img = make_iso_stick(self.img("iso"), self.work)
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 2, "/mnt/usb2_1", "iso9660")
        check("ro" in m[2], f"iso9660 mounted {m[2]}, not read-only")
        check(self.b.ok("cat /mnt/usb2_1/readme.txt") == "on a disc", "readme.txt not readable")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.pull(dev, 2)

    def story_ntfs(self):
        img = make_stick(self.img("ntfs"), ["ntfs"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 1, "/mnt/usb1_1", "fuseblk")
        self.wait_msgs(mark, [("DISK_ADDED", 1, 0), ("PART_MOUNTED", 1, 1)])
        self.b.ok("echo ntfs >/mnt/usb1_1/n.txt && sync && cat /mnt/usb1_1/n.txt")
        check("ntfs-3g" in self.b.ok("ps"), "no ntfs-3g process serves the mount")
        self.pull(dev, 1)

    def story_two_partitions(self):
        img = make_stick(self.img("two"), ["fat32", "ext2"], size_mib=96)
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 3, "/mnt/usb3_1", "vfat")
        self.wait_mounted("/mnt/usb3_2", "ext2")
        self.wait_msgs(mark, [("DISK_ADDED", 3, 0), ("PART_MOUNTED", 3, 1), ("PART_MOUNTED", 3, 2)])
        self.pull(dev, 3, parts=(1, 2))

    def story_behind_hub(self):
        """A stick on port 3 of a hub on root port 2: the root port names it."""
        self.b.plug_hub("xhci.0", 2)
        time.sleep(1)
        img = make_stick(self.img("hub"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "xhci.0", "2.3", "/mnt/usb2_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.pull(dev, 2)
        self.b.unplug_all()

    def story_not_removable(self):
        """A disk that does not say it is removable is the fixed disk, port 4."""
        img = make_stick(self.img("fixed"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 1, "/mnt/usb4_1", "vfat", removable=False)
        self.wait_msgs(mark, [("DISK_ADDED", 4, 0), ("PART_MOUNTED", 4, 1)])
        self.pull(dev, 4)

    def story_write_protected(self):
        img = make_stick(self.img("ro"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 2, "/mnt/usb2_1", "vfat", readonly=True)
        check("ro" in m[2], f"a write-protected stick mounted {m[2]}")
        rc, _ = self.b.sh("echo x >/mnt/usb2_1/x.txt")
        check(rc != 0, "a write to a write-protected stick succeeded")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.pull(dev, 2)

    def story_blank_stick(self):
        """A stick whose partition holds no file system: a mount error, and a
        stick on another port stays as it was."""
        good = make_stick(self.img("good"), ["fat32"])
        gdev, _, _ = self.plug_and_mount(good, "ehci.0", 1, "/mnt/usb1_1", "vfat")
        self.settle()
        blank = make_stick(self.img("blank"), [None])
        mark = self.b.mark()
        bdev = self.b.plug(blank, "ehci.0", 3)
        ok = wait_for(lambda: "mount failed!" in self.b.since(mark), 45, 0.5)
        check(ok, f"no mount error for the blank stick: {self.b.since(mark)[-400:]!r}")
        self.settle()
        check(sorted(self.b.mounts()) == ["/mnt/usb1_1"], f"mounts now {sorted(self.b.mounts())}")
        check(self.b.ok("ls -A /mnt") == "usb1_1", f"/mnt now {self.b.ok('ls -A /mnt')!r}")
        check(storage_msgs(self.b.since(mark)) == [], f"plexd got {storage_msgs(self.b.since(mark))}")
        self.b.unplug(bdev)
        self.settle()
        self.pull(gdev, 1)

    def story_plexd_down_fallback(self):
        """Without plexd the four notifications land in /var/msghpplexd, while
        an administrator watches that file (a command line that names plexd)."""
        self.b.ok("kill $(cat /var/run/plexd.pid) && rm -f /var/run/plexd.pid /var/msghpplexd")
        self.b.ok("touch /var/msghpplexd && (tail -f /var/msghpplexd </dev/null >/dev/null 2>&1 & echo $! >/tmp/tail.pid)")
        try:
            img = make_stick(self.img("fallback"), ["fat32"])
            dev, mark, m = self.plug_and_mount(img, "ehci.0", 2, "/mnt/usb2_1", "vfat")
            self.settle()
            self.b.unplug(dev)
            want = ["2 0 1000310", "2 1 1000312", "2 1 1000313", "2 0 1000311"]
            got = wait_for(lambda: self.b.ok("cat /var/msghpplexd 2>/dev/null; true").splitlines() == want
                           and want, 90, 0.5)
            check(got, f"/var/msghpplexd holds {self.b.ok('cat /var/msghpplexd 2>/dev/null; true')!r}")
            check(storage_msgs(self.b.since(mark)) == [], "a message went on the bus without plexd")
            self.check_clean()
        finally:
            self.b.sh("kill $(cat /tmp/tail.pid)")
            # route6mon's bus handle went with plexd: start all three afresh.
            self.b.ok("/etc/init.d/plumbing restart")
            self.settle()

    def story_busy_mount(self):
        """A process that keeps the mount busy is killed and the unmount succeeds."""
        img = make_stick(self.img("busy"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 3, "/mnt/usb3_1", "vfat")
        self.b.ok("cd /mnt/usb3_1 && (sleep 100000 </dev/null >/dev/null 2>&1 & echo $! >/tmp/busy.pid)")
        pid = self.b.ok("cat /tmp/busy.pid")
        check(self.b.sh(f"kill -0 {pid}")[0] == 0, "the busy process did not start")
        self.settle()
        self.pull(dev, 3)
        check(self.b.sh(f"kill -0 {pid}")[0] != 0, "the process that held the mount still runs")

    def story_surprise_removal(self):
        """Pulled while a large write runs: no hang, hotplug lives, the port
        mounts the next stick."""
        img = make_stick(self.img("surprise"), ["fat32"], size_mib=128)
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 4, "/mnt/usb4_1", "vfat")
        self.settle()
        self.b.ok("(dd if=/dev/zero of=/mnt/usb4_1/big bs=64k count=1600 >/tmp/dd.log 2>&1; "
                  "echo $? >/tmp/dd.rc) </dev/null >/dev/null 2>&1 &")
        time.sleep(1.5)
        check(self.b.sh("test -f /tmp/dd.rc")[0] != 0, "the write ended before the stick was pulled")
        hp = self.b.ok("cat /var/run/hotplug.pid")
        mark = self.b.mark()
        self.b.unplug(dev)
        self.wait_msgs(mark, [("PART_UNMOUNTED", 4, 1), ("DISK_REMOVED", 4, 0)], timeout=90)
        self.check_clean()
        check(wait_for(lambda: self.b.sh("test -f /tmp/dd.rc")[0] == 0, 30),
              "the writer still hangs after the stick was pulled")
        check(self.b.sh(f"kill -0 {hp}")[0] == 0, "hotplug died")
        img2 = make_stick(self.img("surprise-next"), ["fat32"])
        dev2, mark, m = self.plug_and_mount(img2, "ehci.0", 4, "/mnt/usb4_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 4, 0), ("PART_MOUNTED", 4, 1)])
        self.pull(dev2, 4)

    def story_wds_bridge(self):
        """A WDS link joins the LAN bridge br0, and the wireless tools run."""
        self.b.ok("rm -f /tmp/tools.log; ip link add wds0 type dummy")
        try:
            ok = wait_for(lambda: self.b.sh("test -e /sys/class/net/br0/brif/wds0")[0] == 0, 30, 0.5)
            check(ok, "wds0 did not become a port of br0")
            flags = self.b.ok("cat /sys/class/net/wds0/flags")
            check(int(flags, 16) & 1, f"wds0 is not up (flags {flags})")
            stp = wait_for(lambda: self.b.ok("cat /sys/class/net/br0/bridge/stp_state") == "1", 10)
            check(stp, "spanning tree is not on for br0")
            want = ["sendarp -s br0 -d br0", "radioctl -i wds0 wds_enable 1"]
            got = wait_for(lambda: self.b.ok("cat /tmp/tools.log 2>/dev/null; true").splitlines() == want
                           and want, 10)
            check(got, f"the wireless tools ran as {self.b.ok('cat /tmp/tools.log 2>/dev/null; true')!r}")
        finally:
            self.b.sh("ip link del wds0")

    def story_route6mon_ra_default(self):
        """An RA default route on a non-bridge link is deleted at once and
        reported about 2 s later, on the big-endian kernel."""
        self.b.ok("ip link add wan0 type dummy && ip link set wan0 up && "
                  "ip -6 addr add 2001:db8:1::5/64 dev wan0")
        try:
            # The address is reported on its own first (every report empties
            # the table), then the deleted route's gateway.
            report = r'MSG_IPV6_ROUTE_EVENT src=102\S* dst=21\S* flags=0x80000000 dataLength=144 entries=1 '
            ok = wait_for(lambda: re.search(report + r'\[0\] ifName="wan0" gateway="" address="2001:db8:1::5"',
                                            self.b.console()), 10, 0.2)
            check(ok, "the global address of wan0 was not reported")
            mark = self.b.mark()
            t0 = time.monotonic()
            self.b.ok("ip -6 route add default via fe80::1 dev wan0 proto ra metric 1024")
            gone = wait_for(lambda: "default" not in self.b.ok("ip -6 route show dev wan0"), 5, 0.1)
            check(gone, f"the RA default route is still there: {self.b.ok('ip -6 route show dev wan0')}")
            pattern = re.compile(report + r'\[0\] ifName="wan0" gateway="fe80::1" address=""')
            ok = wait_for(lambda: pattern.search(self.b.since(mark)), 10, 0.1)
            dt = time.monotonic() - t0
            check(ok, f"no report of wan0's gateway: {self.b.since(mark)[-400:]!r}")
            check(1.5 <= dt <= 6, f"the report came {dt:.1f} s after the change, not about 2 s")
        finally:
            self.b.sh("ip link del wan0")


    # -- sticks and restarts the way users meet them on a router
    def story_ext4(self):
        self.fs_story("ext4", "ext4", port=2)

    def story_exfat(self):
        self.fs_story("exfat", "exfat", port=3)

    def story_whole_stick(self):
        """A stick formatted without a partition table is its own partition 1."""
        img = make_whole_stick(self.img("whole"), "fat32")
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 2, "/mnt/usb2_1", "vfat")
        check(m[0] == "/var/dev/sda", f"mounted from {m[0]}, not the whole disk /var/dev/sda")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.b.ok("echo whole >/mnt/usb2_1/w.txt && sync")
        self.pull(dev, 2)
        check(fat_read(img, "w.txt", offset=0) == "whole\n", "the file did not reach the stick")

    def replug_keeps_its_name(self, first, second):
        """Two sticks on root port 2 (first and second give bus and port):
        _1 and _2. The first is pulled and plugged back in; the kernel now
        lists it after the second, and it takes the free name _1 again."""
        a = make_stick(self.img("collide-a"), ["fat32"])
        b = make_stick(self.img("collide-b"), ["ext2"])
        da, mark, _ = self.plug_and_mount(a, *first, "/mnt/usb2_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.settle()
        db, mark, _ = self.plug_and_mount(b, *second, "/mnt/usb2_2", "ext2")
        self.wait_msgs(mark, [("PART_MOUNTED", 2, 2)])
        self.settle()
        self.b.ok("echo a >/mnt/usb2_1/a.txt && echo b >/mnt/usb2_2/b.txt && sync")
        mark = self.b.mark()
        self.b.unplug(da)
        self.wait_msgs(mark, [("PART_UNMOUNTED", 2, 1), ("DISK_REMOVED", 2, 0)])
        self.settle()
        check(sorted(self.b.mounts()) == ["/mnt/usb2_2"], f"mounts after the pull: {sorted(self.b.mounts())}")
        da, mark, m = self.plug_and_mount(a, *first, "/mnt/usb2_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
        self.settle()
        mounts = self.b.mounts()
        check(sorted(mounts) == ["/mnt/usb2_1", "/mnt/usb2_2"], f"mounts now {sorted(mounts)}")
        check(mounts["/mnt/usb2_2"][1] == "ext2", "the second stick moved")
        check(self.b.ok("cat /mnt/usb2_1/a.txt /mnt/usb2_2/b.txt") == "a\nb", "the sticks swapped names")
        check(storage_msgs(self.b.since(mark)) == [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)],
              f"plexd got {storage_msgs(self.b.since(mark))}")
        self.b.ok("ls /var/dev/sda1 /var/dev/sdb1")
        mark = self.b.mark()
        self.b.unplug(db)
        self.wait_msgs(mark, [("PART_UNMOUNTED", 2, 2)])
        self.pull(da, 2)

    def story_replug_on_a_hub(self):
        self.b.plug_hub("xhci.0", 2)
        time.sleep(1)
        self.replug_keeps_its_name(("xhci.0", "2.1"), ("xhci.0", "2.2"))
        self.b.unplug_all()

    def story_replug_on_two_controllers(self):
        self.replug_keeps_its_name(("ehci.0", 2), ("ehci2.0", 2))

    def story_present_at_start(self):
        """A stick plugged in while hotplug is not running is mounted when it
        starts; a restart with the stick mounted changes and announces nothing."""
        self.b.ok("/etc/init.d/plumbing stop")
        img = make_stick(self.img("at-start"), ["fat32"])
        try:
            dev = self.b.plug(img, "ehci.0", 3)
            check(wait_for(lambda: self.b.sh("test -e /sys/block/sda/sda1")[0] == 0, 30, 0.2),
                  "the stick did not appear")
            time.sleep(2)
            check(self.b.mounts() == {}, "something mounted the stick without hotplug")
            mark = self.b.mark()
        finally:
            self.b.ok("/etc/init.d/plumbing start")
        self.wait_mounted("/mnt/usb3_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 3, 0), ("PART_MOUNTED", 3, 1)])
        self.settle()
        mark = self.b.mark()
        self.b.ok("/etc/init.d/plumbing restart")
        time.sleep(3)
        self.settle()
        check(sorted(self.b.mounts()) == ["/mnt/usb3_1"], f"mounts after a restart: {sorted(self.b.mounts())}")
        check(storage_msgs(self.b.since(mark)) == [], f"a restart announced {storage_msgs(self.b.since(mark))}")
        self.pull(dev, 3)

    def story_busy_mount_nobody_can_clear(self):
        """A pulled stick whose mount is kept busy by something fuser cannot
        make leave (a mount inside it): the forced unmount fails, the mount
        is detached, and the port mounts the next stick."""
        img = make_stick(self.img("held"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 1, "/mnt/usb1_1", "vfat")
        self.b.ok("mkdir /mnt/usb1_1/inner && mount -t tmpfs tmpfs /mnt/usb1_1/inner")
        self.settle()
        self.pull(dev, 1)
        img2 = make_stick(self.img("held-next"), ["fat32"])
        dev2, mark, m = self.plug_and_mount(img2, "ehci.0", 1, "/mnt/usb1_1", "vfat")
        self.wait_msgs(mark, [("DISK_ADDED", 1, 0), ("PART_MOUNTED", 1, 1)])
        self.pull(dev2, 1)

    # -- what is not hotplug's, and what must not be lost
    def story_system_disk_left_alone(self):
        """The router's own fixed disk, mounted at /data by its boot scripts
        and in use: hotplug restarted and a stick plugged beside it leave
        it mounted, its user alive, and announce only the stick."""
        self.b.ok("/etc/init.d/plumbing stop")
        disk = make_stick(self.img("data-disk"), ["ext4"])
        ddev = None
        try:
            ddev = self.b.plug(disk, "ehci.0", 1, removable=False)
            check(wait_for(lambda: self.b.sh("test -b /dev/sda1")[0] == 0, 30, 0.2), "the fixed disk did not appear")
            check("on /data" in self.b.ok("/etc/init.d/data start"), "the boot script did not mount /data")
            self.b.ok("echo mine >/data/keep.txt && cd /data && "
                      "(sleep 100000 </dev/null >/dev/null 2>&1 & echo $! >/tmp/data.pid)")
            user = self.b.ok("cat /tmp/data.pid")
            mark = self.b.mark()
        finally:
            self.b.ok("/etc/init.d/plumbing start")
        try:
            self.settle()
            stick = make_stick(self.img("beside-data"), ["fat32"])
            sdev, _, _ = self.plug_and_mount(stick, "ehci.0", 2, "/mnt/usb2_1", "vfat")
            self.wait_msgs(mark, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)])
            self.settle()
            check(sorted(self.b.mounts()) == ["/mnt/usb2_1"], f"mounts under /mnt: {sorted(self.b.mounts())}")
            check(self.b.sh("grep -q ' /data ' /proc/mounts")[0] == 0, "/data is no longer mounted")
            check(self.b.sh(f"kill -0 {user}")[0] == 0, "the process using /data was killed")
            check(self.b.ok("cat /data/keep.txt") == "mine", "the file on /data is gone")
            msgs = storage_msgs(self.b.since(mark))
            check(msgs == [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)], f"plexd got {msgs}")
            self.pull(sdev, 2)
        finally:
            self.b.sh(f"kill {user}; sleep 1; umount /data")
            if ddev:
                self.b.unplug(ddev)

    def story_restart_while_ntfs_mounts(self):
        """plumbing restarted while ntfs-3g mounts a stick: the stopped
        hotplug's pass ends alone, the new one's waits for it, and the stick
        is mounted once."""
        img = make_stick(self.img("ntfs-restart"), ["ntfs"])
        self.settle()  # no pass of an earlier event may hold the lock
        self.b.ok("rm -f /var/msghpplexd")
        mark = self.b.mark()
        dev = self.b.plug(img, "ehci.0", 2)
        # In the guest, so that the restart follows at once: as soon as the
        # stick's pass holds its lock (it then waits a second, runs the
        # file-system rows and starts ntfs-3g).
        self.b.ok('ino=$(stat -c %i /var/run/hotplug.storage.lock); i=0; '
                  'until grep -q ":$ino " /proc/locks || [ $i -ge 2000 ]; do i=$((i+1)); done; '
                  '/etc/init.d/plumbing restart')
        self.wait_mounted("/mnt/usb2_1", "fuseblk")
        self.settle()  # the new hotplug's pass, which waited, has ended too
        check(self.b.ok("ls -A /mnt") == "usb2_1", f"/mnt holds {self.b.ok('ls -A /mnt')!r}")
        check(self.b.ok("ls -A /var/dev") == "sda1", f"/var/dev holds {self.b.ok('ls -A /var/dev')!r}")
        check(self.b.ok("pidof ntfs-3g | wc -w") == "1", "more than one ntfs-3g serves the stick")
        check("another storage pass is running, waiting for it" in self.b.since(mark),
              "the restarted hotplug's pass did not meet the stopped one's (the restart came too late)")
        # The records reach a plexd, or, when the mount ended while plexd
        # was being restarted, the file that plexd reads when it starts.
        msgs = [m for m in storage_msgs(self.b.since(mark)) if m[1] == 2]
        filed = self.b.ok("cat /var/msghpplexd 2>/dev/null; true").splitlines()
        check(msgs[-2:] == [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)]
              or (filed[-2:] == ["2 0 1000310", "2 1 1000312"] and msgs[-1:] != [("DISK_REMOVED", 2, 0)]),
              f"plexd got {msgs}, /var/msghpplexd holds {filed}")
        self.b.ok("rm -f /var/msghpplexd")
        self.pull(dev, 2)

    def story_fat_copy_then_pull(self):
        """A file copied to a FAT stick (a plain write and close, no sync)
        is whole on the stick when it is pulled 2 s after the copy ended."""
        img = make_stick(self.img("copy-pull"), ["fat32"])
        dev, mark, m = self.plug_and_mount(img, "ehci.0", 2, "/mnt/usb2_1", "vfat")
        check("flush" in m[2], f"the FAT stick is mounted {m[2]}, without flush")
        self.settle()
        # The file goes to the guest's RAM first, so the copy itself is a
        # plain write of a finished file.
        self.b.ok("dd if=/dev/urandom of=/tmp/copy.bin bs=64k count=48 2>/dev/null")
        want = self.b.ok("md5sum /tmp/copy.bin").split()[0]
        self.b.ok("cat /tmp/copy.bin >/mnt/usb2_1/copy.bin")
        time.sleep(2)
        self.b.unplug(dev)
        got = fat_bytes(img, "copy.bin")
        check(got is not None, "copy.bin is not on the stick at all")
        check(hashlib.md5(got).hexdigest() == want,
              f"copy.bin on the stick is not what was copied ({len(got)} of {3 * MIB} bytes)")
        self.b.ok("rm -f /tmp/copy.bin")
        self.check_clean()


    def story_card_reader(self):
        """A two-slot card reader on root port 2, a FAT32 card in each: a
        card is pulled and another put in its slot, then that one is swapped
        for a third at once while a process appends to a file on it. Each
        old card's mount goes and each new card is mounted with its own
        files, within the poll interval, the pass's fixed waits and 0.5 s;
        nothing of an old card reaches a new one; the other slot's card
        stays mounted and plexd hears nothing of it."""
        cards = {}
        for name in "ABCD":
            cards[name] = make_stick(self.img(f"card-{name}"), ["fat32"])
            fat_put(cards[name], "card.txt", f"card {name}\n".encode())
        serial_d = fat_serial(cards["D"])
        bound = 2.0 + 2.0 + 0.5  # the poll interval, the pass's fixed waits, 0.5 s

        def timed(action, expected, path, card=None):
            mark = self.b.mark()
            t0 = time.monotonic()
            action()
            msgs = self.wait_msgs(mark, expected, timeout=30, interval=0.05)
            dt = time.monotonic() - t0
            check(dt <= bound, f"plexd heard {expected} {dt:.1f} s after the card moved, beyond {bound} s")
            if card:
                self.wait_mounted(path, "vfat", timeout=5)
                got = self.b.ok(f"cat {path}/card.txt")
                check(got == f"card {card}", f"{path} shows {got!r}, not card {card}'s files")
            else:
                check(path not in self.b.mounts(), f"{path} is still mounted")
            return msgs, dt

        mark0 = self.b.mark()
        reader = self.b.plug_reader("ehci.0", 2, [cards["A"], cards["B"]])
        self.wait_mounted("/mnt/usb2_1", "vfat")
        self.wait_mounted("/mnt/usb2_2", "vfat")
        self.wait_msgs(mark0, [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1), ("PART_MOUNTED", 2, 2)])
        check(self.b.ok("cat /mnt/usb2_1/card.txt /mnt/usb2_2/card.txt") == "card A\ncard B",
              "the slots do not show cards A and B")
        self.settle()
        self.b.ok("echo kept >/mnt/usb2_2/b.txt && dd if=/dev/urandom of=/tmp/a.bin bs=64k count=8 2>/dev/null")
        want_a = self.b.ok("md5sum /tmp/a.bin").split()[0]
        self.b.ok("cat /tmp/a.bin >/mnt/usb2_1/a.bin && rm /tmp/a.bin")
        mark = self.b.mark()
        released = [("PART_UNMOUNTED", 2, 1), ("DISK_REMOVED", 2, 0)]
        mounted = [("DISK_ADDED", 2, 0), ("PART_MOUNTED", 2, 1)]

        _, pulled = timed(lambda: self.b.pull_card(reader, 0), released, "/mnt/usb2_1")
        got = fat_bytes(cards["A"], "a.bin")
        check(got is not None and hashlib.md5(got).hexdigest() == want_a, "a.bin is not whole on card A")
        _, put_in = timed(lambda: self.b.insert_card(reader, 0, cards["C"]), mounted, "/mnt/usb2_1", "C")
        self.settle()

        # A writer that stops at its first failed write, as a program does.
        self.b.ok("(i=0; while echo swap-line-$i >>/mnt/usb2_1/log.txt; do i=$((i+1)); done) "
                  "</dev/null >/dev/null 2>&1 &")
        time.sleep(2)

        def swap():
            self.b.pull_card(reader, 0)
            self.b.insert_card(reader, 0, cards["D"])
        _, swapped = timed(swap, released + mounted, "/mnt/usb2_1", "D")
        self.settle()
        check(self.b.sh("test -e /mnt/usb2_1/log.txt")[0] != 0, "card D shows card C's log.txt")
        lines = (fat_read(cards["C"], "log.txt") or "").splitlines()
        check(lines and lines == [f"swap-line-{i}" for i in range(len(lines))],
              f"log.txt on card C is not whole: {lines[:3]}...{lines[-3:]}")
        with open(cards["D"], "rb") as f:
            check(b"swap-line-" not in f.read(), "card C's log.txt reached card D's sectors")
        check(fat_serial(cards["D"]) == serial_d, "card C's boot sector was written onto card D")

        check(self.b.ok("cat /mnt/usb2_2/card.txt /mnt/usb2_2/b.txt") == "card B\nkept",
              "the other slot's card changed")
        others = [m for m in storage_msgs(self.b.since(mark)) if m[2] == 2]
        check(others == [], f"plexd heard of the other slot: {others}")
        print(f"board: card-reader: pulled {pulled:.2f} s, put in {put_in:.2f} s, swapped {swapped:.2f} s",
              file=sys.stderr, flush=True)
        mark = self.b.mark()
        self.b.unplug(reader)
        self.wait_msgs(mark, released)
        self.wait_msgs(mark, [("PART_UNMOUNTED", 2, 2)])
        self.check_clean()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("-k", dest="pattern")
    args = ap.parse_args()

    names = [n[len("story_"):] for n in Stories.__dict__ if n.startswith("story_")]
    if args.pattern:
        names = [n for n in names if re.search(args.pattern, n) or re.search(args.pattern, n.replace("_", "-"))]
    if not names:
        print("no story matches", args.pattern)
        print("0 passed, 0 failed")
        return 1

    board = Board(args.kernel, args.initrd, args.work)
    try:
        return run(board, Stories(board, args.work), names)
    finally:
        if getattr(board, "qemu", None) and board.qemu.poll() is None:
            board.qemu.kill()


def run(board, stories, names):
    passed = failed = 0
    t_boot = time.monotonic()
    try:
        board.boot()
    except StoryFailed as e:
        for n in names:
            print(f"FAIL {n.replace('_', '-')}: {e}", flush=True)
        print(f"0 passed, {len(names)} failed")
        board.qemu.kill()
        return 1
    print(f"board: booted in {time.monotonic() - t_boot:.1f} s", file=sys.stderr, flush=True)
    for n in names:
        label = n.replace("_", "-")
        t = time.monotonic()
        try:
            getattr(stories, "story_" + n)()
            stories.b.unplug_all()
            print(f"PASS {label}", flush=True)
            passed += 1
        except Exception as e:  # a story that breaks is a failed story, not the end of the run
            print(f"FAIL {label}: {e if isinstance(e, StoryFailed) else repr(e)}", flush=True)
            failed += 1
            for what, path in (("console", board.console_path), ("kernel", board.boot_log)):
                print(f"board: {label}: last lines of the {what}:\n{board.tail(path, 1500)}",
                      file=sys.stderr, flush=True)
            # Start the next story on a board that answers: a guest that no
            # longer runs commands is booted afresh.
            try:
                alive = (board.qemu.poll() is None and board.answering
                         and board.sh("true", timeout=15)[0] == 0)
            except StoryFailed:
                alive = False
            if alive:
                board.unplug_all()
            else:
                board.qemu.kill()
                board.qemu.wait()
                board.devices.clear()
                board.boot()
        print(f"board: {label} took {time.monotonic() - t:.1f} s", file=sys.stderr, flush=True)
    board.shutdown()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
