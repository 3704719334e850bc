// Input table information and the PID handlers that keep it.
#include "tables/input_tables.h"

#include "cfg/mcf_services.h"
#include "ingress/manager_input.h"
#include "router/phindex.h"
#include "status_queue.h"

#include <mpegts_crc.h>
#include <psi_section.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

input_tables_listener g_listener{};

int get16(const uint8_t *p) { return (p[0] << 8) | p[1]; }

// The next complete section of a demultiplexer fed with pkt: its length, 0
// when none is complete, -1 when it does not fit the buffer.
int next_section(section_dmux *d, const tsPkt *pkt, uint8_t *buf, size_t size)
{
    if (!d || !pkt || section_dmux_process(d, pkt) != 1)
        return 0;
    return section_dmux_get_section(d, buf, size);
}

int section_version(const uint8_t *s) { return tsGetVersion(reinterpret_cast<const TTableBase *>(s)); }

// A section whose stored length matches what the demultiplexer handed out
// and whose CRC holds.
bool crc_ok(const uint8_t *s, int len)
{
    return len >= 12 && tsGetCompleteTableLength(reinterpret_cast<const TTableBase *>(s)) == len &&
           DvbCrc32Check(s, size_t(len)) == 1;
}

void program_name(input_table_info *info, int pnu, char *out, size_t size)
{
    const local_sdt_service *svc = input_table_info_get_sdt_service(info, pnu);
    if (svc && svc->name.len > 0)
        std::snprintf(out, size, "%.*s", std::min(svc->name.len, LOCAL_STRING_MAX - 1), svc->name.string);
    else
        std::snprintf(out, size, "%d", pnu);
}

// ---- the steps; the handlers below add the PID index and the outputs ----

// 1 when the programs changed.
int pat_step(input_table_info *info, input_psi *psi, int id, bool routable, const tsPkt *pkt)
{
    uint8_t sec[PSI_SECTION_BUF];
    int len = next_section(psi->pat_dmux, pkt, sec, sizeof sec);
    if (len <= 0)
        return 0;
    if (!crc_ok(sec, len)) {
        mcf_post_log(SQ_LOG_WARN, "Input %d PAT failed CRC check", id);
        return 0;
    }
    const int count = (len - 12) / 4;
    if (sec[0] != 0x00 || count < 1 || count > INPUT_PROGRAMS_MAX)
        return 0;
    const int version = section_version(sec);
    if (version == info->pat_version)
        return 0;
    int nit_pid = PID_NONE;
    int pnus[INPUT_PROGRAMS_MAX], pids[INPUT_PROGRAMS_MAX], n = 0;
    for (int i = 0; i < count; ++i) {
        const int pnu = get16(sec + 8 + 4 * i);
        const int pid = get16(sec + 10 + 4 * i) & 0x1FFF;
        if (pnu == 0) {
            nit_pid = pid;
            continue;
        }
        pnus[n] = pnu;
        pids[n++] = pid;
    }
    if (n == 0)
        return 0;
    if (!routable && info->pat_version != -1 && n == info->num_programs) {
        bool same = true;
        for (int i = 0; i < n && same; ++i) {
            const local_pmt *p = input_table_info_get_service(info, pnus[i]);
            same = p && p->pmt_pid == pids[i];
        }
        if (same)
            return 0;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d PAT tables_changed (version %d to %d), Programs %d", id,
                 info->pat_version, version, n);
    input_table_info_clear(info);
    if (routable)
        mcf_post_program_status_clear(uint32_t(id));
    info->pat_version = version;
    info->ts_id = get16(sec + 3);
    info->nit_pid = nit_pid;
    for (int i = 0; i < n; ++i) {
        if (!input_table_info_append_service(info, pids[i], pnus[i])) {
            mcf_post_log(SQ_LOG_ERROR, "Input %d: program %d not taken", id, pnus[i]);
            continue;
        }
        mcf_post_log(SQ_LOG_DEBUG, "pnu %d, pmt pid %d", pnus[i], pids[i]);
    }
    return 1;
}

enum { PMT_NOTHING = -1, PMT_CHANGED = 0, PMT_POPULATED = 1, PMT_CHANGED_LATER = 2 };

int pmt_step(input_table_info *info, pmt_state *st, int id, bool routable, const tsPkt *pkt)
{
    if (info->pat_version == -1 || !st)
        return PMT_NOTHING;
    uint8_t sec[PSI_SECTION_BUF];
    int len = next_section(st->dmux, pkt, sec, sizeof sec);
    if (len <= 0 || sec[0] != 0x02)
        return PMT_NOTHING;
    if (!crc_ok(sec, len)) {
        mcf_post_log(SQ_LOG_WARN, "Input %d PMT failed CRC check", id);
        return PMT_NOTHING;
    }
    local_pmt &p = st->pmt;
    local_pmt terse;
    local_pmt_init(&terse, p.pnu, p.pmt_pid, -1);
    const int entries = tsGetTersePmtServiceInfo(sec, size_t(len), &terse);
    if (entries < 1 || entries > LOCAL_PMT_ENTRIES_MAX)
        return PMT_NOTHING;
    const int version = section_version(sec);
    if (version == p.pmt_version)
        return PMT_NOTHING;
    const int pcr_pid = get16(sec + 8) & 0x1FFF;
    if (!routable && p.pmt_version != -1 && entries == p.num_pmt_entries && pcr_pid == p.pcr_pid) {
        bool same = true;
        for (int i = 0; i < entries && same; ++i) {
            const local_pmt_entry *e = local_pmt_get_entry(&p, terse.pmt_entries[i].elementary_pid);
            same = e && e->stream_type == terse.pmt_entries[i].stream_type;
        }
        if (same)
            return PMT_NOTHING;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d PMT tables_changed (version %d to %d), Entries %d", id, p.pmt_version,
                 version, entries);
    p.pcr_pid = pcr_pid;
    p.pcr_ingress_id = id;
    for (auto &e : p.pmt_entries) {
        e.stream_type = -1;
        e.ingress_id = -1;
        e.elementary_pid = -1;
        e.es_info_len = 0;
    }
    p.num_pmt_entries = std::max(0, tsGetPmtServiceInfo(sec, size_t(len), &p, id));
    p.ca_sys_id = 0;
    p.ecm_pid = PID_NONE;
    for (int i = 0; i < p.num_pgm_info_desc_entries; ++i) {
        const local_pgm_info_desc_entry &d = p.program_info_desc_entries[i];
        if (d.tag == 0x09 && d.len >= 4) {
            p.ca_sys_id = get16(d.desc_info);
            p.ecm_pid = get16(d.desc_info + 2) & 0x1FFF;
            input_table_info_init_ecm(info, p.ecm_pid);
        } else if (d.tag == 0x65 && d.len >= 1) {
            p.scram_mode = d.desc_info[0];
        }
    }
    p.pmt_version = version;

    if (info->populated)
        return PMT_CHANGED_LATER;
    for (int i = 0; i < info->num_programs; ++i)
        if (info->services[i].pmt.num_pmt_entries < 1)
            return PMT_CHANGED;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d All PMT tables populated!", id);
    info->populated = 1;
    if (routable) {
        for (int i = 0; i < info->num_programs; ++i) {
            const local_pmt &q = info->services[i].pmt;
            char name[20];
            program_name(info, q.pnu, name, sizeof name);
            mcf_post_program_status_add(uint32_t(id), uint32_t(q.pnu), name, get_ca_status(id, &q));
        }
    }
    return PMT_POPULATED;
}

// 1 when the SDT changed.
int sdt_step(input_table_info *info, input_psi *psi, int id, bool routable, const tsPkt *pkt)
{
    if (!info->populated || !psi->sdt_dmux || !pkt || section_dmux_process(psi->sdt_dmux, pkt) != 1)
        return 0;
    const int section_length = section_dmux_get_section_length(psi->sdt_dmux);
    const int len = section_length + 3;
    if (section_dmux_get_table_id(psi->sdt_dmux) != 0x42) {
        mcf_post_log(SQ_LOG_WARN, "Input %d Incorrect SDT table ID. Corrupt SDT? Ignoring.", id);
        return 0;
    }
    if (section_length < 12 || section_length > 1027 ||
        section_dmux_get_section(psi->sdt_dmux, psi->sdt_section_buf, sizeof psi->sdt_section_buf) != len) {
        mcf_post_log(SQ_LOG_WARN, "Input %d SDT section store is full. Corrupt SDT? Ignoring.", id);
        return 0;
    }
    const uint8_t *sec = psi->sdt_section_buf;
    const int version = section_version(sec);
    if (version == info->sdt_version)
        return 0;
    mcf_post_log(SQ_LOG_INFO, "Input %d SDT parse section (single)", id);
    if (!crc_ok(sec, len)) {
        mcf_post_log(SQ_LOG_WARN, "Input %d SDT failed CRC check", id);
        return 0;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d SDT tables_changed (version %d to %d)", id, info->sdt_version, version);
    info->sdt_version = version;
    sdt_to_local(&info->sdt, reinterpret_cast<const sdt *>(sec), size_t(len));
    if (routable) {
        for (int i = 0; i < info->sdt.num_service_info; ++i) {
            const local_sdt_service &s = info->sdt.service_info[i];
            if (s.name.len <= 0)
                continue;
            char name[20];
            std::snprintf(name, sizeof name, "%.*s", std::min(s.name.len, LOCAL_STRING_MAX - 1), s.name.string);
            mcf_post_program_status_name(uint32_t(id), uint32_t(s.pnu), name);
        }
        if (g_listener.update_sdt_tables)
            g_listener.update_sdt_tables(id);
    }
    return 1;
}

int cat_step(input_table_info *info, input_psi *psi, int id, const tsPkt *pkt)
{
    uint8_t sec[PSI_SECTION_BUF];
    int len = next_section(psi->cat_dmux, pkt, sec, sizeof sec);
    if (len <= 0)
        return 0;
    if (!crc_ok(sec, len)) {
        mcf_post_log(SQ_LOG_WARN, "Input %d CAT failed CRC check", id);
        return 0;
    }
    const int version = section_version(sec);
    if (sec[0] != 0x01 || version == info->cat_version)
        return 0;
    // Descriptors from byte 8 up to the CRC; each length checked.
    for (int pos = 8; pos + 2 <= len - 4;) {
        const int dlen = sec[pos + 1];
        if (pos + 2 + dlen > len - 4)
            break;
        if (sec[pos] == 0x09 && dlen >= 4) {
            const int sys = get16(sec + pos + 2);
            const int pid = get16(sec + pos + 4) & 0x1FFF;
            if (input_table_info_init_emm(info, pid, sys) == 0)
                mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d CAT system %X, EMM PID %d", id, unsigned(sys), pid);
            break;
        }
        pos += 2 + dlen;
    }
    mcf_post_log(SQ_LOG_INFO, "MCF: Input %d CAT tables_changed (version %d to %d)", id, info->cat_version, version);
    info->cat_version = version;
    return 1;
}

int ca_step(section_dmux *d, int id, const tsPkt *pkt, void (*hand)(int, const uint8_t *, size_t))
{
    if (!d)
        return -1;
    if (!pkt || section_dmux_process(d, pkt) != 1)
        return 0;
    uint8_t sec[CA_SECTION_BUF];
    const int len = section_dmux_get_section(d, sec, sizeof sec);
    if (len > 0 && hand)
        hand(id, sec, size_t(len));
    return 0;
}

} // namespace

extern "C" {

/* ---- table information ---- */

int input_table_info_clear(input_table_info *info)
{
    if (!info)
        return -1;
    for (auto &s : info->services)
        section_dmux_dtor(s.dmux);
    section_dmux_dtor(info->ca.emm_dmux);
    section_dmux_dtor(info->ca.ecm_dmux);
    std::memset(info, 0, sizeof *info);
    info->pat_version = info->cat_version = info->sdt_version = -1;
    info->nit_pid = PID_NONE;
    info->ca.emm_pid = info->ca.ecm_pid = PID_NONE;
    info->ca.ca_sys_id = 0;
    for (auto &s : info->services)
        local_pmt_init(&s.pmt, 0, 0, -1);
    return 0;
}

pmt_state *input_table_info_append_service(input_table_info *info, int pmt_pid, int pnu)
{
    if (!info || info->num_programs >= INPUT_PROGRAMS_MAX || pmt_pid < 0 || pmt_pid >= PID_NONE)
        return nullptr;
    section_dmux *d = section_dmux_ctor(uint16_t(pmt_pid), PSI_SECTION_BUF);
    if (!d)
        return nullptr;
    pmt_state &s = info->services[info->num_programs++];
    s.dmux = d;
    local_pmt_init(&s.pmt, pnu, pmt_pid, -1);
    s.pmt.ecm_pid = PID_NONE;
    s.pmt.ca_sys_id = 0;
    s.pmt.scram_mode = -1;
    return &s;
}

int input_table_info_init_emm(input_table_info *info, int pid, int ca_sys_id)
{
    if (!info || pid < 0 || pid >= PID_NONE || info->ca.emm_dmux)
        return -1;
    info->ca.emm_dmux = section_dmux_ctor(uint16_t(pid), CA_SECTION_BUF);
    if (!info->ca.emm_dmux)
        return -1;
    info->ca.emm_pid = pid;
    info->ca.ca_sys_id = ca_sys_id;
    return 0;
}

int input_table_info_init_ecm(input_table_info *info, int pid)
{
    if (!info || pid < 0 || pid >= PID_NONE || info->ca.ecm_dmux)
        return -1;
    info->ca.ecm_dmux = section_dmux_ctor(uint16_t(pid), CA_SECTION_BUF);
    if (!info->ca.ecm_dmux)
        return -1;
    info->ca.ecm_pid = pid;
    return 0;
}

int input_table_info_is_pmt_pid(const input_table_info *info, int pid)
{
    for (int i = 0; info && i < info->num_programs; ++i)
        if (info->services[i].pmt.pnu > 0 && info->services[i].pmt.pmt_pid == pid)
            return 1;
    return 0;
}

int input_table_info_is_data_pid(const input_table_info *info, int pid)
{
    for (int i = 0; info && i < info->num_programs; ++i) {
        const local_pmt &p = info->services[i].pmt;
        for (int j = 0; j < p.num_pmt_entries; ++j)
            if (p.pmt_entries[j].elementary_pid == pid)
                return 1;
    }
    return 0;
}

local_pmt *input_table_info_get_service(input_table_info *info, int pnu)
{
    for (int i = 0; info && i < info->num_programs; ++i)
        if (info->services[i].pmt.pnu == pnu)
            return &info->services[i].pmt;
    return nullptr;
}

local_sdt_service *input_table_info_get_sdt_service(input_table_info *info, int pnu)
{
    for (int i = 0; info && i < info->sdt.num_service_info && i < LOCAL_SDT_SERVICES_MAX; ++i)
        if (info->sdt.service_info[i].pnu == pnu)
            return &info->sdt.service_info[i];
    return nullptr;
}

int input_table_info_get_ingress_id(int input_id, int pnu, int pid)
{
    if (input_id < 0 || pnu < 1 || pid < 1)
        return -1;
    manager_input *mi = manager_inputs_find_by_id(input_id);
    if (!mi || !mi->tables)
        return -1;
    return local_pmt_get_ingress_id(input_table_info_get_service(mi->tables, pnu), pid);
}

int input_tables_init(input_table_info *info, input_psi *psi)
{
    std::memset(info, 0, sizeof *info);
    input_table_info_clear(info);
    std::memset(psi, 0, sizeof *psi);
    psi->pat_dmux = section_dmux_ctor(0x00, PSI_SECTION_BUF);
    psi->cat_dmux = section_dmux_ctor(0x01, PSI_SECTION_BUF);
    psi->sdt_dmux = section_dmux_ctor(0x11, 2048);
    if (!psi->pat_dmux || !psi->cat_dmux || !psi->sdt_dmux) {
        input_tables_fini(info, psi);
        return -1;
    }
    return 0;
}

void input_tables_fini(input_table_info *info, input_psi *psi)
{
    if (info)
        input_table_info_clear(info);
    if (psi) {
        section_dmux_dtor(psi->pat_dmux);
        section_dmux_dtor(psi->cat_dmux);
        section_dmux_dtor(psi->sdt_dmux);
        psi->pat_dmux = psi->cat_dmux = psi->sdt_dmux = nullptr;
    }
}

void input_tables_clear_program_status(input_table_info *info)
{
    if (!info)
        return;
    for (int i = 0; i < info->num_programs && i < INPUT_PROGRAMS_MAX; ++i)
        info->program_status[i] = 0;
    info->pat_version = -1;
    info->sdt_version = -1;
}

ca_status get_ca_status(int input_id, const local_pmt *p)
{
    if (!p)
        return CASTATUS_CLEAR;
    mcf_post_log(SQ_LOG_DEBUG, "Input %d pgm %d ca_sys_id %d (%d)", input_id, p->pnu, p->ca_sys_id, p->scram_mode);
    switch (p->ca_sys_id) {
    case 0:
        return CASTATUS_CLEAR;
    case 0x2600:
        return CASTATUS_BISS1;
    case 0x2602:
        return CASTATUS_BISS2_M1;
    case 0x2610:
        return CASTATUS_BISS2_CA;
    default:
        return CASTATUS_ENCRYPTED_OTHER;
    }
}

/* ---- PID handlers ---- */

int process_pkt_pat(void *, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    if (pat_step(mi->tables, &mi->psi, mi->id, mi->is_routable, pkt) != 1)
        return 0;
    phindex_repopulate();
    return 1;
}

int process_pkt_pmt(void *data, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    auto *st = static_cast<pmt_state *>(data);
    const int rc = pmt_step(mi->tables, st, mi->id, mi->is_routable, pkt);
    if (rc == PMT_NOTHING)
        return 0;
    phindex_repopulate();
    if (mi->is_routable) {
        if (rc == PMT_CHANGED_LATER) {
            if (g_listener.update_pgm_tables)
                g_listener.update_pgm_tables(mi->id, st->pmt.pnu);
            mcf_post_program_status_ca(uint32_t(mi->id), uint32_t(st->pmt.pnu), get_ca_status(mi->id, &st->pmt));
        } else if (rc == PMT_POPULATED && g_listener.update_pgm_tables) {
            g_listener.update_pgm_tables(mi->id, -1);
        }
    }
    return rc;
}

int process_pkt_sdt(void *, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    return sdt_step(mi->tables, &mi->psi, mi->id, mi->is_routable, pkt);
}

int process_pkt_cat(void *, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    if (cat_step(mi->tables, &mi->psi, mi->id, pkt) != 1)
        return 0;
    phindex_repopulate();
    return 1;
}

int process_pkt_emm(void *, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    return ca_step(mi->tables->ca.emm_dmux, mi->id, pkt, g_listener.process_emm);
}

int process_pkt_ecm(void *, tsPkt *pkt, manager_input *mi, const struct timespec *)
{
    if (!mi || !mi->tables)
        return -1;
    return ca_step(mi->tables->ca.ecm_dmux, mi->id, pkt, g_listener.process_ecm);
}

void input_tables_set_listener(const input_tables_listener *l) { g_listener = l ? *l : input_tables_listener{}; }

void input_tables_notify_program_tables(int input_id, int pnu)
{
    if (g_listener.update_pgm_tables)
        g_listener.update_pgm_tables(input_id, pnu);
}

void input_tables_notify_sdt_tables(int input_id)
{
    if (g_listener.update_sdt_tables)
        g_listener.update_sdt_tables(input_id);
}

} // extern "C"
