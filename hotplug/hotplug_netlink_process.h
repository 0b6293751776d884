// Event intake and scheduling of hotplug: the uevent socket, packages, the
// package queue with its admission control and supervision, the main loop and
// the per-package handler child with its dispatch table.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include <string_view>

struct sockaddr_nl;

// Package status.
#define PKG_WAITING 0   // queued, no child yet
#define PKG_RUNNING 1   // child forked and released
#define PKG_FINISHED 2  // child ended or given up; removed on the next supervising pass

#define HP_PKG_MSG_SIZE 400  // receive buffer; accepted datagrams are shorter
#define HP_PKG_MIN_LEN 32    // shortest accepted datagram

// Queue limits: an arrival that finds more than HP_QUEUE_HIGH queued turns
// admission off; one that finds fewer than HP_QUEUE_LOW turns it on again.
#define HP_QUEUE_HIGH 60
#define HP_QUEUE_LOW 30
// Supervising passes a running child may take before it is killed.
#define HP_CHILD_TICKS 120

// One received uevent datagram and its place in the queue.
struct hp_pkg {
    char msg[HP_PKG_MSG_SIZE];  // datagram bytes; zero behind them
    int len;                    // bytes received (32..399 once accepted)
    char* devpath;              // values inside msg, null when missing
    char* subsystem;
    char* action;
    volatile pid_t pid;         // handler child; 0 before the fork, -1 after a failed one
    int ticks;                  // supervising passes while running
    volatile int status;        // PKG_*
    hp_pkg* prev;               // next older package
    hp_pkg* next;               // next newer package
};

// Queue state, shared with the SIGCHLD handler.
extern hp_pkg* volatile pkgs_tail;  // oldest package, null when empty
extern hp_pkg* volatile pkgs_head;  // newest package, null when empty
extern volatile int pkgs_total;     // packages queued, running/finished one included
extern volatile int pkgs_accepting; // 1 = admission on

// The main loop's select time-out; the SIGCHLD handler zeroes it to wake the loop.
extern volatile struct timeval select_timeout;
extern volatile struct timeval* volatile select_timeout_ptr;

// One row of the dispatch table.
struct hp_fn_row {
    char subsystem[32];                 // whole-string match against SUBSYSTEM
    char action[8];                     // empty = any action
    int (*filter)(const char* devpath); // non-zero skips the row; null = no filter
    int (*handler)();                   // result ignored
};
extern const hp_fn_row hp_fn_table[5];

// Uevent socket: AF_NETLINK/NETLINK_KOBJECT_UEVENT bound to `addr`
// (group 1), close-on-exec, credentials passed. Descriptor or -1.
int init_netlink_socket(struct sockaddr_nl* addr);
// Receives one datagram from `sock`; an accepted one is queued.
void hotplug_rcvd(int sock, struct sockaddr_nl* addr);
// Value of `key` in `pkg` (pointer into its msg), or null.
char* _get_hotplug_var(hp_pkg* pkg, const char* key);
// Value of `key` in the package being handled (the oldest one), or null.
char* get_hotplug_var(const char* key);
// Debug listing of every string of a package.
void hotplug_dump_pkg(hp_pkg* pkg);

// The daemon's loop; returns 0, only when the socket cannot be set up.
// Once the socket is bound it queues and dispatches the start-up package.
int hotplug_main();
// The package of the storage pass run at start: "add" "block" with DEVPATH
// /hotplug-start, as if the kernel had sent it. Null when out of memory.
hp_pkg* hotplug_startup_pkg();

// Appends `pkg` to the queue or, when admission is off, frees it.
void hotplug_add_pkg(hp_pkg* pkg);
// Checks the oldest package: probes, times out and removes.
void hotplug_supervise_pkg();
// SIGCHLD handler: reaps every ended child; marks the oldest package finished
// when its child is among them.
void hotplug_sigchld(int signo);
// Forks the handler child of the oldest package when it is waiting.
int hotplug_proccess_pkg();

// ---- Pure checks over bytes (used by the receiver, tested on their own) ----

enum hp_rcv_verdict {
    HP_RCV_ACCEPT = 0,
    HP_RCV_BAD_LENGTH,      // outside [32, 399]
    HP_RCV_NO_CREDS,        // no first control message of type SCM_CREDENTIALS
    HP_RCV_BAD_UID,         // sender uid not 0
    HP_RCV_BAD_HEADER_LEN,  // header shorter than 4 characters or filling the datagram
    HP_RCV_BAD_HEADER,      // header without "@/"
};

// Classifies a received datagram. `buf`/`buf_size`: the receive buffer;
// `rcvd`: the length the receive reported (may exceed buf_size with
// MSG_TRUNC); `control`/`control_len`: the control buffer and the control
// length the receive returned. `uid_out` receives the sender's uid when the
// credentials were present. Never reads outside the given buffers.
hp_rcv_verdict hp_check_datagram(const char* buf, size_t buf_size, long rcvd,
                                 const void* control, size_t control_len, int* uid_out);

// Bounded key lookup over the strings of `msg` (the first `len` bytes): the
// first string "key=value" whose key is exactly `key`. Returns the offset of
// the value within msg, or -1. A string without "=" never matches.
long hp_find_var(const char* msg, size_t len, std::string_view key);
