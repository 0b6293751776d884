// The device handlers through the real daemon: WDS interfaces joining the
// bridge (with logging stand-ins for the network tools) and printer firmware
// reaching /dev/printer0.
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using Calls = std::vector<std::string>;

// hotplug running in the sandbox with /var/debug on, so that its console
// shows when each package's child starts.
class Daemon {
public:
    explicit Daemon(sandbox::Console& console) : console_(console) {
        sandbox::write_file("/var/debug", "");
        hp_ = std::make_unique<sandbox::Process>(std::vector<std::string>{sandbox::bin("hotplug")});
        // Probe until the socket is bound: the first probe that is received
        // shows up on the console.
        bool up = sandbox::wait_until(
            [&] {
                send("add@/devices/probe", {"ACTION=add", "SUBSYSTEM=probe", "DEVPATH=/devices/probe"});
                return console_.wait_for("SUBSYSTEM=probe", 0.1);
            },
            10);
        EXPECT_TRUE(up) << console_.text();
    }

    std::string console_text() const { return console_.text(); }

    static void send(const std::string& header, const std::vector<std::string>& keys) {
        sandbox::send_uevent(sandbox::uevent(header, keys));
    }

    // Packages are handled one at a time in arrival order, so once the
    // child of a later marker starts, every earlier package is done.
    void settle() {
        std::string devpath = "/devices/marker/" + std::to_string(++markers_);
        send("add@" + devpath, {"ACTION=add", "SUBSYSTEM=marker", "DEVPATH=" + devpath});
        EXPECT_TRUE(console_.wait_for("START to handle:\n\tadd marker " + devpath + "\n", 30)) << console_.text();
    }

private:
    sandbox::Console& console_;
    std::unique_ptr<sandbox::Process> hp_;
    int markers_ = 0;
};

void net_event(const std::string& action, const std::string& ifname) {
    std::string devpath = "/devices/virtual/net/" + ifname;
    Daemon::send(action + "@" + devpath,
                 {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=net", "INTERFACE=" + ifname});
}

Calls bridge_join(const std::string& shown_name) {
    return {"ifconfig " + shown_name + " up", "brctl addif br0 " + shown_name, "brctl stp br0 on",
            "sendarp -s br0 -d br0", "radioctl -i " + shown_name + " wds_enable 1"};
}

// Runs `body` with the network tools (and a few a hostile name might try
// to reach) as logging stand-ins and hotplug listening.
void with_net_daemon(const std::function<void(Daemon&, sandbox::StandIns&)>& body) {
    sandbox::Options opts;
    opts.user_ns = true;  // only injected events arrive
    sandbox::run(
        [&] {
            sandbox::storage_world();
            sandbox::Console console;
            sandbox::StandIns tools;
            for (const char* t : {"ifconfig", "brctl", "sendarp", "radioctl", "reboot", "id"}) tools.add(t);
            Daemon hp(console);
            body(hp, tools);
        },
        opts);
}

TEST(NetHandler, RegisterAndAddBringWdsInterfacesIntoTheBridge) {
    SANDBOX_REQUIRE_ROOT();
    with_net_daemon([](Daemon& hp, sandbox::StandIns& tools) {
        net_event("register", "wds0.1");
        net_event("add", "wds");
        hp.settle();
        Calls want = bridge_join("wds0.1");
        Calls second = bridge_join("wds");
        want.insert(want.end(), second.begin(), second.end());
        EXPECT_EQ(tools.calls(), want) << hp.console_text();
    });
}

TEST(NetHandler, OtherEventsAndOverlongNamesRunNothing) {
    SANDBOX_REQUIRE_ROOT();
    with_net_daemon([](Daemon& hp, sandbox::StandIns& tools) {
        net_event("remove", "wds0.1");
        net_event("add", "eth1");
        net_event("add", "WDS0");
        net_event("move", "wds2");
        net_event("add", "wds0123456789abc");  // 16 characters: no kernel name
        hp.settle();
        EXPECT_EQ(tools.calls(), Calls{});
    });
}

TEST(NetHandler, NamesHoldingShellSyntaxReachTheToolsAsPlainArguments) {
    SANDBOX_REQUIRE_ROOT();
    with_net_daemon([](Daemon& hp, sandbox::StandIns& tools) {
        net_event("add", "wds0;reboot");
        net_event("add", "wds$(id)");
        net_event("add", "wds'`id`");
        hp.settle();
        // The stand-ins log their arguments: each name arrives whole, and
        // neither reboot nor id ever runs.
        Calls want;
        for (const char* name : {"wds0;reboot", "wds$(id)", "wds'`id`"}) {
            Calls one = bridge_join(name);
            want.insert(want.end(), one.begin(), one.end());
        }
        EXPECT_EQ(tools.calls(), want);
    });
}

// ---- printers ----

const std::string kHp1020 = std::string("HP1020 firmware\0\x01\xff end", 23);
const std::string kP1008 = "P1008 firmware bytes";

void printer_event(const std::string& product, const std::string& interface = "7/1/2") {
    static int n = 0;
    std::string devpath = "/devices/pci0000:00/0000:00:1d.0/usb1/1-1/1-1:1." + std::to_string(n++);
    Daemon::send("add@" + devpath, {"ACTION=add", "DEVPATH=" + devpath, "SUBSYSTEM=usb",
                                    "DEVTYPE=usb_interface", "PRODUCT=" + product, "TYPE=0/0/0",
                                    "INTERFACE=" + interface});
}

// /dev as a tmpfs with /dev/printer0 a regular file (unless told otherwise)
// and the two firmware files in a tmpfs over /etc/hotplug.
void with_printer_daemon(bool make_printer, const std::function<void(Daemon&, sandbox::Console&)>& body) {
    sandbox::Options opts;
    opts.user_ns = true;
    sandbox::run(
        [&] {
            sandbox::storage_world();
            if (make_printer) sandbox::write_file("/dev/printer0", "");
            sandbox::tmpfs("/etc/hotplug");
            ASSERT_EQ(::mkdir("/etc/hotplug/firmware", 0755), 0);
            sandbox::write_file("/etc/hotplug/firmware/hp1020.dl", kHp1020);
            sandbox::write_file("/etc/hotplug/firmware/hpP1008.dl", kP1008);
            sandbox::Console console;
            Daemon hp(console);
            body(hp, console);
        },
        opts);
}

TEST(UsbLpHandler, BothPrintersReceiveTheirFirmware) {
    SANDBOX_REQUIRE_ROOT();
    with_printer_daemon(true, [](Daemon& hp, sandbox::Console& console) {
        printer_event("3f0/2b17/100");
        hp.settle();
        EXPECT_EQ(sandbox::read_file("/dev/printer0"), kHp1020);
        EXPECT_EQ(console.count(" Command is cat /etc/hotplug/firmware/hp1020.dl > /dev/printer0\n"), 1u);
        EXPECT_EQ(console.count("hotplug_usb_lp:103]:Interface parametre is  7/1/2\n"), 1u);
        EXPECT_EQ(console.count("hotplug_usb_lp:115]:vid is 3f0\n"), 1u);
        EXPECT_EQ(console.count("hotplug_usb_lp:122]:pid is 2b17\n"), 1u);
        EXPECT_EQ(console.count("hotplug_usb_lp:54]: Enter hotplug_usb_lp_firmware_load\n"), 1u);
        EXPECT_EQ(console.count("hotplug_usb_lp:85]: Command is "), 1u);

        printer_event("3f0/4917/100");
        hp.settle();
        EXPECT_EQ(sandbox::read_file("/dev/printer0"), kP1008);
        EXPECT_EQ(console.count("Can not open the printer0"), 0u);
    });
}

TEST(UsbLpHandler, OtherDevicesGetNothing) {
    SANDBOX_REQUIRE_ROOT();
    with_printer_daemon(true, [](Daemon& hp, sandbox::Console& console) {
        printer_event("3f0/1234/100");
        printer_event("0/0/0");
        printer_event("3f0");
        printer_event("3f0/2b17/100", "8/6/80");  // a storage interface
        hp.settle();
        EXPECT_EQ(sandbox::read_file("/dev/printer0"), "");
        EXPECT_EQ(console.count(" Command is"), 0u);
        // The unknown product and 0/0/0 reach the table; the one-field
        // PRODUCT shows its vendor only; the storage interface stops first.
        EXPECT_EQ(console.count("vid is 3f0\n"), 2u);
        EXPECT_EQ(console.count("vid is 0\n"), 1u);
        EXPECT_EQ(console.count("pid is "), 2u);
        EXPECT_EQ(console.count("Enter hotplug_usb_lp_firmware_load"), 2u);
        EXPECT_EQ(console.count("Interface parametre is  8/6/80\n"), 1u);
    });
}

TEST(UsbLpHandler, APrinterThatOpensOnTheSecondAttemptCostsOnePause) {
    SANDBOX_REQUIRE_ROOT();
    with_printer_daemon(false, [](Daemon& hp, sandbox::Console& console) {
        printer_event("3f0/2b17/100");
        ASSERT_TRUE(console.wait_for("hotplug_usb_lp:69]:Can not open the printer0\n", 10)) << console.text();
        sandbox::write_file("/dev/printer0", "");
        EXPECT_TRUE(console.wait_for(" Command is ", 10)) << console.text();
        hp.settle();
        EXPECT_EQ(console.count("Can not open the printer0"), 1u);
        EXPECT_EQ(sandbox::read_file("/dev/printer0"), kHp1020);
    });
}

}  // namespace
