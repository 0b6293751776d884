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

// Formats "[pid module:line]:" and the text into p_buf and writes it with
// one write call. Out of line, so that each of the many console lines costs
// one call.
void hp_log_line(const char* mod, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Formats the text alone into p_buf and writes it.
void hp_log_bare(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Always-written prefixed line.
#define HP_LOG(mod, fmt, ...) hp_log_line(mod, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// Prefixed line written only while /var/debug exists; nothing of it is
// computed otherwise.
#define HP_DLOG(mod, fmt, ...)                                                       \
    do {                                                                             \
        if (hp_is_debug()) HP_LOG(mod, fmt __VA_OPT__(, ) __VA_ARGS__);              \
    } while (0)

// Lines without the prefix.
#define HP_BARE(fmt, ...) hp_log_bare(fmt __VA_OPT__(, ) __VA_ARGS__)
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
