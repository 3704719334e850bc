// The forwarder engine's control side: the plug-in entries, the control
// state they create and free, the maintenance pass and the control checks
// the configuration setters call. Loop thread unless a field says otherwise.
#pragma once

#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "status_queue.h"

#include <kerrow/pipe.h>
#include <kerrow/plugin.h>

#include <atomic>
#include <cstdint>

extern "C" {

// The entries the framework resolves by name.
KD_API void mcastfwdr_init(plugin_load_info *pli) noexcept;
KD_API cuvent_action mcastfwdr_fini(void) noexcept;

// Counters the multiplexer keeps current; total_rate_rx is written by the
// maintenance pass. Atomic, relaxed: data threads add, the loop reads.
struct mcastfwdr_totals {
    std::atomic<int32_t> ip_packets_rx{0};
    std::atomic<int32_t> ip_packets_tx{0};
    std::atomic<int32_t> ts_packets_rx{0};
    std::atomic<int32_t> ts_packets_tx{0};
    std::atomic<int32_t> total_rate_rx{0};
};

extern mcastfwdr_totals totals;
extern kd_circbuf *circbuf;
extern uint32_t mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set;
extern uint8_t startup_time_current;

bool mcastfwdr_is_in_startup_delay(void);
int mcastfwdr_kd_remote_close(int fd);

} // extern "C"

// Sizes of the forwarder's packet ring.
constexpr size_t MCF_CIRCBUF_SIZE = 37500000;
constexpr size_t MCF_CIRCBUF_MAX_WRITE = 10 * 1514;
// Aggregate ingress above this raises "Mux Ingress rate exceeded".
constexpr int64_t MCF_INGRESS_LIMIT_BPS = 210000000;
// Bridged Net inputs a card carries to the others.
constexpr int MCF_BRIDGE_LIMIT = 20;

namespace mcf {

// The write side of ctrl_data_lock for one scope. Never nested: nothing
// takes either side of the lock twice.
class write_lock {
public:
    write_lock() { pthread_rwlock_wrlock(&ctrl_data_lock); }
    ~write_lock() { pthread_rwlock_unlock(&ctrl_data_lock); }
    write_lock(const write_lock &) = delete;
    write_lock &operator=(const write_lock &) = delete;
};

// The maintenance pass (the 1-second "mcastfwdr" timeout).
void maintenance_pass();
// The "input_output_sync" parsing and its effect; answers whether the text
// matched a program (for the maintenance's cache pass). Write lock held.
bool apply_encoder_state(const char *text, bool from_cache);
// Registers the listeners of the plug-in (step 14 of the start).
void register_listeners(plugin_load_info *pli);
// Releases what register_listeners made beyond the framework's own records.
void release_listeners();
// Carries out decoder-channel changes queued off the loop (loop thread).
void drain_decoder_channel_changes();

} // namespace mcf
