/* Plug-in records and the plug-in manager.
 *
 * A plug-in is a shared library "libsv-NAME.so" exporting NAME_init and
 * NAME_fini. Its plugin_load_info is the owner argument of every framework
 * call it makes. */
#ifndef KERROW_PLUGIN_H
#define KERROW_PLUGIN_H

#include <kerrow/types.h>

KD_BEGIN_DECLS

struct json_t;

typedef void (*kd_frame_plugin_init)(plugin_load_info *pli);
typedef cuvent_action (*kd_frame_plugin_fini)(void);

/* One per discovered file; owned by the manager. */
struct plugin_load_info {
    char *name;                 /* cut out of the file name; names entries, routes, store section */
    char *path;                 /* private copy of the file's full path */
    void *handle;               /* dlopen handle while loaded; (void *)99 marks a simulated plug-in */
    kd_frame_plugin_init init;  /* "%s_init" */
    kd_frame_plugin_fini fini;  /* "%s_fini" */
    int shutdown;               /* 1 while an unload waits for a deferring fini */
    kl_watchlist_t watchers;    /* the plug-in's watch list, made at load */
    param_context *top_param;   /* set by kd_param_create_cfg during init */
    struct json_t *store;       /* the plug-in's store section while attached */
};

/* The manager's operations, in this order. */
typedef struct plugin_manager {
    void (*load_plugin)(const char *name);
    void (*unload_plugin)(const char *name);
    void (*destroy_manager)(void);
    int (*get_max_name_length)(void);
    char **(*get_active_plugins)(void);
    char **(*get_available_plugins)(void);
} plugin_manager;

KD_API plugin_manager *kd_plugin_init_manager(void);
KD_API plugin_load_info *kd_plugin_get_pli_by_name(const char *name);

/* Simulated records, for tests: an available record as discovery would
 * make it; an active record without a library (handle 99) with a fresh
 * watch list; and undoing the latter. */
KD_API plugin_load_info *__test_insert_available_plugin(const char *name, const char *path);
KD_API plugin_load_info *__test_insert_active_plugin(const char *name, const char *path);
KD_API void __test_set_plugin_inactive(const char *name);

KD_END_DECLS

#endif
