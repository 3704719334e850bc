/* The event bus ("cuvents"): named, synchronous events between plug-ins.
 *
 * Callbacks run on the emitter's thread, in registration order, before the
 * emit returns. Registrations belong to an owner and go when it unloads.
 * Emitting from a data thread is allowed: the registry is guarded, and no
 * lock is held while a callback runs, so a callback may emit again. */
#ifndef KERROW_CUVENT_H
#define KERROW_CUVENT_H

#include <kerrow/types.h>

KD_BEGIN_DECLS

/* Event names are at most 63 characters; longer names are refused at
 * registration and unknown at emit. */
#define CUVENT_NAME_SIZE 64

typedef enum cuvent_filter {
    CUVFLT_NONE = 0,
    CUVFLT_IGNORE_OWN = 1 /* skip emits whose emitter is this registration's owner */
} cuvent_filter;

typedef enum cuvent_cb_run {
    ONCE = 0,
    ALWAYS = 1
} cuvent_cb_run;

/* What every callback receives; valid only during the callback. */
typedef struct cuvent_wrapper {
    const char *name; /* the name pointer the emitter passed */
    void *cb_ctx;     /* the registration's context */
    void *emit_ctx;   /* the emitter's payload */
} cuvent_wrapper;

typedef void (*kd_cuvent_cb)(cuvent_wrapper *w);

KD_API void kd_cuvents_init(void);
KD_API void kd_cuvents_fini(void);

/* Continuous registration. 0, or -1 before init, for a name of 64 bytes or
 * more, or for a duplicate (same owner, callback and context).
 * A registered-reference ctx gains one count while the registration lives. */
KD_API int kd_cuvent_register_cb(plugin_load_info *owner, const char *name, kd_cuvent_cb cb,
                                 void *ctx, cuvent_filter filter);
/* One-time registration: removed after its first call. */
KD_API int kd_cuvent_register_onetime_cb(plugin_load_info *owner, const char *name,
                                         kd_cuvent_cb cb, void *ctx, cuvent_filter filter);

KD_API void kd_cuvent_emit(plugin_load_info *emitter, const char *name, void *ctx);
/* Emits at the loop's next idle pass; a registered-reference ctx is kept
 * alive until then. */
KD_API void kd_cuvent_emit_lazy(plugin_load_info *emitter, const char *name, void *ctx);

KD_API void kd_cuvent_unregister_cb_owner(plugin_load_info *owner);

KD_END_DECLS

#endif
