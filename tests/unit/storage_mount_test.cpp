// The fixed file-system trial table of the mounting step.
#include "hotplug/hotplug_netlink_storage_mount.h"

#include <gtest/gtest.h>

namespace {

TEST(StorageFsTable, TypesAreTriedInTheirFixedOrder) {
    // ext4 and exfat come last: nothing that mounted before changes type.
    // The FAT family writes a file out when it is closed (sticks are pulled
    // without warning); the others keep their defaults.
    const std::pair<const char*, const char*> want[] = {
        {"vfat", "flush"}, {"msdos", "flush"}, {"ext3", ""}, {"ext2", ""},
        {"iso9660", ""},   {"ext4", ""},       {"exfat", ""},
    };
    ASSERT_EQ(HP_FS_ROWS, 7u);
    for (std::size_t i = 0; i < HP_FS_ROWS; ++i) {
        EXPECT_STREQ(hp_fs_table[i].fstype, want[i].first);
        EXPECT_STREQ(hp_fs_table[i].data, want[i].second);
    }
}

}  // namespace
