// Builders of the "frame" device settings, called by frame_init_cfg in a
// fixed order; nothing here crosses the library boundary.
#pragma once

#include <kerrow/types.h>

#include <string>
#include <string_view>

namespace kd::cfg {

// Security members (security.cpp).
void setup_cfg_security(param_context *root);
void free_cfg_security();
// True while the store's saved values are applied at start.
bool applying_saved_values();

// Ethernet table and gateway (ethernet.cpp).
void setup_cfg_ethernet_interfaces(param_context *root);
void cfg_ethernet_interfaces_fini();

// A choice text's index in a null-ended table, or -1.
int choice_index(const char *const *choices, const char *text);
// A whole decimal, "0x" hexadecimal or leading-0 octal number in
// [min, max] that lands on the step; false otherwise.
bool parse_number(const char *text, int min, int max, int step, int &out);

} // namespace kd::cfg
