// Placeholder until the zone gate lands.
#include <nanobind/nanobind.h>

NB_MODULE(zone_gate, m) {}
