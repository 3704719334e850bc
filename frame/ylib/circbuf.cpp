// Circular byte buffer whose blocks are never split.
//
// Both offsets are guarded by cb_mutex. The lock is taken by get_write /
// get_read and released by the matching advance or unlock, so it spans two
// calls and cannot be a scoped guard there.
//
// Equal offsets are ambiguous: the ring is either empty or completely used.
// Who moved last settles it: a reader that catches up with the writer has
// emptied the ring, a writer that catches up with the reader has filled it.
#include "ylib_internal.h"

#include <kerrow/frame.h>
#include <kerrow/pipe.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace {

enum class mover { writer, reader };

// Free-space check after a move (lock held): -1 and KD_ERR_OVERFLOWING when
// a further block of buf_max_write bytes might no longer fit.
int check_space(const kd_circbuf *cb, mover who)
{
    size_t w = cb->buf_idx_w, r = cb->buf_idx_r, used;
    if (r < w)
        used = w - r;
    else if (r > w)
        used = w + cb->buf_size - r;
    else
        used = who == mover::writer ? cb->buf_size : 0;
    if (cb->buf_size - used <= cb->buf_max_write) {
        kd_errno = KD_ERR_OVERFLOWING;
        return -1;
    }
    return 0;
}

// Moves *offset forward by n, then unlocks.
int advance(kd_circbuf *cb, size_t *offset, size_t n, int check, mover who)
{
    int rc = 0;
    if (n > cb->buf_max_write) {
        kd_errno = KD_ERR_OUT_OF_BOUNDS;
        rc = -1;
    } else {
        *offset += n;
        if (*offset >= cb->buf_size)
            *offset = 0; // the block's tail sits in the spare area
        if (check)
            rc = check_space(cb, who);
    }
    pthread_mutex_unlock(&cb->cb_mutex);
    return rc;
}

} // namespace

extern "C" kd_circbuf *kd_circbuf_ctor(size_t size, size_t max_block)
{
    if (size == 0 || max_block == 0 || size + max_block < size)
        return nullptr;
    auto *cb = kd::calloc_record(&kd_circbuf::buf, size + max_block);
    if (!cb)
        return nullptr;
    cb->buf_size = size;
    cb->buf_max_write = max_block;
    pthread_mutex_init(&cb->cb_mutex, nullptr);
    return cb;
}

extern "C" int kd_circbuf_dtor(kd_circbuf *cb)
{
    if (!cb)
        return 0;
    pthread_mutex_destroy(&cb->cb_mutex);
    free(cb->buf);
    free(cb);
    return 0;
}

extern "C" unsigned char *kd_circbuf_get_write(kd_circbuf *cb)
{
    if (!cb)
        return nullptr;
    pthread_mutex_lock(&cb->cb_mutex);
    return cb->buf + cb->buf_idx_w;
}

extern "C" unsigned char *kd_circbuf_get_read(kd_circbuf *cb)
{
    if (!cb)
        return nullptr;
    pthread_mutex_lock(&cb->cb_mutex);
    return cb->buf + cb->buf_idx_r;
}

extern "C" int kd_circbuf_inc_write(kd_circbuf *cb, size_t n, int check)
{
    return cb ? advance(cb, &cb->buf_idx_w, n, check, mover::writer) : -1;
}

extern "C" int kd_circbuf_inc_read(kd_circbuf *cb, size_t n, int check)
{
    return cb ? advance(cb, &cb->buf_idx_r, n, check, mover::reader) : -1;
}

extern "C" int kd_circbuf_set_read(kd_circbuf *cb, const unsigned char *pos, int check)
{
    if (!cb)
        return -1;
    // Compared as addresses: pos may point anywhere.
    auto base = reinterpret_cast<uintptr_t>(cb->buf), at = reinterpret_cast<uintptr_t>(pos);
    if (at < base || at - base > cb->buf_size) {
        kd_errno = KD_ERR_OUT_OF_BOUNDS;
        return -1;
    }
    kd::pthread_lock m{cb->cb_mutex};
    std::lock_guard lock(m);
    size_t off = at - base;
    cb->buf_idx_r = off == cb->buf_size ? 0 : off;
    return check ? check_space(cb, mover::reader) : 0;
}

extern "C" void kd_circbuf_unlock_rdwr(kd_circbuf *cb)
{
    if (cb)
        pthread_mutex_unlock(&cb->cb_mutex);
}

extern "C" size_t kd_circbuf_get_max_block_size(kd_circbuf *cb) { return cb ? cb->buf_max_write : 0; }

extern "C" size_t kd_circbuf_get_total(kd_circbuf *cb) { return cb ? cb->buf_size : 0; }
