// The pure parts of the device handlers: event filters, interface-name
// quoting and command text, PRODUCT parsing and the firmware table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "hotplug/hotplug_handlers.h"
#include "hotplug/hotplug_net.h"
#include "hotplug/hotplug_netlink_process.h"
#include "hotplug/hotplug_usb_lp.h"

// The handlers read their package through get_hotplug_var; here it reads
// this map, so that the handlers' early returns can be checked without a
// daemon. (This definition keeps the queue's object file out of the link.)
static std::map<std::string, std::string> g_vars;
char* get_hotplug_var(const char* key) {
    auto it = g_vars.find(key);
    return it == g_vars.end() ? nullptr : it->second.data();
}

// The printer loader pauses with sleep(); here the pauses are recorded
// instead of slept, and the printer node can be made to appear during the
// n-th of them.
static std::vector<unsigned> g_pauses;
static std::string g_appear_path;
static size_t g_appear_at = 0;
extern "C" unsigned int sleep(unsigned int seconds) {
    g_pauses.push_back(seconds);
    if (g_pauses.size() == g_appear_at) {
        int fd = open(g_appear_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    return 0;
}

namespace {

std::string quoted(const char* name) {
    char q[HP_IFNAME_QUOTED];
    return hp_net_quote_ifname(name, q) ? std::string(q) : "<refused>";
}

TEST(NetHandler, ActsOnlyOnWdsRegisterOrAdd) {
    EXPECT_TRUE(hp_net_is_wds_join("wds0.1", "register"));
    EXPECT_TRUE(hp_net_is_wds_join("wds0.1", "add"));
    EXPECT_TRUE(hp_net_is_wds_join("wds", "add"));
    EXPECT_FALSE(hp_net_is_wds_join("wds0.1", "remove"));
    EXPECT_FALSE(hp_net_is_wds_join("wds0.1", "addx"));
    EXPECT_FALSE(hp_net_is_wds_join("eth1", "add"));
    EXPECT_FALSE(hp_net_is_wds_join("WDS0", "add"));
    EXPECT_FALSE(hp_net_is_wds_join("wd", "add"));
}

TEST(NetHandler, CommandsForAnOrdinaryNameAreExactlyTheFixedOnes) {
    char cmds[HP_NET_BRIDGE_CMDS][HP_NET_CMD_SIZE];
    ASSERT_TRUE(hp_net_bridge_cmds(quoted("wds0.1").c_str(), cmds));
    EXPECT_STREQ(cmds[0], "ifconfig wds0.1 up");
    EXPECT_STREQ(cmds[1], "brctl addif br0 wds0.1");
    EXPECT_STREQ(cmds[2], "brctl stp br0 on");
    EXPECT_STREQ(cmds[3], "sendarp -s br0 -d br0");
    char nas[HP_NET_CMD_SIZE];
    ASSERT_TRUE(hp_nas_cmd("wds0.1", nas));
    EXPECT_STREQ(nas, "radioctl -i wds0.1 wds_enable 1");
}

TEST(NetHandler, NamesWithShellSyntaxAreQuotedAndOverlongOnesRefused) {
    EXPECT_EQ(quoted("wds0;reboot"), "'wds0;reboot'");
    EXPECT_EQ(quoted("wds$(id)"), "'wds$(id)'");
    EXPECT_EQ(quoted("wds'x"), "'wds'\\''x'");
    EXPECT_EQ(quoted("wds0123456789ab"), "wds0123456789ab");  // 15: the longest name
    EXPECT_EQ(quoted("wds0123456789abc"), "<refused>");
    EXPECT_EQ(quoted(""), "<refused>");

    // The worst acceptable name (15 quotes) still fits every command.
    std::string worst = quoted("'''''''''''''''");
    ASSERT_EQ(worst.size(), HP_IFNAME_QUOTED - 1);
    char cmds[HP_NET_BRIDGE_CMDS][HP_NET_CMD_SIZE];
    EXPECT_TRUE(hp_net_bridge_cmds(worst.c_str(), cmds));
    EXPECT_EQ(std::string(cmds[1]), "brctl addif br0 " + worst);
    char nas[HP_NET_CMD_SIZE];
    EXPECT_TRUE(hp_nas_cmd(worst.c_str(), nas));
}

TEST(Handlers, MissingVariablesGive22) {
    g_vars = {{"ACTION", "add"}};
    EXPECT_EQ(hotplug_net_handler(), 22);
    g_vars = {{"INTERFACE", "wds0"}};
    EXPECT_EQ(hotplug_net_handler(), 22);
    g_vars = {{"INTERFACE", "7/1/2"}, {"ACTION", "add"}};  // a device event: no PRODUCT
    EXPECT_EQ(hotplug_usb_lp_handler(), 22);
    g_vars = {{"INTERFACE", "7/1/2"}, {"PRODUCT", "3f0/2b17/100"}};
    EXPECT_EQ(hotplug_usb_lp_handler(), 22);
    // Present but not acted on: 0, and nothing to run.
    g_vars = {{"INTERFACE", "eth1"}, {"ACTION", "add"}};
    EXPECT_EQ(hotplug_net_handler(), 0);
    g_vars = {{"INTERFACE", "8/6/80"}, {"PRODUCT", "3f0/2b17/100"}, {"ACTION", "add"}};
    EXPECT_EQ(hotplug_usb_lp_handler(), 0);
    g_vars.clear();
}

struct Product {
    int fields, vid, pid;
};
Product parse(const char* text) {
    std::string copy = text;
    Product p{0, -1, -1};
    p.fields = hp_parse_product(copy.data(), &p.vid, &p.pid);
    return p;
}

TEST(UsbLp, ProductGivesHexVendorAndProduct) {
    Product p = parse("3f0/2b17/100");
    EXPECT_EQ(p.fields, 2);
    EXPECT_EQ(p.vid, 0x03f0);
    EXPECT_EQ(p.pid, 0x2b17);
    EXPECT_EQ(parse("3f0").fields, 1);
    EXPECT_EQ(parse("3f0").vid, 0x3f0);
    EXPECT_EQ(parse("").fields, 0);
    EXPECT_EQ(parse("///").fields, 0);
    EXPECT_EQ(parse("/3f0//4917").pid, 0x4917);  // empty fields are passed over
}

TEST(UsbLp, OnlyThePrinterInterfaceAddEventGoesOn) {
    EXPECT_TRUE(hp_usb_is_printer_add("7/1/2", "add"));
    EXPECT_FALSE(hp_usb_is_printer_add("7/1/2", "remove"));
    EXPECT_FALSE(hp_usb_is_printer_add("8/6/80", "add"));
    EXPECT_FALSE(hp_usb_is_printer_add("", "add"));
}

TEST(UsbLp, TableSelectsTheTwoPrintersAndNothingElse) {
    const hp_fw_row* row = hp_fw_find(hp_fw_table, 0x3f0, 0x2b17);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->fw_name, "hp1020.dl");
    EXPECT_EQ(hp_fw_find(row + 1, 0x3f0, 0x2b17), nullptr);
    row = hp_fw_find(hp_fw_table, 0x3f0, 0x4917);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->fw_name, "hpP1008.dl");
    EXPECT_EQ(hp_fw_find(hp_fw_table, 0x3f0, 0x1234), nullptr);
    EXPECT_EQ(hp_fw_find(hp_fw_table, 0, 0), nullptr);  // the end row is no candidate
}

TEST(UsbLp, DownloadCommandIsTheFixedTextAndRefusesWhatDoesNotFit) {
    char cmd[HP_FW_CMD_SIZE];
    ASSERT_TRUE(hp_fw_command(&hp_fw_table[0], HP_PRINTER_DEV, cmd, sizeof(cmd)));
    EXPECT_STREQ(cmd, "cat /etc/hotplug/firmware/hp1020.dl > /dev/printer0");
    ASSERT_TRUE(hp_fw_command(&hp_fw_table[1], HP_PRINTER_DEV, cmd, sizeof(cmd)));
    EXPECT_STREQ(cmd, "cat /etc/hotplug/firmware/hpP1008.dl > /dev/printer0");
    EXPECT_EQ(strlen(cmd), 52u);
    ASSERT_TRUE(hp_fw_command(&hp_fw_table[0], "/dev/a b", cmd, sizeof(cmd)));
    EXPECT_STREQ(cmd, "cat /etc/hotplug/firmware/hp1020.dl > '/dev/a b'");
    EXPECT_FALSE(hp_fw_command(&hp_fw_table[1], HP_PRINTER_DEV, cmd, 52));  // one short
    EXPECT_STREQ(cmd, "");
    EXPECT_FALSE(hp_fw_command(&hp_fw_table[0], std::string(200, 'x').c_str(), cmd, sizeof(cmd)));
}

// A printer that never opens in time: three attempts, each failed one
// followed by a 6 s pause, then the loader gives up and runs nothing. The
// node appears during the third pause, so a fourth attempt would find it.
TEST(UsbLp, PrinterThatNeverOpensGetsThreePausedAttemptsThenNothing) {
    char dir[] = "/tmp/usb_lp_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    g_appear_path = std::string(dir) + "/printer0";
    g_pauses.clear();
    g_appear_at = 3;
    EXPECT_EQ(hotplug_usb_lp_firmware_load(0x3f0, 0x2b17, g_appear_path.c_str()), 0);
    EXPECT_EQ(g_pauses, (std::vector<unsigned>{6, 6, 6}));
    struct stat st;
    ASSERT_EQ(stat(g_appear_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);  // no firmware was sent
    unlink(g_appear_path.c_str());
    rmdir(dir);
    g_appear_at = 0;
}

}  // namespace
