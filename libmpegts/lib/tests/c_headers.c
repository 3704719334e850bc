/* Every public header of the MPEG-TS library is accepted by a C compiler. */
#include <mpegts.h>

int mpegts_c_headers_compile(void)
{
    return (int)sizeof(tsPkt) + (int)sizeof(TPmt) + (int)sizeof(ts_hdr) + DMUXSTAT_END + TABLEID_STT;
}
