/* Types shared by several framework families, declared once. */
#ifndef KERROW_TYPES_H
#define KERROW_TYPES_H

#include <kerrow/export.h>

KD_BEGIN_DECLS

/* One record per plug-in (see kerrow/plugin.h); null stands for the
 * framework itself, whose name is "frame". */
typedef struct plugin_load_info plugin_load_info;

/* One node of the parameter tree (see kerrow/param.h). */
typedef struct param_context param_context;

/* A per-owner list of loop watchers (see kerrow/frame.h). */
typedef struct kl_watchlist *kl_watchlist_t;

/* The answer of an event callback or of a plug-in's fini entry. */
typedef enum cuvent_action {
    CUVACT_SUCCESS = 0,
    CUVACT_DEFER = 1
} cuvent_action;

KD_END_DECLS

#endif
