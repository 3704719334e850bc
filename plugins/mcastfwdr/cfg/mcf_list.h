/* Pooled singly linked lists of fixed-size records.
 *
 * A node is the record (at offset 0, so a record pointer is its node
 * pointer) followed by the next pointer. The list always ends in a zeroed
 * sentinel node: appending turns the sentinel into the new record and hangs
 * a fresh sentinel behind it, so a record never moves while it is listed.
 * Removed nodes go to the pool and are handed out again, zeroed, by later
 * appends. Loop thread only (or under the control write lock). */
#ifndef MCF_LIST_H
#define MCF_LIST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mcf_list {
    void *head;      /* first node; the sentinel while empty */
    void *tail;      /* the sentinel */
    void *pool;      /* released nodes, chained through their next pointers */
    unsigned count;  /* records listed (the sentinel not counted) */
    size_t rec_size; /* bytes of one record */
} mcf_list;

/* A new empty list (a sentinel and nothing else), or null when memory is short. */
mcf_list *mcf_list_ctor(size_t rec_size);
/* Frees every node, the pool and the list; records are not finalised here. */
void mcf_list_dtor(mcf_list *l);
/* A zeroed record at the end of the list, or null when memory is short. */
void *mcf_list_append(mcf_list *l);
/* Unlinks the record and keeps its node in the pool: 0, or -1 when the
 * record is not in the list. */
int mcf_list_remove(mcf_list *l, void *rec);
/* The record after rec (rec null: the first), or null at the end. */
void *mcf_list_next(const mcf_list *l, const void *rec);
unsigned mcf_list_count(const mcf_list *l);

#ifdef __cplusplus
}

namespace mcf {
// Range over the records of a list, typed: for (cfg_rx &rx : records<cfg_rx>(l)).
template <class T> class records {
public:
    explicit records(const mcf_list *l) : l_(l) {}
    class iterator {
    public:
        iterator(const mcf_list *l, T *r) : l_(l), r_(r) {}
        T &operator*() const { return *r_; }
        T *operator->() const { return r_; }
        iterator &operator++()
        {
            r_ = static_cast<T *>(mcf_list_next(l_, r_));
            return *this;
        }
        bool operator!=(const iterator &o) const { return r_ != o.r_; }

    private:
        const mcf_list *l_;
        T *r_;
    };
    iterator begin() const { return {l_, l_ ? static_cast<T *>(mcf_list_next(l_, nullptr)) : nullptr}; }
    iterator end() const { return {l_, nullptr}; }

private:
    const mcf_list *l_;
};
} // namespace mcf
#endif

#endif
