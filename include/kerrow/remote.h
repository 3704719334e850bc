/* Remote sockets and sessions.
 *
 * The remote service opens the sockets a plug-in needs (TCP and unix-domain
 * servers, TCP clients, character devices, UDP senders and receivers with
 * multicast) and hangs them on the framework's loop: the plug-in supplies an
 * on_connect and an on_msg_in callback and reads the descriptor itself.
 * At most 50 watchers exist at once for the whole framework; a registration
 * whose watchers do not fit closes its descriptor and answers -1.
 *
 * Paths given to the service are used as given: callers resolve fixed
 * platform paths through kd_path() first.
 *
 * Sessions: a table of outstanding request/reply dialogues keyed by a one-byte
 * id (10 to 255), with time-outs and retries driven by the owner's periodic
 * kd_remote_maintain_session_context, and batches that start a group of
 * requests together and report once when the last one ends.
 *
 * Everything here is for the loop thread only. */
#ifndef KERROW_REMOTE_H
#define KERROW_REMOTE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

/* Seconds of loop time (kd_frame_now). Other headers may repeat this
 * identical typedef (C11 and C++ accept that). */
typedef double kd_frame_tstamp;

/* ---- sockets ---- */

enum { RTYPE_SOCKET = 0, RTYPE_DEVICE = 1 };

/* The caller's record; it must outlive the sockets registered with it.
 * Callback results are not used. */
typedef struct kd_remote_ops {
    int rtype;                              /* written by the service */
    int (*on_connect)(int fd, void *ctx);   /* connection made (client) or accepted (server, ctx null) */
    int (*on_msg_in)(int fd, void *ctx);    /* fd readable; the callee reads */
} kd_remote_ops;

/* TCP listening socket on every local address for `service` (port text). */
KD_API int kd_remote_register_server(const char *service, kd_remote_ops *ops);
/* Unix stream listening socket at `path`; a file left at `path` is removed. */
KD_API int kd_remote_register_server_un(const char *path, kd_remote_ops *ops);
/* Non-blocking TCP connect; on_connect(fd, ctx) runs once the connect has
 * finished, successfully or not (the callee reads SO_ERROR). */
KD_API int kd_remote_register_client(const char *node, const char *service, kd_remote_ops *ops,
                                     void *ctx);
/* A character device (or FIFO) opened read-write, non-blocking. */
KD_API int kd_remote_register_client_device(const char *path, kd_remote_ops *ops, void *ctx);
/* UDP socket bound to group:service, receive buffer `bufsize`, member of
 * the group. `ops` may be null (no watcher, no context). */
KD_API int kd_remote_join_mcast(const char *group, const char *service, kd_remote_ops *ops,
                                void *ctx, int bufsize);

/* ---- resolved IPv4 addresses ----
 * A record is zeroed, or initialised by kd_remote_addr_init, before any call;
 * kd_remote_addr_init may be called again on an initialised record (the old
 * address is released). */
typedef struct remote_addr {
    struct sockaddr *addr;  /* heap copy of a struct sockaddr_in, null when unresolved */
    socklen_t addrlen;
    bool is_mcast;          /* first octet 224 to 239 */
    char *addrstr;          /* heap copy of the host text as given */
} remote_addr;

/* `service` may be null (port 0). 0, or -1 when the host does not resolve to
 * an IPv4 address. */
KD_API int kd_remote_addr_init(remote_addr *ra, const char *hostorip, const char *service);
KD_API void kd_remote_addr_fini(remote_addr *ra);
/* -1 without an address or with a port outside 1 to 65535. */
KD_API int kd_remote_addr_set_port(remote_addr *ra, int port);
KD_API bool kd_remote_addr_is_mcast(const remote_addr *ra);
KD_API bool kd_remote_addr_has_addr(const remote_addr *ra);
KD_API bool kd_remote_addr_is_any_local(const remote_addr *ra);   /* 0.0.0.0 */
KD_API bool kd_remote_addr_is_empty(const remote_addr *ra);       /* 255.255.255.255, the unset address */
KD_API bool kd_remote_addr_is_name(const remote_addr *ra);        /* the text starts with a letter */
/* The dotted address in addrbuf, or null when there is none or it does not fit. */
KD_API char *kd_remote_addr_get_addr(const remote_addr *ra, char *addrbuf, size_t len);

/* ---- UDP ----
 * Senders connect to their destination and set the send buffer; receivers
 * bind and set the receive buffer (forced past the system limit where the
 * process may). `ops` may be null. Each answers the descriptor or -1. */

/* With a node: a sender to node:service. Without (null): a receiver bound to
 * the port on every local address. */
KD_API int kd_remote_register_client_dgram(const char *node, const char *service,
                                           kd_remote_ops *ops, void *ctx, int bufsize);
/* A sender to `ra`; 0.0.0.0 is refused. */
KD_API int kd_remote_register_client_dgram_ra(const remote_addr *ra, kd_remote_ops *ops, void *ctx,
                                              int bufsize);
/* A receiver: on a multicast group it binds the group's port on every
 * address and joins the group; on 0.0.0.0 or a local unicast address it
 * binds that address and port. 255.255.255.255 is refused. */
KD_API int kd_remote_register_server_dgram_ra(const remote_addr *ra, kd_remote_ops *ops, void *ctx,
                                              int bufsize);
/* Membership of the dotted IPv4 `group` on the default interface: 0, or -1
 * when the text is not an address or the system refuses. The socket is never
 * closed here. */
KD_API int kd_remote_dgram_join_mcast(int fd, const char *group);
KD_API int kd_remote_dgram_leave_mcast(int fd, const char *group);

/* Stops every watcher of fd, forgets its context and closes it; 0. */
KD_API int kd_remote_close(int fd);
/* The context stored at registration, or null. */
KD_API void *kd_remote_get_context(int fd);

/* ---- sessions ---- */

enum {
    REMOTE_SESSION_FIRST_SID = 10,  /* ids 0 to 9 are never used */
    REMOTE_SESSION_SLOTS = 246,     /* ids 10 to 255 */
    SESSION_BATCH_MAX = 20
};

typedef struct remote_session_context remote_session_context;
typedef struct remote_session_req remote_session_req;
typedef struct session_batch session_batch;

typedef int (*remote_session_on_rep)(remote_session_req *req, const uint8_t *msg, int len);
typedef int (*remote_session_on_timeout)(remote_session_req *req);
typedef int (*remote_session_on_retry)(remote_session_req *req);
typedef int (*session_batch_on_final)(void *final_ctx);

/* One request; owned by its table while its slot holds it. */
struct remote_session_req {
    uint8_t sid;
    uint8_t *query;         /* private copy of the request bytes */
    int qlen;
    remote_session_on_rep on_rep;
    remote_session_on_timeout on_timeout;
    remote_session_on_retry on_retry;  /* resends; it must not release its own request */
    void *data;             /* the owner's */
    void *ctx;              /* the owner's */
    remote_session_context *sc;
    kd_frame_tstamp tstamp; /* loop time of the last (re)send; 0 while not running */
    kd_frame_tstamp timeout;
    int max_retries;        /* a request is retried max_retries - 1 times */
    int retries;
};

/* One request table; owned by its creator. */
struct remote_session_context {
    uint8_t next_sid;       /* where the search for a free id starts */
    remote_session_req *sessions[REMOTE_SESSION_SLOTS]; /* id n in slot n - 10 */
    int session_count;      /* requests created */
    int timeout_count;      /* expiries seen by maintenance */
    kd_frame_tstamp default_timeout;
};

/* A group of requests started together. */
struct session_batch {
    char *name;
    int self_destruct;      /* free the batch once it has reported */
    remote_session_req *pending_sessions[SESSION_BATCH_MAX];
    unsigned pending_count;
    unsigned complete_count;
    session_batch *next;    /* started when this one ends */
    session_batch_on_final on_final;
    void *final_ctx;
    kd_frame_tstamp start_tstamp;
    kd_frame_tstamp end_tstamp;
    plugin_load_info *pli;  /* the owner; null: the batch logs nothing */
    int started;            /* set by session_batch_start */
};

KD_API remote_session_context *kd_remote_allocate_session_context(void);
/* Runs on_timeout of every request still held, releases them, frees sc. */
KD_API void kd_remote_free_session_context(remote_session_context *sc);
KD_API int kd_remote_session_context_get_session_count(const remote_session_context *sc);
KD_API int kd_remote_session_context_get_timeout_count(const remote_session_context *sc);
KD_API int kd_remote_session_context_set_default_timeout(remote_session_context *sc,
                                                         kd_frame_tstamp seconds);
/* A free id; with every slot taken, an id in use (new_session_req then fails). */
KD_API uint8_t kd_remote_next_session(remote_session_context *sc);
/* A running request in slot sid with a copy of the query; null when sid is
 * below 10 or taken. */
KD_API remote_session_req *kd_remote_new_session_req(remote_session_context *sc, uint8_t sid,
                                                     const void *query, int qlen,
                                                     remote_session_on_rep on_rep,
                                                     remote_session_on_timeout on_to);
KD_API remote_session_req *kd_remote_lookup_session(remote_session_context *sc, uint8_t sid);
/* Empties the slot and frees the request (a batch still holding it lets go). */
KD_API int kd_remote_release_session(remote_session_context *sc, remote_session_req *req);
/* Expires, retries and releases running requests whose time is up. */
KD_API void kd_remote_maintain_session_context(remote_session_context *sc);
/* Writes the query to fd (send on a socket, write otherwise); their result. */
KD_API int kd_remote_send_req(int fd, remote_session_req *req);
KD_API int kd_remote_session_set_timeout(remote_session_req *req, kd_frame_tstamp seconds);
KD_API int kd_remote_session_init_retry(remote_session_req *req, int max_retries,
                                        remote_session_on_retry on_retry);

/* ---- session batches ----
 * Appending takes over the request's ctx and callbacks until it ends (its
 * own are given back before they are called). Failures answer -1 with
 * kd_errno KD_ERR_FULL, KD_ERR_INVALID, KD_ERR_IN_PROGRESS or
 * KD_ERR_DUPLICATE and leave the batch unchanged. */
KD_API session_batch *session_batch_ctor(const char *name, int self_destruct,
                                         plugin_load_info *pli);
/* Gives pending requests back their own ctx and callbacks; frees the batch. */
KD_API void session_batch_dtor(session_batch *sb);
KD_API int session_batch_append_session(session_batch *sb, remote_session_req *req);
/* Sends every pending request through its on_retry. An empty batch ends at
 * once; a self-destructing batch may be gone when this returns. */
KD_API int session_batch_start(session_batch *sb);
KD_API int session_batch_set_next(session_batch *sb, session_batch *next);
KD_API session_batch *session_batch_get_next(const session_batch *sb);
KD_API int session_batch_set_on_final(session_batch *sb, session_batch_on_final fn, void *ctx);
KD_API unsigned session_batch_get_pending_count(const session_batch *sb);
KD_API unsigned session_batch_get_complete_count(const session_batch *sb);
KD_API const char *session_batch_get_name(const session_batch *sb);
KD_API int session_batch_is_self_destruct(const session_batch *sb);
KD_API int session_batch_set_self_destruct(session_batch *sb, int self_destruct);
KD_API kd_frame_tstamp session_batch_get_elapsed(const session_batch *sb);

KD_END_DECLS

#endif
