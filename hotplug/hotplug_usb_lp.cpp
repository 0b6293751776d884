// USB printer firmware loader (module hotplug_usb_lp). Two printer models
// must be sent their firmware each time they are plugged in. When the
// printer interface of one of them is added, the loader waits until
// /dev/printer0 opens and copies the model's file from /etc/hotplug/firmware/
// to it with cat.
//
// The console lines of this module carry fixed line numbers, so the two
// functions that write them sit at fixed places in this file; the pure
// helpers follow below them.
#include "hotplug/hotplug_usb_lp.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <span>
#include <string_view>

#include "common/shell_quote.h"
#include "hotplug/hotplug_handlers.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_process.h"
#include "hotplug/hp_log.h"

const hp_fw_row hp_fw_table[3] = {
    {0x03f0, 0x2b17, "hp1020.dl"},
    {0x03f0, 0x4917, "hpP1008.dl"},
    {0, 0, nullptr},
};

namespace {

// Result of one open of the printer device.
enum class Probe { Ready, Failed, NoPause };

// Opens the device read-write only to learn that it is ready; nothing is
// written through this descriptor. An open that hands back descriptor 1
// (standard output was closed) is not taken as the printer.
Probe probe_device(const char* device) {
    int fd = open(device, O_RDWR | O_CLOEXEC);
    if (fd == -1) return Probe::Failed;
    close(fd);
    return fd == 1 ? Probe::NoPause : Probe::Ready;
}

}  // namespace

// The rows of the table are walked in order; for each matching row the
// device gets up to three chances to open, and each failed open is
// followed by a pause. Once it opens, the row's firmware is copied to it
// and the walk ends.
int hotplug_usb_lp_firmware_load(int vid, int pid, const char* device) {
    HP_DLOG_AT(54, HP_MOD_USB_LP, " Enter hotplug_usb_lp_firmware_load\n");
    int found = 0;
    int ran = 0;
    for (const hp_fw_row* row = hp_fw_find(hp_fw_table, vid, pid); row && !found;
         row = hp_fw_find(row + 1, vid, pid)) {
        for (int attempt = 0; attempt < HP_PRINTER_ATTEMPTS && !found; ++attempt) {
            switch (probe_device(device)) {
            case Probe::Ready:
                found = 1;
                break;
            case Probe::NoPause:
                break;
            case Probe::Failed:
                // The printer node appears a moment after the interface;
                // give it time before the next try.
                HP_DLOG_AT(69, HP_MOD_USB_LP, "Can not open the printer0\n");
                sleep(HP_PRINTER_PAUSE_S);
                break;
            }
        }
        if (!found) continue;

        // A missing firmware file or a failed copy is not noticed here: cat
        // complains on the child's standard error.
        char cmd[HP_FW_CMD_SIZE];
        if (!hp_fw_command(row, device, cmd, sizeof(cmd))) break;
        zorsystem(cmd);
        ran = 1;
        // Written once the copy has finished, with the command as the shell
        // received it (paths in shell form: the fixed names are plain and
        // appear unchanged).
        HP_DLOG_AT(85, HP_MOD_USB_LP, " Command is %s\n", cmd);
    }
    return ran;
}

// Reached for every USB add event. Device events carry no INTERFACE or
// PRODUCT and end here at once; interface events are filtered for the
// printer class and for the models in the table.
//
// PRODUCT is split in place, which touches only this child's copy of the
// package; the daemon's own copy stays whole.
//
// Result: 22 when a variable is missing, otherwise 0, whatever happened.
int hotplug_usb_lp_handler() {
    char* interface = get_hotplug_var("INTERFACE");
    char* product = get_hotplug_var("PRODUCT");
    char* action = get_hotplug_var("ACTION");
    if (!interface || !product || !action) return 22;
    HP_DLOG_AT(103, HP_MOD_USB_LP, "Interface parametre is  %s\n", interface);
    // Only the add event of a printer interface (class 7) goes on.
    if (!hp_usb_is_printer_add(interface, action)) return 0;

    // PRODUCT is "vendor/product/release" in hexadecimal. The vendor is
    // written before the product field is looked at, so a PRODUCT of one
    // field still shows its vendor.
    int vid = 0;
    int pid = 0;
    int fields = hp_parse_product(product, &vid, &pid);
    if (fields < 1) return 0;

    HP_DLOG_AT(115, HP_MOD_USB_LP, "vid is %x\n", (unsigned)vid);
    if (fields < 2) return 0;

    // Only the vendor and product select the firmware; the release field
    // is not read. The loader waits for the device node itself, so this
    // may run before the printer driver has made it.

    HP_DLOG_AT(122, HP_MOD_USB_LP, "pid is %x\n", (unsigned)pid);
    hotplug_usb_lp_firmware_load(vid, pid, HP_PRINTER_DEV);
    return 0;
}

const hp_fw_row* hp_fw_find(const hp_fw_row* from, int vid, int pid) {
    for (const hp_fw_row* row = from; row->fw_name; ++row)
        if (row->vid == vid && row->pid == pid) return row;
    return nullptr;
}

bool hp_usb_is_printer_add(const char* interface, const char* action) {
    return interface && action && interface[0] == '7' && strcmp(action, "add") == 0;
}

int hp_parse_product(char* product, int* vid, int* pid) {
    char* save = nullptr;
    char* tok = strtok_r(product, "/", &save);
    if (!tok) return 0;
    *vid = static_cast<int>(strtoul(tok, nullptr, 16));
    tok = strtok_r(nullptr, "/", &save);
    if (!tok) return 1;
    *pid = static_cast<int>(strtoul(tok, nullptr, 16));
    return 2;
}

bool hp_fw_command(const hp_fw_row* row, const char* device, char* buf, size_t size) {
    if (size == 0) return false;
    buf[0] = '\0';
    if (!row || !row->fw_name || !device) return false;
    char path[sizeof(HP_FW_DIR) + 64];
    int n = snprintf(path, sizeof(path), HP_FW_DIR "%s", row->fw_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return false;
    char qpath[shell_quoted_size(sizeof(path))];
    char qdev[HP_FW_CMD_SIZE];
    if (shell_quote(std::span<char>(qpath), path) < 0) return false;
    if (shell_quote(std::span<char>(qdev), device) < 0) return false;
    n = snprintf(buf, size, "cat %s > %s", qpath, qdev);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buf[0] = '\0';
        return false;
    }
    return true;
}
