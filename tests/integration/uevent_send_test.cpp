// uevent-send: the datagram it builds, and that a listener on group 1
// receives exactly those bytes with the sender uid asked for.
#include <cstdio>
#include <string>

#include "tests/support/sandbox.h"

namespace {

const std::string kTool = sandbox::bin("uevent-send");

std::string bytes(std::initializer_list<const char*> strings) {
    std::string d;
    for (const char* s : strings) {
        d += s;
        d.push_back('\0');
    }
    return d;
}

// Standard output of `uevent-send --dry-run <args>`.
std::string dry_run(const std::string& args) {
    std::string out;
    FILE* p = popen((kTool + " --dry-run " + args + " 2>/dev/null").c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

TEST(UeventSend, FillsInActionDevpathAndSubsystem) {
    EXPECT_EQ(dry_run("add@/devices/virtual/net/wds0.1 INTERFACE=wds0.1"),
              bytes({"add@/devices/virtual/net/wds0.1", "ACTION=add", "DEVPATH=/devices/virtual/net/wds0.1",
                     "SUBSYSTEM=net", "INTERFACE=wds0.1"}));
    // "/block/" wins over "/usb" in a USB disk's path; given keys stay in place.
    EXPECT_EQ(dry_run("add@/devices/pci0/usb1/1-1/1-1:1.0/host0/block/sda SEQNUM=7 ACTION=add"),
              bytes({"add@/devices/pci0/usb1/1-1/1-1:1.0/host0/block/sda",
                     "DEVPATH=/devices/pci0/usb1/1-1/1-1:1.0/host0/block/sda", "SUBSYSTEM=block", "SEQNUM=7",
                     "ACTION=add"}));
    EXPECT_EQ(dry_run("remove@/devices/pci0/usb1/1-1"),
              bytes({"remove@/devices/pci0/usb1/1-1", "ACTION=remove", "DEVPATH=/devices/pci0/usb1/1-1",
                     "SUBSYSTEM=usb"}));
    EXPECT_EQ(dry_run("--subsystem printer add@/devices/x"),
              bytes({"add@/devices/x", "ACTION=add", "DEVPATH=/devices/x", "SUBSYSTEM=printer"}));
    EXPECT_EQ(dry_run("--raw junk A"), bytes({"junk", "A"}));
}

TEST(UeventSend, RefusesWhatItCannotBuild) {
    EXPECT_EQ(sandbox::sh(kTool + " --dry-run add@/devices/x >/dev/null 2>&1"), 2);  // no SUBSYSTEM
    EXPECT_EQ(sandbox::sh(kTool + " --dry-run nodevpath SUBSYSTEM=x >/dev/null 2>&1"), 2);
    EXPECT_EQ(sandbox::sh(kTool + " --dry-run add@/x SUBSYSTEM=x novalue >/dev/null 2>&1"), 2);
    EXPECT_EQ(sandbox::sh(kTool + " --uid -1 add@/x SUBSYSTEM=x >/dev/null 2>&1"), 2);
    EXPECT_EQ(sandbox::sh(kTool + " --help | grep -q -- --uid"), 0);
}

TEST(UeventSend, DeliversTheExactBytesToGroupOneWithTheGivenUid) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::UeventListener listener;
        ASSERT_EQ(sandbox::sh(kTool + " add@/devices/virtual/net/wds7 INTERFACE=wds7"), 0);
        EXPECT_EQ(listener.receive(bytes({"add@/devices/virtual/net/wds7", "ACTION=add",
                                          "DEVPATH=/devices/virtual/net/wds7", "SUBSYSTEM=net",
                                          "INTERFACE=wds7"})),
                  0);
        ASSERT_EQ(sandbox::sh(kTool + " --uid 1000 change@/devices/y SUBSYSTEM=block"), 0);
        EXPECT_EQ(listener.receive(bytes({"change@/devices/y", "ACTION=change", "DEVPATH=/devices/y",
                                          "SUBSYSTEM=block"})),
                  1000);
    });
}

}  // namespace
