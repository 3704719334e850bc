// The tables an output regenerates: PAT, CAT, a PMT per routed program,
// and a DVB SDT or the ATSC MGT, STT, RRT, VCT and EIT-0..3, with their
// versions. Loop thread, ctrl_data_lock held for writing (callers).
#include "outputs/manager_output.h"

#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "tables/input_tables.h"
#include "tables/virtual_input.h"

#include <ca_descr.h>
#include <psi_cat.h>
#include <psi_pat.h>
#include <psi_pmt.h>
#include <psip_rrt.h>
#include <psip_vct.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kSdtPid = 17;
constexpr uint8_t kScramblingTag = 0x65;
constexpr int kRrtPid = ATSC_BASE_PID;

// Version rule: with a record, the saved version + 1 (never saved: -1,
// giving 0); without, + 1 only once the current version has been sent.
int next_version(int32_t current, uint32_t *sent, const int32_t *saved)
{
    if (saved)
        return (*saved + 1 + 32) % 32;
    if (*sent) {
        *sent = 0;
        return (current + 1) % 32;
    }
    return current;
}

input_table_info *input_tables_of(int input_id)
{
    manager_input *mi = manager_inputs_find_by_id(input_id);
    if (!mi && input_id == virtual_input_get_ingress_id())
        mi = virtual_input_get_manager();
    return mi ? mi->tables : nullptr;
}

const routed_pgm_cfg *routed_by_pnu(const out_services &os, int pnu)
{
    for (const routed_pgm_cfg &p : os.services)
        if (p.pnu == pnu)
            return &p;
    return nullptr;
}

int map_pid(const routed_pgm_cfg *pgm, int pid)
{
    for (uint32_t i = 0; i < pgm->num_pid_maps; ++i)
        if (pgm->pid_maps[i].in_pid == pid)
            return pgm->pid_maps[i].out_pid;
    return pid;
}

void copy_string(local_string &dst, const local_string &src)
{
    dst.len = std::clamp(src.len, 0, int(LOCAL_STRING_MAX) - 1);
    std::memcpy(dst.string, src.string, size_t(dst.len));
    dst.string[dst.len] = '\0';
}

bool same_string(const local_string &a, const local_string &b)
{
    return a.len == b.len && std::memcmp(a.string, b.string, size_t(std::clamp(a.len, 0, int(LOCAL_STRING_MAX)))) == 0;
}

section_reader *new_pmt_reader(const manager_output *mo, int pid)
{
    return section_reader_ctor_multi(MO_PMT_SECTION_MAX, int32_t(mo->PTKS_PER_PMT), uint16_t(pid), 1);
}

// The program-info descriptors the output keeps: CA descriptors other than
// BISS-CA, and scrambling descriptors of mode 0.
void filter_program_info(local_pmt &p)
{
    int n = std::clamp(p.num_pgm_info_desc_entries, 0, int(LOCAL_PGM_INFO_DESC_MAX));
    for (int i = n - 1; i >= 0; --i) {
        const auto *d = reinterpret_cast<const descriptor *>(&p.program_info_desc_entries[i]);
        bool keep = false;
        if (d->tag == CA_DESCR_TAG)
            keep = !ca_descr_is_biss2ca(d);
        else if (d->tag == kScramblingTag)
            keep = scrambling_descr_get_mode(d) == 0;
        if (!keep) {
            std::memmove(&p.program_info_desc_entries[i], &p.program_info_desc_entries[i + 1],
                         sizeof(local_pgm_info_desc_entry) * size_t(n - i - 1));
            --n;
        }
    }
    p.num_pgm_info_desc_entries = n;
}

bool add_program_info(local_pmt &p, const uint8_t *desc, int size)
{
    if (p.num_pgm_info_desc_entries >= LOCAL_PGM_INFO_DESC_MAX || size < 2 || size - 2 > LOCAL_PGM_INFO_DESC_DATA_MAX)
        return false;
    local_pgm_info_desc_entry &e = p.program_info_desc_entries[p.num_pgm_info_desc_entries++];
    e.tag = desc[0];
    e.len = uint8_t(size - 2);
    std::memcpy(e.desc_info, desc + 2, size_t(size - 2));
    return true;
}

void add_klv_entry(local_pmt &p, const cfg_rx_klv *klv)
{
    const int idx = local_pmt_add_entry(&p, 6, -1, int(klv->pid));
    if (idx < 0)
        return;
    uint8_t buf[LOCAL_ES_INFO_MAX];
    int len = 0;
    int n = esinfo_write_data_alignment_descriptor(buf + len, LOCAL_ES_INFO_MAX - len, 1);
    if (n < 0)
        mcf_post_log(SQ_LOG_ERROR, "MCF KLV: Failed to write data alignment descriptor, len %d", len);
    else
        len += n;
    n = esinfo_write_klva_descriptor(buf + len, LOCAL_ES_INFO_MAX - len);
    if (n < 0)
        mcf_post_log(SQ_LOG_ERROR, "MCF KLV: Failed to write klva descriptor, len %d", len);
    else
        len += n;
    n = esinfo_write_metadata_descriptor(buf + len, LOCAL_ES_INFO_MAX - len);
    if (n < 0)
        mcf_post_log(SQ_LOG_ERROR, "MCF KLV: Failed to write metadata descriptor, len %d", len);
    else
        len += n;
    n = esinfo_write_metadata_std_descriptor(buf + len, LOCAL_ES_INFO_MAX - len, uint32_t(klv->rate), 2048, 5999600);
    if (n > 0)
        len += n;
    local_pmt_set_entry_es_info(&p, idx, buf, len);
}

// The distinct program numbers above 0 in entry order, first entry winning:
// indexes into pmt_data.
std::vector<int> carried_programs(const output_table_config_t &t)
{
    std::vector<int> out;
    for (int i = 0; i < t.num_pmts; ++i) {
        const int pnu = t.pmt_data[i].pmt.pnu;
        bool seen = false;
        for (int j : out)
            seen = seen || t.pmt_data[j].pmt.pnu == pnu;
        if (!seen)
            out.push_back(i);
    }
    return out;
}

} // namespace

namespace mcf {

void free_table_readers(manager_output *mo)
{
    output_table_config_t &t = mo->tables;
    if (t.sdt_rdr) {
        mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d freeing sdt reader", mo->id);
        section_reader_dtor(t.sdt_rdr);
        t.sdt_rdr = nullptr;
    }
    for (int i = 0; i < MO_PMTS_MAX; ++i)
        if (t.pmt_rdrs[i]) {
            mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PMT %d freeing reader", mo->id, i);
            section_reader_dtor(t.pmt_rdrs[i]);
            t.pmt_rdrs[i] = nullptr;
        }
}

// Step 6 of the build.
void build_tables(manager_output *mo, cfg_tx *tx)
{
    free_table_readers(mo);
    std::memset(&mo->tables, 0, sizeof mo->tables);
    output_table_config_t &t = mo->tables;
    if (tx->tx_tbl_state.pat_ver != -1)
        t.pat_ver = tx->tx_tbl_state.pat_ver;
    if (tx->tx_tbl_state.sdt_ver != -1)
        t.sdt_ver = tx->tx_tbl_state.sdt_ver;
    t.sdt_rdr = section_reader_ctor_multi(MO_SDT_SECTION_MAX, int32_t(mo->PTKS_PER_SDT), kSdtPid, 1);
    t.rrt_cur_pkt = &t.rrt_pkts[0];
    t.vct_cur_pkt = &t.vct_pkts[0];
    t.pat_ts_id = tx->ts_id;
    __manager_output_update_program_info(mo, tx, nullptr);
    __manager_output_update_pmt_pkts(mo);
    __manager_output_update_pat(mo, tx);
    __manager_output_init_cat(mo);
    if (mo->configured_tables_type == TABLES_TYPE_DVB) {
        manager_output_update_sdt_table(mo, tx);
    } else if (mo->configured_tables_type == TABLES_TYPE_ATSC_CABLE ||
               mo->configured_tables_type == TABLES_TYPE_ATSC_TERRESTRIAL) {
        manager_output_update_atsc_tables(mo, tx, 0);
        manager_output_update_stt_table(mo);
    }
}

int sync_ca_tx_session(manager_output *mo, const cfg_tx *tx);

} // namespace mcf

extern "C" {

pmt_data *find_pmt_data(pmt_data *arr, int count, int input_id, int pnu)
{
    for (int i = 0; arr && i < count; ++i)
        if (arr[i].info.input_id == input_id && arr[i].info.prog_num == pnu)
            return &arr[i];
    return nullptr;
}

int find_pmt_reader(section_reader *const *rdrs, int count, int pid)
{
    for (int i = 0; rdrs && i < count; ++i)
        if (rdrs[i] && section_reader_has_section(rdrs[i]) && section_reader_get_pid(rdrs[i]) == pid)
            return i;
    return -1;
}

int init_next_pmt_data(pmt_data *next, int input_id, const local_pmt *in, const routed_pgm_cfg *pgm,
                       const cfg_rx_klv *klv, const pmt_data *cur, int ext_version)
{
    if (!next || !in || !pgm)
        return -1;
    // 1. the input's program
    next->pmt = *in;
    local_pmt &p = next->pmt;
    pmt_build_info &b = next->info;
    b.prog_num = pgm->pnu;
    b.input_id = input_id;
    b.ingress_pmt_version = in->pmt_version;
    b.klv_pid = klv ? int32_t(klv->pid) : PID_NONE;
    if (pgm->overwrite_pnu_out > 0) {
        p.pnu = pgm->overwrite_pnu_out;
        b.out_pnu = pgm->overwrite_pnu_out;
    } else {
        b.out_pnu = in->pnu;
    }
    // 2. PID remaps
    if (pgm->num_pid_maps) {
        p.pmt_pid = map_pid(pgm, p.pmt_pid);
        p.pcr_pid = map_pid(pgm, p.pcr_pid);
        const int n = std::clamp(p.num_pmt_entries, 0, int(LOCAL_PMT_ENTRIES_MAX));
        for (int i = 0; i < n; ++i)
            p.pmt_entries[i].elementary_pid = map_pid(pgm, p.pmt_entries[i].elementary_pid);
    }
    // 3.
    b.pid_maps_version = pgm->pid_maps_ver;
    b.ca_ecm_pid = PID_NONE;
    b.ca_esid = -1;
    b.ca_onid = -1;
    // 4. program information
    filter_program_info(p);
    // 5. BISS-CA
    if (pgm->ca_session_id != -1) {
        const cfg_ca *ca = mcfcfg_ca_session_find_by_id(pgm->ca_session_id);
        if (ca && ca->type == ECRTYPE_BISS2_CA) {
            b.ca_ecm_pid = int32_t(ca->biss2ca_ecm_pid);
            b.ca_esid = ca->biss2ca_esid;
            b.ca_onid = pgm->orig_network_id;
            uint8_t d[LOCAL_PGM_INFO_DESC_DATA_MAX + 2];
            const int n = ca_descr_init_biss2ca(d, sizeof d, uint16_t(b.ca_ecm_pid), uint16_t(b.ca_esid),
                                                uint16_t(b.ca_onid));
            if (n > 0)
                add_program_info(p, d, n);
            if (scrambling_descr_init(d, sizeof d, 16) == 0)
                add_program_info(p, d, 3);
        }
    }
    // 6. KLV
    if (klv)
        add_klv_entry(p, klv);
    // 7. version
    int ver;
    if (ext_version != -1)
        ver = ext_version;
    else if (!cur)
        ver = in->pmt_version;
    else {
        const pmt_build_info &c = cur->info;
        const bool same = c.ingress_pmt_version == b.ingress_pmt_version && c.klv_pid == b.klv_pid &&
                          c.out_pnu == b.out_pnu && c.ca_ecm_pid == b.ca_ecm_pid && c.ca_esid == b.ca_esid &&
                          c.ca_onid == b.ca_onid && c.pid_maps_version == b.pid_maps_version;
        ver = same ? c.egress_pmt_version : (c.egress_pmt_version + 1) % 32;
    }
    p.pmt_version = ver;
    b.egress_pmt_version = ver;
    return 0;
}

int __manager_output_update_program_info(manager_output *mo, cfg_tx *tx, int *pat_changed)
{
    output_table_config_t &t = mo->tables;
    std::vector<pmt_data> next(MO_PMTS_MAX);
    section_reader *next_rdrs[MO_PMTS_MAX] = {};
    bool reused[MO_PMTS_MAX] = {};
    int k = 0;
    for (const out_services &os : mo->unique_inputs) {
        input_table_info *info = input_tables_of(os.input_id);
        if (!info) {
            mcf_post_log(SQ_LOG_WARN, "Input %d Mgr - not active.", os.input_id);
            continue;
        }
        if (info->num_programs <= 0)
            continue;
        for (const routed_pgm_cfg &pgm : os.services) {
            if (k >= MO_PMTS_MAX)
                break;
            const cfg_rx_klv *klv = pgm.klv_source_id >= 0 ? mcfcfg_rx_klv_find_by_id(pgm.klv_source_id) : nullptr;
            const local_pmt *in = input_table_info_get_service(info, pgm.pnu);
            if (!in) {
                mcf_post_log(SQ_LOG_DEBUG, "Input %d - no table found for program number %d", os.input_id, pgm.pnu);
                continue;
            }
            if (in->pmt_pid == -1 || in->pcr_pid == -1)
                continue;
            int ext = -1;
            if (tx) {
                const int saved = cfg_tx_find_prior_pmt_version(tx, map_pid(&pgm, in->pmt_pid));
                ext = saved == -1 ? -1 : (saved + 1) % 32;
            }
            const pmt_data *cur = find_pmt_data(t.pmt_data, t.num_pmts, os.input_id, pgm.pnu);
            int rdr = cur ? find_pmt_reader(t.pmt_rdrs, t.num_pmts, cur->pmt.pmt_pid) : -1;
            if (rdr >= 0 && reused[rdr])
                rdr = -1;
            init_next_pmt_data(&next[size_t(k)], os.input_id, in, &pgm, klv, cur, ext);
            const int pid = next[size_t(k)].pmt.pmt_pid;
            if (rdr >= 0) {
                mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PMT next %d moving reader %d", mo->id, k, rdr);
                reused[rdr] = true;
                next_rdrs[k] = t.pmt_rdrs[rdr];
                section_reader_set_pid(next_rdrs[k], uint16_t(pid));
            } else {
                mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PMT next %d allocating reader", mo->id, k);
                next_rdrs[k] = new_pmt_reader(mo, pid);
            }
            ++k;
        }
    }
    if (pat_changed) {
        bool changed = k != t.num_pmts;
        for (int i = 0; i < k && !changed; ++i) {
            bool found = false;
            for (int j = 0; j < t.num_pmts && !found; ++j)
                found = t.pmt_data[j].pmt.pnu == next[size_t(i)].pmt.pnu &&
                        t.pmt_data[j].pmt.pmt_pid == next[size_t(i)].pmt.pmt_pid;
            changed = !found;
        }
        *pat_changed = changed ? 1 : 0;
    }
    for (int i = 0; i < MO_PMTS_MAX; ++i)
        if (t.pmt_rdrs[i] && !reused[i]) {
            mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PMT %d freeing unused reader", mo->id, i);
            section_reader_dtor(t.pmt_rdrs[i]);
        }
    for (int i = 0; i < MO_PMTS_MAX; ++i) {
        t.pmt_rdrs[i] = next_rdrs[i];
        if (i < k)
            t.pmt_data[i] = next[size_t(i)];
    }
    t.num_pmts = k;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PMT tables update. Total of %d programs.", mo->id, k);
    return 0;
}

int __manager_output_update_pmt_pkts(manager_output *mo)
{
    output_table_config_t &t = mo->tables;
    const std::vector<int> carried = carried_programs(t);
    std::fill(std::begin(t.pmt_pid), std::end(t.pmt_pid), 0);
    int n = 0;
    alignas(4) uint8_t buf[MO_PMT_SECTION_MAX];
    for (int i = 0; i < t.num_pmts; ++i) {
        const bool first = std::find(carried.begin(), carried.end(), i) != carried.end();
        section_reader *r = t.pmt_rdrs[i];
        if (!first || n >= PAT_MAX_PROGRAMS) {
            // A second PMT of a program number, or beyond what one PAT packet holds.
            if (first)
                mcf_post_log(SQ_LOG_ERROR, "MCF: Output %d program %d left out: the PAT holds %d programs", mo->id,
                             t.pmt_data[i].pmt.pnu, PAT_MAX_PROGRAMS);
            if (r)
                section_reader_clear(r);
            continue;
        }
        std::memset(buf, 0xFF, sizeof buf);
        local_pmt_to_section(&t.pmt_data[i].pmt, reinterpret_cast<TPmt *>(buf), sizeof buf);
        if (r)
            section_reader_set_section(r, reinterpret_cast<const TTableBase *>(buf));
        t.pmt_pid[n++] = t.pmt_data[i].pmt.pmt_pid;
    }
    return 0;
}

int __manager_output_update_pat(manager_output *mo, cfg_tx *tx)
{
    output_table_config_t &t = mo->tables;
    if (t.num_pmts <= 0)
        return -1;
    generateDefaultTsPacket(&t.pat_pkt, 0);
    auto *pat = reinterpret_cast<TPat *>(t.pat_pkt.payload + 1);
    tsSetPatDefault(pat, uint16_t(t.pat_ts_id));
    t.pat_ver = next_version(t.pat_ver, &t.pat_sent, tx ? &tx->tx_tbl_state.pat_ver : nullptr);
    tsSetVersion(&pat->header, uint8_t(t.pat_ver));
    size_t entries = 0;
    bool cut = false;
    for (int i : carried_programs(t)) {
        const local_pmt &p = t.pmt_data[i].pmt;
        if (p.pnu <= 0)
            continue;
        if (entries >= PAT_MAX_PROGRAMS) {
            cut = true;
            continue;
        }
        tsAddPatProgram(pat, uint16_t(p.pnu), uint16_t(p.pmt_pid), 0);
        ++entries;
    }
    if (cut)
        mcf_post_log(SQ_LOG_ERROR, "MCF: Output %d PAT holds %d programs; the others are left out", mo->id,
                     PAT_MAX_PROGRAMS);
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d PAT table update. Total of %zd entries. Version %d.", mo->id,
                 ssize_t(entries), t.pat_ver);
    tsUpdateCRC(&pat->header);
    return 0;
}

int __manager_output_init_cat(manager_output *mo)
{
    output_table_config_t &t = mo->tables;
    // The new CAT goes on from the counter of the one it replaces (the send
    // path steps it in the packet): a receiver sees no discontinuity on PID 1
    // when a setting regenerates the tables.
    const uint8_t cc = tsphGetContinuityCounter(&t.cat_pkt);
    generateDefaultTsPacket(&t.cat_pkt, 1);
    tsphSetContinuityCounter(&t.cat_pkt, cc);
    auto *cat = reinterpret_cast<TCat *>(t.cat_pkt.payload + 1);
    tsSetCatDefault(cat);
    tsUpdateCRC(&cat->header);
    if (mo->biss2ca_tx) {
        uint8_t d[20];
        const int n = ca_descr_init_biss2ca(d, sizeof d, uint16_t(biss2ca_tx_get_emm_pid(mo->biss2ca_tx)),
                                            uint16_t(biss2ca_tx_get_esid(mo->biss2ca_tx)),
                                            uint16_t(biss2ca_tx_get_onid(mo->biss2ca_tx)));
        if (n > 0) {
            tsAppendBytes(&cat->header, d, size_t(n));
            mcf_post_log(SQ_LOG_DEBUG, "Appending CAT CA descriptor len %d, tot len %d", n,
                         tsGetCompleteTableLength(&cat->header));
        }
    }
    return 0;
}

int sdt_update_local(local_sdt_entry *sdt, const manager_output *mo)
{
    if (!sdt || !mo)
        return -1;
    for (const out_services &os : mo->unique_inputs) {
        input_table_info *info = input_tables_of(os.input_id);
        if (!info)
            continue;
        const int n = std::clamp(info->sdt.num_service_info, 0, int(LOCAL_SDT_SERVICES_MAX));
        for (int i = 0; i < n; ++i) {
            const local_sdt_service &svc = info->sdt.service_info[i];
            const routed_pgm_cfg *pgm = routed_by_pnu(os, svc.pnu);
            if (!pgm)
                continue;
            if (sdt->num_service_info >= LOCAL_SDT_SERVICES_MAX) {
                mcf_post_log(SQ_LOG_WARN, "Can not parse any more sdt services, out of space");
                continue;
            }
            local_sdt_service &out = sdt->service_info[sdt->num_service_info++];
            out = svc;
            if (pgm->overwrite_pnu_out > 0)
                out.pnu = pgm->overwrite_pnu_out;
            if (pgm->name.len > 0)
                copy_string(out.name, pgm->name);
            if (pgm->provider.len > 0)
                copy_string(out.provider, pgm->provider);
        }
    }
    return 0;
}

int manager_output_update_sdt_table(manager_output *mo, cfg_tx *tx)
{
    if (!mo)
        return -1;
    output_table_config_t &t = mo->tables;
    mcf_post_log(SQ_LOG_DEBUG, "Calling %s on Output %d", __func__, mo->id);
    auto next = std::make_unique<local_sdt_entry>();
    next->ts_id = t.pat_ts_id;
    next->onit_id = tx ? tx->orig_network_id : 0;
    mcf_post_log(SQ_LOG_DEBUG, "Output %d SDT ONID %d", mo->id, next->onit_id);
    sdt_update_local(next.get(), mo);
    bool same = next->num_service_info == t.sdt_info.num_service_info && next->ts_id == t.sdt_info.ts_id;
    for (int i = 0; same && i < next->num_service_info; ++i) {
        const local_sdt_service &a = next->service_info[i];
        bool found = false;
        for (int j = 0; j < t.sdt_info.num_service_info && !found; ++j) {
            const local_sdt_service &b = t.sdt_info.service_info[j];
            found = a.pnu == b.pnu && a.service_type == b.service_type && a.cas_mode == b.cas_mode &&
                    same_string(a.name, b.name) && same_string(a.provider, b.provider);
        }
        same = found;
    }
    if (same)
        return -1;
    mcf_post_log(SQ_LOG_DEBUG, "Output %d SDT changed", mo->id);
    if (next->num_service_info == 0) {
        t.sdt_info.num_service_info = 0;
        if (t.sdt_rdr)
            section_reader_clear(t.sdt_rdr);
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "Output %d SDT changed (non-empty)", mo->id);
    if (tx) {
        mcf_post_log(SQ_LOG_DEBUG, "Output %d SDT d present", mo->id);
        tx->tx_tbl_state.sdt_ver = (tx->tx_tbl_state.sdt_ver + 1 + 32) % 32;
        t.sdt_ver = (tx->tx_tbl_state.sdt_ver + 1) % 32;
    } else {
        mcf_post_log(SQ_LOG_DEBUG, "Output %d checking SDT_SENT flag %u", mo->id, t.sdt_sent);
        t.sdt_ver = next_version(t.sdt_ver, &t.sdt_sent, nullptr);
    }
    t.sdt_info = *next;
    auto sec = std::make_unique<sdt>();
    sdt_init(sec.get(), uint8_t(t.sdt_ver), uint16_t(t.pat_ts_id));
    sdt_from_local(sec.get(), SDT_SECTION_BUF_SIZE, &t.sdt_info);
    if (!t.sdt_rdr || section_reader_set_section(t.sdt_rdr, &sec->header) != 0)
        return -1;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d SDT table update. Total %d entries. Version: %d.", mo->id,
                 t.sdt_info.num_service_info, t.sdt_ver);
    return 0;
}

// ---- ATSC ----

int update_mgt_info(local_mgt *mgt, const manager_output *mo)
{
    if (!mgt || !mo)
        return -1;
    const output_table_config_t &t = mo->tables;
    mgt->version = t.mgt_ver;
    mgt->tables_defined = LOCAL_MGT_ENTRIES;
    mgt->mgt_entries[0] = local_mgt_entry{t.vct_info.is_cable ? 0x0002 : 0x0000, ATSC_BASE_PID, t.vct_ver,
                                          t.mgt_build_info.vct_len, 0};
    mgt->mgt_entries[1] = local_mgt_entry{0x0301, ATSC_BASE_PID, t.rrt_ver, t.mgt_build_info.rrt_len, 0};
    for (int k = 0; k < MO_EIT_SLOTS; ++k)
        mgt->mgt_entries[2 + k] =
            local_mgt_entry{0x0100 + k, ATSC_EIT0_PID + k, t.eit_ver[k], t.mgt_build_info.eit_len[k], 0};
    return 0;
}

int vct_update_local(local_vct *vct, const manager_output *mo)
{
    if (!vct || !mo)
        return -1;
    for (const out_services &os : mo->unique_inputs) {
        input_table_info *info = input_tables_of(os.input_id);
        if (!info)
            continue;
        const int n = std::clamp(info->sdt.num_service_info, 0, int(LOCAL_SDT_SERVICES_MAX));
        for (int i = 0; i < n; ++i) {
            const local_sdt_service &svc = info->sdt.service_info[i];
            const routed_pgm_cfg *pgm = routed_by_pnu(os, svc.pnu);
            if (!pgm || vct->num_channels_in_section >= LOCAL_VCT_CHANNELS_MAX)
                continue;
            local_vct_entry &c = vct->vct_entries[vct->num_channels_in_section++];
            std::memset(&c, 0, sizeof c);
            c.major_chn = 0;
            c.minor_chn = c.pnu = c.source_id = svc.pnu;
            c.ts_id = mo->tables.pat_ts_id;
            c.modulation_mode = 3;
            c.service_type = 2;
            c.carrier_frequency = 0;
            copy_string(c.short_name, svc.name);
            copy_string(c.long_name, svc.provider);
            if (pgm->overwrite_pnu_out > 0)
                c.pnu = c.source_id = c.minor_chn = pgm->overwrite_pnu_out;
            if (pgm->source_id >= 1)
                c.source_id = pgm->source_id;
            if (pgm->minor_channel_number >= 0)
                c.minor_chn = pgm->minor_channel_number;
            if (pgm->major_channel_number >= 0)
                c.major_chn = pgm->major_channel_number;
            if (pgm->modulation_mode > 0)
                c.modulation_mode = pgm->modulation_mode;
            if (pgm->service_type > 0)
                c.service_type = pgm->service_type;
            if (pgm->carrier_frequency > 0)
                c.carrier_frequency = uint32_t(pgm->carrier_frequency);
            if (pgm->name.len > 0)
                copy_string(c.short_name, pgm->name);
            if (pgm->provider.len > 0)
                copy_string(c.long_name, pgm->provider);
            // Service location from the input's program of the channel's number.
            const local_pmt *p = input_table_info_get_service(info, c.pnu);
            if (p) {
                c.pcr = c.sld.pcr_pid = p->pcr_pid;
                const int m = std::clamp(p->num_pmt_entries, 0, int(LOCAL_SLD_ELEMENTS_MAX));
                for (int e = 0; e < m; ++e)
                    c.sld.elements[e] = local_sld_element{p->pmt_entries[e].stream_type, p->pmt_entries[e].elementary_pid};
                c.sld.num_elements = m;
            }
        }
    }
    return 0;
}

local_vct_entry *vct_find_local_entry(manager_output *mo, int pnu)
{
    if (!mo)
        return nullptr;
    local_vct &v = mo->tables.vct_info;
    for (int i = 0; i < std::min(v.num_channels_in_section, int(LOCAL_VCT_CHANNELS_MAX)); ++i)
        if (v.vct_entries[i].pnu == pnu)
            return &v.vct_entries[i];
    return nullptr;
}

int manager_output_update_mgt_table(manager_output *mo, cfg_tx *tx)
{
    output_table_config_t &t = mo->tables;
    t.mgt_ver = next_version(t.mgt_ver, &t.mgt_sent, tx ? &tx->tx_tbl_state.mgt_ver : nullptr);
    local_mgt mgt{};
    update_mgt_info(&mgt, mo);
    return local_mgt_to_mgt(&mgt, &t.mgt_pkt);
}

int manager_output_update_stt_table(manager_output *mo)
{
    local_stt stt{};
    populateSttServiceData(&stt);
    return local_stt_to_stt(&stt, &mo->tables.stt_pkt);
}

int manager_output_update_rrt_table(manager_output *mo, cfg_tx *tx)
{
    output_table_config_t &t = mo->tables;
    t.rrt_ver = next_version(t.rrt_ver, &t.rrt_sent, tx ? &tx->tx_tbl_state.rrt_ver : nullptr);
    alignas(4) uint8_t sec[RRT_SECTION_REGION1_SIZE];
    std::memcpy(sec, rrt_section_region1, sizeof sec);
    auto *h = reinterpret_cast<TTableBase *>(sec);
    tsSetVersion(h, uint8_t(t.rrt_ver));
    tsUpdateCRC(h);
    const int n = packetize_section(t.rrt_pkts, MO_RRT_PKTS, h, kRrtPid);
    if (n < 0)
        return n;
    t.mgt_build_info.rrt_len = tsGetCompleteTableLength(h);
    t.rrt_pkts_used = n;
    t.rrt_cur_pkt = &t.rrt_pkts[n < MO_RRT_PKTS ? n : MO_RRT_PKTS - 1];
    return 0;
}

int manager_output_update_vct_table(manager_output *mo, cfg_tx *tx)
{
    output_table_config_t &t = mo->tables;
    std::memset(&t.vct_info, 0, sizeof t.vct_info);
    t.vct_info.is_cable = mo->configured_tables_type == TABLES_TYPE_ATSC_CABLE;
    t.vct_info.ts_id = t.pat_ts_id;
    vct_update_local(&t.vct_info, mo);
    t.vct_ver = next_version(t.vct_ver, &t.vct_sent, tx ? &tx->tx_tbl_state.vct_ver : nullptr);
    t.vct_info.version = t.vct_ver;
    alignas(4) uint8_t buf[SDT_SECTION_BUF_SIZE];
    std::memset(buf, 0xFF, sizeof buf);
    size_t len = 0;
    vct_from_local(reinterpret_cast<TVct *>(buf), &t.vct_info, sizeof buf, &len, uint16_t(t.pat_ts_id));
    t.mgt_build_info.vct_len = int32_t(len);
    const int n = packetize_section(t.vct_pkts, MO_VCT_PKTS, reinterpret_cast<const TTableBase *>(buf), kRrtPid);
    if (n < 0)
        return n;
    t.vct_pkts_used = n;
    t.vct_cur_pkt = &t.vct_pkts[n < MO_VCT_PKTS ? n : MO_VCT_PKTS - 1];
    return 0;
}

int manager_output_update_eit_table(manager_output *mo, cfg_tx *tx)
{
    output_table_config_t &t = mo->tables;
    t.eit_last_updated_secs = 0;
    const uint32_t now = getCurrentGpsTime();
    for (int k = 0; k < MO_EIT_SLOTS; ++k) {
        t.eit_ver[k] = next_version(t.eit_ver[k], &t.eit_sent[k], tx ? &tx->tx_tbl_state.eit_ver[k] : nullptr);
        uint32_t total = 0;
        for (int i = 0; i < t.num_pmts; ++i) {
            const local_pmt &p = t.pmt_data[i].pmt;
            char title[LOCAL_EIT_TITLE_MAX + 1] = {};
            int source_id = p.pnu;
            if (const local_vct_entry *c = vct_find_local_entry(mo, p.pnu)) {
                std::snprintf(title, sizeof title, "%.*s", std::clamp(c->short_name.len, 0, int(LOCAL_EIT_TITLE_MAX)),
                              c->short_name.string);
                source_id = c->source_id;
            } else {
                std::memcpy(title, "SLV", 3);
            }
            local_eit &e = t.eit_info[k][i];
            std::memset(&e, 0, sizeof e);
            update_eit_local(&p, &e, now, title, 100 * k + i + 1, source_id, k);
            e.version = t.eit_ver[k];
            e.pid = ATSC_EIT0_PID + k;
            local_eit_to_eit(&e, &t.eit_pkt[k][i], k, &total);
            t.eit_pid[k][i] = ATSC_EIT0_PID + k;
        }
        t.mgt_build_info.eit_len[k] = int32_t(total);
        t.eit_pkts[k] = t.num_pmts;
    }
    return 0;
}

int manager_output_update_atsc_tables(manager_output *mo, cfg_tx *tx, int flag)
{
    if (!mo)
        return 0;
    switch (flag) {
    case 1: case 2: case 4: case 6:
        manager_output_update_vct_table(mo, tx);
        break;
    case 3: case 5:
        manager_output_update_vct_table(mo, tx);
        manager_output_update_eit_table(mo, tx);
        break;
    case 7:
        manager_output_update_eit_table(mo, tx);
        break;
    default:
        manager_output_update_rrt_table(mo, tx);
        manager_output_update_vct_table(mo, tx);
        manager_output_update_eit_table(mo, tx);
        break;
    }
    manager_output_update_mgt_table(mo, tx);
    return 0;
}

int manager_output_check_on_eit_table(manager_output *mo)
{
    if (!mo)
        return -1;
    if (mo->tables.eit_last_updated_secs <= 10800) {
        mo->tables.eit_last_updated_secs = (mo->tables.eit_last_updated_secs + 1) & 0xFFFF;
        if (mo->tables.eit_last_updated_secs <= 10800)
            return 0;
    }
    mcf::write_lock lock;
    manager_output_update_atsc_tables(mo, nullptr, 7);
    return 0;
}

int manager_output_update_program_tables(manager_output *mo, int flag)
{
    if (!mo)
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "Calling %s on Output %d", __func__, mo->id);
    int pat_changed = 0;
    __manager_output_update_program_info(mo, nullptr, &pat_changed);
    __manager_output_update_pmt_pkts(mo);
    if (pat_changed || (flag & 1))
        __manager_output_update_pat(mo, nullptr);
    if (mo->configured_tables_type == TABLES_TYPE_DVB)
        manager_output_update_sdt_table(mo, mcfcfg_tx_find_by_id(mo->id));
    else if (mo->configured_tables_type == TABLES_TYPE_ATSC_CABLE ||
             mo->configured_tables_type == TABLES_TYPE_ATSC_TERRESTRIAL)
        manager_output_update_atsc_tables(mo, nullptr, 0);
    return 0;
}

int manager_output_sync_tables_on_cfg_change(manager_output *mo, cfg_tx *tx, int what)
{
    if (!mo || !tx)
        return 0;
    manager_output_sync_unique_inputs(mo);
    mcf::sync_ca_tx_session(mo, tx);
    switch (mo->configured_tables_type) {
    case TABLES_TYPE_DVB:
        if (what == 2 || what == 3)
            manager_output_update_sdt_table(mo, tx);
        else if (what == 8)
            manager_output_update_program_tables(mo, 2);
        else
            manager_output_update_program_tables(mo, what == 1 ? 1 : 0);
        break;
    case TABLES_TYPE_ATSC_CABLE:
    case TABLES_TYPE_ATSC_TERRESTRIAL:
        if (what == 0 || what == 1)
            manager_output_update_program_tables(mo, what);
        else
            manager_output_update_atsc_tables(mo, nullptr, what);
        break;
    default:
        break;
    }
    return 0;
}

int manager_output_store_table_versions_in_cfg(manager_output *mo)
{
    if (!mo)
        return -1;
    cfg_tx *tx = mcfcfg_tx_find_by_id(mo->id);
    if (!tx)
        return -1;
    const output_table_config_t &t = mo->tables;
    tx_table_states &s = tx->tx_tbl_state;
    s.mgt_ver = t.mgt_ver;
    s.pat_ver = t.pat_ver;
    s.rrt_ver = t.rrt_ver;
    s.sdt_ver = t.sdt_ver;
    s.vct_ver = t.vct_ver;
    for (int k = 0; k < MO_EIT_SLOTS; ++k)
        s.eit_ver[k] = t.eit_ver[k];
    s.tx_pmt_count = std::min(t.num_pmts, int(MCF_TX_PMT_MAX));
    for (int i = 0; i < s.tx_pmt_count; ++i)
        s.tx_pmts[i] = tx_pmt{t.pmt_data[i].pmt.pmt_pid, t.pmt_data[i].pmt.pmt_version};
    return 0;
}

} // extern "C"
