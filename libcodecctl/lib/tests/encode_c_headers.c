/* The encode blocks' public headers must be accepted by a C compiler, all
 * together (as m30paramprint includes them). */
#include "cparam.h"
#include "encode/aeparam.h"
#include "encode/aesparam.h"
#include "encode/aiparam.h"
#include "encode/ainparam.h"
#include "encode/ainsparam.h"
#include "encode/aipparam.h"
#include "encode/eaparam.h"
#include "encode/ehparam.h"
#include "encode/emparam.h"
#include "encode/masparam.h"
#include "encode/muparam.h"
#include "encode/vaparam.h"
#include "encode/viparam.h"
#include "encode/vinparam.h"
#include "decode/voparam.h"

int codecctl_encode_c_headers_compile(void)
{
    return (int)(sizeof(ehparam) + sizeof(eaparam) + sizeof(emparam) + sizeof(viparam) + sizeof(vinparam) +
                 sizeof(vaparam) + sizeof(aipparam) + sizeof(aiparam) + sizeof(ainparam) + sizeof(ainsparam) +
                 sizeof(aeparam) + sizeof(aesparam) + sizeof(muparam) + sizeof(masparam));
}
