// The status queue, on the framework's message queue (kerrow/pipe.h): any
// thread writes, the loop drains it at each maintenance pass.
#include "status_queue.h"
#include "engine.h"
#include "mcastfwdr.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/pipe.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<kd_mqueue *> g_queue{nullptr};
std::atomic<pthread_t> g_ctrl_thread{0};   // 0: not yet known
std::atomic<uint32_t> g_lost{0};           // records lost to a full queue since the last pass
kd_dataset *g_ids = nullptr;               // loop thread only: the outputs routing a changed program
kd_dataset *g_rebuild = nullptr;           // loop thread only: those of them that lost a remap in effect

int journal_priority(int level)
{
    switch (level) {
    case SQ_LOG_ERROR: return KD_LOG_ERR;
    case SQ_LOG_WARN: return KD_LOG_WARNING;
    case SQ_LOG_INFO: return KD_LOG_NOTICE;
    default: return KD_LOG_INFO;
    }
}

const char *own_name() { return mcf_pli ? kd_frame_plugin_get_name(mcf_pli) : "mcastfwdr"; }

void journal(int level, const char *text, int line, const char *func)
{
    kd_log_print(journal_priority(level), __FILE__, line, func, "[%s] %s\n", own_name(), text);
}

// Hands a malloc'ed payload to the queue; frees it when refused.
int post(queue_entry_type type, void *payload)
{
    if (!payload)
        return -1;
    kd_mqueue *q = g_queue.load(std::memory_order_acquire);
    const kd_mqueue_entry e{unsigned(type), payload};
    if (!q || kd_mqueue_write(q, &e) != 0) {
        if (q)
            g_lost.fetch_add(1, std::memory_order_relaxed);
        std::free(payload);
        return -1;
    }
    return 0;
}

template <class T> T *payload() { return static_cast<T *>(std::calloc(1, sizeof(T))); }

program_status_data *program_payload(uint32_t input_id, uint32_t prog_num)
{
    auto *d = payload<program_status_data>();
    if (d) {
        d->input_id = input_id;
        d->pgm_number = prog_num;
    }
    return d;
}

// Input events name a real input: ids 0 and below are refused.
int post_input_event(queue_entry_type type, int input_id, bool is_added)
{
    if (input_id <= 0)
        return -1;
    auto *d = payload<rte_input_event_data>();
    if (d)
        *d = {uint32_t(input_id), is_added};
    return post(type, d);
}

void copy_name(char (&dst)[20], const char *src)
{
    std::snprintf(dst, sizeof dst, "%s", src ? src : "");
}

void notify_child(const in_pgm_status &p, int index)
{
    param_context *child = kd_param_list_index(p.param_pgm_status_entry, index);
    if (child && kd_param_get_type(child) != PARAMTYPE_NONE)
        kd_cuvent_emit(mcf_pli, "on_param_update", child);
}

in_pgm_status *find_program(cfg_rx &rx, uint32_t pgm_number)
{
    const int n = std::min(rx.ingress_pgm_status_count, int(MCF_PGM_STATUS_MAX));
    for (int i = 0; i < n; ++i)
        if (uint32_t(rx.ingress_pgm_status[i].pgm_num) == pgm_number)
            return &rx.ingress_pgm_status[i];
    return nullptr;
}

// The services routing this input's program follow its PIDs (outside the
// lock: their rows are announced); then, under it, the outputs that lost a
// remap in effect are made again and the others routing the program
// recompute their distinct inputs.
void resync_outputs(uint32_t input_id, uint32_t pgm_number)
{
    kd_dataset_clear(g_ids);
    kd_dataset_clear(g_rebuild);
    mcfcfg_tx_sync_program_pids(int(input_id), int(pgm_number), g_rebuild);
    mcfcfg_tx_collect_program_outputs(int(input_id), int(pgm_number), g_ids);
    if (kd_dataset_get_length(g_ids) == 0)
        return;
    mcf::write_lock lock;
    manager_outputs_resync_program_outputs(g_ids, g_rebuild);
}

void process_program(unsigned type, const program_status_data &d)
{
    cfg_rx *rx = mcfcfg_rx_find_by_id(int(d.input_id));
    if (!rx || kd_param_get_type(rx->param_services) == PARAMTYPE_NONE)
        return;
    if (!manager_inputs_find_by_id(int(d.input_id))) {
        mcfcfg_rx_clear_all_program_status(rx);
        return;
    }
    switch (type) {
    case MCF_STATUS_PGM_ADD: {
        if (find_program(*rx, d.pgm_number)) {
            mcf_post_log(SQ_LOG_WARN, "MCF: StatQ ADD Program %u Name %s for Input %d - Already Exists - Ignoring.",
                         d.pgm_number, d.pgm_name, int(d.input_id));
            return;
        }
        const int index = rx->ingress_pgm_status_count;
        if (index < 0 || index >= MCF_PGM_STATUS_MAX) { // the table is full: refuse rather than overrun it
            mcf_post_log(SQ_LOG_WARN, "MCF: StatQ ADD Program %u for Input %d - program table full (%d) - Ignoring.",
                         d.pgm_number, int(d.input_id), int(MCF_PGM_STATUS_MAX));
            return;
        }
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ ADD Program %u Name %s for Input %d CA %d", d.pgm_number, d.pgm_name,
                     int(d.input_id), int(d.pgm_ca_status));
        in_pgm_status &p = rx->ingress_pgm_status[index];
        p = in_pgm_status{};
        p.pgm_num = int32_t(d.pgm_number);
        std::snprintf(p.pgm_name, sizeof p.pgm_name, "%s", d.pgm_name);
        p.status = 0;
        p.ca_status = d.pgm_ca_status;
        mcastfwdr_allocate_rule_input_program(rx->param_services, &p, index);
        rx->ingress_pgm_status_count = index + 1;
        resync_outputs(d.input_id, d.pgm_number);
        return;
    }
    case MCF_STATUS_PGM_UPDATE:
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ UPDATE Program %u for Input %d", d.pgm_number, int(d.input_id));
        resync_outputs(d.input_id, d.pgm_number);
        if (in_pgm_status *p = find_program(*rx, d.pgm_number))
            p->ca_status = d.pgm_ca_status;
        return;
    case MCF_STATUS_PGM_CLEAR:
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ CLEAR for Input %d", int(d.input_id));
        mcfcfg_rx_clear_all_program_status(rx);
        return;
    case MCF_STATUS_PGM_UPDATE_STATUS:
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ update STATUS %u on Program %u for Input %d", d.pgm_status,
                     d.pgm_number, int(d.input_id));
        if (in_pgm_status *p = find_program(*rx, d.pgm_number)) {
            p->status = int32_t(d.pgm_status);
            notify_child(*p, 2);
        }
        return;
    case MCF_STATUS_PGM_UPDATE_NAME:
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ update NAME to %s for Program %u Input %d", d.pgm_name, d.pgm_number,
                     int(d.input_id));
        if (in_pgm_status *p = find_program(*rx, d.pgm_number); p && std::strcmp(p->pgm_name, d.pgm_name) != 0) {
            std::snprintf(p->pgm_name, sizeof p->pgm_name, "%s", d.pgm_name);
            notify_child(*p, 1);
        }
        return;
    case MCF_STATUS_PGM_UPDATE_CA_STATUS:
        if (in_pgm_status *p = find_program(*rx, d.pgm_number); p && p->ca_status != d.pgm_ca_status) {
            p->ca_status = d.pgm_ca_status;
            notify_child(*p, 3);
        }
        return;
    default:
        return;
    }
}

void process_routable_added_deleted(const rte_input_event_data &d)
{
    mcf_post_log(SQ_LOG_INFO, "MCF: StatQ event: Routable Input %u was %s", d.input_id, d.is_added ? "added" : "deleted");
    if (mcf_decoder_exists())
        return;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (tx.param_single_input_select)
            kd_cuvent_emit(mcf_pli, "on_param_update", tx.param_single_input_select);
    if (d.is_added)
        return;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (tx.dest_single_input_id != int32_t(d.input_id))
            continue;
        mcastfwdr_set_dest_si_id(&tx, 0);
        if (tx.param_single_input_id)
            kd_cuvent_emit(mcf_pli, "on_param_update", tx.param_single_input_id);
    }
}

void process_rate_detected(const input_rate_detect_data &d)
{
    mcf_post_log(SQ_LOG_INFO, "MCF: StatQ event: Input %u rate detected %u", d.input_id, d.rate_bps);
    cfg_rx *rx = mcfcfg_rx_find_by_id(int(d.input_id));
    if (!rx)
        return;
    const int32_t prev = rx->ingress_bps;
    if (rx->ingress_is_bridged && mcf_ctrl_plane_external_systems_connected)
        mcastfwdr_ingress_notify_internal_ts(int(d.rate_bps), int(d.input_id));
    // The record changes with the outputs' share of it (the multiplexer
    // reads it when it rebuilds a fill engine).
    mcf::write_lock lock;
    rx->ingress_bps = int32_t(d.rate_bps);
    mcastfwdr_update_input_bps_and_outputs_using_it(rx, prev);
}

// Carries out one record on the loop thread; the queue frees the payload.
void process_entry(kd_mqueue_entry *e)
{
    if (!e->data)
        return;
    switch (e->type) {
    case MCF_STATUS_PGM_ADD:
    case MCF_STATUS_PGM_UPDATE:
    case MCF_STATUS_PGM_CLEAR:
    case MCF_STATUS_PGM_UPDATE_STATUS:
    case MCF_STATUS_PGM_UPDATE_NAME:
    case MCF_STATUS_PGM_UPDATE_CA_STATUS:
        process_program(e->type, *static_cast<program_status_data *>(e->data));
        break;
    case MCF_ASI_RESET_INTERFACE:
        mcastfwdr_asi_hw_reset_interface(int(static_cast<asi_reset_intf_data *>(e->data)->output_id));
        break;
    case MCF_LOG_WRITE: {
        const auto *d = static_cast<log_write_data *>(e->data);
        journal(d->level, d->log, __LINE__, "_mcf_process_queue_entry_in_control_plane");
        break;
    }
    case MCF_INFO_RECORD: {
        const auto *d = static_cast<info_record_data *>(e->data);
        mcastfwdr_asi_info_rx_pkt_cp(d->payload, d->length);
        break;
    }
    case MCF_EVENT_RTE_INPUT_ADD_DEL:
        process_routable_added_deleted(*static_cast<rte_input_event_data *>(e->data));
        break;
    case MCF_EVENT_RTE_INPUT_BPS_CHG: {
        const auto *d = static_cast<rte_input_event_data *>(e->data);
        mcf_post_log(SQ_LOG_INFO, "MCF: StatQ event: Routable Input %u changed bps rate", d->input_id);
        if (!mcf_decoder_exists()) {
            mcf::write_lock lock;
            manager_outputs_delete_routing_single_input(int(d->input_id));
            manager_input_output_sync(0);
        }
        break;
    }
    case MCF_INPUT_RATE_DETECT:
        process_rate_detected(*static_cast<input_rate_detect_data *>(e->data));
        break;
    default:
        break;
    }
}

// At fini only the log lines are still worth carrying out.
void write_pending_log(kd_mqueue_entry *e)
{
    if (e->type == MCF_LOG_WRITE && e->data) {
        const auto *d = static_cast<log_write_data *>(e->data);
        journal(d->level, d->log, __LINE__, "mcf_status_queue_fini");
    }
}

} // namespace

extern "C" {

void mcf_status_queue_init(pthread_t ctrl_thread)
{
    g_ctrl_thread.store(ctrl_thread, std::memory_order_release);
    if (g_queue.load())
        return;
    g_ids = kd_dataset_ctor(50, 0);
    g_rebuild = kd_dataset_ctor(50, 0);
    g_lost.store(0, std::memory_order_relaxed);
    g_queue.store(kd_mqueue_ctor(MCF_STATUS_QUEUE_ENTRIES, process_entry), std::memory_order_release);
}

void mcf_status_queue_fini(void)
{
    kd_mqueue *q = g_queue.exchange(nullptr, std::memory_order_acq_rel);
    if (q) {
        q->on_read = write_pending_log;
        kd_mqueue_read_periodic(q);
        kd_mqueue_dtor(q);
    }
    kd_dataset_dtor(g_ids);
    kd_dataset_dtor(g_rebuild);
    g_ids = nullptr;
    g_rebuild = nullptr;
}

void mcf_status_queue_periodic_check(void)
{
    kd_mqueue *q = g_queue.load(std::memory_order_acquire);
    if (!q)
        return;
    kd_mqueue_read_periodic(q);
    if (const uint32_t lost = g_lost.exchange(0, std::memory_order_relaxed))
        mcf_post_log(SQ_LOG_WARN, "MCF: StatQ full: %u records lost", lost);
}

uint32_t mcf_status_queue_lost(void) { return g_lost.load(std::memory_order_relaxed); }

bool mcf_on_ctrl_thread(void)
{
    const pthread_t ctrl = g_ctrl_thread.load(std::memory_order_acquire);
    return ctrl == 0 || pthread_equal(ctrl, pthread_self());
}

int mcf_post_log(int level, const char *fmt, ...)
{
    char text[MCF_LOG_TEXT_SIZE];
    va_list ap;
    if (mcf_on_ctrl_thread()) {
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        journal(level, text, __LINE__, "mcf_post_log");
        return 0;
    }
    auto *d = payload<log_write_data>();
    if (!d)
        return -1;
    d->level = sq_log_level(level);
    va_start(ap, fmt);
    std::vsnprintf(d->log, sizeof d->log, fmt, ap);
    va_end(ap);
    return post(MCF_LOG_WRITE, d);
}

int mcf_post_program_status_add(uint32_t input_id, uint32_t prog_num, const char *prog_name, ca_status ca)
{
    program_status_data *d = program_payload(input_id, prog_num);
    if (d) {
        copy_name(d->pgm_name, prog_name);
        d->pgm_ca_status = ca;
    }
    return post(MCF_STATUS_PGM_ADD, d);
}

int mcf_post_program_status_update(uint32_t input_id, uint32_t prog_num, ca_status ca)
{
    program_status_data *d = program_payload(input_id, prog_num);
    if (d)
        d->pgm_ca_status = ca;
    return post(MCF_STATUS_PGM_UPDATE, d);
}

int mcf_post_program_status_clear(uint32_t input_id)
{
    return post(MCF_STATUS_PGM_CLEAR, program_payload(input_id, 0));
}

int mcf_post_program_status_state(uint32_t input_id, uint32_t prog_num, bool is_active)
{
    program_status_data *d = program_payload(input_id, prog_num);
    if (d)
        d->pgm_status = is_active ? 1 : 0;
    return post(MCF_STATUS_PGM_UPDATE_STATUS, d);
}

int mcf_post_program_status_name(uint32_t input_id, uint32_t prog_num, const char *prog_name)
{
    program_status_data *d = program_payload(input_id, prog_num);
    if (d)
        copy_name(d->pgm_name, prog_name);
    return post(MCF_STATUS_PGM_UPDATE_NAME, d);
}

int mcf_post_program_status_ca(uint32_t input_id, uint32_t prog_num, ca_status ca)
{
    program_status_data *d = program_payload(input_id, prog_num);
    if (d)
        d->pgm_ca_status = ca;
    return post(MCF_STATUS_PGM_UPDATE_CA_STATUS, d);
}

int mcf_post_asi_reset_interface(uint32_t output_id)
{
    auto *d = payload<asi_reset_intf_data>();
    if (d)
        d->output_id = output_id;
    return post(MCF_ASI_RESET_INTERFACE, d);
}

int mcf_post_info_record(const void *info_payload, uint32_t payload_len)
{
    if (payload_len > MCF_INFO_RECORD_MAX || (!info_payload && payload_len))
        return -1;
    auto *d = payload<info_record_data>();
    if (d) {
        if (payload_len)
            std::memcpy(d->payload, info_payload, payload_len);
        d->length = payload_len;
    }
    return post(MCF_INFO_RECORD, d);
}

int mcf_post_routable_input_added_deleted_event(int input_id, bool is_added)
{
    return post_input_event(MCF_EVENT_RTE_INPUT_ADD_DEL, input_id, is_added);
}

int mcf_post_routable_input_bps_changed_event(int input_id)
{
    return post_input_event(MCF_EVENT_RTE_INPUT_BPS_CHG, input_id, false);
}

int mcf_post_input_rate_detected(int input_id, uint32_t rate_bps)
{
    if (input_id <= 0)
        return -1;
    auto *d = payload<input_rate_detect_data>();
    if (d)
        *d = {uint32_t(input_id), rate_bps};
    return post(MCF_INPUT_RATE_DETECT, d);
}

} // extern "C"
