// USB printer firmware loader (placeholder until the loader lands).
#include "hotplug/hotplug_handlers.h"

int hotplug_usb_lp_handler() { return 0; }
