// Handlers of the dispatch table. Each runs in the package's child process,
// reads the package through get_hotplug_var and returns 22 when a variable it
// needs is missing, otherwise 0; nobody reads the result.
#pragma once

int hotplug_net_handler();      // "net", any action
int hotplug_storage_handler();  // "usb" remove, "block" add
int hotplug_usb_lp_handler();   // "usb" add
int hotplug_media_change_handler();  // "block" change: a card pulled or put in
