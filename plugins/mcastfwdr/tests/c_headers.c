/* The engine's shared records and services are plain C. */
#define _GNU_SOURCE 1
#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "mcf_utils.h"
#include "mmsg.h"
#include "status_queue.h"

int mcf_c_headers_compile(void) { return (int)sizeof(cfg_tx) + (int)sizeof(mmsg_rx) + MCF_STATUS_QUEUE_ENTRIES; }
