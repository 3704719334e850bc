// Conditional access table (ISO/IEC 13818-1 2.4.4.6).
#include "psi_cat.h"

#include "mpegts_internal.h"

using namespace mpegts;

static_assert(sizeof(TCat) == 188, "wire layout");

extern "C" {

MPEGTS_API int tsGetCat(tsPkt *pkt, TCat **out) noexcept { return locate_table(pkt, out); }

MPEGTS_API int tsSetCatDefault(TCat *cat) noexcept
{
    write_header(sec(cat), 1, 9, 0xFFFF, 0); // the extension is reserved in a CAT
    return 0;
}

} // extern "C"
