/* CISSA scrambling, the BISS CA descriptors and BISS-CA (EBU Tech 3292):
 * the headers of the scrambling side of the library in one include. */
#ifndef MPEGTS_BISS_SCRAMBLING_H
#define MPEGTS_BISS_SCRAMBLING_H

#include "biss2ca_ecm.h"
#include "biss2ca_ekid.h"
#include "biss2ca_emm.h"
#include "biss2ca_rx.h"
#include "biss2ca_session.h"
#include "biss2ca_tx.h"
#include "biss2e_csw.h"
#include "ca_descr.h"
#include "cissa_ctx.h"

#endif
