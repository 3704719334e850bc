/* Batched UDP receiving and sending with recvmmsg and sendmmsg: receiver and
 * sender objects of ten message slots of 1500 bytes, a pool of datagram
 * buffers, and two lists that map a descriptor to its receiver or sender.
 *
 * A receiver or sender belongs to one thread at a time; the lists and the
 * pool take a lock of their own. Failures are posted through mcf_post_log. */
#ifndef MCF_MMSG_H
#define MCF_MMSG_H

/* struct mmsghdr needs _GNU_SOURCE (always on with g++). */
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { MMSG_BATCH = 10, MMSG_SLOT_LEN = 1500, MMSG_BUFS_SETS = 2501, MMSG_SOCK_BUF = 37500000 };

typedef struct mmsg_rx {
    int fd;
    struct sockaddr_in addr;
    struct ip_mreq mreq;
    struct mmsghdr msgs[MMSG_BATCH];
    struct iovec iovecs[MMSG_BATCH];
    struct timespec timeout;
    char *bufs[MMSG_BATCH];
    int msgs_recvd_total; /* messages in the current batch */
} mmsg_rx;

typedef struct mmsg_tx {
    int fd;
    struct sockaddr_in addr;
    struct mmsghdr msgs[MMSG_BATCH];
    struct iovec iovecs[MMSG_BATCH];
} mmsg_tx;

typedef struct mmsg_bufs {
    char *bufs[MMSG_BATCH]; /* MMSG_SLOT_LEN bytes each */
} mmsg_bufs;

/* ---- receiver ---- */
mmsg_rx *mmsg_rx_ctor(int fd);
mmsg_rx *mmsg_rx_ctor_from_ip(const char *group, int port);
int mmsg_rx_dtor(mmsg_rx *rx);
/* One recvmmsg into the slots not yet filled; the new batch total or -1. */
int mmsg_rx_recv(mmsg_rx *rx, int flags, char **bufs);
/* Fills a whole batch and checks every length: 10, or -1. */
int mmsg_rx_recv_blocking(mmsg_rx *rx, int flags, char **bufs);
int mmsg_rx_get_msgs_recvd(const mmsg_rx *rx);
int mmsg_rx_reset_msgs_recvd(mmsg_rx *rx);
char **mmsg_rx_get_bufs(mmsg_rx *rx);
int mmsg_rx_set_bufs(mmsg_rx *rx, char **bufs);
int mmsg_rx_get_fd(const mmsg_rx *rx);
int mmsg_rx_get_msg_len(const mmsg_rx *rx, int index);
int mmsg_rx_set_msg_len(mmsg_rx *rx, int index, int len);

/* ---- sender ---- */
mmsg_tx *mmsg_tx_ctor(int fd);
mmsg_tx *mmsg_tx_ctor_from_ip(const char *addr, int port);
int mmsg_tx_dtor(mmsg_tx *tx);
/* Sends count (1..10) datagrams of buf_len bytes from consecutive 1500-byte
 * slots of bufs with one sendmmsg: count when all went out, else -1. */
int mmsg_tx_send(mmsg_tx *tx, int flags, char *bufs, int buf_len, int count);
int mmsg_tx_get_fd(const mmsg_tx *tx);
int mmsg_tx_get_msg_len(const mmsg_tx *tx, int index);
int mmsg_tx_set_msg_len(mmsg_tx *tx, int index, int len);

/* A datagram length the forwarder accepts: whole 188-byte packets, or 12
 * more (an RTP header before them). */
int mmsg_len_is_valid(int len);

/* ---- buffer pool (37.5 MB, made on request) ---- */
int mmsg_bufs_init(void);
int mmsg_bufs_fini(void);
/* The next set, round robin over MMSG_BUFS_SETS; null before init. */
mmsg_bufs *mmsg_bufs_get_next(void);

/* ---- descriptor lists ---- */
int mmsg_list_rx_init(void);
int mmsg_list_rx_fini(void);
int mmsg_list_rx_add(int fd);
mmsg_rx *mmsg_list_rx_get(int fd);
int mmsg_list_rx_remove(int fd);
int mmsg_list_tx_ctor(void);
int mmsg_list_tx_dtor(void);
int mmsg_list_tx_add(int fd);
mmsg_tx *mmsg_list_tx_get(int fd);
int mmsg_list_tx_remove(int fd);

#ifdef __cplusplus
}
#endif

#endif
