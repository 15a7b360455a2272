// `valtconf check`: what a daemon started on this configuration would trip
// over, each problem one line. Reads only.
#pragma once

#include <ostream>

class ConfigStore;

// Writes one line per problem to `out`; returns how many there were.
int CheckConfiguration(ConfigStore& store, std::ostream& out);
