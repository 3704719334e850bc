// KLV ingress: the "SVM:ingress-klv" thread receives each KLV source's
// datagrams, wraps each into one transport packet on the source's PID in
// the KLV packet ring, and queues a pointer to it into the injection pool
// of every output that routes a program with that source. The send path
// places the packet and hands it back (mcastfwdr_klv_mark_pkt_injected).
//
// The ring keeps, per packet, how many outputs still hold it; its read mark
// moves forward over packets nobody holds any more, so it follows the
// slowest output and never moves backwards. The thread and the ring exist
// only on cards without a decoder.
#pragma once

#include <kerrow/pipe.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

struct manager_output;
struct mcastfwdr_ts_pool;

// 3560 packets of 188 bytes.
constexpr size_t MCF_KLV_POOL_SIZE = 669280;
constexpr size_t MCF_KLV_PKT_SIZE = 188;
constexpr unsigned MCF_KLV_NO_PID = 8191;

extern "C" {

extern kd_circbuf *klv_pkt_pool;

// The send path has placed pkt (a packet of the ring) into one output's
// stream: 0, or -1 when pkt is not a packet of the ring.
int mcastfwdr_klv_mark_pkt_injected(const uint8_t *pkt);
// manager_outputs_foreach step: arguments int KLV source id, uint8_t *packet.
void __queue_injected_packet(manager_output *mo, va_list args);

} // extern "C"

namespace mcf::klv {

// One received datagram of the source owning socket fd, with its receive
// time (ctrl_data_lock held for reading). Dropped when no source owns fd.
void handle_datagram(int fd, const uint8_t *data, size_t len, const timespec &received);
// An output is going away: every packet its pool still holds is handed
// back to the ring (write lock held, so no reader is in the pool).
void release_queue(mcastfwdr_ts_pool *queue);
// Packets in the ring not yet released (written, not passed by the read mark).
size_t ring_level();
// Whether the thread is running.
bool thread_running();

} // namespace mcf::klv
