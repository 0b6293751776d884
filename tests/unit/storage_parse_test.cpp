// Parsers and naming of the storage pass: /proc/partitions, /proc/mounts,
// the resolved device path, mount directory names.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_media.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_text.h"
#include "hotplug/hp_log.h"
#include "tests/unit/console_capture.h"

namespace {

// Owns a list built by the readers.
struct List {
    hp_partition* head = nullptr;
    ~List() {
        while (head) {
            hp_partition* n = head->next;
            free(head);
            head = n;
        }
    }
    std::vector<hp_partition*> nodes() const {
        std::vector<hp_partition*> v;
        for (hp_partition* n = head; n; n = n->next) v.push_back(n);
        return v;
    }
};

int read_partitions(const std::string& text, List& list) {
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    int r = hp_read_partitions(f, &list.head);
    fclose(f);
    return r;
}

bool only_var_dev_is_block(const char* path) { return strncmp(path, "/var/dev/", 9) == 0; }

int read_mounts(const std::string& text, List& list, const char* real_mnt = "/mnt") {
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    int r = hp_read_mounts(f, &list.head, only_var_dev_is_block, real_mnt);
    fclose(f);
    return r;
}

const char* kHeader = "major minor  #blocks  name\n\n";

}  // namespace

TEST(StoragePartitions, HeaderOnlyGivesEmptyList) {
    List list;
    list.head = reinterpret_cast<hp_partition*>(0x1);  // must be reset
    EXPECT_EQ(read_partitions(kHeader, list), 0);
    EXPECT_EQ(list.head, nullptr);
    List empty;
    EXPECT_EQ(read_partitions("", empty), 0);
    EXPECT_EQ(empty.head, nullptr);
}

TEST(StoragePartitions, DisksExtendedAndPartitions) {
    List list;
    ASSERT_EQ(read_partitions(std::string(kHeader) +
                                  "   8        0    7823360 sda\n"
                                  "   8        1    7822336 sda1\n"
                                  "   8        2          1 sda2\n"
                                  "   8        5     102400 sda5\n"
                                  "   8       16    3913728 sdb\n"
                                  " 179        1    3913728 mmcblk0p1\n"
                                  " 259        0 4294967296 nvme0n1\n",
                              list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 7u);
    EXPECT_EQ(n[0]->major, 8);
    EXPECT_EQ(n[1]->minor, 1);
    EXPECT_STREQ(n[1]->partition, "sda1");
    // sdb has no partition listed: a file system on the whole stick, kept.
    const char* want[] = {"ignore", "", "ignore", "", "", "", ""};
    for (size_t i = 0; i < n.size(); ++i) EXPECT_STREQ(n[i]->status, want[i]) << n[i]->partition;
    // A block count beyond 32 bits is read, not mistaken for anything else.
    EXPECT_STREQ(n[6]->partition, "nvme0n1");
    EXPECT_EQ(n[6]->pos, 0);
}

// A whole disk is kept only when none of its partitions is listed, wherever
// they stand in the table; names that merely begin with the disk's name
// (sdaa beside sda) are other disks.
TEST(StoragePartitions, WholeDiskWithoutPartitionsIsKept) {
    List list;
    ASSERT_EQ(read_partitions(std::string(kHeader) +
                                  "   8        1    7822336 sda1\n"
                                  "   8        0    7823360 sda\n"
                                  "  65      160    3913728 sdaa\n"
                                  "   8       16          1 sdb\n"
                                  "   8       32    3913728 sdc\n"
                                  "   8       33    3913728 sdc12\n"
                                  "   8       48    3913728 sdd\n",
                              list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 7u);
    const char* want[] = {"", "ignore", "", "ignore", "ignore", "", ""};
    for (size_t i = 0; i < n.size(); ++i) EXPECT_STREQ(n[i]->status, want[i]) << n[i]->partition;

    EXPECT_TRUE(hp_is_partition_of("sda1", "sda"));
    EXPECT_TRUE(hp_is_partition_of("sdc12", "sdc"));
    EXPECT_FALSE(hp_is_partition_of("sdaa", "sda"));
    EXPECT_FALSE(hp_is_partition_of("sdaa1", "sda"));
    EXPECT_FALSE(hp_is_partition_of("sda", "sda"));
    EXPECT_FALSE(hp_is_partition_of("sda1", ""));
}

TEST(StoragePartitions, MalformedLinesBecomeIgnoredNodes) {
    List list;
    std::string long_name(40, 'x');
    long_name += "1";
    ASSERT_EQ(read_partitions(std::string(kHeader) +
                                  "garbage\n"
                                  "   8\n"
                                  "   8   1\n"
                                  "   8   1   100\n"
                                  "99999999999 1 100 sdz1\n"
                                  "   8   1   100 " + long_name + "\n"
                                  "\n"
                                  "   8  33   100 sdc1",  // no line end at the end of the file
                              list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 8u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_STREQ(n[i]->status, "ignore") << i;
        EXPECT_STREQ(n[i]->partition, "") << i;
    }
    EXPECT_EQ(n[1]->major, 8);
    EXPECT_EQ(n[2]->minor, 1);
    EXPECT_STREQ(n[7]->partition, "sdc1");
    EXPECT_STREQ(n[7]->status, "");
}

TEST(StoragePartitions, OverlongLineIsOneNode) {
    // A line longer than the 80-byte buffer is one node, not one per piece;
    // a name cut off by the buffer is not taken for a shorter name.
    List list;
    std::string pad(70, ' ');
    ASSERT_EQ(read_partitions(std::string(kHeader) + "8 1 100" + pad + "sda1\n" +
                                  "8 2 100 sda2 " + std::string(100, 'y') + " 8 3 100 sda3\n" +
                                  "8 4 100 sda4\n",
                              list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 3u);
    EXPECT_STREQ(n[0]->partition, "");
    EXPECT_STREQ(n[0]->status, "ignore");
    EXPECT_STREQ(n[1]->partition, "sda2");  // trailing text is not read
    EXPECT_STREQ(n[1]->status, "");
    EXPECT_STREQ(n[2]->partition, "sda4");
}

TEST(StoragePartitions, NameEndingExactlyAtBufferEdgeIsWhole) {
    // 79 characters and the line end: only the line end is lost.
    std::string line = "8 1 100 ";
    line += std::string(79 - line.size() - 4, ' ') + "sda1";
    ASSERT_EQ(line.size(), 79u);
    hp_partition node{};
    hp_parse_partition_line(line, false, &node);
    EXPECT_STREQ(node.partition, "sda1");
    hp_partition cut{};
    hp_parse_partition_line(line, true, &cut);
    EXPECT_STREQ(cut.partition, "");
    EXPECT_STREQ(cut.status, "ignore");
}

TEST(StorageMounts, LineFilters) {
    hp_mount_entry m;
    EXPECT_TRUE(hp_parse_mount_line("/var/dev/sda1 /mnt/usb1_1 vfat rw 0 0\n", &m));
    EXPECT_STREQ(m.dev, "/var/dev/sda1");
    EXPECT_STREQ(m.dir, "/mnt/usb1_1");
    EXPECT_STREQ(m.type, "vfat");
    EXPECT_STREQ(hp_base_name(m.dev), "sda1");

    const char* skipped[] = {
        "/dev/root / squashfs ro 0 0\n",
        "/dev/rootvg-x / ext4 rw 0 0\n",
        "tmpfs /var tmpfs rw 0 0\n",
        "proc /proc proc rw 0 0\n",
        "/dev/proc1 /x ext2 rw 0 0\n",
        "server:/nfsroot /x nfs rw 0 0\n",
        "none /dev/pts devpts rw 0 0\n",
        "UUID=1234 /x ext2 rw 0 0\n",
        "/dev/a=b /x ext2 rw 0 0\n",
        "sda1 /x ext2 rw 0 0\n",          // no '/'
        "/dev/ /x ext2 rw 0 0\n",         // empty base name
        "/var/dev/sda1 /mnt/usb1_1\n",    // fewer than three tokens
        "/var/dev/sda1\n",
        "\n",
        "",
        "/var/dev/sda1 /mnt/mount-point-of-32-character ext2 rw 0 0\n",
        "/dev/disk/by-id/usb-Vendor_Stick_0001-part1 /x ext2 rw 0 0\n",
    };
    for (const char* line : skipped) EXPECT_FALSE(hp_parse_mount_line(line, &m)) << line;

    // 31 characters still fit; an over-long type is cut (it is never read).
    EXPECT_TRUE(hp_parse_mount_line("/var/dev/sda1 /mnt/mount-point-of-31-characte fuse.sshfs rw\n", &m));
    EXPECT_STREQ(m.dir, "/mnt/mount-point-of-31-characte");
    EXPECT_STREQ(m.type, "fuse.sshf");
}

TEST(StorageMounts, MatchesNodesAndAppendsVanishedDevices) {
    List list;
    ASSERT_EQ(read_partitions(std::string(kHeader) +
                                  "8 0 100 sdb\n"
                                  "8 17 100 sdb1\n"
                                  "8 18 100 sdb2\n",
                              list),
              0);
    ASSERT_EQ(read_mounts("/dev/root / squashfs ro 0 0\n"
                          "/var/dev/sdb /mnt/usb1_1 vfat rw 0 0\n"     // whole disk, "ignore" node
                          "/var/dev/sdb1 /mnt/usb1_2 vfat rw 0 0\n"
                          "/var/dev/sdb1 /mnt/usb1_3 vfat rw 0 0\n"    // later line wins
                          "/var/dev/sda1 /mnt/usb2_1 ext2 rw 0 0\n"    // vanished: toumount
                          "/dev/sdc1 /media/x ext2 rw 0 0\n"           // not a block device here
                          "/var/dev/sda2 /mnt/usb2_2 ext2 rw 0 0\n",
                          list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 5u);
    EXPECT_STREQ(n[0]->status, "mounted");
    EXPECT_STREQ(n[0]->dev, "/var/dev/sdb");
    EXPECT_STREQ(n[0]->path, "/mnt/usb1_1");
    EXPECT_STREQ(n[1]->status, "mounted");
    EXPECT_STREQ(n[1]->path, "/mnt/usb1_3");
    EXPECT_STREQ(n[2]->status, "");
    EXPECT_STREQ(n[3]->status, "toumount");
    EXPECT_STREQ(n[3]->dev, "/var/dev/sda1");
    EXPECT_STREQ(n[3]->path, "/mnt/usb2_1");
    EXPECT_STREQ(n[3]->partition, "");
    EXPECT_EQ(n[3]->major, 0);
    EXPECT_STREQ(n[4]->dev, "/var/dev/sda2");

    // A second call appends behind the list as it now stands, and a
    // "toumount" node (empty name) is never matched by name.
    ASSERT_EQ(read_mounts("/var/dev/sda3 /mnt/usb2_3 ext2 rw 0 0\n", list), 0);
    n = list.nodes();
    ASSERT_EQ(n.size(), 6u);
    EXPECT_STREQ(n[5]->path, "/mnt/usb2_3");
}

// A partition the system mounted outside /mnt is nobody's business of the
// pass: "ignore" for good, whatever other lines say; a vanished device
// mounted outside /mnt is not taken up for unmounting.
TEST(StorageMounts, MountsOutsideMntAreTheSystems) {
    List list;
    ASSERT_EQ(read_partitions(std::string(kHeader) + "8 1 100 sda1\n8 2 100 sda2\n8 3 100 sda3\n", list), 0);
    const std::string long_dir = "/srv/" + std::string(60, 'd');
    ASSERT_EQ(read_mounts("/var/dev/sda1 / ext4 rw 0 0\n"
                          "/var/dev/sda2 /mnt/data/inner ext4 rw 0 0\n"
                          "/var/dev/sda2 /mnt/usb4_1 ext4 rw 0 0\n"   // cannot make it ours again
                          "/var/dev/sda3 " + long_dir + " ext4 rw 0 0\n"
                          "/var/dev/sdz1 /srv/gone ext4 rw 0 0\n"     // vanished: left alone
                          "/var/dev/sdz2 /mnt ext4 rw 0 0\n",
                          list),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 3u);
    for (hp_partition* node : n) EXPECT_STREQ(node->status, "ignore") << node->partition;
    EXPECT_STREQ(n[0]->path, "/");
    EXPECT_STREQ(n[1]->path, "/mnt/data/inner");
    EXPECT_EQ(std::string(n[2]->path), long_dir.substr(0, 31));

    EXPECT_TRUE(hp_is_mnt_entry("/mnt/usb1_1"));
    for (const char* dir : {"/mnt", "/mnt/", "/mnt/a/b", "/mnt/..", "/mntx/a", "/srv/mnt/a", "mnt/a"})
        EXPECT_FALSE(hp_is_mnt_entry(dir)) << dir;
}

// /mnt as a symbolic link to /var/mnt (a read-only root): the kernel lists
// the pass's mounts under /var/mnt, and they are still the pass's, by the
// names it made them under; a mount deeper down is still the system's.
TEST(StorageMounts, MountsThroughASymlinkedMntAreThePasss) {
    List list;
    ASSERT_EQ(read_partitions(std::string(kHeader) + "8 1 100 sda1\n8 2 100 sda2\n", list), 0);
    ASSERT_EQ(read_mounts("/var/dev/sda1 /var/mnt/usb1_1 vfat rw 0 0\n"
                          "/var/dev/sda2 /var/mnt/usb1_2/inner ext2 rw 0 0\n"
                          "/var/dev/sdb1 /var/mnt/usb2_1 vfat rw 0 0\n",  // pulled: to unmount
                          list, "/var/mnt"),
              0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 3u);
    EXPECT_STREQ(n[0]->status, "mounted");
    EXPECT_STREQ(n[0]->path, "/mnt/usb1_1");
    EXPECT_STREQ(n[1]->status, "ignore");
    EXPECT_STREQ(n[2]->status, "toumount");
    EXPECT_STREQ(n[2]->path, "/mnt/usb2_1");
}

TEST(StorageMounts, EmptyListAndLongLines) {
    List list;
    // An overlay line far longer than the 128-byte buffer: its rest is not
    // read as a line of its own, and the next line is read whole.
    // Its rest, read on its own, would look like a mount of /var/dev/sde1.
    std::string overlay = "overlay /merged overlay rw,lowerdir=";
    overlay += std::string(127 - overlay.size(), 'l') + " /var/dev/sde1 /mnt/evil ext2 0 0\n";
    ASSERT_EQ(read_mounts(overlay + "/var/dev/sdd1 /mnt/usb3_1 vfat rw 0 0\n", list), 0);
    auto n = list.nodes();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_STREQ(n[0]->status, "toumount");
    EXPECT_STREQ(n[0]->dev, "/var/dev/sdd1");
    EXPECT_EQ(list.head, n[0]);
}

// The mount-point check on kernels without the statx mount-root attribute
// rests on this lookup alone: a whole, unescaped directory field matches,
// nothing less and nothing more.
TEST(StorageMounts, MountPointLookupMatchesWholeUnescapedDirectories) {
    const std::string table =
        "/dev/root / squashfs ro 0 0\n"
        "/var/dev/sda1 /mnt/usb1_10 vfat rw 0 0\n"
        "/var/dev/sdb1 /mnt/usb2_1 vfat rw 0 0\n"
        "tmpfs /mnt/usb3_1 tmpfs rw 0 0\n"  // a bind mount inside /mnt looks like this
        "/var/dev/sdc1 /mnt/usb\\0404_1 vfat rw 0 0\n"
        "/var/dev/sdd1 /mnt/a\\134b\\011c ext2 rw 0 0\n"
        "/var/dev/sde1 " + std::string(5000, 'x') + " ext2 rw 0 0\n"
        "/var/dev/sdf1 /mnt/usb5_1 ext2 rw 0 0";  // no line end
    auto listed = [&](const char* path) {
        FILE* f = fmemopen(const_cast<char*>(table.data()), table.size(), "r");
        bool r = hp_mounts_list_dir(f, path);
        fclose(f);
        return r;
    };
    EXPECT_TRUE(listed("/"));
    EXPECT_TRUE(listed("/mnt/usb1_10"));
    EXPECT_TRUE(listed("/mnt/usb2_1"));
    EXPECT_TRUE(listed("/mnt/usb3_1"));
    EXPECT_TRUE(listed("/mnt/usb 4_1"));
    EXPECT_TRUE(listed("/mnt/a\\b\tc"));
    EXPECT_TRUE(listed("/mnt/usb5_1"));
    // A directory whose name is a prefix of a mount point, or has one as its
    // prefix, is no mount point.
    EXPECT_FALSE(listed("/mnt/usb1_1"));
    EXPECT_FALSE(listed("/mnt/usb2_10"));
    EXPECT_FALSE(listed("/mnt/usb3_1/sub"));
    EXPECT_FALSE(listed("/mnt"));
    // The escaped text itself, the device field and option text are not
    // directories of the table.
    EXPECT_FALSE(listed("/mnt/usb\\0404_1"));
    EXPECT_FALSE(listed("/mnt/usb 4_10"));
    EXPECT_FALSE(listed("/var/dev/sda1"));
    EXPECT_FALSE(listed("vfat"));
    EXPECT_FALSE(listed(""));
}

TEST(StoragePosition, PortFromResolvedPath) {
    int pos = -7;
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/platform/ehci/usb1/1-2/1-2:1.0/host0/target0:0:0\n", &pos), 0);
    EXPECT_EQ(pos, 2);
    // Behind further hubs the root-hub port still counts.
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-11.3/2-11.3:1.0/host6\n", &pos), 0);
    EXPECT_EQ(pos, 11);
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/x/usb1/1-x/y", &pos), 0);
    EXPECT_EQ(pos, 0);  // no digits: port 0, as atoi gives

    pos = -7;
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/platform/ahci/ata1/host0/target0:0:0\n", &pos), -1);
    EXPECT_EQ(hp_parse_usb_position("", &pos), -1);
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/usb1", &pos), -2);
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/usb1/1", &pos), -2);
    EXPECT_EQ(hp_parse_usb_position("/sys/devices/usb1/1-2\n", &pos), -2);  // cut before the '/'
    EXPECT_EQ(hp_parse_usb_position("/sys/usb1/1-99999999999/x", &pos), -2);
    EXPECT_EQ(pos, -7);
}

// A partition belongs to the disk whose name it is, or whose name followed
// by digits it is: sdaa1 is sdaa's even when sda comes first in the
// directory.
TEST(StoragePosition, DiskOfAPartitionIsMatchedExactly) {
    char dir[] = "/tmp/sys-block-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const char* disk : {"sda", "sdaa", "sdab"}) ASSERT_EQ(mkdir((std::string(dir) + "/" + disk).c_str(), 0755), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"sdaa1", "sdaa"}, {"sdab12", "sdab"}, {"sda1", "sda"}, {"sda", "sda"}, {"sdaa", "sdaa"},
        {"sdb1", ""}, {"sdax1", ""}, {"sd", ""},
    };
    for (const auto& [partition, disk] : cases) {
        char out[32] = "";
        EXPECT_EQ(hp_find_disk_in(dir, out, partition), disk[0] ? 0 : -1) << partition;
        EXPECT_STREQ(out, disk) << partition;
    }
    for (const char* disk : {"sda", "sdaa", "sdab"}) rmdir((std::string(dir) + "/" + disk).c_str());
    rmdir(dir);
}

TEST(StoragePosition, RemovableFile) {
    int v = -1;
    EXPECT_EQ(hp_parse_removable("1\n", &v), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(hp_parse_removable("0\n", &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(hp_parse_removable("", &v), -1);
    EXPECT_EQ(hp_parse_removable("\n", &v), -1);
    EXPECT_EQ(hp_parse_removable("yes\n", &v), -1);
    EXPECT_EQ(v, 0);
}

TEST(StorageMountPath, ParseNumbers) {
    ConsoleCapture console;
    int disk = -1, part = -1;
    EXPECT_EQ(hp_parse_mount_path("/mnt/usb3_12", &disk, &part), 0);
    EXPECT_EQ(disk, 3);
    EXPECT_EQ(part, 12);

    disk = part = -1;
    EXPECT_EQ(hp_parse_mount_path("/mnt/usb3", &disk, &part), -1);
    EXPECT_EQ(disk, 3);
    EXPECT_EQ(part, -1);
    EXPECT_NE(console.text().find("]:Can not find char '_' at mnt_path: /mnt/usb3\n"), std::string::npos);

    disk = part = -1;
    EXPECT_EQ(hp_parse_mount_path("/media/disk", &disk, &part), -1);
    EXPECT_EQ(disk, -1);
    EXPECT_EQ(part, -1);
    EXPECT_NE(console.text().find("]:Can not find string 'usb' at mnt_path: /media/disk\n"), std::string::npos);

    EXPECT_EQ(hp_parse_mount_path("/mnt/usb_", &disk, &part), 0);
    EXPECT_EQ(disk, 0);
    EXPECT_EQ(part, 0);
}

TEST(StorageMountPath, NamesCountEarlierMountsOfThePort) {
    hp_partition n[5]{};
    for (int i = 0; i < 4; ++i) n[i].next = &n[i + 1];
    n[0].pos = 2;
    hp_set_status(&n[0], "mounted");
    n[1].pos = 1;
    hp_set_status(&n[1], "mounted");  // another port
    n[2].pos = 2;                       // new
    n[3].pos = 2;
    hp_set_status(&n[3], "toumount");   // not "mounted"
    n[4].pos = 2;
    hp_set_status(&n[4], "mounted");    // after the node: not counted

    ASSERT_EQ(hp_make_mount_path(&n[0], &n[2]), 0);
    EXPECT_STREQ(n[2].path, "/mnt/usb2_2");
    hp_set_status(&n[2], "mounted");
    ASSERT_EQ(hp_make_mount_path(&n[0], &n[3]), 0);
    EXPECT_STREQ(n[3].path, "/mnt/usb2_3");

    hp_partition stranger{};
    strcpy(stranger.path, "/keep");
    ConsoleCapture console;
    EXPECT_EQ(hp_make_mount_path(&n[0], &stranger), -1);
    EXPECT_STREQ(stranger.path, "/keep");
    EXPECT_NE(console.text().find("]:node is not in the list\n"), std::string::npos);
}

// Directory names of mounts that collide: a stick pulled and plugged back in
// behind another on its port counts to the number the other one holds.
const char* const* g_existing = nullptr;
bool exists_in_list(const char* path) {
    for (const char* const* e = g_existing; e && *e; ++e)
        if (strcmp(*e, path) == 0) return true;
    return false;
}

TEST(StorageMountPath, TakenNameGivesTheLowestFreeNumberAndThatMountStays) {
    ConsoleCapture console;
    // B (sdb1) was mounted second, at /mnt/usb2_2; A (sdc1) comes back and
    // is listed after it, so it counts to 2.
    hp_partition n[2]{};
    n[0].next = &n[1];
    strcpy(n[0].partition, "sdb1");
    n[0].pos = 2;
    hp_set_status(&n[0], "mounted");
    strcpy(n[0].path, "/mnt/usb2_2");
    strcpy(n[1].partition, "sdc1");
    n[1].pos = 2;
    const char* existing[] = {"/mnt/usb2_2", nullptr};
    g_existing = existing;
    ASSERT_EQ(hp_choose_mount_path(&n[0], &n[1], exists_in_list), 0);
    EXPECT_STREQ(n[1].path, "/mnt/usb2_1");
    EXPECT_NE(console.text().find("]:the mount dir /mnt/usb2_2 is taken, use /mnt/usb2_1\n"), std::string::npos);
    EXPECT_STREQ(n[0].path, "/mnt/usb2_2");  // the mounted one is never moved

    // The next pass finds both mounted under their port: neither is moved,
    // whatever its number.
    hp_set_status(&n[1], "mounted");
    EXPECT_TRUE(hp_mount_path_fits(&n[0]));
    EXPECT_TRUE(hp_mount_path_fits(&n[1]));
    hp_partition moved{};
    moved.pos = 2;
    strcpy(moved.path, "/mnt/usb1_1");
    EXPECT_FALSE(hp_mount_path_fits(&moved));

    // Numbers held by a mount (also one whose disk has gone, or one whose
    // position could not be read) or taken by an entry of /mnt are passed
    // over.
    hp_partition m[5]{};
    for (int i = 0; i < 4; ++i) m[i].next = &m[i + 1];
    m[0].pos = 2;  // new, first in the list: counts to 1
    m[1].pos = 2;
    hp_set_status(&m[1], "mounted");
    strcpy(m[1].path, "/mnt/usb2_1");
    hp_set_status(&m[2], "toumount");
    strcpy(m[2].path, "/mnt/usb2_2");
    m[3].pos = 2;
    hp_set_status(&m[3], "ignore");
    strcpy(m[3].path, "/mnt/usb2_4");
    m[4].pos = 2;
    hp_set_status(&m[4], "umounted");  // gone in this pass: frees its number
    strcpy(m[4].path, "/mnt/usb2_5");
    const char* more[] = {"/mnt/usb2_1", "/mnt/usb2_2", "/mnt/usb2_3", "/mnt/usb2_4", nullptr};
    g_existing = more;
    ASSERT_EQ(hp_choose_mount_path(&m[0], &m[0], exists_in_list), 0);
    EXPECT_STREQ(m[0].path, "/mnt/usb2_5");

    // Without a collision the counted name stands, also when the directory
    // exists without a mount (the mounting step then refuses it as before).
    ConsoleCapture quiet;
    const char* stale[] = {"/mnt/usb2_1", nullptr};
    g_existing = stale;
    hp_partition k[2]{};
    k[0].next = &k[1];
    k[0].pos = 2;
    k[1].pos = 2;
    hp_set_status(&k[1], "mounted");
    strcpy(k[1].path, "/mnt/usb2_3");
    ASSERT_EQ(hp_choose_mount_path(&k[0], &k[0], exists_in_list), 0);
    EXPECT_STREQ(k[0].path, "/mnt/usb2_1");
    EXPECT_EQ(quiet.text(), "");
    g_existing = nullptr;
}

TEST(StorageMountPath, StripSpaces) {
    char text[] = " u s\tb\n1\v_\f\r ";
    EXPECT_EQ(hp_strip_spaces(text), 0);
    EXPECT_STREQ(text, "usb1_");
    char empty[] = "";
    EXPECT_EQ(hp_strip_spaces(empty), 0);
    EXPECT_STREQ(empty, "");
}

// Polling is switched on only where nobody chose an interval: an
// administrator's value, on the disk or as the module default, stands.
TEST(StorageMedia, PollingOnlyWhereNobodySetAnInterval) {
    struct Row {
        const char* events;
        const char* disk;
        const char* dflt;
        bool want;
    } rows[] = {
        {"media_change\n", "-1\n", "0\n", true},
        {"eject_request media_change\n", "-1\n", "0\n", true},
        {"\n", "-1\n", "0\n", false},                 // nothing to poll for
        {"media_change\n", "0\n", "0\n", false},      // switched off on purpose
        {"media_change\n", "5000\n", "0\n", false},   // the disk's own interval
        {"media_change\n", "-1\n", "1000\n", false},  // a default for all disks
        {"media_changed\n", "-1\n", "0\n", false},
        {"media_change\n", "-1x\n", "0\n", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(hp_media_poll_wanted(r.events, r.disk, r.dflt), r.want) << r.events << r.disk << r.dflt;
    dev_t d = 0;
    EXPECT_EQ(hp_parse_devno("8:16\n", &d), 0);
    EXPECT_EQ(d, makedev(8, 16));
    for (const char* bad : {"", "8", "8:", ":16", "8:16x", "-1:0"}) EXPECT_EQ(hp_parse_devno(bad, &d), -1) << bad;
}
