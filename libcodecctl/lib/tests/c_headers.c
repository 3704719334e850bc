/* libcodecctl's public headers must be accepted by a C compiler. */
#include "m30.h"
#include "m30_driver.h"
#include "cparam.h"
#include "decode/adparam.h"
#include "decode/aoparam.h"
#include "decode/dmxparam.h"
#include "decode/dparam.h"
#include "decode/siparam.h"
#include "decode/vdparam.h"
#include "decode/vfparam.h"
#include "decode/voparam.h"

int codecctl_c_headers_compile(void)
{
    return (int)(sizeof(cparam) + sizeof(fmb_message_info) + sizeof(m30_driver_port));
}
