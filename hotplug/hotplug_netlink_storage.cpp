// Storage pass (placeholder until the pass lands).
#include "hotplug/hotplug_handlers.h"

int hotplug_storage_handler() { return 0; }
