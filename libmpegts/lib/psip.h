/* ATSC PSIP tables (ATSC A/65): STT, MGT, VCT, EIT and RRT, the multiple
 * string structure and the service location descriptor. */
#ifndef MPEGTS_PSIP_H
#define MPEGTS_PSIP_H

#include "psip_mstring.h"
#include "psip_stt.h"
#include "psip_mgt.h"
#include "psip_vct.h"
#include "psip_sld.h"
#include "psip_eit.h"
#include "psip_rrt.h"

#endif
