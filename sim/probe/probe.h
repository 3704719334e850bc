// The probe: a small tree with one parameter of every kind.
//   probe/text        string, any text
//   probe/level       number 0..100, step 1
//   probe/mode        choice "Off", "On", "Auto"
//   probe/flags       set, options "red", "green", "blue" (any subset, comma separated)
//   probe/secret      write-only string
//   probe/rows        table of PROBE_ROWS rows (default 3), each with a number "Value"
// PROBE_MAX_PRINTS, when set, becomes the framework's max_param_prints.
#pragma once

#include <kerrow/param.h>

#include <string>

namespace probe {

struct values {
    std::string text;
    int level = 0;
    std::string mode = "Off";
    std::string flags;
    std::string secret;
    int sets = 0; // successful sets through the probe's setters
};

values &current();
// Builds the tree under the owner's root; answers the root.
param_context *build(plugin_load_info *pli);

} // namespace probe
