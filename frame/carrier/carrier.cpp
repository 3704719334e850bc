// Carriers and chassis role (minimal: the role comes from HW_SLOT; no
// discovery yet).
#include "../frame_internal.h"

#include <cstdlib>

namespace {
// The card in hardware slot 3 is the chassis master.
constexpr int kMasterSlot = 3;

int hw_slot()
{
    const char *s = std::getenv("HW_SLOT");
    if (!s || !*s)
        return kMasterSlot;
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    return (*end == '\0' && v >= 0 && v <= 7) ? static_cast<int>(v) : kMasterSlot;
}
} // namespace

extern "C" void kd_carrier_init(void) {}
extern "C" void kd_carrier_fini(void) {}
extern "C" void kd_carrier_release_all(void) {}
extern "C" bool kd_carrier_frame_is_master(void) { return hw_slot() == kMasterSlot; }
extern "C" int hw_get_uid(unsigned char *) { return -1; }
