// The command runner lives in its own small static library (kdcmd), linked
// by the framework and every plug-in; this header stays for the callers
// that include it from here.
#pragma once

#include <kerrow/command.h>
