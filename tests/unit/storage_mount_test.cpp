// The guards that keep the /mnt sweep away from live file systems, and the
// fixed file-system trial table.
#include "hotplug/hotplug_netlink_storage_mount.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool covers(const std::string& table, const char* path) {
    FILE* f = fmemopen(const_cast<char*>(table.data()), table.size(), "r");
    bool r = hp_mounts_cover(f, path);
    fclose(f);
    return r;
}

const std::string kMounts =
    "/dev/vda / ext4 rw,relatime 0 0\n"
    "proc /proc proc rw 0 0\n"
    "/var/dev/sda1 /mnt/usb1_1 vfat rw 0 0\n"
    "tmpfs /mnt/stale\\040dir/inner tmpfs rw 0 0\n"
    "/dev/sdb1 /mnt/usb2_10 ext2 rw 0 0\n";

TEST(StorageSweepGuard, MountTableCoversMountPointsAndTheirParents) {
    EXPECT_TRUE(covers(kMounts, "/mnt/usb1_1"));
    // A mount below an entry protects the entry (escaped blank decoded).
    EXPECT_TRUE(covers(kMounts, "/mnt/stale dir"));
    EXPECT_TRUE(covers(kMounts, "/mnt/stale dir/inner"));
    EXPECT_TRUE(covers(kMounts, "/mnt"));
    // Name prefixes are not paths: usb1_1 is not below usb1_, usb2_10 not usb2_1.
    EXPECT_FALSE(covers(kMounts, "/mnt/usb1_"));
    EXPECT_FALSE(covers(kMounts, "/mnt/usb2_1"));
    EXPECT_FALSE(covers(kMounts, "/mnt/stale"));
    EXPECT_FALSE(covers(kMounts, "/mnt/usb1_1/below"));
    EXPECT_FALSE(covers("", "/mnt/usb1_1"));
    // The device column is not a mount point.
    EXPECT_FALSE(covers(kMounts, "/var/dev/sda1"));
}

TEST(StorageSweepGuard, LongAndUnterminatedLinesAreRead) {
    std::string longpoint = "/mnt/" + std::string(300, 'x');
    std::string table = "dev " + longpoint + " ext2 rw 0 0\n/dev/sdc1 /mnt/usb3_1 ext2 rw 0 0";
    EXPECT_TRUE(covers(table, longpoint.c_str()));
    EXPECT_TRUE(covers(table, "/mnt/usb3_1"));
}

class StorageGuardDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/storage_guard_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(StorageGuardDir, PlainEntriesAreFreeLinksAndOtherDevicesAreNot) {
    struct stat st;
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    std::string plain = dir_ + "/plain";
    std::string file = dir_ + "/file";
    std::string link = dir_ + "/link";
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);

    EXPECT_FALSE(hp_path_in_use(plain.c_str(), st.st_dev));
    EXPECT_FALSE(hp_path_in_use(file.c_str(), st.st_dev));
    EXPECT_FALSE(hp_path_in_use((dir_ + "/missing").c_str(), st.st_dev));
    EXPECT_TRUE(hp_path_in_use(link.c_str(), st.st_dev));
    // An entry on another device than its parent is a mount point.
    EXPECT_TRUE(hp_path_in_use(plain.c_str(), st.st_dev + 1));

    EXPECT_FALSE(hp_is_mount_point(plain.c_str()));
    EXPECT_TRUE(hp_is_mount_point(link.c_str()));
    EXPECT_TRUE(hp_is_mount_point("/proc"));
    EXPECT_TRUE(hp_is_mount_point("/"));
}

TEST(StorageFsTable, TypesAreTriedInTheirFixedOrderWithDefaults) {
    const char* want[] = {"vfat", "msdos", "ext3", "ext2", "iso9660"};
    ASSERT_EQ(HP_FS_ROWS, 5u);
    for (std::size_t i = 0; i < HP_FS_ROWS; ++i) {
        EXPECT_STREQ(hp_fs_table[i].fstype, want[i]);
        EXPECT_STREQ(hp_fs_table[i].data, "");
    }
}

}  // namespace
