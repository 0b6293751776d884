// Network interface handler: brings a new WDS interface into the LAN bridge
// br0. The handler itself is declared in hotplug_handlers.h; the command
// building is kept apart here so that it can be checked without a shell.
#pragma once

#include <stddef.h>

#include "common/shell_quote.h"

// Longest interface name the kernel gives (IFNAMSIZ - 1). A longer value
// cannot be a real interface and runs nothing.
inline constexpr size_t HP_IFNAME_MAX = 15;

// Room for the shell form of any acceptable name, NUL included.
inline constexpr size_t HP_IFNAME_QUOTED = shell_quoted_size(HP_IFNAME_MAX);

// Room for the longest command ("radioctl -i <quoted> wds_enable 1"), NUL
// included.
inline constexpr size_t HP_NET_CMD_SIZE = sizeof("radioctl -i  wds_enable 1") - 1 + HP_IFNAME_QUOTED;

// Number of commands run before notify_nas.
inline constexpr int HP_NET_BRIDGE_CMDS = 4;

// Tells the wireless side that `interface` joined `network`: runs
// "radioctl -i <interface> wds_enable 1". Only the interface name is used.
// Always 0; nothing is run for a name longer than HP_IFNAME_MAX.
int notify_nas(const char* network, const char* interface, const char* state);

// True when the event is one the handler acts on: INTERFACE begins with
// "wds" (case-sensitive) and ACTION is exactly "register" or "add".
bool hp_net_is_wds_join(const char* interface, const char* action);

// Shell form of an interface name into `out`. False (and `out` empty) for a
// name that is empty or longer than HP_IFNAME_MAX.
bool hp_net_quote_ifname(const char* interface, char (&out)[HP_IFNAME_QUOTED]);

// The four bridge commands for the shell form `qname`, in the order they
// run: ifconfig, brctl addif, brctl stp, sendarp. False if any did not fit.
bool hp_net_bridge_cmds(const char* qname, char (&cmds)[HP_NET_BRIDGE_CMDS][HP_NET_CMD_SIZE]);

// The radioctl command of notify_nas for the shell form `qname`.
bool hp_nas_cmd(const char* qname, char (&cmd)[HP_NET_CMD_SIZE]);
