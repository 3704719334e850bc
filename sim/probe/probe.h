// A test plug-in ("probe") with one parameter of every kind: a string that
// takes any text, a number 0..100 in steps of 1, a choice, a set, a
// write-only leaf, a read-only status and a table whose row count comes
// from KD_PROBE_ROWS. KD_PROBE_MAX_PRINTS, when set, sets max_param_prints.
// Tests that run the framework in their own process build the tree with
// probe_build; hosts load libsv-probe.so.
#pragma once

#include <kerrow/types.h>

#include <string>

namespace probe {

// Builds the probe's tree under the owner's root; `rows` < 0 reads
// KD_PROBE_ROWS (default 2).
void probe_build(plugin_load_info *pli, int rows = -1);

// Current values, for tests in the same process.
int number();
const std::string &text();
const std::string &choice();
const std::string &set();
const std::string &secret();

} // namespace probe
