// The parameter side of the front panel: reading and setting any
// parameter as text for the daemon's requests, and the plug-in's own two
// parameters. Loop thread only.
#pragma once

#include <kerrow/param.h>

#include <string>
#include <string_view>

namespace fp {

class menu_daemon;

// The longest value text handed to the daemon.
inline constexpr size_t kValueTextMax = 4075;

// A leaf's value as text: a number in decimal, a choice, string or set as
// its value callback gives it; empty for anything else.
std::string param_get_value(param_context *p);

// Sets a leaf from text through its kind's set path. A read-only leaf or a
// kind without a set operation is refused (-1, logged); lists, tables and
// placeholders are ignored (0). Otherwise the set operation's answer.
int param_set_value(const char *tag, param_context *p, const char *text);

// "Register Menu" (registers a menu file, relative names taken from
// `menu_dir`) and "Remove Menu" (unregisters a menu the daemon named)
// under `top`. `mdi` and `menu_dir` must outlive the parameters.
bool create_menu_params(param_context *top, menu_daemon *mdi, const std::string *menu_dir);

} // namespace fp
