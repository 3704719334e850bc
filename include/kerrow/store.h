/* The JSON store: settings kept across restarts in
 * "/var/local/solvera/store.json" (under KD_ROOT), one section per plug-in
 * and "frame" for the framework; each section maps keys to texts.
 *
 * Values of read-write parameters are saved automatically under their
 * route whenever "on_param_update" announces them, and applied again when
 * the owner's tree is built. Changes reach the file within 3 seconds, and
 * once more, with sorted keys, at shutdown. Writes are atomic: the file on
 * disk always holds a whole store. Loop thread only. */
#ifndef KERROW_STORE_H
#define KERROW_STORE_H

#include <kerrow/types.h>

KD_BEGIN_DECLS

struct json_t;

KD_API int kd_store_init(void);
KD_API int kd_store_fini(void);

/* The 3-second timer's callback: writes the file when something changed. */
KD_API void kd_store_check_persist(void *ctx);

/* All key calls take the owner (null: the "frame" section). */
KD_API int kd_store_test_key(plugin_load_info *pli, const char *key);
/* 0 and a malloc'd copy in *val (the caller frees it), or -1 when absent. */
KD_API int kd_store_load_string(plugin_load_info *pli, const char *key, char **val);
KD_API int kd_store_save_string(plugin_load_info *pli, const char *key, const char *val);
KD_API int kd_store_load_int(plugin_load_info *pli, const char *key, int *val);
KD_API int kd_store_save_int(plugin_load_info *pli, const char *key, int val);
/* A malloc'd, null-ended array of malloc'd key copies; the caller frees
 * each text and the array. search_keys: keys beginning with the prefix,
 * sorted byte-wise. */
KD_API char **kd_store_get_keys(plugin_load_info *pli);
KD_API char **kd_store_search_keys(plugin_load_info *pli, const char *key_prefix);
/* Removes the key itself and every key under "key/". */
KD_API int kd_store_remove_key(plugin_load_info *pli, const char *key);
/* 1 when old_key is absent or new_key exists; else moves the value, 0. */
KD_API int kd_store_rename(plugin_load_info *pli, const char *old_key, const char *new_key);

/* Applies saved values to the read-write leaves of the subtree through
 * their ordinary set path. */
KD_API int kd_store_load_params(plugin_load_info *pli, param_context *p);
/* Saves the read-write values of the subtree. */
KD_API int kd_store_save_params(plugin_load_info *pli, param_context *p);

/* At shutdown, write an empty store instead. */
KD_API void kd_store_firmware_reset(void);
/* Replaces the whole store (a settings profile applied). Takes a reference
 * of its own to `store`. */
KD_API void set_store(struct json_t *store);

KD_END_DECLS

#endif
