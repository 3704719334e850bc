/* Framework lifecycle, the event loop and its named watchers, error codes
 * and small utilities.
 *
 * The host drives the framework with kd_frame_init, kd_frame_load_plugin per
 * plug-in, kd_frame_run, and kd_frame_fini once the loop has returned, all
 * on one thread, which becomes the loop thread. Everything in this header is
 * for that thread only. */
#ifndef KERROW_FRAME_H
#define KERROW_FRAME_H

#include <stdbool.h>
#include <sys/stat.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

/* ---- error codes (read from kd_errno after a failed call) ---- */
typedef enum kd_err {
    KD_ERR_OUT_OF_BOUNDS = 1,
    KD_ERR_OVERFLOWING = 2,
    KD_ERR_SPAWN = 3,
    KD_ERR_SPAWN_WAIT = 4,
    KD_ERR_SPAWN_NO_EXIT = 5,
    KD_ERR_SPAWN_STATUS = 6,
    KD_ERR_PARAM_CONTROL_INVALID = 7,
    KD_ERR_PARAM_CONTROL_RDONLY = 8,
    KD_ERR_FULL = 9,
    KD_ERR_INVALID = 10,
    KD_ERR_IN_PROGRESS = 11,
    KD_ERR_DUPLICATE = 12
} kd_err;

KD_API extern int kd_errno;
KD_API const char *kd_frame_strerror(int code);

/* ---- host calls ---- */
KD_API void kd_frame_init(void);
KD_API void kd_frame_load_plugin(const char *name);
KD_API void kd_frame_unload_plugin(const char *name);
KD_API void kd_frame_run(void);
KD_API int kd_shutdown(void);
KD_API void kd_frame_fini(void);

/* ---- loop services ----
 * Watchers are named (names need not be unique) and belong to an owner's
 * list (null owner: the framework's list). The three starters answer 0, or 1
 * when called before kd_frame_init. */
typedef void (*kd_frame_cb)(void *ctx);
typedef void (*kd_frame_on_stat_change)(void *ctx, const char *path, const struct stat *attr);

/* repeat != 0: fires at once, then every `seconds` (re-armed after the
 * callback). repeat == 0: fires once after `seconds`, then is released. */
KD_API int kd_frame_timeout_register(const char *name, kd_frame_cb fn, void *ctx, double seconds,
                                     int repeat, plugin_load_info *owner);
/* Calls cb(ctx) whenever fd is readable; the framework never closes fd. */
KD_API int kd_frame_start_custom_watcher(const char *name, int fd, kd_frame_cb cb, void *ctx,
                                         plugin_load_info *owner);
/* Calls cb(ctx, path, attr) on every change of path (link count 0 when the
 * path is gone). The path is copied. */
KD_API int kd_frame_start_stat_watcher(plugin_load_info *owner, const char *name, const char *path,
                                       kd_frame_on_stat_change cb, void *ctx);
/* Stops and frees the oldest live watcher of that name in the owner's list.
 * Safe from inside that watcher's own callback. 0, or -1 when none. */
KD_API int kd_frame_stop_watcher(const char *name, plugin_load_info *owner);
/* Stops and frees every watcher of a list and the list itself. */
KD_API void kd_frame_release_watchers(kl_watchlist_t list);
/* Makes a new, empty watch list (the plug-in manager makes one per load). */
KD_API kl_watchlist_t kd_frame_watchlist_new(void);

/* Runs fn(ctx) once, on the loop, right after the loop's next poll. */
KD_API int kd_frame_idle_register(void *ctx, kd_frame_cb fn);

struct ev_loop;
KD_API struct ev_loop *kd_frame_get_loop(void);
KD_API double kd_frame_now(void);

/* ---- utilities ---- */
KD_API const char *kd_frame_plugin_get_name(const plugin_load_info *pli);
KD_API bool kd_frame_is_running_native(void);
KD_API const char *kd_frame_get_uid(void);
KD_API int kd_frame_debug_hexdump(char *hexbuf, int hlen, const void *buf, int len);
KD_API void kd_frame_assert_on_error(int on);
KD_API void kd_frame_print_backtrace(void);
KD_API int kd_frame_print_sizes(void);

/* ---- message-handler tables ----
 * Entries keep the caller's scope pointers. Lookup sorts the table by scope
 * (byte-wise, null first) and message type, then binary-searches. */
typedef int (*kd_frame_msgh_on_msg)(int, const char *, int, void *);

typedef struct kd_frame_msgh_entry {
    const char *scope;
    int mt;
    kd_frame_msgh_on_msg fn;
} kd_frame_msgh_entry;

typedef struct kd_frame_msgh_table {
    int capacity;
    int size;
    int sorted;
    kd_frame_msgh_entry *entries;
} kd_frame_msgh_table;

KD_API kd_frame_msgh_table *kd_frame_msgh_create_table(int capacity);
KD_API int kd_frame_msgh_insert_handler(kd_frame_msgh_table *table, const char *scope, int mt,
                                        kd_frame_msgh_on_msg fn);
KD_API kd_frame_msgh_entry *kd_frame_msgh_get_entry(kd_frame_msgh_table *table, const char *scope,
                                                    int mt);
KD_API int kd_frame_msgh_destroy_table(kd_frame_msgh_table *table);
KD_API int kd_frame_msgh_get_free_space(kd_frame_msgh_table *table);

KD_END_DECLS

#endif
