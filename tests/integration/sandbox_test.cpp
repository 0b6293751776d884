// The sandbox itself, as the other integration tests rely on it.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>

#include "tests/support/sandbox.h"

namespace {

TEST(Sandbox, PrivateNamespacesConsoleAndStandIns) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        EXPECT_EQ(getpid(), 1);
        sandbox::tmpfs("/var");
        sandbox::Console console;
        EXPECT_EQ(sandbox::sh("echo hello >/dev/console; printf 'a\\nb\\n' >/dev/console"), 0);
        EXPECT_TRUE(console.wait_for("hello\n", 5));
        EXPECT_TRUE(console.wait_for("b\n", 5));
        sandbox::StandIns tools;
        tools.add("ifconfig");
        tools.add("fuser", 3);
        EXPECT_EQ(sandbox::sh("ifconfig 'wds0;x' up && fuser -k -m /mnt/x"), 3);
        EXPECT_EQ(tools.calls(), (std::vector<std::string>{"ifconfig wds0;x up", "fuser -k -m /mnt/x"}));
        sandbox::Process sleeper({"sleep", "30"});
        EXPECT_TRUE(sleeper.alive());
        int st = sleeper.stop(SIGTERM, 5);
        EXPECT_TRUE(WIFSIGNALED(st));
    });
}

TEST(Sandbox, UeventsReachGroupOneWithTheGivenUid) {
    SANDBOX_REQUIRE_ROOT();
    for (bool userns : {false, true}) {
        sandbox::run(
            [userns] {
                sandbox::UeventListener l;
                std::string d = sandbox::uevent("add@/devices/x", {"ACTION=add", "SUBSYSTEM=block"});
                sandbox::send_uevent(d);
                EXPECT_EQ(l.receive(d), 0);
                if (!userns) {
                    sandbox::send_uevent(d, 1000);
                    EXPECT_EQ(l.receive(d), 1000);
                }
            },
            sandbox::Options{.user_ns = userns});
    }
}

TEST(Sandbox, LoopImageFakeSysBlockAndHiddenDev) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::tmpfs("/tmp/img");
        sandbox::LoopImage img("/tmp/img/a.img", 4, false, {{"hello.txt", "hi there"}});
        ASSERT_EQ(img.dev_major(), 7);
        sandbox::hide_dev({{"sdz1", img.device_number()}});
        struct stat st;
        EXPECT_NE(stat("/dev/vda", &st), 0) << "the machine's disks must be hidden";
        ASSERT_EQ(stat("/dev/sdz1", &st), 0);
        EXPECT_TRUE(S_ISBLK(st.st_mode));
        EXPECT_TRUE(S_ISFIFO((stat("/dev/console", &st), st.st_mode)));
        sandbox::tmpfs("/mnt");
        mkdir("/mnt/x", 0755);
        ASSERT_EQ(mount("/dev/sdz1", "/mnt/x", "ext2", 0, nullptr), 0) << strerror(errno);
        EXPECT_EQ(sandbox::read_file("/mnt/x/hello.txt"), "hi there");
        EXPECT_EQ(umount("/mnt/x"), 0);

        sandbox::fake_sys_block({{"sdz", 2, 1}, {"mmcblk0", 0, 0}});
        EXPECT_EQ(sandbox::read_file("/sys/block/sdz/removable"), "1\n");
        sandbox::tmpfs("/var");
        sandbox::sh("cd /sys/block/sdz/device; pwd -P >/var/pos");
        EXPECT_NE(sandbox::read_file("/var/pos").find("/usb1/1-2/1-2:1.0/"), std::string::npos)
            << sandbox::read_file("/var/pos");

        sandbox::fake_proc_partitions({{7, img.dev_minor(), 4096, "sdz1"}});
        EXPECT_NE(sandbox::read_file("/proc/partitions").find(" sdz1\n"), std::string::npos);
        sandbox::fake_proc_partitions({});
        EXPECT_EQ(sandbox::read_file("/proc/partitions"), "major minor  #blocks  name\n\n");
    });
}

TEST(Sandbox, ReadOnlyLoopImage) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::tmpfs("/tmp/img");
        sandbox::LoopImage img("/tmp/img/ro.img", 4, true);
        sandbox::tmpfs("/mnt");
        mkdir("/mnt/x", 0755);
        EXPECT_NE(mount(img.device().c_str(), "/mnt/x", "ext2", 0, nullptr), 0);
        EXPECT_TRUE(errno == EROFS || errno == EACCES) << strerror(errno);
        EXPECT_EQ(mount(img.device().c_str(), "/mnt/x", "ext2", MS_RDONLY, nullptr), 0);
        umount("/mnt/x");
    });
}

TEST(Sandbox, VethLinks) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::veth("va0", "vb0");
        EXPECT_EQ(sandbox::sh("ip link show va0 | grep -q 'state UP\\|LOWER_UP'"), 0);
        EXPECT_EQ(sandbox::sh("ip -6 route add default via fe80::1 dev va0 proto ra"), 0);
    });
}

}  // namespace
