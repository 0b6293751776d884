// The real hotplug daemon in a sandbox: datagram intake, the debug switch,
// the queue's admission control, dispatch and supervision, all seen through
// its console. Every test that counts lines runs with a private user
// namespace so that no kernel uevent reaches the daemon.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using sandbox::uevent;

const sandbox::Options kQuiet{.user_ns = true, .timeout_s = 240};

// A datagram of exactly `total` bytes: header, the given keys, and a PAD
// string that fills up to the size.
std::string sized(size_t total, const std::string& header, const std::vector<std::string>& keys) {
    std::string d = uevent(header, keys);
    EXPECT_GE(total, d.size() + 5) << "datagram too small for its keys";
    std::string pad = "PAD=";
    pad.append(total - d.size() - pad.size() - 1, 'p');
    d += pad;
    d.push_back('\0');
    return d;
}

std::string block_remove(const std::string& devpath) {
    return uevent("remove@" + devpath, {"ACTION=remove", "DEVPATH=" + devpath, "SUBSYSTEM=block"});
}

std::string wds_add(const std::string& ifname) {
    std::string devpath = "/devices/virtual/net/" + ifname;
    return uevent("add@" + devpath,
                  {"ACTION=add", "DEVPATH=" + devpath, "SUBSYSTEM=net", "INTERFACE=" + ifname});
}

// The daemon and its console. The constructor returns once the daemon is
// reading its socket (a short datagram's length line has come back) and the
// storage pass it runs at start has ended and left the queue. The body
// lays sandbox::storage_world() first, for that pass.
class Hotplug {
public:
    sandbox::Console console;

    Hotplug() : proc_({sandbox::bin("hotplug")}) {
        const std::string needle = "rcvd msg length:7,";
        bool up = sandbox::wait_until(
            [&] {
                sandbox::send_uevent(std::string(7, 'x'));
                return console.wait_for(needle, 0.05);
            },
            10);
        EXPECT_TRUE(up) << "hotplug did not come up";
        EXPECT_TRUE(proc_.alive());
        // The start-up pass's child was forked before the daemon first
        // listened; once it is gone, the next pass removes its package.
        EXPECT_TRUE(sandbox::wait_childless(proc_.pid(), 20)) << "the start-up pass did not end";
        settle();
        console.clear();
    }

    pid_t pid() const { return proc_.pid(); }
    bool alive() { return proc_.alive(); }

    // Returns once the daemon has handled everything sent before: its
    // answer to a short datagram (an always-written line) has come back.
    void settle() {
        const std::string needle = "rcvd msg length:9,";
        size_t before = console.count(needle);
        sandbox::send_uevent(std::string(9, 'b'));
        EXPECT_TRUE(console.wait_for(needle, 10, before + 1)) << "daemon did not answer";
    }

    // Console text with the settle lines taken out.
    std::string text_without_settles() const {
        std::string t = console.text();
        static const std::regex settle_line(
            R"(\[\d+ hotplug_netlink_process:\d+\]:invalid message length, the rcvd msg length:9, the right range:\[32, 400\]\n)");
        return std::regex_replace(t, settle_line, "");
    }

private:
    sandbox::Process proc_;
};

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

void debug(bool on) {
    if (on)
        sandbox::write_file("/var/debug", "");
    else
        ::unlink("/var/debug");
}

// What the daemon is sent in the intake tests, with what each should give.
void send_intake_set() {
    using sandbox::send_uevent;
    // Length window.
    send_uevent(sized(31, "remove@/l", {"SUBSYSTEM=block"}));
    send_uevent(sized(32, "remove@/x", {"SUBSYSTEM=block"}));
    send_uevent(sized(399, "remove@/devices/l399", {"ACTION=remove", "SUBSYSTEM=block", "DEVPATH=/devices/l399"}));
    send_uevent(sized(400, "remove@/devices/l400", {"ACTION=remove", "SUBSYSTEM=block"}));
    send_uevent(sized(600, "remove@/devices/l600", {"ACTION=remove", "SUBSYSTEM=block"}));
    // Header rules: 3 characters; filling the datagram; no "@/".
    send_uevent(uevent("a@/", {"ACTION=remove", "SUBSYSTEM=block", "DEVPATH=/devices/short"}));
    send_uevent(std::string(48, 'h'));
    send_uevent(uevent("libudev", {"ACTION=remove", "SUBSYSTEM=block", "DEVPATH=/devices/udev"}));
}

TEST(HotplugIntake, LengthWindowAndHeaderRulesWithDebugToggledAtRunTime) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            Hotplug hp;

            // Without /var/debug only the length lines are written.
            send_intake_set();
            hp.settle();
            std::string quiet = hp.text_without_settles();
            const std::string pre = "[" + std::to_string(hp.pid()) + " hotplug_netlink_process:";
            EXPECT_EQ(count_of(quiet, "]:invalid message length, the rcvd msg length:31, the right range:[32, 400]\n"), 1u);
            EXPECT_EQ(count_of(quiet, "]:invalid message length, the rcvd msg length:400, the right range:[32, 400]\n"), 1u);
            EXPECT_EQ(count_of(quiet, "]:invalid message length, the rcvd msg length:600, the right range:[32, 400]\n"), 1u);
            EXPECT_EQ(count_of(quiet, "\n"), 3u) << quiet;
            EXPECT_EQ(count_of(quiet, pre), 3u) << "prefix carries the daemon's pid: " << quiet;

            // With it, the gated rejections and the accepted packages show.
            debug(true);
            hp.console.clear();
            send_intake_set();
            hp.settle();
            // The settle answers once everything is received; the children
            // have all run once the last accepted package is removed.
            EXPECT_TRUE(hp.console.wait_for(" remove /devices/l399 block\n", 10)) << hp.console.text();
            std::string loud = hp.text_without_settles();
            EXPECT_EQ(count_of(loud, "rcvd msg length:"), 3u);
            EXPECT_EQ(count_of(loud, "]:invalid message length\n"), 2u);
            EXPECT_EQ(count_of(loud, "]:unrecognized message header\n"), 1u);
            // 32 bytes: no ACTION, no DEVPATH, still queued.
            EXPECT_EQ(count_of(loud, "]:SUBSYSTEM=block  ACTION=(null) DEVPATH=(null)\n"), 1u) << loud;
            EXPECT_EQ(count_of(loud, "\t(null) block (null)\n"), 3u) << "Add, fork, START";
            EXPECT_EQ(count_of(loud, "]:SUBSYSTEM=block  ACTION=remove DEVPATH=/devices/l399\n"), 1u);
            // The dump lists every string, header first.
            EXPECT_EQ(count_of(loud, "]:remove@/devices/l399\n" + pre), 1u);
            EXPECT_EQ(count_of(loud, "]:PAD=p"), 2u);
            EXPECT_EQ(count_of(loud, "/devices/udev"), 0u);
            EXPECT_TRUE(hp.console.wait_for("Del pkg(total pkg:0):\n", 5)) << hp.console.text();

            // Off again at run time: accepted packages are silent.
            debug(false);
            hp.console.clear();
            sandbox::send_uevent(block_remove("/devices/silent"));
            hp.settle();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(hp.text_without_settles(), "");
            EXPECT_TRUE(hp.alive());
        },
        kQuiet);
}

// Only root is mapped in the quiet sandbox, so this one runs where kernel
// events may arrive too: the machine's disks are hidden and the storage
// pass's tools are stand-ins, and only lines of the test's own sender count.
TEST(HotplugIntake, NonRootSenderIsDroppedSilentlyUnlessDebugging) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::storage_world();
        sandbox::tmpfs("/run");
        sandbox::StandIns tools;
        for (const char* t : {"ifconfig", "brctl", "sendarp", "radioctl"}) tools.add(t);
        Hotplug hp;
        sandbox::send_uevent(block_remove("/devices/nonroot"), 1000);
        hp.settle();
        EXPECT_EQ(hp.console.count("uid="), 0u);
        EXPECT_EQ(hp.console.count("nonroot"), 0u);
        debug(true);
        sandbox::send_uevent(block_remove("/devices/nonroot"), 1000);
        hp.settle();
        EXPECT_EQ(hp.console.count("]:sender uid=1000, message ignored\n"), 1u) << hp.console.text();
        EXPECT_EQ(hp.console.count("nonroot"), 0u);
        EXPECT_TRUE(hp.alive());
    });
}

TEST(HotplugIntake, GarbageNeverKillsTheDaemon) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            Hotplug hp;
            std::mt19937 rng(7);
            const char alphabet[] = {'\0', '=', '@', '/', 'A', 'C', 'T', 'I', 'O', 'N', 'x', '\n', '%'};
            // In chunks, so the socket's default receive buffer (the forced
            // size is refused in a user namespace) never overflows.
            for (int i = 0; i < 400; ++i) {
                std::string d(1 + rng() % 460, '\0');
                for (char& c : d) c = (rng() % 2) ? alphabet[rng() % sizeof(alphabet)] : (char)rng();
                if (i % 4 == 0 && d.size() > 8) d.replace(0, 4, "a@/x");  // passes the header test
                sandbox::send_uevent(d);
                if (i % 40 == 39) hp.settle();
            }
            // Strings that begin with a key but have no "=", and format characters.
            sandbox::send_uevent(uevent("add@/devices/%s%n", {"ACTION", "SUBSYSTEM", "DEVPATH", "X=%s%s%s%n"}));
            hp.settle();
            debug(true);
            hp.console.clear();
            sandbox::send_uevent(block_remove("/devices/after"));
            EXPECT_TRUE(hp.console.wait_for("]:SUBSYSTEM=block  ACTION=remove DEVPATH=/devices/after\n", 10));
            EXPECT_TRUE(hp.console.wait_for("Del pkg(total pkg:0):\n", 10)) << hp.console.text();
            EXPECT_TRUE(hp.alive());
        },
        kQuiet);
}

// The fork, START, exit, end and Del lines of one package, with the ids of
// the daemon and of the child in their places; packages are handled in
// arrival order.
TEST(HotplugDispatch, ChildLinesCarryTheRightIdsAndOrderIsKept) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            Hotplug hp;
            debug(true);
            for (int i = 0; i < 5; ++i) sandbox::send_uevent(block_remove("/devices/ord" + std::to_string(i)));
            ASSERT_TRUE(hp.console.wait_for("Del pkg(total pkg:0):\n", 10)) << hp.console.text();
            hp.settle();
            std::string t = hp.console.text();
            const std::string d = std::to_string(hp.pid());

            // Add: " first " only into an empty queue.
            EXPECT_EQ(count_of(t, "]:Add first pkg(total:1):\n\tremove block /devices/ord0\n"), 1u) << t;

            std::regex fork_re("\\[" + d + R"( hotplug_netlink_process:\d+\]:fork (\d+) to handler pkg:\n\tremove block /devices/ord(\d)\n)");
            std::vector<std::string> order;
            for (auto it = std::sregex_iterator(t.begin(), t.end(), fork_re); it != std::sregex_iterator(); ++it) {
                std::string c = (*it)[1], n = (*it)[2];
                order.push_back(n);
                EXPECT_NE(c, d);
                std::string start = "[" + c + " hotplug_netlink_process:";
                EXPECT_EQ(count_of(t, start), 1u) << "one START line written by the child " << c;
                EXPECT_NE(t.find("]:" + c + " START to handle:\n\tremove block /devices/ord" + n + "\n"),
                          std::string::npos);
                std::regex exit_re("\\[" + d + R"( hotplug_netlink_process:\d+\]:)" + c + " exit,status=0.\n");
                EXPECT_TRUE(std::regex_search(t, exit_re)) << c;
                EXPECT_EQ(count_of(t, "]:" + c + " end, set status to 2\n"), 1u);
                EXPECT_EQ(count_of(t, ":\n\t" + c + " remove /devices/ord" + n + " block\n"), 1u) << "Del line";
            }
            EXPECT_EQ(order, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
            // Exits come before the next fork: one child at a time.
            size_t end0 = t.find(" end, set status to 2\n");
            size_t fork1 = t.find("fork ", t.find("fork ") + 1);
            EXPECT_LT(end0, fork1);
        },
        kQuiet);
}

// Stand-ins for the WDS handler's tools: ifconfig waits until its interface
// is released by a file /run/gate/<name>, so the package's child stays busy
// exactly as long as the test wants.
void gated_wds_tools(sandbox::StandIns& tools) {
    sandbox::sh("mkdir -p /run/gate");
    tools.add_script("ifconfig", "while [ ! -e \"/run/gate/$1\" ]; do sleep 0.02; done");
    tools.add("brctl");
    tools.add("sendarp");
    tools.add("radioctl");
}

void release(const std::string& ifname) { sandbox::write_file("/run/gate/" + ifname, ""); }

bool called(const sandbox::StandIns& tools, const std::string& line) {
    for (const auto& c : tools.calls())
        if (c == line) return true;
    return false;
}

TEST(HotplugQueue, AdmissionHysteresisBehindABusyChild) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            sandbox::tmpfs("/run");
            sandbox::StandIns tools;
            gated_wds_tools(tools);
            debug(true);
            Hotplug hp;

            // 61 packages, each of whose child waits at its gate.
            for (int i = 0; i < 61; ++i) sandbox::send_uevent(wds_add("wds0." + std::to_string(i)));
            ASSERT_TRUE(hp.console.wait_for("]:Add pkg(total:61):\n", 10)) << hp.console.text();
            ASSERT_TRUE(sandbox::wait_until([&] { return called(tools, "ifconfig wds0.0 up"); }, 10));
            EXPECT_EQ(hp.console.count("too much hotplug event"), 0u);

            // The 62nd is refused, and every arrival while the queue drains to 30.
            sandbox::send_uevent(block_remove("/devices/refused61"));
            ASSERT_TRUE(hp.console.wait_for("]:too much hotplug event, ignore it!pkgs_total:61\n", 10));
            for (int total = 60; total >= 30; --total) {
                release("wds0." + std::to_string(60 - total));
                ASSERT_TRUE(hp.console.wait_for("]:Del pkg(total pkg:" + std::to_string(total) + "):\n", 10))
                    << total;
                sandbox::send_uevent(block_remove("/devices/refused" + std::to_string(total)));
                ASSERT_TRUE(hp.console.wait_for(
                    "]:too much hotplug event, ignore it!pkgs_total:" + std::to_string(total) + "\n", 10))
                    << total;
            }
            // One more leaves 29: the next arrival is admitted as the 30th.
            release("wds0.31");
            ASSERT_TRUE(hp.console.wait_for("]:Del pkg(total pkg:29):\n", 10));
            sandbox::send_uevent(block_remove("/devices/back"));
            ASSERT_TRUE(hp.console.wait_for("]:Add pkg(total:30):\n\tremove block /devices/back\n", 10))
                << hp.console.text();
            EXPECT_EQ(hp.console.count("too much hotplug event"), 32u);
            EXPECT_EQ(hp.console.count("\tremove block /devices/refused"), 0u) << "a refused package was queued";

            // Everything drains, in arrival order, the admitted one last.
            for (int i = 32; i < 61; ++i) release("wds0." + std::to_string(i));
            ASSERT_TRUE(hp.console.wait_for("Del pkg(total pkg:0):\n", 30));
            std::vector<std::string> calls;
            for (const auto& c : tools.calls())
                if (c.rfind("ifconfig ", 0) == 0) calls.push_back(c);
            ASSERT_EQ(calls.size(), 61u);
            for (int i = 0; i < 61; ++i) EXPECT_EQ(calls[(size_t)i], "ifconfig wds0." + std::to_string(i) + " up");
        },
        kQuiet);
}

// A child that never ends is killed at its 121st supervising pass; the
// passes are driven by datagrams so the test does not wait two minutes.
TEST(HotplugQueue, HangingChildTimesOutAfter121Passes) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            sandbox::tmpfs("/run");
            sandbox::StandIns tools;
            gated_wds_tools(tools);
            debug(true);
            Hotplug hp;

            auto t0 = std::chrono::steady_clock::now();
            sandbox::send_uevent(wds_add("wds9"));
            sandbox::send_uevent(block_remove("/devices/next"));
            ASSERT_TRUE(hp.console.wait_for("]:Add pkg(total:2):\n", 10));
            ASSERT_TRUE(sandbox::wait_until([&] { return called(tools, "ifconfig wds9 up"); }, 10));
            std::smatch m;
            std::string t = hp.console.text();
            ASSERT_TRUE(std::regex_search(t, m, std::regex(R"(:fork (\d+) to handler pkg:\n\tadd net)")));
            const std::string child = m[1];
            hp.console.clear();

            // Each short datagram is one pass; sent in one quick burst. The
            // block package's arrival was the child's first pass.
            for (int i = 0; i < 125; ++i) sandbox::send_uevent(std::string(3, 'p'));
            const std::string timeout_line = "]:" + child + " time out (121seconds), kill it\n";
            ASSERT_TRUE(hp.console.wait_for(timeout_line, 10)) << hp.console.text();
            ASSERT_TRUE(hp.console.wait_for("rcvd msg length:3,", 10, 125));
            double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            t = hp.console.text();
            size_t at = t.find(timeout_line);
            size_t passes = count_of(t.substr(0, at), "rcvd msg length:3,");
            EXPECT_LE(passes, 120u);
            EXPECT_GE(passes + (size_t)secs + 2, 120u) << "passes by datagram " << passes;
            EXPECT_EQ(count_of(t, "no process"), 0u);

            // Removed in that pass, and the next package forked in the same
            // pass (no datagram read in between; the reaper may log).
            std::string after = t.substr(at);
            size_t del = after.find("]:Del pkg(total pkg:1):\n\t" + child + " add /devices/virtual/net/wds9 net\n");
            size_t fork_next = after.find("to handler pkg:\n\tremove block /devices/next\n");
            ASSERT_NE(del, std::string::npos) << after;
            ASSERT_NE(fork_next, std::string::npos) << after;
            EXPECT_LT(del, fork_next);
            EXPECT_EQ(count_of(after.substr(0, fork_next), "rcvd msg length"), 0u) << after;
            ASSERT_TRUE(hp.console.wait_for("Del pkg(total pkg:0):\n", 10));
            // SIGKILL went to the child only: its shell's ifconfig is still waiting.
            EXPECT_EQ(sandbox::sh("pgrep -f 'ifconfig [w]ds9' >/dev/null"), 0);
            EXPECT_TRUE(hp.alive());
        },
        kQuiet);
}

TEST(HotplugStartup, NoSocketWritesTwoLinesAndExitsZero) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            sandbox::Console console;
            // stdin, stdout, stderr and the console take the four descriptors allowed.
            sandbox::Process hp({"/bin/sh", "-c", "exec 3<&-; ulimit -n 4; exec " + sandbox::bin("hotplug")},
                                "/var/hotplug.out");
            int st = hp.wait_exit(10);
            ASSERT_TRUE(WIFEXITED(st));
            EXPECT_EQ(WEXITSTATUS(st), 0);
            ASSERT_TRUE(console.wait_for("can not create netlink socket", 5, 2)) << console.text() << hp.output();
            std::regex re("can not create netlink socket\\.\n\\[" + std::to_string(hp.pid()) +
                          R"( hotplug_netlink_process:\d+\]:can not create netlink socket\n)");
            EXPECT_TRUE(std::regex_match(console.text(), re)) << console.text();
        },
        kQuiet);
}

TEST(HotplugStartup, WorksWithoutAConsole) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run(
        [] {
            sandbox::storage_world();
            sandbox::tmpfs("/run");
            sandbox::StandIns tools;
            gated_wds_tools(tools);
            release("wds3");
            debug(true);
            // No /dev/console at all: the open fails.
            ASSERT_EQ(::unlink("/dev/console"), 0);
            sandbox::Process hp({sandbox::bin("hotplug")});
            EXPECT_TRUE(sandbox::wait_until(
                [&] {
                    sandbox::send_uevent(wds_add("wds3"));
                    return called(tools, "radioctl -i wds3 wds_enable 1");
                },
                10));
            EXPECT_TRUE(hp.alive());
        },
        kQuiet);
}

}  // namespace
