/* The engine's shared records and services are plain C. */
#define _GNU_SOURCE 1
#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "mcf_utils.h"
#include "mmsg.h"
#include "mux/maintainer.h"
#include "mux/multiplexer.h"
#include "status_queue.h"
#include "pcr_pts_analysis/pcr_pts.h"
#include "router/packet_proc.h"
#include "router/populate.h"
#include "router/send.h"
#include "tables/input_tables.h"
#include "tables/local_tables.h"

int mcf_c_headers_compile(void) { return (int)sizeof(cfg_tx) + (int)sizeof(mmsg_rx) + MCF_STATUS_QUEUE_ENTRIES +
                                         (int)sizeof(input_table_info) + (int)sizeof(pcr_pts_history) + (int)sizeof(rc_entry) + CAN_INJECT; }
