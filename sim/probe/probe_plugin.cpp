// libsv-probe: the probe tree as a loadable plug-in.
#include "probe.h"

#include <kerrow/plugin.h>

extern "C" {
KD_API void probe_init(plugin_load_info *pli) noexcept;
KD_API cuvent_action probe_fini(void) noexcept;
}

extern "C" void probe_init(plugin_load_info *pli) noexcept
{
    try {
        probe::build(pli);
    } catch (...) {
    }
}

extern "C" cuvent_action probe_fini(void) noexcept { return CUVACT_SUCCESS; }
