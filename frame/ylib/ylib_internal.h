// Helpers shared by the hand-over and value types, whose records are plain
// C structs handed out across the library boundary.
#pragma once

#include <pthread.h>

#include <cstdlib>

namespace kd {

// A pthread mutex kept in a plain C record, usable with std::lock_guard.
struct pthread_lock {
    pthread_mutex_t &m;
    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
};

// A zeroed record with zeroed storage of n elements of elem_size bytes,
// both from calloc (the destructors free them); null when either fails.
template <typename Rec, typename Elem>
Rec *calloc_record(Elem *Rec::*storage, size_t n, size_t elem_size = sizeof(Elem))
{
    auto *r = static_cast<Rec *>(calloc(1, sizeof(Rec)));
    if (!r)
        return nullptr;
    r->*storage = static_cast<Elem *>(calloc(n, elem_size));
    if (!(r->*storage)) {
        free(r);
        return nullptr;
    }
    return r;
}

} // namespace kd
