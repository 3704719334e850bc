/* The MPEG-TS library: packets, PSI sections, demultiplexer, carousel and
 * analyzer. Include this or the one header of the concept you use. */
#ifndef MPEGTS_H
#define MPEGTS_H

#include "mpegts_export.h"
#include "mpegts_log.h"
#include "mpegts_bits.h"
#include "mpegts_crc.h"
#include "ts_packet.h"
#include "ts_types.h"
#include "psi_section.h"
#include "psi_descriptor.h"
#include "psi_pat.h"
#include "psi_cat.h"
#include "psi_pmt.h"
#include "section_dmux.h"
#include "section_reader.h"
#include "ts_analyzer.h"
#include "biss_scrambling.h"
#include "psip.h"

#endif
