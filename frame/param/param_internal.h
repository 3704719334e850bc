// The parameter tree's node record and the helpers its files share.
// Loop thread only: nothing here takes a lock.
#pragma once

#include <kerrow/param.h>

#include <memory>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

struct param_context;

namespace kd::param {

// A list's or table's children in creation order. Nodes live on the heap and
// never move, so pointers to them stay valid until they are freed.
using ChildList = std::vector<std::unique_ptr<param_context>>;

// A counted handle on a child list: a list node and the query copies made of
// it hold the same one. (Loop thread only; std::shared_ptr would export its
// type information from the library.)
class ChildRef {
public:
    ChildRef() = default;
    static ChildRef make()
    {
        ChildRef r;
        r.box_ = new Box;
        return r;
    }
    ChildRef(const ChildRef &o) : box_(o.box_)
    {
        if (box_)
            ++box_->refs;
    }
    ChildRef &operator=(const ChildRef &o)
    {
        ChildRef t(o);
        std::swap(box_, t.box_);
        return *this;
    }
    ~ChildRef() { reset(); }
    void reset()
    {
        if (box_ && --box_->refs == 0)
            delete box_;
        box_ = nullptr;
    }
    ChildList *get() const { return box_ ? &box_->list : nullptr; }
    ChildList &operator*() const { return box_->list; }
    ChildList *operator->() const { return &box_->list; }
    explicit operator bool() const { return box_ != nullptr; }

private:
    struct Box {
        ChildList list;
        int refs = 1;
    };
    Box *box_ = nullptr;
};

// Decimal text of a number (std::to_string would export a table).
std::string decimal(long long v);

} // namespace kd::param

// One node. Fields follow the public description's order; the bookkeeping
// after `parent` is this implementation's own.
struct param_context {
    param_type type = PARAMTYPE_NONE;
    std::string scope; // the route
    std::string label;
    param_control readwrite = PARAMCTRL_RDONLY;
    bool manual_notify = false;
    // Last value text seen by automatic notification (at most 39 chars).
    bool has_auto_notify_filter = false;
    std::string auto_notify_filter;
    void *userdata = nullptr; // holds a count when it is a registered reference
    size_t row_index = 0;     // tables: next row number to try
    kd_param_helpf help = nullptr;
    // Lists and tables: the child list. Shared with query-result copies, which
    // then see it emptied when the node is freed, never dangling.
    kd::param::ChildRef children;
    union Ops {
        param_number_ops number;
        param_string_ops string;
        param_choice_ops choice;
        param_set_ops set;
    } ops{};
    kd_param_set set_func = nullptr;
    param_context *parent = nullptr;

    // The list holding this node (the parent's children or the top-level
    // list); null for query results and their copies.
    kd::param::ChildList *home = nullptr;
    size_t pos_hint = 0;     // probable index in `home`; checked before use
    bool auto_timer = false; // an auto-notify timer named by the route runs
};

namespace kd::param {

const char *me();
bool ready();
// Roots and other nodes created without a parent (requires ready()).
const ChildList &top_list();

inline bool is_container(const param_context *p)
{
    return p && (p->type == PARAMTYPE_LIST || p->type == PARAMTYPE_TABLE);
}
inline bool is_leaf(const param_context *p)
{
    return p && p->type >= PARAMTYPE_NUMBER && p->type < PARAMTYPE_LAST;
}

// A "Search" list made by kd_param_get_query_list.
inline bool is_query_result(const param_context *p)
{
    return p && p->type == PARAMTYPE_LIST && p->scope.empty() && !p->home;
}

// The leaf's value as text; false when it has none (no value callback, or
// the callback gave no text). Numbers in decimal.
bool value_text(param_context *p, std::string &out);

// Called for every node being freed: a setter that deletes its own node (a
// "remove" action inside the row it removes) must not see it announced.
void note_freed(param_context *p);

// Stops the node's auto-notify timer, if it runs.
void stop_auto_notify(param_context *p);

// The framework's set wrapper and the callbacks used where a creator gave
// none.
param_set_result set_wrapper(param_context *p, const char *text) noexcept;
param_set_result generic_set(param_context *p, const char *text) noexcept;
const char **empty_table(param_context *p) noexcept;

// Walk continuation (param_walk.cpp).
void walk_init();
void walk_fini();

} // namespace kd::param
