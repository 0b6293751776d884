// Network interface handler (placeholder until the WDS handler lands).
#include "hotplug/hotplug_handlers.h"

int hotplug_net_handler() { return 0; }
