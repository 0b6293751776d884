// Storage pass steps called directly inside the sandbox: the partition list
// from the kernel's tables, the USB position from a fake /sys/block, tree
// removal next to mounts, and the notifications with and without plexd.
#include "bus/obx_msg.h"
#include "hotplug/hotplug_netlink_storage.h"
#include "hotplug/hotplug_netlink_storage_mount.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_rm.h"
#include "hotplug/hotplug_netlink_storage_umount.h"
#include "hotplug/hp_log.h"
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kConsole[] = "/run/console.log";

// The world of a storage test: private /run, /var and /mnt, the machine's
// block devices hidden, logging stand-ins for the killing tools, debug on,
// and the console lines of the code under test collected in a file.
struct World {
    std::unique_ptr<sandbox::StandIns> tools;

    explicit World(bool debug = true) {
        sandbox::tmpfs("/run");
        sandbox::tmpfs("/var");
        sandbox::tmpfs("/mnt");
        sandbox::hide_dev();
        tools = std::make_unique<sandbox::StandIns>("/run/standins");
        for (const char* tool : {"fuser", "killall", "kill"}) tools->add(tool);
        if (debug) sandbox::write_file("/var/debug", "");
        p_fd = ::open(kConsole, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        EXPECT_GE(p_fd, 0);
    }
    ~World() {
        if (p_fd >= 0) ::close(p_fd);
        p_fd = -1;
    }
    std::string console() const { return sandbox::read_file(kConsole); }
    bool said(const std::string& text) const { return console().find(text) != std::string::npos; }
};

hp_partition* node(const char* name, const char* status = "") {
    auto* n = static_cast<hp_partition*>(calloc(1, sizeof(hp_partition)));
    snprintf(n->partition, sizeof(n->partition), "%s", name);
    hp_set_status(n, status);
    return n;
}

hp_partition* chain(std::vector<hp_partition*> nodes) {
    for (size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i]->next = nodes[i + 1];
    return nodes.empty() ? nullptr : nodes[0];
}

void free_list(hp_partition* n) {
    while (n) {
        hp_partition* next = n->next;
        free(n);
        n = next;
    }
}

std::string hex_of(const std::vector<uint32_t>& words) {
    std::string s;
    char two[3];
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) {
            int shift = std::endian::native == std::endian::big ? 24 - 8 * i : 8 * i;
            snprintf(two, sizeof(two), "%02x", (unsigned)((w >> shift) & 0xff));
            s += two;
        }
    }
    return s;
}

// The message lines of plexd --hex output (its own notes on stderr, which
// share the file, are left out).
std::string messages(const sandbox::Process& daemon) {
    std::string out, text = daemon.output();
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.find_first_not_of("0123456789abcdef") == std::string::npos)
            out += line + "\n";
    }
    return out;
}

}  // namespace

TEST(StorageList, BuiltFromKernelTablesAndDumped) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w;
        sandbox::fake_proc_partitions({{8, 0, 2048, "sda"},
                                       {8, 1, 1024, "sda1"},
                                       {8, 2, 1, "sda2"},
                                       {8, 5, 1000, "sda5"}});
        // Mounts of the partitions, made with tmpfs under the device names
        // the pass uses: sda1 is mounted, sdz1 has left /proc/partitions
        // but its node under /var/dev is still there.
        ASSERT_EQ(mkdir("/var/dev", 0777), 0);
        ASSERT_EQ(mknod("/var/dev/sdz1", S_IFBLK | 0600, makedev(8, 99)), 0);
        ASSERT_EQ(mkdir("/mnt/usb2_1", 0777), 0);
        ASSERT_EQ(mkdir("/mnt/usb3_1", 0777), 0);
        ASSERT_EQ(mkdir("/mnt/gone", 0777), 0);
        ASSERT_EQ(mount("/var/dev/sda1", "/mnt/usb2_1", "tmpfs", 0, nullptr), 0);
        ASSERT_EQ(mount("/var/dev/sdz1", "/mnt/usb3_1", "tmpfs", 0, nullptr), 0);
        ASSERT_EQ(mount("/var/dev/sdq1", "/mnt/gone", "tmpfs", 0, nullptr), 0);  // no such device

        hp_partition* list = nullptr;
        ASSERT_EQ(hp_get_partitions(&list), 0);
        ASSERT_EQ(hp_check_mounts(&list), 0);
        std::vector<hp_partition*> n;
        for (hp_partition* p = list; p; p = p->next) n.push_back(p);
        ASSERT_EQ(n.size(), 5u);
        EXPECT_STREQ(n[0]->status, "ignore");
        EXPECT_STREQ(n[1]->status, "mounted");
        EXPECT_STREQ(n[1]->dev, "/var/dev/sda1");
        EXPECT_STREQ(n[1]->path, "/mnt/usb2_1");
        EXPECT_STREQ(n[2]->status, "ignore");
        EXPECT_STREQ(n[3]->status, "");
        EXPECT_STREQ(n[4]->status, "toumount");
        EXPECT_STREQ(n[4]->dev, "/var/dev/sdz1");
        EXPECT_STREQ(n[4]->path, "/mnt/usb3_1");

        n[1]->pos = 2;
        EXPECT_EQ(hp_dump_partitions(list), 0);
        std::string c = w.console();
        EXPECT_NE(c.find("]:/var/dev/sda1 /mnt/usb2_1 tmpfs"), std::string::npos);  // lines echoed
        EXPECT_NE(c.find("mount info:\n" + std::string(45, '-') + "\n" +
                         "major  minor  partition    status       pos       dev             path           \n" +
                         "    8      0  sda          ignore       0   " + std::string(15, ' ') + " " +
                         std::string(15, ' ') + "\n" +
                         "    8      1  sda1         mounted      2   /var/dev/sda1   /mnt/usb2_1    \n"),
                  std::string::npos)
            << c;
        EXPECT_NE(c.find("    0      0               toumount     0   /var/dev/sdz1   /mnt/usb3_1    \n" +
                         std::string(44, '-') + "\n\n"),
                  std::string::npos)
            << c;

        // Without /var/debug the dump writes nothing.
        ASSERT_EQ(unlink("/var/debug"), 0);
        size_t before = w.console().size();
        hp_dump_partitions(list);
        EXPECT_EQ(w.console().size(), before);
        free_list(list);
        umount("/mnt/usb2_1");
        umount("/mnt/usb3_1");
        umount("/mnt/gone");
    });
}

// The mount table is traced as the 128-byte line buffer reads it: a line of
// a vfat mount, longer than the buffer, appears as two traced pieces, and
// only the first piece is taken for a mount.
TEST(StorageList, LongMountLinesAreTracedInPieces) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w;
        const std::string vfat =
            "/var/dev/sda1 /mnt/usb1_1 vfat rw,relatime,fmask=0022,dmask=0022,codepage=437,"
            "iocharset=iso8859-1,shortname=mixed,errors=remount-ro 0 0";
        ASSERT_GT(vfat.size(), 127u);
        const std::string edge(127, 'x');  // 127 characters: the line end is read alone
        std::string table = vfat + "\n" + edge + "\n/var/dev/sdb1 /mnt/usb2_1 ext2 rw 0 0\n";
        FILE* f = fmemopen(table.data(), table.size(), "r");
        ASSERT_NE(f, nullptr);
        hp_partition* list = nullptr;
        EXPECT_EQ(hp_read_mounts(f, &list, [](const char*) { return true; }), 0);
        fclose(f);

        std::vector<std::string> pieces;
        std::string c = w.console();
        for (size_t at = 0; (at = c.find("]:", at)) != std::string::npos;) {
            size_t next = c.find("\n[", at);
            pieces.push_back(c.substr(at + 2, next == std::string::npos ? std::string::npos : next + 1 - at - 2));
            at = next == std::string::npos ? c.size() : next;
        }
        EXPECT_EQ(pieces, (std::vector<std::string>{vfat.substr(0, 127) + "\n", vfat.substr(127) + "\n\n",
                                                    edge + "\n", "\n\n",
                                                    "/var/dev/sdb1 /mnt/usb2_1 ext2 rw 0 0\n\n"}))
            << c;
        // Two mounts: the rest of the long line is not one.
        ASSERT_NE(list, nullptr);
        EXPECT_STREQ(list->path, "/mnt/usb1_1");
        ASSERT_NE(list->next, nullptr);
        EXPECT_STREQ(list->next->path, "/mnt/usb2_1");
        EXPECT_EQ(list->next->next, nullptr);
        free_list(list);
    });
}

TEST(StoragePosition, PortsFromFakeSysBlock) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w;
        sandbox::fake_sys_block({{"sda", 2, 1},
                                 {"sdc", 0, 0},        // built-in disk
                                 {"sdb", 3, 1},        // USB disk after it
                                 {"mmcblk0", 0, 0},    // not removable, no "sd"
                                 {"sdd", 0, 1},        // removable, not on USB
                                 {"sde", 1, 1},        // removable file without a number
                                 {"sdf", 1, 1}});      // position path without separators
        sandbox::write_file("/sys/block/sde/removable", "unknown\n");
        ASSERT_EQ(unlink("/sys/block/sdf/device"), 0);
        ASSERT_EQ(sandbox::sh("mkdir -p /sys/block/.odd/usbstrange && ln -s ../.odd/usbstrange /sys/block/sdf/device"), 0);

        hp_partition* list = chain({node("sda1"), node("sda2", "mounted"), node("sdc1"), node("sdb1"),
                                    node("mmcblk0p1"), node("sdd1"), node("sde1"), node("sdf1"),
                                    node("sdx1"), node("sda3", "ignore"), node("sda4", "toumount")});
        std::vector<hp_partition*> n;
        for (hp_partition* p = list; p; p = p->next) n.push_back(p);

        EXPECT_EQ(hp_get_usb_position(list), 0);
        EXPECT_EQ(n[0]->pos, 2);
        EXPECT_STREQ(n[0]->status, "");
        EXPECT_EQ(n[1]->pos, 2);
        EXPECT_STREQ(n[1]->status, "mounted");
        EXPECT_EQ(n[2]->pos, 4);                 // built-in "sd" disk
        EXPECT_STREQ(n[2]->status, "");
        EXPECT_EQ(n[3]->pos, 3);                 // still examined after it
        EXPECT_STREQ(n[4]->status, "ignore");
        EXPECT_STREQ(n[5]->status, "ignore");
        EXPECT_STREQ(n[6]->status, "ignore");
        EXPECT_STREQ(n[7]->status, "ignore");
        EXPECT_STREQ(n[8]->status, "ignore");    // no disk
        EXPECT_EQ(n[9]->pos, 0);                 // passed over
        EXPECT_EQ(n[10]->pos, 0);
        EXPECT_FALSE(sandbox::exists("/var/.usbposition"));

        std::string c = w.console();
        EXPECT_NE(c.find("]:path=/sys/block/sda/removable\n"), std::string::npos);
        EXPECT_NE(c.find("]:use this cmd to get usb position:cd /sys/block/sda/device; pwd -P>/var/.usbposition\n"),
                  std::string::npos);
        EXPECT_NE(c.find("]:the usb partition device path is:/sys/block/.dev/platform/ehci-platform/usb1/1-2/"),
                  std::string::npos);
        EXPECT_NE(c.find("]:the momible disk [sdd] is not usb\n"), std::string::npos);
        EXPECT_NE(c.find("]:ignore the partition:mmcblk0p1\n"), std::string::npos);
        EXPECT_NE(c.find("]:can not find the disk the partition[sdx1] is reside in\n"), std::string::npos);
        // A removable file without a number and a position without a port
        // segment leave their nodes out silently.
        EXPECT_EQ(c.find("partition:sde1"), std::string::npos) << c;
        EXPECT_EQ(c.find("partition:sdf1"), std::string::npos) << c;
        // The line number of the prefix is repeated in front of the text.
        size_t at = c.find(" Find the partition:sdc\n");
        ASSERT_NE(at, std::string::npos);
        size_t start = c.rfind('[', at);
        size_t colon = c.find("]:", start);
        size_t num_start = c.rfind(':', colon - 1) + 1;
        EXPECT_EQ(c.substr(num_start, colon - num_start), c.substr(colon + 2, at - colon - 2)) << c;

        // Mount directories follow the ports found.
        hp_partition* sda1 = n[0];
        EXPECT_EQ(hp_make_mount_path(list, sda1), 0);
        EXPECT_STREQ(sda1->path, "/mnt/usb2_1");
        EXPECT_TRUE(w.said("]:mount_path=/mnt/usb2_1\n"));
        free_list(list);
    });
}

// New partitions get block nodes of their own under /var/dev with the
// partition's device number; nodes already there are kept; without /var/dev
// the nodes in /dev are used as they are.
TEST(StorageDevNodes, MadeUnderVarDevOrTakenFromDev) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w;
        umask(0);
        ASSERT_EQ(mkdir("/var/dev", 0777), 0);
        ASSERT_EQ(mknod("/var/dev/sdd1", S_IFBLK | 0600, makedev(1, 3)), 0);
        hp_partition* list = chain({node("sda1"), node("sdb300"), node("sdc1", "mounted"), node("sdd1")});
        list->major = 8;
        list->minor = 1;
        list->next->major = 259;  // extended numbers: minor beyond 8 bits
        list->next->minor = 300;
        snprintf(list->next->next->dev, sizeof(list->next->next->dev), "/var/dev/sdx9");

        EXPECT_EQ(hp_mk_dev_node(list), 0);
        struct stat st;
        ASSERT_EQ(stat("/var/dev/sda1", &st), 0);
        EXPECT_EQ(st.st_mode, (mode_t)0x61FF);
        EXPECT_EQ(st.st_rdev, makedev(8, 1));
        ASSERT_EQ(stat("/var/dev/sdb300", &st), 0);
        EXPECT_EQ(major(st.st_rdev), 259u);
        EXPECT_EQ(minor(st.st_rdev), 300u);
        ASSERT_EQ(stat("/var/dev/sdd1", &st), 0);
        EXPECT_EQ(st.st_rdev, makedev(1, 3));  // left in place
        EXPECT_STREQ(list->dev, "/var/dev/sda1");
        EXPECT_STREQ(list->next->next->dev, "/var/dev/sdx9");  // mounted: untouched
        EXPECT_STREQ(list->next->next->next->dev, "/var/dev/sdd1");
        std::string c = w.console();
        EXPECT_NE(c.find("]:mknod:/var/dev/sda1\n"), std::string::npos) << c;
        EXPECT_EQ(c.find("mknod:/var/dev/sdd1"), std::string::npos) << c;
        free_list(list);

        // /var/dev cannot be made: the nodes of /dev, nothing created.
        ASSERT_EQ(hp_remove_path("/var/dev"), 0);
        ASSERT_EQ(mount(nullptr, "/var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        list = chain({node("sda1")});
        size_t before = w.console().size();
        EXPECT_EQ(hp_mk_dev_node(list), 0);
        EXPECT_STREQ(list->dev, "/dev/sda1");
        std::string tail = w.console().substr(before);
        ASSERT_NE(tail.find("]:"), std::string::npos) << tail;
        EXPECT_EQ(tail.substr(tail.find("]:")), "]:mkdir failed:/var/dev");  // no line end, no mknod
        free_list(list);
    });
}

TEST(StorageRemoveTree, LinksAndMountsInsideAreLeftIntact) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        ASSERT_EQ(sandbox::sh("mkdir -p /run/outside/sub && echo keep >/run/outside/sub/precious"), 0);
        ASSERT_EQ(sandbox::sh("mkdir -p /mnt/usb1_1/d/mounted /mnt/usb1_1/bound /mnt/src && "
                              "echo x >/mnt/usb1_1/d/file && echo keep >/mnt/src/precious && "
                              "ln -s /run/outside /mnt/usb1_1/d/link && ln -s /run/outside/sub/precious /mnt/usb1_1/flink"),
                  0);
        sandbox::tmpfs("/mnt/usb1_1/d/mounted");
        sandbox::write_file("/mnt/usb1_1/d/mounted/data", "keep");
        // A bind mount within the same file system keeps the device number.
        ASSERT_EQ(mount("/mnt/src", "/mnt/usb1_1/bound", nullptr, MS_BIND, nullptr), 0);

        EXPECT_EQ(hp_remove_path("/mnt/usb1_1"), -1);
        EXPECT_EQ(sandbox::read_file("/run/outside/sub/precious"), "keep\n");
        EXPECT_EQ(sandbox::read_file("/mnt/usb1_1/d/mounted/data"), "keep");
        EXPECT_EQ(sandbox::read_file("/mnt/src/precious"), "keep\n");
        EXPECT_FALSE(sandbox::exists("/mnt/usb1_1/d/file"));
        EXPECT_FALSE(sandbox::exists("/mnt/usb1_1/d/link"));
        EXPECT_FALSE(sandbox::exists("/mnt/usb1_1/flink"));
        std::string c = w.console();
        EXPECT_NE(c.find("]:rm dir failed:/mnt/usb1_1/d/mounted\n"), std::string::npos) << c;
        EXPECT_NE(c.find("]:rm dir failed:/mnt/usb1_1/bound\n"), std::string::npos) << c;
        EXPECT_NE(c.find("]:rm dir failed:/mnt/usb1_1/d\n"), std::string::npos) << c;
        EXPECT_NE(c.find("]:rm dir failed:/mnt/usb1_1\n"), std::string::npos) << c;

        // The mount point itself given as the tree: its contents stay.
        EXPECT_EQ(hp_remove_path("/mnt/usb1_1/d/mounted"), -1);
        EXPECT_EQ(sandbox::read_file("/mnt/usb1_1/d/mounted/data"), "keep");

        // Once unmounted, everything goes.
        ASSERT_EQ(umount("/mnt/usb1_1/d/mounted"), 0);
        ASSERT_EQ(umount("/mnt/usb1_1/bound"), 0);
        EXPECT_EQ(hp_remove_path("/mnt/usb1_1"), 0);
        EXPECT_FALSE(sandbox::exists("/mnt/usb1_1"));
        EXPECT_EQ(sandbox::read_file("/mnt/src/precious"), "keep\n");
    });
}

// The mount-point check as it runs on kernels before 5.8 (no statx
// mount-root attribute): only the mount table tells a bind mount inside /mnt
// from a plain directory, since both lie on the /mnt file system. Here the
// kernel can answer, so its answer is the reference for the fallback; from
// 5.8 on it must answer (the check asks it through the raw system call, in
// the kernel's own layout, which no C library can leave out).
TEST(StorageRemoveTree, MountTableFallbackAgreesWithTheKernel) {
    SANDBOX_REQUIRE_ROOT();
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    int major = 0, minor = 0;
    const bool answers = sscanf(u.release, "%d.%d", &major, &minor) == 2 && (major > 5 || (major == 5 && minor >= 8));
    sandbox::run([answers] {
        World w(false);
        ASSERT_EQ(sandbox::sh("mkdir -p /mnt/src /mnt/usb1_1 /mnt/usb1_10 /mnt/usb2_1 /mnt/usb2_10 "
                              "'/mnt/usb 3_1' '/mnt/usb 3_10'"),
                  0);
        ASSERT_EQ(mount("/mnt/src", "/mnt/usb1_1", nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount("/mnt/src", "/mnt/usb2_10", nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount("/mnt/src", "/mnt/usb 3_1", nullptr, MS_BIND, nullptr), 0);  // "\040" in the table

        const std::pair<const char*, bool> dirs[] = {
            {"/mnt/usb1_1", true},  {"/mnt/usb1_10", false}, {"/mnt/usb2_1", false},
            {"/mnt/usb2_10", true}, {"/mnt/usb 3_1", true},  {"/mnt/usb 3_10", false},
            {"/mnt/src", false},    {"/mnt", true},
        };
        for (const auto& [dir, mounted] : dirs) {
            int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0) << dir;
            int kernel = hp_kernel_mount_root(fd);
            ::close(fd);
            if (answers) {
                EXPECT_GE(kernel, 0) << dir << ": no answer from the kernel";
            }
            if (kernel >= 0) {
                EXPECT_EQ(kernel == 1, mounted) << dir << ": the kernel's answer";
            }
            EXPECT_EQ(hp_mount_root(false, -1, dir), mounted) << dir << ": the mount table's answer";
        }
    });
}

TEST(StorageRemoveTree, UndeletableFileIsReported) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        sandbox::tmpfs("/run/ro");
        ASSERT_EQ(sandbox::sh("mkdir -p /run/ro/d && echo x >/run/ro/d/f"), 0);
        ASSERT_EQ(mount(nullptr, "/run/ro", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        EXPECT_EQ(hp_remove_path("/run/ro/d"), -1);
        std::string c = w.console();
        size_t del = c.find("]:delete failed:/run/ro/d/f[");  // no line end: the next line follows
        size_t rm = c.find("]:rm dir failed:/run/ro/d\n");
        EXPECT_NE(del, std::string::npos) << c;
        EXPECT_NE(rm, std::string::npos) << c;
        EXPECT_LT(del, rm);
        EXPECT_TRUE(sandbox::exists("/run/ro/d/f"));
    });
}

// A pass that still finds the lock held when its bound is over says so and
// runs once the holder lets go, never beside it: its event is not lost.
TEST(StoragePassLock, HeldPastTheBoundWaitsForTheHolder) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        if (holder == 0) {
            HpPassLock held = hp_take_pass_lock(1);
            char c = held.state == HpPassLock::kHeld ? 'h' : 'x';
            if (write(ready[1], &c, 1) != 1) sandbox::exit_child(1);
            usleep(2500 * 1000);
            // Said before the end, which lets the lock go (the process may
            // be reapable only after the waiter has taken it).
            if (write(ready[1], "d", 1) != 1) sandbox::exit_child(1);
            sandbox::exit_child(0);  // the lock goes with the process
        }
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        ASSERT_EQ(c, 'h');
        ASSERT_EQ(fcntl(ready[0], F_SETFL, O_NONBLOCK), 0);
        HpPassLock mine = hp_take_pass_lock(1);
        EXPECT_EQ(mine.state, HpPassLock::kHeld);
        c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1) << "the lock was taken while its holder still ran";
        EXPECT_EQ(c, 'd');
        int st = 0;
        EXPECT_EQ(waitpid(holder, &st, 0), holder);
        EXPECT_TRUE(w.said("]:another storage pass is running, waiting for it\n"));
        EXPECT_TRUE(w.said("]:the storage pass before still runs after 1 s: this pass runs once it has ended\n"));
        EXPECT_TRUE(w.said(" ms: this pass runs now\n")) << w.console();
    });
}

TEST(StorageNotify, BusMessagesWhileDaemonRuns) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        auto daemon = sandbox::start_plexd(true, "/run/bus.out");
        plexd_seen = 0;
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &g_msgHandle), 0);
        notify_plexd(1, 0, MSG_STORAGE_DISK_ADDED);
        EXPECT_EQ(plexd_seen, 1);
        notify_plexd(1, 1, MSG_STORAGE_PART_MOUNTED);
        ASSERT_TRUE(sandbox::wait_until([&] { return messages(*daemon).size() >= 2 * 73; }, 5));
        // Once seen, a daemon that has stopped is not looked for again; the
        // record that finds it gone (and the rest of the pass, even once a
        // new plexd runs) is filed instead of lost.
        daemon->stop();
        notify_plexd(1, 2, MSG_STORAGE_PART_MOUNTED);
        auto again = sandbox::start_plexd(true, "/run/bus2.out");
        notify_plexd(1, 3, MSG_STORAGE_PART_MOUNTED);
        obxMsg_cleanup(&g_msgHandle);

        std::string want = hex_of({MSG_STORAGE_DISK_ADDED, 51, 21, 0x80000000u, 0, 0, 8, 1, 0}) + "\n" +
                           hex_of({MSG_STORAGE_PART_MOUNTED, 51, 21, 0x80000000u, 0, 0, 8, 1, 1}) + "\n";
        ASSERT_EQ(want.size(), 2u * (2 * 36 + 1));  // 36 bytes per message
        EXPECT_EQ(messages(*daemon), want);
        EXPECT_EQ(messages(*again), "");
        std::string c = w.console();
        EXPECT_EQ(c.substr(0, c.find("[")),
                  "hotplug to plexd part=1_0 msg=01000310H\n"
                  "hotplug to plexd part=1_1 msg=01000312H\n"
                  "hotplug to plexd part=1_2 msg=01000312H\n");
        EXPECT_NE(c.find("]:plexd can not be reached: the records of this pass go to /var/msghpplexd\n"
                         "echo 1 2 1000312 >>/var/msghpplexd\necho 1 3 1000312 >>/var/msghpplexd\n"),
                  std::string::npos)
            << c;
        EXPECT_EQ(sandbox::read_file("/var/msghpplexd"), "1 2 1000312\n1 3 1000312\n");
        plexd_lost = 0;
    });
}

// A pass that began while plexd was not there connects once it runs.
TEST(StorageNotify, DaemonRunningButNoBusHandle) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        auto daemon = sandbox::start_plexd(true, "/run/bus.out");
        plexd_seen = 0;
        g_msgHandle = nullptr;
        notify_plexd(1, 1, MSG_STORAGE_PART_UNMOUNTED);
        EXPECT_EQ(plexd_seen, 1);
        EXPECT_NE(g_msgHandle, nullptr);
        obxMsg_cleanup(&g_msgHandle);
        EXPECT_EQ(w.console(), "hotplug to plexd part=1_1 msg=01000313H\n");
        EXPECT_FALSE(sandbox::exists("/var/msghpplexd"));
        EXPECT_TRUE(sandbox::wait_until([&] { return !messages(*daemon).empty(); }, 5));
        EXPECT_EQ(messages(*daemon), hex_of({MSG_STORAGE_PART_UNMOUNTED, 51, 21, 0x80000000u, 0, 0, 8, 1, 1}) + "\n");
    });
}

TEST(StorageNotify, FileLinesWhileDaemonIsAbsent) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        World w(false);
        plexd_seen = 0;
        sandbox::write_file("/var/msghpplexd", "0 0 1\n");  // only ever appended to
        notify_plexd(1, 2, MSG_STORAGE_PART_UNMOUNTED);
        notify_plexd(2, 1, MSG_STORAGE_PART_UNMOUNTED);
        notify_plexd(2, 0, MSG_STORAGE_DISK_REMOVED);
        EXPECT_EQ(plexd_seen, 0);
        EXPECT_EQ(sandbox::read_file("/var/msghpplexd"), "0 0 1\n1 2 1000313\n2 1 1000313\n2 0 1000311\n");
        EXPECT_EQ(w.console(),
                  "echo 1 2 1000313 >>/var/msghpplexd\n"
                  "echo 2 1 1000313 >>/var/msghpplexd\n"
                  "echo 2 0 1000311 >>/var/msghpplexd\n");

        // The daemon starting during the pass: the next notification goes on the bus.
        auto daemon = sandbox::start_plexd(true, "/run/bus.out");
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &g_msgHandle), 0);
        notify_plexd(3, 1, MSG_STORAGE_PART_MOUNTED);
        obxMsg_cleanup(&g_msgHandle);
        EXPECT_TRUE(sandbox::wait_until([&] { return !messages(*daemon).empty(); }, 5));
        EXPECT_EQ(messages(*daemon), hex_of({MSG_STORAGE_PART_MOUNTED, 51, 21, 0x80000000u, 0, 0, 8, 3, 1}) + "\n");
        EXPECT_EQ(sandbox::read_file("/var/msghpplexd"), "0 0 1\n1 2 1000313\n2 1 1000313\n2 0 1000311\n");
    });
}
