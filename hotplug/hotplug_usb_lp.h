// USB printer firmware loader (module hotplug_usb_lp). The handler itself is
// declared in hotplug_handlers.h; the table, the PRODUCT parsing and the
// command building are kept apart here so that they can be checked alone.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One printer model and its firmware file inside HP_FW_DIR.
struct hp_fw_row {
    int32_t vid;          // USB vendor id
    int32_t pid;          // USB product id
    const char* fw_name;  // null in the end row
};

// The printers that need their firmware, ended by an all-zero row that is
// never matched.
extern const hp_fw_row hp_fw_table[3];

#define HP_FW_DIR "/etc/hotplug/firmware/"
#define HP_PRINTER_DEV "/dev/printer0"
inline constexpr int HP_PRINTER_ATTEMPTS = 3;  // opens of the device per row
inline constexpr int HP_PRINTER_PAUSE_S = 6;   // pause after an open that failed

// Room for a download command. The fixed names need 52 bytes; a longer
// device path (quoted for the shell) that does not fit runs nothing.
inline constexpr size_t HP_FW_CMD_SIZE = 128;

// Waits for `device` to open (HP_PRINTER_ATTEMPTS tries) and copies the
// firmware of the (vid, pid) model to it. 1 when a command was run, else 0.
int hotplug_usb_lp_firmware_load(int vid, int pid, const char* device);

// The first row at or after `from` with this vid and pid, or null once the
// end row is reached.
const hp_fw_row* hp_fw_find(const hp_fw_row* from, int vid, int pid);

// True for the add event of a printer interface: INTERFACE begins with "7"
// (USB interface class 7) and ACTION is exactly "add".
bool hp_usb_is_printer_add(const char* interface, const char* action);

// Splits PRODUCT ("vendor/product/release", hexadecimal) in place at "/"
// (empty fields are passed over, as strtok does). Returns how many of vid
// and pid were found (0, 1 or 2); the release is not read.
int hp_parse_product(char* product, int* vid, int* pid);

// "cat <HP_FW_DIR><fw_name> > <device>" into `buf`, the paths in shell form.
// False (and `buf` empty) when it does not fit.
bool hp_fw_command(const hp_fw_row* row, const char* device, char* buf, size_t size);
