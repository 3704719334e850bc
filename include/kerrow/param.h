/* The parameter tree: every setting and status value of the device.
 *
 * Each owner (a plug-in, or the framework for a null owner) builds its
 * subtree under a root list named after it. A node is found by its route:
 * the owner's key and the keys below it joined by "/" (at most
 * KD_PARAM_ROUTE_MAX characters). Keys come from the constructor's key
 * argument, or from the label when the key is null: upper-case letters
 * become lower case, white space becomes "_", anything else is kept; a "/"
 * in a key is refused.
 *
 * Leaves carry no value of their own: the owner's callbacks produce the
 * current value and apply a new one, always as text through the kind's
 * operations record. Every write through a record's `set` emits
 * "on_param_update" with the node (unless the node is manually notified).
 *
 * Deleting a node leaves a placeholder (type PARAMTYPE_NONE, same label and
 * route, no children) in its parent's list, so positions of the other
 * children do not move; a later node with the same route takes the
 * placeholder's place. kd_param_list_count counts placeholders and
 * kd_param_list_index returns them: code that iterates children skips them
 * with `kd_param_get_type(child) == PARAMTYPE_NONE`. kd_param_visit skips
 * them for you.
 *
 * Events, all emitted with a null emitter and the node as payload:
 *   "on_param_insert"  a node or a placeholder was indexed under its route;
 *   "on_param_remove"  a node is about to become a placeholder;
 *   "on_param_free"    a node is freed (still intact during the event);
 *   "on_param_update"  a node's value or access was written or announced.
 *
 * Ownership of values handed out: a text returned by a string, choice or
 * set value callback, a choices or options table and a query result belong
 * to the reader, who releases each with kd_ref_free_safe after use. A
 * callback may return a fresh block registered with kd_ref_init_ptr, or a
 * text it keeps itself (left alone by the reader).
 *
 * Everything here is for the loop thread only; data threads hand their
 * values to the loop. */
#ifndef KERROW_PARAM_H
#define KERROW_PARAM_H

#include <stdbool.h>
#include <stddef.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

/* Longest route (characters, without the terminator). Longer routes are
 * refused. */
#define KD_PARAM_ROUTE_MAX 255

typedef enum param_type {
    PARAMTYPE_NONE = 0, /* a placeholder left by a deleted node */
    PARAMTYPE_LIST = 1,
    PARAMTYPE_TABLE = 2,
    PARAMTYPE_NUMBER = 3,
    PARAMTYPE_CHOICE = 4,
    PARAMTYPE_STRING = 5,
    PARAMTYPE_SET = 6,
    PARAMTYPE_LAST = 7 /* bound */
} param_type;

typedef enum param_control {
    PARAMCTRL_RDONLY = 0,
    PARAMCTRL_WRONLY = 1,
    PARAMCTRL_RDWR = 2,          /* read-write, saved in the store */
    PARAMCTRL_RDWR_NOPERSIST = 3 /* read-write, not saved */
} param_control;

typedef enum param_set_result { PARAM_SET_SUCCESS = 0, PARAM_SET_FAILURE = 1 } param_set_result;

typedef enum param_depth {
    PARAM_DEPTH_NONE = 0, /* the node alone */
    PARAM_DEPTH_ONE = 1,  /* the node and its children, child lists without theirs */
    PARAM_DEPTH_ALL = 2   /* the whole subtree */
} param_depth;

/* ---- callbacks (p is the node) ---- */
typedef const char *(*kd_param_helpf)(param_context *p);
typedef int (*kd_param_get_number)(param_context *p);
typedef const char *(*kd_param_get_string)(param_context *p);
/* A table of texts ended by a null entry. */
typedef const char **(*kd_param_get_strtable)(param_context *p);
typedef param_set_result (*kd_param_set)(param_context *p, const char *text);

/* ---- operations records: read through `value`, write through `set` ----
 * `set` is the framework's wrapper: it calls the owner's setter with the
 * text, then emits "on_param_update" unless the node is manually notified,
 * whatever the setter answered, and returns the setter's answer. Without an
 * owner's setter a set answers PARAM_SET_SUCCESS and changes nothing. */
typedef struct param_number_ops {
    kd_param_get_number value;
    kd_param_set set;
    kd_param_get_number max;
    kd_param_get_number min;
    kd_param_get_number step;
} param_number_ops;

typedef struct param_string_ops {
    kd_param_get_string value;
    kd_param_set set;
} param_string_ops;

typedef struct param_choice_ops {
    kd_param_get_string value; /* the current choice's text */
    kd_param_set set;
    kd_param_get_strtable choices;
} param_choice_ops;

typedef struct param_set_ops {
    kd_param_get_string value;
    kd_param_set set;
    kd_param_get_strtable options;
} param_set_ops;

/* ---- service ---- */
/* Both answer 0. */
KD_API int kd_param_init(void) KD_NOEXCEPT;
KD_API int kd_param_fini(void) KD_NOEXCEPT;

/* ---- roots ----
 * The owner's root list, made at the first call: labelled with the
 * plug-in's name (route: that name as a key), or "Frame" with the route
 * "frame" for a null owner. A plug-in's root is also kept in its
 * plugin_load_info's top_param. Later calls return the existing root.
 * Null on failure. */
KD_API param_context *kd_param_create_cfg(plugin_load_info *pli) KD_NOEXCEPT;
/* The owner's root once it exists, else null. */
KD_API param_context *kd_param_get_cfg(plugin_load_info *pli) KD_NOEXCEPT;
/* Turns the plug-in's root (and with it its whole subtree) into a
 * placeholder and clears its top_param; used by plug-in unload. */
KD_API void kd_param_remove_cfg(plugin_load_info *pli);

/* ---- constructors ----
 * `list` is the parent (a list or table; null for a root-level node), `key`
 * may be null to derive it from `label`. Each returns the new node, or null
 * (logged) for a key holding "/", an empty key, a route that is too long or
 * a route that already holds a live node. `data` is the creator's user
 * data; a registered reference gains a count that the node drops when it is
 * freed, a plain pointer is kept as it is. */
KD_API param_context *kd_param_alloc_list(param_context *list, const char *key, const char *label,
                                          kd_param_helpf help) KD_NOEXCEPT;
KD_API param_context *kd_param_alloc_table(param_context *list, const char *key, const char *label,
                                           kd_param_helpf help) KD_NOEXCEPT;
/* A row (a list) of a table. A label holding "%d" (or a null label, which
 * means "Row %d") names rows automatically: the first "%d" is replaced by
 * the lowest row number whose route is free (Row 0, Row 1, ... with keys
 * row_0, row_1, ...); numbers freed by kd_param_list_delete_index are used
 * again. Any other label names the row as it is. A "/" in a key derived
 * from a row label becomes "_", so user text in labels cannot make a row
 * vanish; a key given with "/" is still refused. Labels are cut to 99
 * characters. */
KD_API param_context *kd_param_alloc_row(param_context *table, const char *key,
                                         const char *label) KD_NOEXCEPT;
KD_API param_context *kd_param_alloc_number(param_context *list, const char *key, const char *label,
                                            param_control readwrite, kd_param_helpf help,
                                            kd_param_get_number value, kd_param_get_number min,
                                            kd_param_get_number max, kd_param_get_number step,
                                            kd_param_set set, void *data) KD_NOEXCEPT;
KD_API param_context *kd_param_alloc_string(param_context *list, const char *key, const char *label,
                                            param_control readwrite, kd_param_helpf help,
                                            kd_param_get_string value, kd_param_set set,
                                            void *data) KD_NOEXCEPT;
KD_API param_context *kd_param_alloc_choice(param_context *list, const char *key, const char *label,
                                            param_control readwrite, kd_param_helpf help,
                                            kd_param_get_string value,
                                            kd_param_get_strtable choices, kd_param_set set,
                                            void *data) KD_NOEXCEPT;
KD_API param_context *kd_param_alloc_set(param_context *list, const char *key, const char *label,
                                         param_control readwrite, kd_param_helpf help,
                                         kd_param_get_string value, kd_param_get_strtable options,
                                         kd_param_set set, void *data) KD_NOEXCEPT;
/* Indexes a node under its route and emits "on_param_insert" (every
 * constructor calls it). -1 when a live node already holds the route. */
KD_API int kd_param_insert_route(param_context *p) KD_NOEXCEPT;

/* ---- deletion (each deleted node becomes a placeholder) ----
 * Order of events for a deleted list: "on_param_remove" for it,
 * "on_param_free" for it and then each descendant (depth first), then
 * "on_param_insert" for its placeholder. */
KD_API void kd_param_delete(param_context *p) KD_NOEXCEPT;
/* For a table, the next automatic row reuses the lowest freed number. */
KD_API void kd_param_list_delete_index(param_context *list, unsigned int index) KD_NOEXCEPT;
/* Every child; a table's row numbering restarts at 0. */
KD_API void kd_param_list_delete_children(param_context *list) KD_NOEXCEPT;

/* ---- navigation and plain accessors ---- */
KD_API param_type kd_param_get_type(param_context *p) KD_NOEXCEPT;   /* PARAMTYPE_NONE for null */
KD_API const char *kd_param_get_scope(param_context *p) KD_NOEXCEPT; /* the route */
KD_API const char *kd_param_get_label(param_context *p) KD_NOEXCEPT;
KD_API param_control kd_param_get_readwrite(param_context *p) KD_NOEXCEPT;
KD_API const char *kd_param_get_readwrite_string(param_context *p) KD_NOEXCEPT;
KD_API void *kd_param_get_userdata(param_context *p) KD_NOEXCEPT;
/* The help callback's text (the reader releases it), or null. */
KD_API const char *kd_param_get_help(param_context *p) KD_NOEXCEPT;
KD_API const char *kd_param_get_type_name(param_type type) KD_NOEXCEPT;
/* Exact lookup, placeholders included; null when absent. */
KD_API param_context *kd_param_get_by_route(const char *route) KD_NOEXCEPT;
/* Children of a list or table, placeholders included; (size_t)-1 for a
 * null node or anything else. */
KD_API size_t kd_param_list_count(param_context *p) KD_NOEXCEPT;
/* The i-th child; a negative i counts from the end (-1 is the last). */
KD_API param_context *kd_param_list_index(param_context *p, int i) KD_NOEXCEPT;
KD_API size_t kd_param_paramtable_row_count(param_context *table) KD_NOEXCEPT;
KD_API param_context *kd_param_paramtable_row(param_context *table, size_t row) KD_NOEXCEPT;
KD_API size_t kd_param_paramtable_col_count(param_context *table, size_t row) KD_NOEXCEPT;
KD_API param_context *kd_param_paramtable_cell(param_context *table, size_t row,
                                               size_t col) KD_NOEXCEPT;
/* 1 when `parent` is an ancestor of `child` (a null parent is an ancestor
 * of every node), else 0. */
KD_API int kd_param_is_related(param_context *parent, param_context *child) KD_NOEXCEPT;
KD_API void kd_param_print_sizes(void) KD_NOEXCEPT;

/* Calls fn(node, ctx) for `p` and every live node below it, depth first
 * in list order (p null: every root); placeholders are skipped. A negative
 * answer stops the visit and is returned; otherwise 0. Synchronous: do not
 * delete nodes from inside fn. */
typedef int (*kd_param_visit_cb)(param_context *p, void *ctx);
KD_API int kd_param_visit(param_context *p, kd_param_visit_cb fn, void *ctx) KD_NOEXCEPT;

/* ---- values ---- */
/* The node's record when its type matches, else null. */
KD_API param_number_ops *kd_param_get_number_ops(param_context *p) KD_NOEXCEPT;
KD_API param_string_ops *kd_param_get_string_ops(param_context *p) KD_NOEXCEPT;
KD_API param_choice_ops *kd_param_get_choice_ops(param_context *p) KD_NOEXCEPT;
KD_API param_set_ops *kd_param_get_set_ops(param_context *p) KD_NOEXCEPT;
/* A leaf's current value as a new text from malloc (the caller frees it):
 * a number in decimal, the other kinds as their value callback gives it.
 * Null for lists, tables, placeholders and leaves without a value. */
KD_API char *kd_param_get_value_text(param_context *p) KD_NOEXCEPT;

/* Access change. -1 with kd_errno KD_ERR_PARAM_CONTROL_INVALID for a value
 * outside 0..3, or KD_ERR_PARAM_CONTROL_RDONLY for anything but
 * PARAMCTRL_RDONLY on a list, table or placeholder. A leaf's change emits
 * "on_param_update". */
KD_API int kd_param_set_readwrite(param_context *p, param_control rw) KD_NOEXCEPT;
/* With manual notify on, sets emit nothing; the owner calls
 * kd_param_notify when it sees fit. */
KD_API int kd_param_set_manual_notify(param_context *p, bool on) KD_NOEXCEPT;
KD_API void kd_param_notify(param_context *p) KD_NOEXCEPT;
/* For owners whose values change without a set: polls the leaf every
 * max(interval, 3.0) s (first poll at once) and emits "on_param_update"
 * when its value text (first 39 characters) changed. Stops when the node is
 * freed. Lists, tables and placeholders are ignored. */
KD_API void kd_param_init_auto_notify(param_context *p, double interval) KD_NOEXCEPT;

/* ---- queries ----
 * Every node whose route begins with `query`, searching down only through
 * lists and tables whose route is a prefix of the query (a match's own
 * children are not searched): "mcastfwdr/out" matches "mcastfwdr/outputs"
 * and "mcastfwdr/out_x"; "mcastfwdr/" matches the root's children; ""
 * matches every root. Trailing stars are removed from the caller's text
 * first and set *depth (may be null): one "*" PARAM_DEPTH_ONE, two
 * PARAM_DEPTH_ALL, none PARAM_DEPTH_NONE.
 * The result is a list labelled "Search" with an empty route holding copies
 * of the matches (sharing their callbacks, user data and children); a set
 * through a copy calls the owner's setter with the copy. Release it with
 * kd_ref_free_safe. */
KD_API param_context *kd_param_get_query_list(char *query, param_depth *depth) KD_NOEXCEPT;
KD_API void kd_param_free_query_result(void *result) KD_NOEXCEPT;

/* ---- walks ----
 * kd_param_print_params reports `p` and, as far as `depth` reaches, its
 * subtree: cb before a node's children, cb_footer after them (a leaf: right
 * after cb), each with the node's depth (children of a list walked at
 * PARAM_DEPTH_ONE get PARAM_DEPTH_NONE). A query result (empty route) is
 * not reported itself, only its members. One pass reports at most
 * max_param_prints nodes; the rest follows at later idle passes of the loop
 * (the tree may change in between: a deleted subtree is skipped), and
 * cb_finish(ctx) runs once at the end. Answers 0, or -1 when the first
 * pass failed (a negative cb_footer answer for `p`, or for a member of a
 * query result); cb_finish then does not run. */
typedef int (*param_void_depth_cb)(param_context *p, void *ctx, param_depth depth);
typedef int (*param_finish_cb)(void *ctx);
KD_API extern int max_param_prints;
KD_API int kd_param_print_params(param_context *p, param_depth depth, param_void_depth_cb cb,
                                 param_void_depth_cb cb_footer, param_finish_cb cb_finish,
                                 void *ctx) KD_NOEXCEPT;

KD_END_DECLS

#endif
