/* The public header must be accepted by a C compiler. */
#include "interlink.h"

int xsb_c_header_compiles(void)
{
    xsbifp x;
    xsb_pkt p;
    return (int)sizeof(x.log_msg) + (int)sizeof(p) + PORTID_LAST + ERR_READ_FAIL;
}
