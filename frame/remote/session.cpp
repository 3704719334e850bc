// Request/reply sessions keyed by a one-byte id, and batches that start a
// group of requests together and report once when the last one has ended.
//
// A batch takes over the ctx and the three callbacks of each request it
// holds (keeping the request's own in an sb_context), so that replies,
// time-outs and retries reach the batch first; the request gets its own back
// before its own callback runs.
#include "remote_internal.h"

#include <kerrow/log.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using kd::remote::me;

namespace {

constexpr int kFirstSid = REMOTE_SESSION_FIRST_SID;
constexpr int kLastSid = 255;

// session_batch.started: while the start sends, the batch cannot end yet.
constexpr int kStarting = 2;
constexpr int kRunning = 1;

struct sb_context {
    session_batch *sb;
    void *req_ctx;
    remote_session_on_timeout req_on_to;
    remote_session_on_rep req_on_rep;
    remote_session_on_retry req_on_retry;
};

remote_session_req *&slot(remote_session_context *sc, int sid) { return sc->sessions[sid - kFirstSid]; }

uint8_t after(int sid) { return static_cast<uint8_t>(sid >= kLastSid ? kFirstSid : sid + 1); }

int fail(int code)
{
    kd_errno = code;
    return -1;
}

int sb_on_rep(remote_session_req *req, const uint8_t *msg, int len);
int sb_on_timeout(remote_session_req *req);
int sb_on_retry(remote_session_req *req);

bool is_batched(const remote_session_req *req) { return req->on_rep == sb_on_rep; }

// Hands the request its own ctx and callbacks back and frees the batch's.
void give_back(remote_session_req *req)
{
    auto *sbc = static_cast<sb_context *>(req->ctx);
    req->ctx = sbc->req_ctx;
    req->on_rep = sbc->req_on_rep;
    req->on_timeout = sbc->req_on_to;
    req->on_retry = sbc->req_on_retry;
    std::free(sbc);
}

bool is_pending(const session_batch *sb, const remote_session_req *req)
{
    for (unsigned i = 0; i < sb->pending_count; ++i)
        if (sb->pending_sessions[i] == req)
            return true;
    return false;
}

// Takes the request out of the pending list (the last entry fills its place).
void unlink_pending(session_batch *sb, const remote_session_req *req)
{
    for (unsigned i = 0; i < sb->pending_count; ++i) {
        if (sb->pending_sessions[i] == req) {
            sb->pending_sessions[i] = sb->pending_sessions[--sb->pending_count];
            sb->pending_sessions[sb->pending_count] = nullptr;
            return;
        }
    }
}

void batch_end(session_batch *sb, bool after_reply)
{
    if (sb->next)
        session_batch_start(sb->next);
    sb->end_tstamp = kd_frame_now();
    if (sb->pli) {
        const char *owner = kd_frame_plugin_get_name(sb->pli);
        const double elapsed = session_batch_get_elapsed(sb);
        if (after_reply)
            KD_LOG(KD_LOG_NOTICE, "[%s] %s batch count %2d, elapsed %.4f\n", owner, sb->name,
                   static_cast<int>(sb->complete_count), elapsed);
        else
            KD_LOG(KD_LOG_NOTICE, "[%s] %s count %d, elapsed %f\n", owner, sb->name,
                   static_cast<int>(sb->complete_count), elapsed);
    }
    if (sb->on_final)
        sb->on_final(sb->final_ctx);
    if (sb->self_destruct)
        session_batch_dtor(sb);
}

// A batched request has ended: it leaves the batch with its own callbacks,
// `own` runs, and the batch ends when it was the last one.
template <typename Own> int complete(remote_session_req *req, bool after_reply, Own own)
{
    session_batch *sb = static_cast<sb_context *>(req->ctx)->sb;
    unlink_pending(sb, req);
    ++sb->complete_count;
    give_back(req);
    int rc = own(req);
    if (sb->started == kRunning && sb->pending_count == 0)
        batch_end(sb, after_reply);
    return rc;
}

int sb_on_rep(remote_session_req *req, const uint8_t *msg, int len)
{
    return complete(req, true, [&](remote_session_req *r) {
        return r->on_rep ? r->on_rep(r, msg, len) : 0;
    });
}

int sb_on_timeout(remote_session_req *req)
{
    return complete(req, false, [](remote_session_req *r) {
        return r->on_timeout ? r->on_timeout(r) : 0;
    });
}

// The request's own on_retry runs with its own ctx in place (it resends).
// The owner may have taken it away since the append (init_retry with null):
// then nothing is sent and the request runs on to its time-out.
int sb_on_retry(remote_session_req *req)
{
    auto *sbc = static_cast<sb_context *>(req->ctx);
    if (!sbc->req_on_retry)
        return 0;
    req->ctx = sbc->req_ctx;
    int rc = sbc->req_on_retry(req);
    req->ctx = sbc;
    return rc;
}

} // namespace

// ---- request table ----

extern "C" KD_API remote_session_context *kd_remote_allocate_session_context(void)
{
    auto *sc = static_cast<remote_session_context *>(std::calloc(1, sizeof(remote_session_context)));
    if (!sc)
        return nullptr;
    sc->next_sid = kFirstSid;
    sc->default_timeout = 1.0;
    return sc;
}

extern "C" KD_API void kd_remote_free_session_context(remote_session_context *sc)
{
    if (!sc)
        return;
    for (int sid = kFirstSid; sid <= kLastSid; ++sid) {
        remote_session_req *req = slot(sc, sid);
        if (!req)
            continue;
        if (req->on_timeout)
            req->on_timeout(req);
        if (slot(sc, sid) == req) // the callback may have released it already
            kd_remote_release_session(sc, req);
    }
    std::free(sc);
}

extern "C" KD_API int kd_remote_session_context_get_session_count(const remote_session_context *sc)
{
    return sc ? sc->session_count : 0;
}

extern "C" KD_API int kd_remote_session_context_get_timeout_count(const remote_session_context *sc)
{
    return sc ? sc->timeout_count : 0;
}

extern "C" KD_API int kd_remote_session_context_set_default_timeout(remote_session_context *sc,
                                                                    kd_frame_tstamp seconds)
{
    if (sc)
        sc->default_timeout = seconds;
    return 0;
}

extern "C" KD_API uint8_t kd_remote_next_session(remote_session_context *sc)
{
    if (!sc)
        return 0;
    const int start = sc->next_sid < kFirstSid ? kFirstSid : sc->next_sid;
    int sid = start;
    while (slot(sc, sid)) {
        sid = after(sid);
        if (sid == start)
            break; // every id is taken: the caller gets one in use
    }
    sc->next_sid = after(sid);
    return static_cast<uint8_t>(sid);
}

extern "C" KD_API remote_session_req *
kd_remote_new_session_req(remote_session_context *sc, uint8_t sid, const void *query, int qlen,
                          remote_session_on_rep on_rep, remote_session_on_timeout on_to)
{
    if (!sc || sid < kFirstSid || slot(sc, sid) || qlen < 0 || (qlen > 0 && !query))
        return nullptr;
    auto *req = static_cast<remote_session_req *>(std::calloc(1, sizeof(remote_session_req)));
    if (!req)
        return nullptr;
    if (qlen > 0) {
        req->query = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(qlen)));
        if (!req->query) {
            std::free(req);
            return nullptr;
        }
        std::memcpy(req->query, query, static_cast<size_t>(qlen));
    }
    req->sid = sid;
    req->qlen = qlen;
    req->on_rep = on_rep;
    req->on_timeout = on_to;
    req->sc = sc;
    req->tstamp = kd_frame_now();
    req->timeout = sc->default_timeout;
    slot(sc, sid) = req;
    ++sc->session_count;
    return req;
}

extern "C" KD_API remote_session_req *kd_remote_lookup_session(remote_session_context *sc,
                                                               uint8_t sid)
{
    if (sid < kFirstSid) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid session %d\n", me(), sid);
        return nullptr;
    }
    return sc ? slot(sc, sid) : nullptr;
}

extern "C" KD_API int kd_remote_release_session(remote_session_context *sc, remote_session_req *req)
{
    if (!req)
        return 0;
    if (is_batched(req)) {
        // Released while a batch still holds it: the batch lets go, and ends
        // if this was its last request, rather than keep a dangling pointer.
        session_batch *sb = static_cast<sb_context *>(req->ctx)->sb;
        unlink_pending(sb, req);
        ++sb->complete_count;
        give_back(req);
        if (sb->started == kRunning && sb->pending_count == 0)
            batch_end(sb, false);
    }
    if (sc && req->sid >= kFirstSid && slot(sc, req->sid) == req)
        slot(sc, req->sid) = nullptr;
    std::free(req->query);
    std::free(req);
    return 0;
}

extern "C" KD_API void kd_remote_maintain_session_context(remote_session_context *sc)
{
    if (!sc)
        return;
    const kd_frame_tstamp now = kd_frame_now();
    for (int sid = kFirstSid; sid <= kLastSid; ++sid) {
        remote_session_req *req = slot(sc, sid);
        if (!req || req->tstamp == 0 || now - req->tstamp <= req->timeout)
            continue;
        ++sc->timeout_count;
        if (req->on_retry && req->retries + 1 < req->max_retries) {
            ++req->retries;
            req->tstamp = now;
            req->on_retry(req);
            continue;
        }
        if (req->on_timeout)
            req->on_timeout(req);
        if (slot(sc, sid) == req) // the callback may have released it already
            kd_remote_release_session(sc, req);
    }
}

extern "C" KD_API int kd_remote_send_req(int fd, remote_session_req *req)
{
    if (!req || (req->qlen > 0 && !req->query))
        return -1;
    // The message type is the query's first two bytes, in this processor's order.
    uint16_t mt = 0;
    if (req->qlen > 0)
        std::memcpy(&mt, req->query, req->qlen < 2 ? 1 : 2);
    KD_LOG(KD_LOG_INFO, "[%s] Dest %d, req session %d, req mt %x\n", me(), fd, req->sid, mt);
    struct stat st;
    const size_t len = static_cast<size_t>(req->qlen);
    if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        return static_cast<int>(send(fd, req->query, len, MSG_NOSIGNAL)); // a gone peer is an error, not a signal
    return static_cast<int>(write(fd, req->query, len));
}

extern "C" KD_API int kd_remote_session_set_timeout(remote_session_req *req, kd_frame_tstamp seconds)
{
    if (req)
        req->timeout = seconds;
    return 0;
}

extern "C" KD_API int kd_remote_session_init_retry(remote_session_req *req, int max_retries,
                                                   remote_session_on_retry on_retry)
{
    if (!req)
        return 0;
    if (is_batched(req)) {
        // The batch keeps the request's own callback; it stays in front.
        static_cast<sb_context *>(req->ctx)->req_on_retry = on_retry;
    } else {
        req->on_retry = on_retry;
    }
    req->max_retries = max_retries;
    req->retries = 0;
    return 0;
}

// ---- batches ----

extern "C" KD_API session_batch *session_batch_ctor(const char *name, int self_destruct,
                                                    plugin_load_info *pli)
{
    auto *sb = static_cast<session_batch *>(std::calloc(1, sizeof(session_batch)));
    if (!sb)
        return nullptr;
    sb->name = strdup(name ? name : "");
    if (!sb->name) {
        std::free(sb);
        return nullptr;
    }
    sb->self_destruct = self_destruct;
    sb->pli = pli;
    return sb;
}

extern "C" KD_API void session_batch_dtor(session_batch *sb)
{
    if (!sb)
        return;
    for (unsigned i = 0; i < sb->pending_count; ++i)
        give_back(sb->pending_sessions[i]);
    std::free(sb->name);
    std::free(sb);
}

extern "C" KD_API int session_batch_append_session(session_batch *sb, remote_session_req *req)
{
    if (!sb || !req)
        return fail(KD_ERR_INVALID);
    if (sb->started)
        return fail(KD_ERR_IN_PROGRESS);
    if (is_batched(req)) // here or in another batch
        return fail(KD_ERR_DUPLICATE);
    if (sb->pending_count >= SESSION_BATCH_MAX)
        return fail(KD_ERR_FULL);
    if (!req->on_retry) // the batch sends its requests through it
        return fail(KD_ERR_INVALID);
    auto *sbc = static_cast<sb_context *>(std::malloc(sizeof(sb_context)));
    if (!sbc)
        return fail(KD_ERR_FULL);
    *sbc = sb_context{sb, req->ctx, req->on_timeout, req->on_rep, req->on_retry};
    req->ctx = sbc;
    req->on_rep = sb_on_rep;
    req->on_timeout = sb_on_timeout;
    req->on_retry = sb_on_retry;
    req->tstamp = 0; // maintenance leaves it alone until the batch starts
    sb->pending_sessions[sb->pending_count++] = req;
    return 0;
}

extern "C" KD_API int session_batch_start(session_batch *sb)
{
    if (!sb)
        return fail(KD_ERR_INVALID);
    if (sb->started)
        return fail(KD_ERR_IN_PROGRESS);
    sb->started = kStarting;
    sb->start_tstamp = kd_frame_now();
    // Sent from a copy: a callback may end requests while this runs, and the
    // batch ends (and may free itself) only once every request was sent.
    remote_session_req *reqs[SESSION_BATCH_MAX];
    const unsigned n = sb->pending_count;
    std::memcpy(reqs, sb->pending_sessions, n * sizeof reqs[0]);
    for (unsigned i = 0; i < n; ++i) {
        if (!is_pending(sb, reqs[i]))
            continue;
        reqs[i]->tstamp = sb->start_tstamp;
        sb_on_retry(reqs[i]);
    }
    sb->started = kRunning;
    if (sb->pending_count == 0)
        batch_end(sb, false);
    return 0;
}

extern "C" KD_API int session_batch_set_next(session_batch *sb, session_batch *next)
{
    if (sb)
        sb->next = next;
    return 0;
}

extern "C" KD_API session_batch *session_batch_get_next(const session_batch *sb)
{
    return sb ? sb->next : nullptr;
}

extern "C" KD_API int session_batch_set_on_final(session_batch *sb, session_batch_on_final fn,
                                                 void *ctx)
{
    if (sb) {
        sb->on_final = fn;
        sb->final_ctx = ctx;
    }
    return 0;
}

extern "C" KD_API unsigned session_batch_get_pending_count(const session_batch *sb)
{
    return sb ? sb->pending_count : 0;
}

extern "C" KD_API unsigned session_batch_get_complete_count(const session_batch *sb)
{
    return sb ? sb->complete_count : 0;
}

extern "C" KD_API const char *session_batch_get_name(const session_batch *sb)
{
    return sb ? sb->name : nullptr;
}

extern "C" KD_API int session_batch_is_self_destruct(const session_batch *sb)
{
    return sb ? sb->self_destruct : 0;
}

extern "C" KD_API int session_batch_set_self_destruct(session_batch *sb, int self_destruct)
{
    if (sb)
        sb->self_destruct = self_destruct;
    return 0;
}

extern "C" KD_API kd_frame_tstamp session_batch_get_elapsed(const session_batch *sb)
{
    return sb ? sb->end_tstamp - sb->start_tstamp : 0;
}
