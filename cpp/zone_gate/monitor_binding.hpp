// ZoneMonitor and ZoneEvent, added to the zone gate module.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::zone_gate {

// Adds ZoneEvent, ZoneMonitor and the `time` module to `module`; call after ZoneGate is defined.
void init_monitor(nanobind::module_ &module);

} // namespace quillo::zone_gate
