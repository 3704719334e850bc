// libsv-probe: the probe's tree as a loadable plug-in.
#include "probe.h"

#include <kerrow/plugin.h>

extern "C" KD_API void probe_init(plugin_load_info *pli) noexcept
{
    try {
        probe::probe_build(pli);
    } catch (...) {
    }
}

extern "C" KD_API cuvent_action probe_fini(void) noexcept { return CUVACT_SUCCESS; }
