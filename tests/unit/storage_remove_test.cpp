// Removal helpers on a scratch tree: whole trees go, symbolic links are
// removed without being followed, nothing outside the tree is touched.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "hotplug/hotplug_netlink_storage_rm.h"
#include "hotplug/hp_log.h"
#include "tests/unit/console_capture.h"

namespace {

class StorageRemove : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/storage_remove_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + root_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string path(const std::string& rel) const { return root_ + "/" + rel; }
    void dir(const std::string& rel) { ASSERT_EQ(mkdir(path(rel).c_str(), 0755), 0) << rel; }
    void file(const std::string& rel) {
        int fd = open(path(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << rel;
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
    }
    void link(const std::string& target, const std::string& rel) {
        ASSERT_EQ(symlink(target.c_str(), path(rel).c_str()), 0) << rel;
    }
    bool exists(const std::string& rel) const {
        struct stat st;
        return lstat(path(rel).c_str(), &st) == 0;
    }
    std::string console() const { return console_.text(); }

    std::string root_;
    ConsoleCapture console_;
};

}  // namespace

TEST_F(StorageRemove, MissingPathAndEmptyDirectory) {
    EXPECT_EQ(hp_remove_path(path("nothing").c_str()), 0);
    dir("empty");
    EXPECT_EQ(hp_remove_path(path("empty").c_str()), 0);
    EXPECT_FALSE(exists("empty"));
    file("plain");
    EXPECT_EQ(hp_remove_path(path("plain").c_str()), 0);
    EXPECT_FALSE(exists("plain"));
    EXPECT_EQ(console(), "");
}

TEST_F(StorageRemove, TreeGoesButLinkTargetsStay) {
    dir("outside");
    file("outside/precious");
    dir("outside/sub");
    file("outside/sub/precious");

    dir("tree");
    file("tree/a");
    dir("tree/d");
    dir("tree/d/e");
    file("tree/d/e/f");
    link(path("outside"), "tree/to_dir");           // link to a directory
    link(path("outside/precious"), "tree/d/to_file");
    link(path("missing"), "tree/dangling");
    ASSERT_EQ(mkfifo(path("tree/fifo").c_str(), 0600), 0);

    EXPECT_EQ(hp_remove_path(path("tree").c_str()), 0);
    EXPECT_FALSE(exists("tree"));
    EXPECT_TRUE(exists("outside/precious"));
    EXPECT_TRUE(exists("outside/sub/precious"));
    EXPECT_EQ(console(), "");
}

TEST_F(StorageRemove, TopLevelLinkIsRemovedNotFollowed) {
    dir("target");
    file("target/precious");
    link(path("target"), "entry");
    EXPECT_EQ(hp_remove_path(path("entry").c_str()), 0);
    EXPECT_FALSE(exists("entry"));
    EXPECT_TRUE(exists("target/precious"));

    link(path("gone"), "dangling");
    EXPECT_EQ(hp_remove_path(path("dangling").c_str()), 0);
    EXPECT_FALSE(exists("dangling"));
}

TEST_F(StorageRemove, DevNodeOnlyUnderVarDev) {
    // Paths that are not the pass's own nodes are left alone.
    dir("dev");
    file("dev/sda1");
    EXPECT_EQ(hp_remove_dev_node(path("dev/sda1").c_str()), 0);
    EXPECT_TRUE(exists("dev/sda1"));

    dir("var");
    dir("var/dev");
    file("var/dev/sda1");
    file("precious");
    EXPECT_EQ(hp_remove_dev_node(path("var/dev/../../precious").c_str()), 0);
    EXPECT_EQ(hp_remove_dev_node(path("var/dev/..").c_str()), 0);
    EXPECT_TRUE(exists("precious"));
    EXPECT_TRUE(exists("var/dev/sda1"));

    EXPECT_EQ(hp_remove_dev_node(path("var/dev/sda1").c_str()), 0);
    EXPECT_FALSE(exists("var/dev/sda1"));
    EXPECT_EQ(hp_remove_dev_node(path("var/dev/sda1").c_str()), 0);  // already gone
    EXPECT_EQ(console(), "");
}
