// Placeholder until the model fetcher lands.
#include <nanobind/nanobind.h>

NB_MODULE(fetch, m) {}
