// The storage pass end to end: the real hotplug daemon, real ext2 images on
// loop devices posing as the partitions of a USB disk "sda" on port 2, the
// machine's own disks hidden, logging stand-ins for fuser, killall, kill and
// ntfs-3g, and plexd listening on the bus.
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

const char kPassEnd[] = "]:hp_rm_unused_dir:\n";  // written twice per pass (debug on)
const std::string kAddSda1 = "add@/devices/platform/ehci/usb1/1-2/1-2:1.0/host0/block/sda/sda1";
const std::string kUsbRemove = "remove@/devices/platform/ehci/usb1/1-2";

// The mount-table line of the file system mounted at `dir`, or "".
std::string mount_line(const std::string& dir) {
    std::ifstream in("/proc/mounts");
    std::string line;
    std::string found;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string dev, mp;
        ss >> dev >> mp;
        if (mp == dir) found = line;
    }
    return found;
}

bool is_block(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// The test's own world: images attached first, then /dev hidden, then the
// console, /sys/block, the stand-ins and (optionally) plexd.
struct Rig {
    std::vector<std::unique_ptr<sandbox::LoopImage>> images;
    std::unique_ptr<sandbox::Console> console;
    std::unique_ptr<sandbox::StandIns> tools;
    std::unique_ptr<sandbox::Process> plexd;
    std::unique_ptr<sandbox::Process> hotplug;

    explicit Rig(std::vector<bool> read_only, bool with_plexd = true) {
        sandbox::tmpfs("/run");
        sandbox::tmpfs("/var");
        sandbox::tmpfs("/mnt");
        std::map<std::string, dev_t> devs;
        for (size_t i = 0; i < read_only.size(); ++i) {
            std::string n = std::to_string(i + 1);
            images.push_back(std::make_unique<sandbox::LoopImage>(
                "/run/disk" + n + ".img", 2, read_only[i],
                std::map<std::string, std::string>{{"hello.txt", "partition " + n}}));
            devs[images.back()->device().substr(5)] = images.back()->device_number();
        }
        sandbox::hide_dev(devs);
        // hotplug runs a pass at start: it must find an empty table, never
        // this machine's.
        sandbox::fake_proc_partitions({});
        console = std::make_unique<sandbox::Console>();
        sandbox::fake_sys_block({{"sda", 2, 1}});
        tools = std::make_unique<sandbox::StandIns>();
        for (const char* tool : {"fuser", "killall", "kill"}) tools->add(tool);
        tools->add("ntfs-3g", 1);
        sandbox::write_file("/var/debug", "");
        if (with_plexd) plexd = sandbox::start_plexd(false);
    }

    // The /proc/partitions row of image `i` under the kernel name `name`.
    sandbox::PartRow row(size_t i, const std::string& name) const {
        dev_t d = images[i]->device_number();
        return {static_cast<int>(major(d)), static_cast<int>(minor(d)), 2048, name};
    }

    // /proc/partitions with the whole disk and the first `n` images as
    // sda1...; with none, the disk is gone too (a disk without partitions
    // would be mounted as a whole).
    void partitions(size_t n) {
        std::vector<sandbox::PartRow> rows;
        if (n > 0) rows.push_back({8, 0, 2048, "sda"});
        for (size_t i = 0; i < n; ++i) rows.push_back(row(i, "sda" + std::to_string(i + 1)));
        sandbox::fake_proc_partitions(rows);
    }

    // Starts hotplug and returns once the pass it runs at start has ended.
    void start() {
        size_t before = console->count(kPassEnd);
        hotplug = std::make_unique<sandbox::Process>(Strings{sandbox::bin("hotplug")});
        ASSERT_TRUE(console->wait_for(kPassEnd, 20, before + 2)) << console->text();
        ASSERT_TRUE(sandbox::wait_childless(hotplug->pid(), 10));
    }

    // Sends one uevent and waits until a pass has ended after it (a kernel
    // event of another test may start an extra pass; every pass reads the
    // same tables, so any of them does the same work).
    void pass(const std::string& header, const std::string& subsystem, const Strings& more = {}) {
        size_t before = console->count(kPassEnd);
        std::string action = header.substr(0, header.find('@'));
        std::string devpath = header.substr(header.find('@') + 1);
        Strings keys{"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=" + subsystem};
        keys.insert(keys.end(), more.begin(), more.end());
        sandbox::send_uevent(sandbox::uevent(header, keys));
        ASSERT_TRUE(console->wait_for(kPassEnd, 20, before + 2)) << console->text();
    }
    void plug() { pass(kAddSda1, "block"); }
    void unplug() { pass(kUsbRemove, "usb"); }

    // plexd's messages, shortened to "<NAME> disk=<d> partition=<p>".
    Strings messages() const {
        Strings out;
        std::istringstream ss(plexd ? plexd->output() : "");
        std::string line;
        while (std::getline(ss, line)) {
            if (line.rfind("MSG_STORAGE_", 0) != 0) continue;  // plexd's diagnostics
            std::string name = line.substr(0, line.find(' '));
            size_t d = line.find(" disk=");
            out.push_back(name.substr(strlen("MSG_STORAGE_")) + (d == std::string::npos ? "" : line.substr(d)));
        }
        return out;
    }
};

TEST(StoragePass, PlugMountsReportsAndUnplugReleases) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false});
        rig.start();
        rig.partitions(1);
        rig.plug();

        std::string line = mount_line("/mnt/usb2_1");
        EXPECT_EQ(line.rfind("/var/dev/sda1 /mnt/usb2_1 ", 0), 0u) << line;
        EXPECT_NE(line.find(" rw,"), std::string::npos) << line;
        EXPECT_TRUE(is_block("/var/dev/sda1"));
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0",
                                           "PART_MOUNTED disk=2 partition=1"}));
        EXPECT_EQ(rig.console->count("hotplug to plexd part=2_1 msg=01000312H\n"), 1u);

        // A pass that finds everything in order changes nothing and sends nothing.
        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_1"), line);
        EXPECT_EQ(rig.messages().size(), 2u);
        EXPECT_TRUE(rig.tools->calls().empty());

        rig.partitions(0);
        rig.unplug();
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_FALSE(sandbox::exists("/var/dev/sda1"));
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        EXPECT_EQ(rig.tools->calls(), Strings{"fuser -k -m /mnt/usb2_1"});
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 4; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0",
                                           "PART_MOUNTED disk=2 partition=1",
                                           "PART_UNMOUNTED disk=2 partition=1",
                                           "DISK_REMOVED disk=2 partition=0"}));

        // A card in a reader that stays plugged: pulling it gives only a
        // "change" event of the disk. One without a change of medium runs
        // nothing; one with it releases the mount of the partition that has
        // left the table.
        rig.partitions(1);
        rig.plug();
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 6; }, 5));
        const std::string sda = "change@/devices/platform/ehci/usb1/1-2/1-2:1.0/host0/block/sda";
        sandbox::send_uevent(sandbox::uevent(
            sda, {"ACTION=change", "DEVPATH=" + sda.substr(7), "SUBSYSTEM=block", "DEVTYPE=disk"}));
        const std::string start = " START to handle:\n\tchange block " + sda.substr(7) + "\n";
        if (!rig.console->wait_for(start, 20)) {
            sandbox::sh("for p in /proc/[0-9]*; do echo \"$p $(cat $p/comm) $(cat $p/wchan) $(tr '\\0' ' ' < $p/cmdline)\"; cat $p/stack; done >&2");
            FAIL() << rig.console->text();
        }
        ASSERT_TRUE(sandbox::wait_childless(rig.hotplug->pid(), 10));
        // The child that took the event wrote its START line and nothing else
        // (another test's loop device may start passes of its own meanwhile).
        const std::string text = rig.console->text();
        const size_t at = text.rfind('[', text.find(start));
        const std::string child = text.substr(at, text.find(' ', at) - at + 1);
        EXPECT_EQ(rig.console->count(child), 1u) << text;
        EXPECT_NE(mount_line("/mnt/usb2_1"), "");
        rig.partitions(0);
        rig.pass(sda, "block", {"DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"});
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 8; }, 5));
        const Strings msgs = rig.messages();
        EXPECT_EQ(Strings(msgs.begin() + 6, msgs.end()),
                  (Strings{"PART_UNMOUNTED disk=2 partition=1", "DISK_REMOVED disk=2 partition=0"}));
    });
}

TEST(StoragePass, TwoPartitionsAreNumberedInListOrder) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false, false});
        rig.start();
        rig.partitions(2);
        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sda1 ", 0), 0u);
        EXPECT_EQ(mount_line("/mnt/usb2_2").rfind("/var/dev/sda2 ", 0), 0u);
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_2/hello.txt"), "partition 2");
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 3; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0",
                                           "PART_MOUNTED disk=2 partition=1",
                                           "PART_MOUNTED disk=2 partition=2"}));
    });
}

TEST(StoragePass, MountUnderAnotherPortsNameIsMoved) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false});
        rig.partitions(1);
        ASSERT_EQ(mkdir("/var/dev", 0755), 0);
        ASSERT_EQ(mknod("/var/dev/sda1", S_IFBLK | 0600, rig.images[0]->device_number()), 0);
        ASSERT_EQ(mkdir("/mnt/usb1_1", 0755), 0);
        ASSERT_EQ(mount("/var/dev/sda1", "/mnt/usb1_1", "ext2", 0, ""), 0);
        rig.start();
        rig.plug();

        EXPECT_TRUE(rig.console->wait_for("mount path is error:position:2 /mnt/usb1_1\n", 1));
        EXPECT_EQ(mount_line("/mnt/usb1_1"), "");
        EXPECT_FALSE(sandbox::exists("/mnt/usb1_1"));
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sda1 ", 0), 0u);
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 4; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"PART_UNMOUNTED disk=1 partition=1",
                                           "DISK_REMOVED disk=1 partition=0",
                                           "DISK_ADDED disk=2 partition=0",
                                           "PART_MOUNTED disk=2 partition=1"}));
    });
}

// Two sticks on hubs behind root port 2: B stayed mounted at /mnt/usb2_2
// while A was pulled and plugged back in, and the kernel now lists A after
// B, so A counts to B's number. hotplug starts with both present: its
// start-up pass leaves B alone and mounts A under the lowest free number of
// the port, and no later pass moves either.
TEST(StoragePass, SticksPresentAtStartAreMountedAndATakenNameGivesTheFreeNumber) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false, false});
        sandbox::fake_sys_block({{"sdb", 2, 1}, {"sdc", 2, 1}});
        sandbox::fake_proc_partitions({{8, 16, 2048, "sdb"}, rig.row(1, "sdb1"), {8, 32, 2048, "sdc"}, rig.row(0, "sdc1")});
        ASSERT_EQ(mkdir("/var/dev", 0755), 0);
        ASSERT_EQ(mknod("/var/dev/sdb1", S_IFBLK | 0600, rig.images[1]->device_number()), 0);
        ASSERT_EQ(mkdir("/mnt/usb2_2", 0755), 0);
        ASSERT_EQ(mount("/var/dev/sdb1", "/mnt/usb2_2", "ext2", 0, ""), 0);
        const std::string b_line = mount_line("/mnt/usb2_2");

        rig.start();  // no event sent: the start-up pass does it
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sdc1 /mnt/usb2_1 ", 0), 0u) << rig.console->text();
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        EXPECT_EQ(mount_line("/mnt/usb2_2"), b_line);
        EXPECT_EQ(rig.console->count("]:the mount dir /mnt/usb2_2 is taken, use /mnt/usb2_1\n"), 1u);
        EXPECT_EQ(rig.console->count("the mount dir is exist!"), 0u);
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        // B is not announced again.
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1"}));

        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_2"), b_line);
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sdc1 ", 0), 0u);
        EXPECT_EQ(rig.console->count("mount path is error"), 0u);
        EXPECT_TRUE(rig.tools->calls().empty());
        EXPECT_EQ(rig.messages().size(), 2u);

        // A pulled again: its number goes with it, B stays.
        sandbox::fake_proc_partitions({{8, 16, 2048, "sdb"}, rig.row(1, "sdb1")});
        rig.unplug();
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_EQ(mount_line("/mnt/usb2_2"), b_line);
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 4; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1",
                                           "PART_UNMOUNTED disk=2 partition=1", "DISK_REMOVED disk=2 partition=0"}));
    });
}

// A stick formatted without a partition table is listed as a disk alone:
// it is mounted as its own partition 1 and released when pulled. A fixed
// disk of the machine without partitions is never touched.
TEST(StoragePass, WholeDiskStickIsItsOwnPartitionOne) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false});
        sandbox::fake_sys_block({{"sdb", 2, 1}, {"sdc", 0, 0}});
        rig.start();
        const sandbox::PartRow fixed{240, 0, 2048, "sdc"};  // no driver: any mount of it would fail
        sandbox::fake_proc_partitions({rig.row(0, "sdb"), fixed});
        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sdb /mnt/usb2_1 ", 0), 0u) << rig.console->text();
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1"}));

        sandbox::fake_proc_partitions({fixed});
        rig.unplug();
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        EXPECT_FALSE(sandbox::exists("/var/dev/sdb"));
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 4; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1",
                                           "PART_UNMOUNTED disk=2 partition=1", "DISK_REMOVED disk=2 partition=0"}));
        // The fixed disk: no node, no directory, no mount attempt.
        EXPECT_EQ(rig.tools->calls(), Strings{"fuser -k -m /mnt/usb2_1"});
        EXPECT_FALSE(sandbox::exists("/var/dev/sdc"));
        EXPECT_EQ(rig.console->count("/var/dev/sdc"), 0u);
        EXPECT_EQ(rig.console->count("usb4_"), 0u);
    });
}

TEST(StoragePass, WriteProtectedMediumIsMountedReadOnly) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({true});
        rig.start();
        rig.partitions(1);
        rig.plug();
        std::string line = mount_line("/mnt/usb2_1");
        EXPECT_NE(line.find(" ro,"), std::string::npos) << line;
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        EXPECT_GE(rig.console->count("]:/var/dev/sda1 is write-protected, mounting read-only"), 1u);
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        EXPECT_EQ(rig.messages().back(), "PART_MOUNTED disk=2 partition=1");
    });
}

// The sweep deletes what nobody claims, but never the contents of a live
// file system: not of an unclaimed mount point, not behind a symbolic link
// (the link stays too), not of a present disk whose unmount failed. A mount
// point it cannot remove is reported as a directory it could not remove. A
// busy mount of a disk that has gone is detached, which frees its port.
TEST(StoragePass, SweepSparesLiveFileSystems) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false, false});
        // A busy mount outside /mnt whose device the kernel's table does not
        // list: it is the system's, and never touched, whatever it looks like.
        ASSERT_EQ(mkdir("/var/dev", 0755), 0);
        ASSERT_EQ(mknod("/var/dev/sdz1", S_IFBLK | 0600, rig.images[1]->device_number()), 0);
        ASSERT_EQ(mkdir("/run/data", 0755), 0);
        ASSERT_EQ(mount("/var/dev/sdz1", "/run/data", "ext2", 0, ""), 0);
        int data_fd = open("/run/data/hello.txt", O_RDONLY);
        ASSERT_GE(data_fd, 0);
        ASSERT_EQ(sandbox::sh("mkdir -p /mnt/usb9_9/sub /mnt/keep /run/outside && "
                              "echo x >/mnt/usb9_9/sub/f && echo x >/mnt/junk && "
                              "echo mine >/run/outside/f && ln -s /run/outside /mnt/link"),
                  0);
        sandbox::tmpfs("/mnt/keep");
        sandbox::write_file("/mnt/keep/f", "mine");
        const std::string long_junk = "/mnt/" + std::string(200, 'j');  // beyond any node's directory
        sandbox::write_file(long_junk, "x");
        rig.start();
        rig.partitions(1);
        rig.plug();
        EXPECT_FALSE(sandbox::exists(long_junk));

        EXPECT_FALSE(sandbox::exists("/mnt/usb9_9"));
        EXPECT_FALSE(sandbox::exists("/mnt/junk"));
        EXPECT_EQ(sandbox::read_file("/mnt/keep/f"), "mine");
        EXPECT_EQ(sandbox::read_file("/run/outside/f"), "mine\n");
        EXPECT_TRUE(sandbox::exists("/mnt/link"));
        EXPECT_NE(mount_line("/mnt/usb2_1"), "");
        // Both sweeps of the pass tried the unclaimed mount point.
        EXPECT_GE(rig.console->count("]:rm dir failed:/mnt/keep\n"), 2u) << rig.console->text();

        // A file held open keeps the forced unmount from succeeding (the
        // fuser stand-in kills nothing). While the partition is present, its
        // mount stays with its files, even when it is to move to another
        // port's name.
        int fd = open("/mnt/usb2_1/hello.txt", O_RDONLY);
        ASSERT_GE(fd, 0);
        size_t msgs = rig.messages().size();
        sandbox::fake_sys_block({{"sda", 3, 1}});
        rig.plug();
        EXPECT_TRUE(rig.console->wait_for("umount failed:/mnt/usb2_1 /mnt/usb2_1-oforce[", 1));
        EXPECT_GE(rig.console->count("]:can not umount:/mnt/usb2_1\n"), 1u);
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        EXPECT_NE(mount_line("/mnt/usb2_1"), "");
        EXPECT_EQ(rig.console->count(" detached"), 0u) << rig.console->text();
        EXPECT_EQ(rig.messages().size(), msgs);
        sandbox::fake_sys_block({{"sda", 2, 1}});

        // Once the disk has gone, the busy mount is detached, but never with
        // a mount someone else made inside it: while that one is busy, the
        // stick's mount stays; once it is not, it is unmounted first.
        sandbox::tmpfs("/mnt/usb2_1/inner");
        sandbox::write_file("/mnt/usb2_1/inner/f", "theirs");
        int inner_fd = open("/mnt/usb2_1/inner/f", O_RDONLY);
        ASSERT_GE(inner_fd, 0);
        rig.partitions(0);
        rig.unplug();
        EXPECT_GE(rig.console->count("]:/mnt/usb2_1 stays mounted: /mnt/usb2_1/inner, mounted inside it, is busy\n"), 1u)
            << rig.console->text();
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/inner/f"), "theirs");
        EXPECT_EQ(rig.messages().size(), msgs);
        close(inner_fd);
        // Then the stick's busy mount is detached: the port's name is free
        // at once, and the user holding the file still reads it (the
        // detached file system lives on until it lets go; nothing of it is
        // deleted).
        rig.unplug();
        EXPECT_EQ(rig.console->count("]:/mnt/usb2_1/inner was mounted inside /mnt/usb2_1: unmounted first\n"), 1u);
        // (A kernel event of a test beside this one may add a pass, so the
        // failed unmount may be logged more often.)
        EXPECT_GE(rig.console->count("umount failed:/mnt/usb2_1 /mnt/usb2_1-oforce["), 2u);
        EXPECT_EQ(rig.console->count("]:/mnt/usb2_1 detached, its users keep it until they let go\n"), 1u)
            << rig.console->text();
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        EXPECT_FALSE(sandbox::exists("/var/dev/sda1"));
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= msgs + 2; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1",
                                           "PART_UNMOUNTED disk=2 partition=1", "DISK_REMOVED disk=2 partition=0"}));
        char held[32] = {};
        EXPECT_EQ(pread(fd, held, sizeof(held) - 1, 0), 11);
        EXPECT_STREQ(held, "partition 1");
        close(fd);

        // The next plug on the port is mounted, files intact.
        rig.partitions(1);
        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sda1 ", 0), 0u);
        EXPECT_EQ(sandbox::read_file("/mnt/usb2_1/hello.txt"), "partition 1");
        EXPECT_EQ(rig.console->count("the mount dir is exist!"), 0u);
        EXPECT_EQ(sandbox::read_file("/mnt/keep/f"), "mine");

        EXPECT_EQ(rig.console->count("umount failed:/run/data "), 0u);
        for (const std::string& call : rig.tools->calls()) EXPECT_EQ(call.find("/run/data"), std::string::npos) << call;
        EXPECT_EQ(sandbox::read_file("/run/data/hello.txt"), "partition 2");
        close(data_fd);
    });
}

// Values from the mount table reach the shell quoted; the ntfs-3g driver of
// a mount and any FTP server are killed before the unmount.
TEST(StoragePass, UnmountQuotesThePathAndKillsDriverAndFtpServer) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false});
        rig.partitions(0);
        ASSERT_EQ(mkdir("/var/dev", 0755), 0);
        ASSERT_EQ(mknod("/var/dev/sdb1", S_IFBLK | 0600, rig.images[0]->device_number()), 0);
        // Unquoted, the shell would stop at the lone quote and run nothing.
        const std::string odd = "/mnt/it's;:";
        ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
        ASSERT_EQ(mount("/var/dev/sdb1", odd.c_str(), "ext2", 0, ""), 0);
        // Processes whose command lines look like an ntfs-3g driver for this
        // mount and like the FTP server.
        sandbox::Process driver(
            {"/bin/sh", "-c", "sleep 60; :", "ntfs-3g", "/var/dev/sdb1", odd, "-o", "force"});
        sandbox::Process ftp({"/bin/sh", "-c", "sleep 60; :", "bftpd"});
        rig.start();
        rig.unplug();

        EXPECT_EQ(mount_line(odd), "");
        EXPECT_FALSE(sandbox::exists(odd));
        EXPECT_FALSE(sandbox::exists("/var/dev/sdb1"));
        // kill is the shell's own builtin: the stand-in never sees it, the
        // driver dies of SIGKILL (in this pid namespace only).
        EXPECT_EQ(rig.tools->calls(), (Strings{"fuser -k -m " + odd, "killall -9 bftpd"}));
        int st = driver.wait_exit(2);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;
        EXPECT_TRUE(ftp.alive());
        // Not named /mnt/usb<d>_<p>: nothing to report.
        EXPECT_TRUE(rig.messages().empty());
    });
}

TEST(StoragePass, NothingMountableEndsInMountError) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig(std::vector<bool>{});
        rig.start();
        // A device number with no driver behind it: every mount fails.
        sandbox::fake_proc_partitions({{8, 0, 2048, "sda"}, {240, 0, 2048, "sda1"}});
        rig.plug();
        EXPECT_TRUE(rig.console->wait_for("]:mount failed! /var/dev/sda1\n", 1));
        EXPECT_EQ(rig.tools->calls(), Strings{"ntfs-3g /var/dev/sda1 /mnt/usb2_1 -o force"});
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        EXPECT_FALSE(sandbox::exists("/var/dev/sda1"));
        EXPECT_NE(rig.console->text().find("mounterr"), std::string::npos);
        EXPECT_TRUE(rig.messages().empty());
    });
}

TEST(StoragePass, WithoutBusOrPlexdTheMountStillHappensAndIsFiled) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false}, /*with_plexd=*/false);
        // What an administrator runs while plexd is down: its command line
        // names plexd, and it must not pass for it.
        sandbox::Process tail({"/bin/sh", "-c", "sleep 60; :", "tail -f /var/msghpplexd"});
        rig.start();
        rig.partitions(1);
        rig.plug();
        EXPECT_GE(rig.console->count("obxMsg_init error ret="), 1u);
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sda1 ", 0), 0u);
        EXPECT_EQ(sandbox::read_file("/var/msghpplexd"), "2 0 1000310\n2 1 1000312\n");
        EXPECT_EQ(rig.console->count("echo 2 1 1000312 >>/var/msghpplexd\n"), 1u);
    });
}

// The machine's own disks: a disk mounted at /mnt itself holding the
// user's files, a fixed disk's partition mounted at /srv/data with a process
// holding a file there, and a fixed disk without partitions that the system
// mounted at /mnt/data. None is unmounted, moved, killed for, named, swept
// or announced, by the pass at start or by a block event's; a stick plugged
// beside them gets its usual name.
TEST(StoragePass, DisksTheSystemMountedAreLeftAlone) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false, false, false, false});
        sandbox::fake_sys_block({{"sda", 2, 1}, {"sdb", 0, 0}, {"sdc", 0, 0}, {"sdd", 0, 0}});
        sandbox::fake_proc_partitions({{8, 0, 2048, "sda"}, rig.row(2, "sda1"), {8, 16, 2048, "sdb"},
                                       rig.row(0, "sdb1"), rig.row(1, "sdc"), {8, 48, 2048, "sdd"},
                                       rig.row(3, "sdd1")});
        ASSERT_EQ(mknod("/dev/sdb1", S_IFBLK | 0600, rig.images[0]->device_number()), 0);
        ASSERT_EQ(mknod("/dev/sdc", S_IFBLK | 0600, rig.images[1]->device_number()), 0);
        ASSERT_EQ(mknod("/dev/sdd1", S_IFBLK | 0600, rig.images[3]->device_number()), 0);
        ASSERT_EQ(mount("/dev/sdd1", "/mnt", "ext2", 0, ""), 0);
        ASSERT_EQ(sandbox::sh("mkdir -p /mnt/photos && echo mine >/mnt/photos/a.jpg"), 0);
        sandbox::tmpfs("/srv");
        ASSERT_EQ(mkdir("/srv/data", 0755), 0);
        ASSERT_EQ(mount("/dev/sdb1", "/srv/data", "ext2", 0, ""), 0);
        ASSERT_EQ(mkdir("/mnt/data", 0755), 0);
        ASSERT_EQ(mount("/dev/sdc", "/mnt/data", "ext2", 0, ""), 0);
        const std::string srv = mount_line("/srv/data"), data = mount_line("/mnt/data");
        sandbox::Process holder({"/bin/sh", "-c", "cd /mnt/data && exec 3</srv/data/hello.txt && exec sleep 600"});

        rig.start();
        rig.plug();
        EXPECT_EQ(mount_line("/mnt/usb2_1").rfind("/var/dev/sda1 ", 0), 0u) << rig.console->text();
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"DISK_ADDED disk=2 partition=0", "PART_MOUNTED disk=2 partition=1"}));

        EXPECT_EQ(mount_line("/srv/data"), srv);
        EXPECT_EQ(mount_line("/mnt/data"), data);
        EXPECT_TRUE(holder.alive());
        EXPECT_EQ(sandbox::read_file("/srv/data/hello.txt"), "partition 1");
        EXPECT_EQ(sandbox::read_file("/mnt/data/hello.txt"), "partition 2");
        EXPECT_EQ(sandbox::read_file("/mnt/hello.txt"), "partition 4");
        EXPECT_EQ(sandbox::read_file("/mnt/photos/a.jpg"), "mine\n");
        EXPECT_TRUE(rig.tools->calls().empty());
        EXPECT_FALSE(sandbox::exists("/mnt/usb4_1"));
        EXPECT_FALSE(sandbox::exists("/var/dev/sdb1"));
        EXPECT_FALSE(sandbox::exists("/var/dev/sdc"));
        EXPECT_EQ(rig.console->count("mount path is error"), 0u);
    });
}

// A daemon stopped while its pass runs (held here in fuser) leaves that
// pass going; the restarted daemon's pass waits for it instead of running
// beside it, and then finds nothing left to do: one unmount, one set of
// notifications. plexd is restarted meanwhile too, as the init script does:
// the pass's records reach the new plexd.
TEST(StoragePass, RestartedDaemonsPassWaitsForTheOneStillRunning) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Rig rig({false});
        rig.start();
        rig.partitions(1);
        rig.plug();
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));

        rig.tools->add_script("fuser", "i=0; while [ ! -e /run/gate ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done");
        rig.partitions(0);
        const size_t ends = rig.console->count(kPassEnd);
        sandbox::send_uevent(sandbox::uevent(
            kUsbRemove, {"ACTION=remove", "DEVPATH=" + kUsbRemove.substr(7), "SUBSYSTEM=usb"}));
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.tools->calls().size() == 1; }, 10));
        rig.hotplug->stop();
        rig.plexd->stop();
        rig.plexd = sandbox::start_plexd(false, "/run/plexd2.out");
        const size_t begun = rig.console->count("]:hp_get_partitions:\n");
        rig.hotplug = std::make_unique<sandbox::Process>(Strings{sandbox::bin("hotplug")});
        ASSERT_TRUE(rig.console->wait_for("]:another storage pass is running, waiting for it\n", 10))
            << rig.console->text();
        EXPECT_EQ(rig.console->count("]:hp_get_partitions:\n"), begun);

        sandbox::write_file("/run/gate", "");
        // Both sweeps of the old pass, then both of the new one.
        ASSERT_TRUE(rig.console->wait_for(kPassEnd, 20, ends + 4)) << rig.console->text();
        EXPECT_EQ(rig.tools->calls(), Strings{"fuser -k -m /mnt/usb2_1"});
        EXPECT_EQ(mount_line("/mnt/usb2_1"), "");
        EXPECT_FALSE(sandbox::exists("/mnt/usb2_1"));
        EXPECT_EQ(rig.console->count("umount failed"), 0u);
        ASSERT_TRUE(sandbox::wait_until([&] { return rig.messages().size() >= 2; }, 5));
        EXPECT_EQ(rig.messages(), (Strings{"PART_UNMOUNTED disk=2 partition=1", "DISK_REMOVED disk=2 partition=0"}));
    });
}

}  // namespace
