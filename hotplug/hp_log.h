// Console log of hotplug: one descriptor (p_fd), one formatting buffer
// (p_buf), lines shaped "[pid module:line]:text", most of them written only
// while the marker file /var/debug exists.
#pragma once

#include <stdio.h>
#include <unistd.h>

extern int p_fd;          // console descriptor, -1 until main opens /dev/console
extern char p_buf[1024];  // the one formatting buffer of the normal flow

// Module names in the line prefix.
#define HP_MOD_PROCESS "hotplug_netlink_process"
#define HP_MOD_LIB "hotplug_netlink_lib"
#define HP_MOD_USB_LP "hotplug_usb_lp"
#define HP_MOD_STORAGE "hotplug_netlink_storage"

// 1 while /var/debug exists; tested afresh on every call.
int hp_is_debug();

// Writes p_buf (up to its NUL) to p_fd with one write call; the result is ignored.
void hp_log_flush();

// Text for a value that may be missing in a log line.
inline const char* hp_str(const char* s) { return s ? s : "(null)"; }

// Always-written prefixed line.
#define HP_LOG(mod, fmt, ...)                                                        \
    do {                                                                             \
        snprintf(p_buf, sizeof(p_buf), "[%d %s:%d]:" fmt, (int)getpid(), mod,        \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__);                               \
        hp_log_flush();                                                              \
    } while (0)

// Prefixed line written only while /var/debug exists; nothing of it is
// computed otherwise.
#define HP_DLOG(mod, fmt, ...)                                                       \
    do {                                                                             \
        if (hp_is_debug()) HP_LOG(mod, fmt __VA_OPT__(, ) __VA_ARGS__);              \
    } while (0)

// Lines without the prefix.
#define HP_BARE(fmt, ...)                                                            \
    do {                                                                             \
        snprintf(p_buf, sizeof(p_buf), fmt __VA_OPT__(, ) __VA_ARGS__);              \
        hp_log_flush();                                                              \
    } while (0)
#define HP_DBARE(fmt, ...)                                                           \
    do {                                                                             \
        if (hp_is_debug()) HP_BARE(fmt __VA_OPT__(, ) __VA_ARGS__);                  \
    } while (0)

// A line whose source line number is part of its fixed text: the build fails
// if the statement moves off that line. One statement, like the others, so
// that it may stand alone under an if.
#define HP_LOG_AT(line, mod, fmt, ...)                                               \
    do {                                                                             \
        static_assert(__LINE__ == (line), "console line " #line " moved");          \
        HP_LOG(mod, fmt __VA_OPT__(, ) __VA_ARGS__);                                 \
    } while (0)
#define HP_DLOG_AT(line, mod, fmt, ...)                                              \
    do {                                                                             \
        static_assert(__LINE__ == (line), "console line " #line " moved");          \
        HP_DLOG(mod, fmt __VA_OPT__(, ) __VA_ARGS__);                                \
    } while (0)
