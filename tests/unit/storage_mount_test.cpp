// The fixed file-system trial table of the mounting step.
#include "hotplug/hotplug_netlink_storage_mount.h"

#include <gtest/gtest.h>

namespace {

TEST(StorageFsTable, TypesAreTriedInTheirFixedOrderWithDefaults) {
    // ext4 and exfat come last: nothing that mounted before changes type.
    const char* want[] = {"vfat", "msdos", "ext3", "ext2", "iso9660", "ext4", "exfat"};
    ASSERT_EQ(HP_FS_ROWS, 7u);
    for (std::size_t i = 0; i < HP_FS_ROWS; ++i) {
        EXPECT_STREQ(hp_fs_table[i].fstype, want[i]);
        EXPECT_STREQ(hp_fs_table[i].data, "");
    }
}

}  // namespace
