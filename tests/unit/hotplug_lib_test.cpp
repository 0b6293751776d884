// Shell runner and process lookup of hotplug.
#include "hotplug/hotplug_netlink_lib.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Re-executed copies of this test program with SPINE_SLEEPER set sleep until
// killed, with whatever command line the test gave them.
const int sleeper_hook = [] {
    if (getenv("SPINE_SLEEPER")) {
        for (;;) pause();
    }
    return 0;
}();

class Sleeper {
public:
    explicit Sleeper(const std::vector<std::string>& argv) {
        (void)sleeper_hook;
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> av;
            for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
            av.push_back(nullptr);
            char env0[] = "SPINE_SLEEPER=1";
            char* envp[] = {env0, nullptr};
            close(ready[0]);
            fcntl(ready[1], F_SETFD, FD_CLOEXEC);
            execve("/proc/self/exe", av.data(), envp);
            _exit(127);
        }
        close(ready[1]);
        char b;
        while (read(ready[0], &b, 1) > 0) {
        }  // end of file once the exec has happened
        close(ready[0]);
    }
    ~Sleeper() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

std::string token() { return "spine" + std::to_string(getpid()); }

std::string flat(const std::string& raw) {
    char buf[128] = {};
    memcpy(buf, raw.data(), raw.size());
    flatten_cmdline(buf);
    return buf;
}

TEST(FlattenCmdline, JoinsArgumentsAndStopsAtEmptyOne) {
    EXPECT_EQ(flat(std::string("/usr/sbin/bftpd\0-d\0", 19)), "/usr/sbin/bftpd-d");
    EXPECT_EQ(flat(std::string("ntfs-3g\0/dev/sda1\0/mnt/usb1_1\0-o\0force\0", 39)),
              "ntfs-3g/dev/sda1/mnt/usb1_1-oforce");
    EXPECT_EQ(flat(std::string("a\0\0b\0", 5)), "a");
    EXPECT_EQ(flat(std::string("\0a\0", 3)), "a");  // one leading empty byte is skipped over
    EXPECT_EQ(flat(""), "");
    // A full buffer: 126 bytes stored, and the walk stays inside.
    std::string big(126, 'x');
    EXPECT_EQ(flat(big), big);
}

TEST(FindPidByName, MatchesFlattenedCommandLines) {
    const std::string t = token();
    Sleeper bftpd({"/usr/sbin/bftpd", "-d", t});
    Sleeper ntfs({"ntfs-3g", "/dev/sda1", "/mnt/" + t, "-o", "force"});
    ASSERT_GT(bftpd.pid(), 0);
    ASSERT_GT(ntfs.pid(), 0);
    EXPECT_EQ(find_pid_by_name(("/usr/sbin/bftpd-d" + t).c_str()), bftpd.pid());
    EXPECT_EQ(find_pid_by_name(("/mnt/" + t + "-oforce").c_str()), ntfs.pid());
    // Argument boundaries vanish, so a blank never matches across them.
    EXPECT_EQ(find_pid_by_name(("-d " + t).c_str()), 0);
    EXPECT_EQ(find_pid_by_name(("nothing-runs-as-" + t).c_str()), 0);
}

TEST(FindPidByName, EmptyArgumentEndsTheComparedText) {
    const std::string t = token() + "e";
    Sleeper s({t, "", "after" + t});
    ASSERT_GT(s.pid(), 0);
    EXPECT_EQ(find_pid_by_name(t.c_str()), s.pid());
    EXPECT_EQ(find_pid_by_name(("after" + t).c_str()), 0);
}

TEST(FindPidByName, OnlyThe126FirstBytesCount) {
    const std::string t = token() + "l";
    std::string head(126 - t.size(), 'h');
    Sleeper s({head + t, "tail" + t});
    ASSERT_GT(s.pid(), 0);
    EXPECT_EQ(find_pid_by_name((head + t).c_str()), s.pid());
    EXPECT_EQ(find_pid_by_name(("tail" + t).c_str()), 0);
}

TEST(FindPidByName, FirstInDirectoryOrderWins) {
    const std::string t = token() + "twice";
    Sleeper a({t}), b({t});
    ASSERT_GT(a.pid(), 0);
    ASSERT_GT(b.pid(), 0);
    pid_t first = 0;
    DIR* d = opendir("/proc");
    while (struct dirent* e = readdir(d)) {
        pid_t p = (pid_t)atoi(e->d_name);
        if (p == a.pid() || p == b.pid()) {
            first = p;
            break;
        }
    }
    closedir(d);
    EXPECT_EQ(find_pid_by_name(t.c_str()), first);
}

// plexd is running only when a process runs the program plexd itself, not
// when some command line merely names it.
TEST(CmdlineProgram, BaseNameOfTheFirstArgumentOnly) {
    using std::string_literals::operator""s;
    const std::pair<std::string, bool> cases[] = {
        {"plexd\0"s, true},
        {"/usr/sbin/plexd\0--hex\0"s, true},
        {"/usr/sbin/plexd"s, true},  // no terminating NUL
        {"cat\0/var/msghpplexd\0"s, false},
        {"tail\0-f\0/var/msghpplexd\0"s, false},
        {"/usr/sbin/plexd2\0"s, false},
        {"/opt/plexd/bin/run\0"s, false},
        {"vi plexd\0"s, false},
        {"\0plexd\0"s, false},
        {""s, false},
    };
    for (const auto& [cmdline, is_plexd] : cases)
        EXPECT_EQ(hp_cmdline_program_is(cmdline, "plexd"), is_plexd) << cmdline;
}

TEST(Zorsystem, ReturnsRawWaitStatus) {
    EXPECT_EQ(zorsystem(nullptr), 1);
    EXPECT_EQ(zorsystem("exit 3"), 768);
    EXPECT_EQ(zorsystem("true"), 0);
    EXPECT_EQ(zorsystem("exec /nonexistent/program"), 127 << 8);
    EXPECT_EQ(zorsystem("kill -9 $$"), SIGKILL);
}

TEST(Zorsystem, PassesTheEnvironmentAndQuotingToTheShell) {
    setenv("SPINE_VALUE", "v a l", 1);
    EXPECT_EQ(zorsystem("test \"$SPINE_VALUE\" = 'v a l'"), 0);
    unsetenv("SPINE_VALUE");
}

}  // namespace
