// The forwarder's parameter pattern: every row is a table of leaf
// descriptors; the framework's callbacks find their descriptor by label and
// access, read the record through the parameter's user data, and pass
// parsed and checked values to the descriptor's applier.
//
// Appliers answer 0 (accepted or unchanged) or -1 (refused, record
// unchanged). A setter answers PARAM_SET_FAILURE for text that fails the
// number, range, step or choice test, and for an applier's refusal.
#pragma once

#include "cfg/mcf_limits.h"
#include "cfg/mcf_services.h"

#include <kerrow/param.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mcf::param {

// Bits of the record kinds a leaf belongs to (an input's ingress_type).
constexpr unsigned kind_bit(int kind) { return 1u << kind; }
constexpr unsigned kAllKinds = ~0u;

struct leaf {
    const char *label = nullptr;
    const char *key = nullptr; // null: derived from the label
    param_type type = PARAMTYPE_NUMBER;
    param_control rw = PARAMCTRL_RDONLY;
    unsigned kinds = kAllKinds;
    int32_t min = 0, max = 0, step = 1;   // NUMBER; step -1: no step test
    const char *const *choices = nullptr; // CHOICE, null-terminated
    // CHOICE whose legal texts depend on the record: built on each read (a
    // table made by fresh_choices, or a constant one). A leaf whose table is
    // fresh reads its value with `text`.
    const char **(*choices_of)(void *rec) = nullptr;
    const char *help = nullptr;
    double auto_notify = 0; // seconds; 0 none
    bool secret = false;    // STRING without a value; its text is never logged
    // Readers (user data = record).
    int (*number)(void *rec) = nullptr;
    const char *(*text)(void *rec) = nullptr; // STRING; CHOICE shown as a text
    int (*index)(void *rec) = nullptr;        // CHOICE: index into choices
    // Appliers.
    int (*apply_number)(void *rec, int32_t v) = nullptr;
    int (*apply_text)(void *rec, const char *v) = nullptr;
    int (*apply_choice)(void *rec, int idx, const char *text) = nullptr;
};

// The whole text as a signed 32-bit number: decimal, "0x" hexadecimal or
// leading-"0" octal, an optional sign; nothing else around it.
bool parse_int32(std::string_view text, int32_t *out);

// A choice table of its own for one reader: the texts in order and a null,
// in one block the reader releases with kd_ref_free_safe.
const char **fresh_choices(std::span<const std::string> texts);

// The descriptor of `p` in `table` (by label and access), or null.
const leaf *find(std::span<const leaf> table, param_context *p);

// The framework callbacks of one descriptor table.
int number_value(std::span<const leaf> t, param_context *p);
int number_min(std::span<const leaf> t, param_context *p);
int number_max(std::span<const leaf> t, param_context *p);
int number_step(std::span<const leaf> t, param_context *p);
const char *text_value(std::span<const leaf> t, param_context *p);
const char *choice_value(std::span<const leaf> t, param_context *p);
const char **choice_table(std::span<const leaf> t, param_context *p);
const char *help_text(std::span<const leaf> t, param_context *p);
param_set_result set_value(std::span<const leaf> t, param_context *p, const char *text);

// One set of framework callbacks per descriptor table (a row builder makes
// each leaf of its record's kind with make_leaf, in table order).
template <auto &Table> struct row_ops {
    static std::span<const leaf> t() { return Table; }
    static int value(param_context *p) { return number_value(t(), p); }
    static int min(param_context *p) { return number_min(t(), p); }
    static int max(param_context *p) { return number_max(t(), p); }
    static int step(param_context *p) { return number_step(t(), p); }
    static const char *text(param_context *p) { return text_value(t(), p); }
    static const char *choice(param_context *p) { return choice_value(t(), p); }
    static const char **choices(param_context *p) { return choice_table(t(), p); }
    static const char *help(param_context *p) { return help_text(t(), p); }
    static param_set_result set(param_context *p, const char *v) { return set_value(t(), p, v); }
};

struct callbacks {
    kd_param_get_number value, min, max, step;
    kd_param_get_string text, choice;
    kd_param_get_strtable choices;
    kd_param_helpf help;
    kd_param_set set;
};

template <auto &Table> constexpr callbacks callbacks_of()
{
    using o = row_ops<Table>;
    return {o::value, o::min, o::max, o::step, o::text, o::choice, o::choices, o::help, o::set};
}

// The row keyed "<prefix>_<id>" and labelled `label` under `table`, or null.
param_context *make_row(param_context *table, const char *prefix, int id, const char *label);

// The leaf made for `l` under `row`, or null.
param_context *make_leaf(param_context *row, const leaf &l, const callbacks &cb, void *rec);

// The sibling leaf with key `key` of `p`, or null.
param_context *sibling(param_context *p, const char *key);

// "on_param_update" for p (nothing for null).
void announce(param_context *p);

// A running output is rebuilt (deleted and made again from its record by
// the managers' sync) or has its tables regenerated (`what` says what
// changed, after `first` copied a setting into it), under ctrl_data_lock
// for writing; both only once the configuration is loaded, unless
// `before_load` says otherwise.
void rebuild_output(cfg_tx &tx);
void retable_output(cfg_tx &tx, int what, void (*first)(manager_output *, const cfg_tx &) = nullptr,
                    bool before_load = false);

// Saves the ids joined with "," under the plug-in's store key, whatever
// their number: the length of the text, or -1 when the store refuses it.
int save_id_list(const char *key, std::span<const int> ids);

// Logs why no row of `what` (a record kind, "Net input") was added for `id`
// (-1: the next free one): outside `range`, or every id of it taken.
void log_not_added(const char *what, int id, limits::id_range range);

// The store key listing one output's remaps: "mcastfwdr/pidmap_keys_<id>".
std::string pid_map_key(int output_id);

} // namespace mcf::param
