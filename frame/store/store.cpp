// JSON store service (minimal: nothing is persisted yet).
#include "../frame_internal.h"

#include <jansson.h>

extern "C" void kd_store_init(void) {}
extern "C" void kd_store_fini(void) {}
extern "C" int kd_store_load_params(plugin_load_info *, param_context *) { return 0; }

void kd::store_release_section(plugin_load_info *pli)
{
    if (pli && pli->store) {
        json_decref(pli->store);
        pli->store = nullptr;
    }
}
