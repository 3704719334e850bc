// The PID index (see phindex.h). Each input id with keys has a table of
// its 8192 keys, so a packet's lookup is two array reads into one cache
// line. A key stays in place until it goes; the table goes with the input's
// last key. The handler lists live in an ordered map beside the tables
// (walks and the debug dump go by input id, then PID).
#include "phindex.h"
#include "continuity.h"
#include "packet_proc.h"

#include "status_queue.h"

#include <array>
#include <cstdlib>
#include <map>
#include <memory>

namespace mcf::phindex_detail {
hot_state g_hot{};
} // namespace mcf::phindex_detail

namespace {

using mcf::phindex_detail::g_hot;
constexpr int kPids = 8192;
constexpr int kPidEit = 0x12;

using handler_list = std::array<pid_handler, MCF_PHINDEX_MAX_HANDLERS>;

static_assert(sizeof(pid_handler_key) == 32, "two keys to a cache line");

// calloc'd (pages nobody touches cost no memory), keys on 64-byte lines.
class key_table {
public:
    bool make()
    {
        mem_.reset(std::calloc(1, kPids * sizeof(pid_handler_key) + 64));
        if (!mem_)
            return false;
        keys_ = reinterpret_cast<pid_handler_key *>((reinterpret_cast<uintptr_t>(mem_.get()) + 63) & ~uintptr_t(63));
        return true;
    }
    void reset()
    {
        mem_.reset();
        keys_ = nullptr;
    }
    pid_handler_key *keys() const { return keys_; }

private:
    struct free_mem {
        void operator()(void *p) const { std::free(p); }
    };
    std::unique_ptr<void, free_mem> mem_;
    pid_handler_key *keys_ = nullptr;
};

struct index_state {
    std::map<int32_t, handler_list> lists; // by in_id * 8192 + in_pid: one per key
    std::array<key_table, MCF_PHINDEX_MAX_INPUT_ID> tables;
    std::array<int, MCF_PHINDEX_MAX_INPUT_ID> keys_per_input{};
};

std::unique_ptr<index_state> g_index;
phindex_populate_f phindex_populate_cb = nullptr;
phindex_depopulate_f phindex_depopulate_cb = nullptr;
int &phindex_lock = g_hot.lock;
int &phindex_sync_pending = g_hot.sync_pending;

bool valid(int id, int pid) { return id >= 0 && id < MCF_PHINDEX_MAX_INPUT_ID && pid >= 0 && pid < kPids; }
int32_t order_of(int id, int pid) { return int32_t(id) * kPids + pid; }

pid_handler_key *lookup(int id, int pid)
{
    if (!g_index || !valid(id, pid) || !g_hot.tables[size_t(id)])
        return nullptr;
    pid_handler_key *k = &g_hot.tables[size_t(id)][pid];
    return k->entry_count ? k : nullptr;
}

// A key with several handlers runs them in order; the answer is the last one's.
int run_list(void *key, tsPkt *pkt, manager_input *input, const struct timespec *tstamp)
{
    const auto *k = static_cast<const pid_handler_key *>(key);
    int rc = 0;
    for (size_t i = 0; i < k->entry_count; ++i)
        rc = k->entries[i].process_pkt(k->entries[i].phdata.data, pkt, input, tstamp);
    return rc;
}

// What phindex_process calls after a change of the list.
void set_run(pid_handler_key &k)
{
    if (k.entry_count == 1) {
        k.run = k.entries[0].process_pkt;
        k.run_data = k.entries[0].phdata.data;
    } else {
        k.run = run_list;
        k.run_data = &k;
    }
}

// Removes handler i of the key and runs its cleanup once.
void drop_handler(pid_handler_key &k, size_t i)
{
    const pid_handler h = k.entries[i];
    for (size_t j = i + 1; j < k.entry_count; ++j)
        k.entries[j - 1] = k.entries[j];
    --k.entry_count;
    if (k.entry_count)
        set_run(k);
    if (h.cleanup)
        h.cleanup(h.phdata.data);
}

void erase_key(pid_handler_key &k)
{
    const int id = k.in_id, pid = k.in_pid;
    while (k.entry_count)
        drop_handler(k, 0);
    k = pid_handler_key{};
    g_index->lists.erase(order_of(id, pid));
    if (--g_index->keys_per_input[size_t(id)] == 0) {
        g_hot.tables[size_t(id)] = nullptr;
        g_index->tables[size_t(id)].reset();
    }
}

} // namespace

namespace {

// Continuity of a packet the one-compare test did not accept.
void check_continuity(pid_handler_key &k, const uint8_t *b, manager_input *input, int pid)
{
    const unsigned afc = b[3] >> 4 & 3, cc = b[3] & 15;
    const int prev = k.cc;
    int last = prev, dup = (k.cc_flags & MCF_PHINDEX_CC_DUP_SEEN) != 0;
    if (!mcf_cc_ok(&last, &dup, b) && input) {
        const unsigned expected = (afc & 1) ? (unsigned(prev) + 1) & 15 : unsigned(prev);
        const uint32_t errors = manager_input_add_cc_error(input);
        if (errors < 4)
            mcf_post_log(SQ_LOG_WARN, "Input %d: expected cc %2u but found %2u for pid %4d", manager_input_get_id(input),
                         expected, cc, pid);
    }
    k.cc = static_cast<signed char>(last);
    k.cc_flags = static_cast<unsigned char>((k.cc_flags & ~MCF_PHINDEX_CC_DUP_SEEN) | (dup ? MCF_PHINDEX_CC_DUP_SEEN : 0));
}

} // namespace

int mcf::phindex_detail::process_other(pid_handler_key &k, manager_input *input, int pid, tsPkt *pkt,
                                       const struct timespec *tstamp)
{
    if (!k.entry_count)
        return -1;
    k.pid_is_in_stream = 1;
    if (pkt && !(k.cc_flags & MCF_PHINDEX_CC_UNCHECKED)) {
        // The first packet of a key passes the one-compare test when it
        // starts at 0 (the counter is -1); check_continuity takes any other.
        const auto *b = reinterpret_cast<const uint8_t *>(pkt);
        const unsigned h = b[3];
        if ((h & 0x10) && ((h - unsigned(k.cc) - 1) & 15) == 0) {
            k.cc = static_cast<signed char>(h & 15);
            k.cc_flags = 0; // no repeat seen
        } else {
            check_continuity(k, b, input, pid);
        }
    }
    return run_handlers(k, input, pkt, tstamp);
}

// C code calls the inline phindex_process through this copy.
[[gnu::used]] static int (*const phindex_process_symbol)(manager_input *, int, tsPkt *,
                                                         const struct timespec *) = phindex_process;

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
        key_table &table = g_index->tables[size_t(id)];
        if (!table.keys()) {
            if (!table.make())
                return -1;
            g_hot.tables[size_t(id)] = table.keys();
        }
        k = &table.keys()[pid];
        k->entries = g_index->lists[order_of(id, pid)].data();
        k->in_id = static_cast<unsigned short>(id);
        k->in_pid = static_cast<unsigned short>(pid);
        k->cc = -1;
        if (pid == kPidEit || pid == TS_PID_NULL)
            k->cc_flags = MCF_PHINDEX_CC_UNCHECKED;
        ++g_index->keys_per_input[size_t(id)];
    }
    k->entries[k->entry_count++] = pid_handler{id, pid, {dtype, data}, process_pkt, cleanup};
    set_run(*k);
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
    while (!g_index->lists.empty()) {
        const int32_t order = g_index->lists.begin()->first;
        erase_key(*lookup(order / kPids, order % kPids));
    }
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
    for (const auto &[order, list] : g_index->lists)
        lookup(order / kPids, order % kPids)->pid_is_in_stream = 0;
}

const char *phdatatype_to_string(int dtype)
{
    return dtype >= 0 && dtype < 10 ? phdatatype_strings[dtype] : nullptr;
}

size_t __pidh_list_count(void)
{
    size_t n = 0;
    if (g_index)
        for (const auto &[order, list] : g_index->lists)
            n += lookup(order / kPids, order % kPids)->entry_count;
    return n;
}

void phindex_debug(void)
{
    mcf_post_log(SQ_LOG_INFO, "PIDH: pidh_index %p", static_cast<void *>(g_index.get()));
    if (!g_index)
        return;
    mcf_post_log(SQ_LOG_INFO, "PIDH: pidh_index size %d", int(g_index->lists.size()));
    for (const auto &[order, list] : g_index->lists) {
        const pid_handler_key &k = *lookup(order / kPids, order % kPids);
        mcf_post_log(SQ_LOG_INFO, "PIDH: id %d pid %d entries %zd.......", k.in_id, k.in_pid, ssize_t(k.entry_count));
        for (size_t i = 0; i < k.entry_count; ++i) {
            const pid_handler_data &d = k.entries[i].phdata;
            mcf_post_log(SQ_LOG_INFO, "PIDH: handler: %s", phdatatype_to_string(d.type));
            if (d.type == PHDATATYPE_ALL_DATA || d.type == PHDATATYPE_UNROUTED_DATA || d.type == PHDATATYPE_ROUTED_DATA)
                routing_context_debug(static_cast<const routing_context *>(d.data));
            else
                mcf_post_log(SQ_LOG_DEBUG, "\t{ }");
        }
    }
}

} // extern "C"
