// The PID index (see phindex.h). Keys live in an ordered map (walks and the
// debug dump go by input id, then PID); beside it, one 8192-slot table per
// input id points at them, so a packet's lookup is two array reads.
#include "phindex.h"
#include "continuity.h"

#include "engine.h"
#include "status_queue.h"

#include <array>
#include <map>
#include <memory>

namespace {

constexpr int kPids = 8192;
constexpr int kPidEit = 0x12;

using pid_table = std::array<pid_handler_key *, kPids>;

struct index_state {
    std::map<int32_t, pid_handler_key> keys; // by in_id * 8192 + in_pid
    std::array<std::unique_ptr<pid_table>, MCF_PHINDEX_MAX_INPUT_ID> by_input;
};

std::unique_ptr<index_state> g_index;
phindex_populate_f phindex_populate_cb = nullptr;
phindex_depopulate_f phindex_depopulate_cb = nullptr;
int phindex_lock = 0;         // 1 while phindex_process runs handlers
int phindex_sync_pending = 0; // a rebuild was asked for while locked

bool valid(int id, int pid) { return id >= 0 && id < MCF_PHINDEX_MAX_INPUT_ID && pid >= 0 && pid < kPids; }
int32_t order_of(int id, int pid) { return int32_t(id) * kPids + pid; }

pid_handler_key *lookup(int id, int pid)
{
    if (!g_index || !valid(id, pid))
        return nullptr;
    const pid_table *t = g_index->by_input[size_t(id)].get();
    return t ? (*t)[size_t(pid)] : nullptr;
}

// Removes handler i of the key and runs its cleanup once.
void drop_handler(pid_handler_key &k, size_t i)
{
    const pid_handler h = k.entries[i];
    for (size_t j = i + 1; j < k.entry_count; ++j)
        k.entries[j - 1] = k.entries[j];
    --k.entry_count;
    if (h.cleanup)
        h.cleanup(h.phdata.data);
}

void erase_key(pid_handler_key &k)
{
    const int id = k.in_id, pid = k.in_pid;
    while (k.entry_count)
        drop_handler(k, 0);
    (*g_index->by_input[size_t(id)])[size_t(pid)] = nullptr;
    g_index->keys.erase(order_of(id, pid));
}

void check_continuity(pid_handler_key &k, const tsPkt *pkt, manager_input *input, int pid)
{
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    const unsigned afc = b[3] >> 4 & 3, cc = b[3] & 15;
    const int prev = k.cc;
    if (__builtin_expect(!mcf_cc_ok(&k.cc, &k.cc_dup_seen, b), 0) && input) {
        const unsigned expected = (afc & 1) ? (unsigned(prev) + 1) & 15 : unsigned(prev);
        const uint32_t errors = manager_input_add_cc_error(input);
        if (errors < 4)
            mcf_post_log(SQ_LOG_WARN, "Input %d: expected cc %2u but found %2u for pid %4d", manager_input_get_id(input),
                         expected, cc, pid);
    }
}

} // namespace

extern "C" {

const char *const phdatatype_strings[10] = {"other", "pat", "cat", "emm", "pmt", "ecm", "sdt", "all", "unrouted", "routed"};

int phindex_init(phindex_populate_f populate_cb, phindex_depopulate_f depopulate_cb)
{
    if (!g_index)
        g_index = std::make_unique<index_state>();
    phindex_populate_cb = populate_cb;
    phindex_depopulate_cb = depopulate_cb;
    phindex_lock = phindex_sync_pending = 0;
    return 0;
}

void phindex_fini(void)
{
    if (!g_index)
        return;
    if (phindex_depopulate_cb)
        phindex_depopulate_cb();
    phindex_populate_cb = nullptr;
    phindex_depopulate_cb = nullptr;
    phindex_lock = 0;
    phindex_clear(); // whatever the callback left: every cleanup still runs once
    g_index.reset();
    phindex_sync_pending = 0;
}

int phindex_append(int id, int pid, phdatatype dtype, void *data, process_pkt_f process_pkt, phdata_cleanup_f cleanup)
{
    if (phindex_lock || !process_pkt || !g_index || !valid(id, pid))
        return -1;
    pid_handler_key *k = lookup(id, pid);
    if (k) {
        for (size_t i = 0; i < k->entry_count; ++i)
            if (k->entries[i].phdata.type == dtype)
                return -1;
        if (k->entry_count == MCF_PHINDEX_MAX_HANDLERS)
            return -1;
    } else {
        auto &table = g_index->by_input[size_t(id)];
        if (!table)
            table = std::make_unique<pid_table>(); // value-initialised: all null
        k = &g_index->keys[order_of(id, pid)];
        *k = pid_handler_key{};
        k->in_id = id;
        k->in_pid = pid;
        k->cc = -1;
        (*table)[size_t(pid)] = k;
    }
    k->entries[k->entry_count++] = pid_handler{id, pid, {dtype, data}, process_pkt, cleanup};
    return 0;
}

int phindex_delete(int id, int pid, phdatatype dtype)
{
    pid_handler_key *k = phindex_lock ? nullptr : lookup(id, pid);
    if (!k)
        return -1;
    for (size_t i = 0; i < k->entry_count; ++i) {
        if (k->entries[i].phdata.type != dtype)
            continue;
        drop_handler(*k, i);
        if (!k->entry_count)
            erase_key(*k);
        break;
    }
    return 0;
}

int phindex_remove(int id, int pid)
{
    pid_handler_key *k = phindex_lock ? nullptr : lookup(id, pid);
    if (!k)
        return -1;
    erase_key(*k);
    return 0;
}

void phindex_clear(void)
{
    if (!g_index || phindex_lock)
        return;
    while (!g_index->keys.empty())
        erase_key(g_index->keys.begin()->second);
}

int phindex_repopulate(void)
{
    if (!g_index || !phindex_populate_cb || !phindex_depopulate_cb)
        return -1;
    if (phindex_lock) {
        mcf_post_log(SQ_LOG_DEBUG, "Routing table re-populate pending...");
        phindex_sync_pending = 1;
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Re-populate routing table");
    phindex_sync_pending = 0;
    phindex_depopulate_cb();
    return phindex_populate_cb();
}

int phindex_process(manager_input *input, int pid, tsPkt *pkt, const struct timespec *tstamp)
{
    if (__builtin_expect(phindex_sync_pending, 0))
        phindex_repopulate();
    phindex_lock = 1;
    pid_handler_key *k = input ? lookup(manager_input_get_id(input), pid) : nullptr;
    if (!k) {
        phindex_lock = 0;
        return -1;
    }
    k->pid_is_in_stream = 1;
    if (pkt && pid != kPidEit && pid != TS_PID_NULL)
        check_continuity(*k, pkt, input, pid);
    int rc = 0;
    for (size_t i = 0; i < k->entry_count; ++i)
        rc = k->entries[i].process_pkt(k->entries[i].phdata.data, pkt, input, tstamp);
    phindex_lock = 0;
    return rc;
}

pid_handler_key *phindex_find(int id, int pid) { return lookup(id, pid); }

pid_handler *phindex_find_handler(int id, int pid, phdatatype dtype)
{
    pid_handler_key *k = lookup(id, pid);
    for (size_t i = 0; k && i < k->entry_count; ++i)
        if (k->entries[i].phdata.type == dtype)
            return &k->entries[i];
    return nullptr;
}

int phindex_is_pid_present(int id, int pid)
{
    const pid_handler_key *k = lookup(id, pid);
    return k ? k->pid_is_in_stream : 0;
}

void phindex_reset_pid_presence_flag(void)
{
    if (!g_index)
        return;
    for (auto &[order, k] : g_index->keys)
        k.pid_is_in_stream = 0;
}

const char *phdatatype_to_string(int dtype)
{
    return dtype >= 0 && dtype < 10 ? phdatatype_strings[dtype] : nullptr;
}

size_t __pidh_list_count(void)
{
    size_t n = 0;
    if (g_index)
        for (const auto &[order, k] : g_index->keys)
            n += k.entry_count;
    return n;
}

void phindex_debug(void)
{
    mcf_post_log(SQ_LOG_INFO, "PIDH: pidh_index %p", static_cast<void *>(g_index.get()));
    if (!g_index)
        return;
    mcf_post_log(SQ_LOG_INFO, "PIDH: pidh_index size %d", int(g_index->keys.size()));
    for (const auto &[order, k] : g_index->keys) {
        mcf_post_log(SQ_LOG_INFO, "PIDH: id %d pid %d entries %zd.......", k.in_id, k.in_pid, ssize_t(k.entry_count));
        for (size_t i = 0; i < k.entry_count; ++i) {
            mcf_post_log(SQ_LOG_INFO, "PIDH: handler: %s", phdatatype_to_string(k.entries[i].phdata.type));
            mcf_post_log(SQ_LOG_DEBUG, "\t{ }"); // routing contexts describe themselves once they exist
        }
    }
}

} // extern "C"
