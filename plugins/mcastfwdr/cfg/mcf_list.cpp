// Pooled lists: nodes come from calloc because records are plain C structs
// that later code reaches by pointer; they are freed only by mcf_list_dtor.
#include "mcf_list.h"

#include <cstdlib>
#include <cstring>

namespace {

size_t next_offset(const mcf_list *l)
{
    const size_t a = alignof(void *);
    return (l->rec_size + a - 1) / a * a;
}
void *&next_of(const mcf_list *l, void *node)
{
    return *reinterpret_cast<void **>(static_cast<char *>(node) + next_offset(l));
}
size_t node_size(const mcf_list *l) { return next_offset(l) + sizeof(void *); }

void *new_node(mcf_list *l)
{
    void *n = l->pool;
    if (n) {
        l->pool = next_of(l, n);
        std::memset(n, 0, node_size(l));
        return n;
    }
    return std::calloc(1, node_size(l));
}

} // namespace

extern "C" mcf_list *mcf_list_ctor(size_t rec_size)
{
    auto *l = static_cast<mcf_list *>(std::calloc(1, sizeof(mcf_list)));
    if (!l)
        return nullptr;
    l->rec_size = rec_size ? rec_size : 1;
    l->head = l->tail = std::calloc(1, node_size(l));
    if (!l->head) {
        std::free(l);
        return nullptr;
    }
    return l;
}

extern "C" void mcf_list_dtor(mcf_list *l)
{
    if (!l)
        return;
    for (void *n = l->head; n;) {
        void *next = next_of(l, n);
        std::free(n);
        n = next;
    }
    for (void *n = l->pool; n;) {
        void *next = next_of(l, n);
        std::free(n);
        n = next;
    }
    std::free(l);
}

extern "C" void *mcf_list_append(mcf_list *l)
{
    if (!l)
        return nullptr;
    void *sentinel = new_node(l);
    if (!sentinel)
        return nullptr;
    void *rec = l->tail; // the old sentinel, zeroed, becomes the record
    next_of(l, rec) = sentinel;
    l->tail = sentinel;
    ++l->count;
    return rec;
}

extern "C" int mcf_list_remove(mcf_list *l, void *rec)
{
    if (!l || !rec || rec == l->tail)
        return -1;
    void *prev = nullptr;
    for (void *n = l->head; n != l->tail; prev = n, n = next_of(l, n)) {
        if (n != rec)
            continue;
        void *next = next_of(l, n);
        if (prev)
            next_of(l, prev) = next;
        else
            l->head = next;
        next_of(l, n) = l->pool;
        l->pool = n;
        --l->count;
        return 0;
    }
    return -1;
}

extern "C" void *mcf_list_next(const mcf_list *l, const void *rec)
{
    if (!l)
        return nullptr;
    void *n = rec ? next_of(l, const_cast<void *>(rec)) : l->head;
    return n == l->tail ? nullptr : n;
}

extern "C" unsigned mcf_list_count(const mcf_list *l) { return l ? l->count : 0; }
