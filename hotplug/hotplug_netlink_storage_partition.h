// The record every step of the storage pass shares: one partition or mount,
// rebuilt from the kernel's tables on every pass, and its status texts.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct hp_partition {
    int32_t major;        // from /proc/partitions; 0 in a node made from /proc/mounts
    int32_t minor;
    char partition[32];   // kernel name (sda1); empty in a node made from /proc/mounts
    char status[12];      // "", "ignore", "mounted", "toumount", "umounted", "mounterr"
    int32_t pos;          // USB root-hub port of the disk; 0 until known
    char dev[128];        // block device node that is or will be mounted
    char path[128];       // mount directory
    hp_partition* next;
};

// Status texts.
#define HP_ST_NEW ""
#define HP_ST_IGNORE "ignore"
#define HP_ST_MOUNTED "mounted"
#define HP_ST_TOUMOUNT "toumount"
#define HP_ST_UMOUNTED "umounted"
#define HP_ST_MOUNTERR "mounterr"

// Sets the status text of a node.
inline void hp_set_status(hp_partition* node, const char* status) {
    snprintf(node->status, sizeof(node->status), "%s", status);
}
