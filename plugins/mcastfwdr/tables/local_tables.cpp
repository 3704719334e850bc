// Local table models and their builders.
#include "tables/local_tables.h"

#include "status_queue.h"

#include <mpegts_crc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

uint8_t *bytes(sdt *s) { return reinterpret_cast<uint8_t *>(s); }
const uint8_t *bytes(const sdt *s) { return reinterpret_cast<const uint8_t *>(s); }

int get16(const uint8_t *p) { return (p[0] << 8) | p[1]; }
void put16(uint8_t *p, int v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr int kSdtHeader = 11; // long header, original_network_id, reserved byte
constexpr int kCrc = 4;

// Copies a counted string of at most n bytes (and the room), ending it.
void copy_string(local_string *dst, const uint8_t *src, int n)
{
    n = std::clamp(n, 0, LOCAL_STRING_MAX - 1);
    std::memcpy(dst->string, src, static_cast<size_t>(n));
    dst->string[n] = 0;
    dst->len = n;
}

} // namespace

extern "C" {

/* ---- SDT accessors ---- */

sdt *sdt_get(tsPkt *pkt)
{
    if (!pkt)
        return nullptr;
    int ptr = pkt->payload[0];
    if (1 + ptr + kSdtHeader > TS_PAYLOAD_SIZE)
        return nullptr;
    return reinterpret_cast<sdt *>(pkt->payload + 1 + ptr);
}

int sdt_get_orig_net_id(const sdt *s) { return get16(s->orig_net_id); }
int sdt_set_orig_net_id(sdt *s, uint16_t v)
{
    put16(s->orig_net_id, v);
    return 0;
}
int sdt_entry_init(sdt_entry *e)
{
    e->flags = 0xFC;
    return 0;
}
int sdt_entry_get_service_id(const sdt_entry *e) { return get16(e->service_id); }
int sdt_entry_set_service_id(sdt_entry *e, uint16_t v)
{
    put16(e->service_id, v);
    return 0;
}
int sdt_entry_get_schd_Flag(const sdt_entry *e) { return (e->flags >> 1) & 1; }
int sdt_entry_set_schd_Flag(sdt_entry *e, int v)
{
    e->flags = static_cast<uint8_t>((e->flags & ~0x02) | ((v & 1) << 1));
    return 0;
}
int sdt_entry_get_present_flag(const sdt_entry *e) { return e->flags & 1; }
int sdt_entry_set_present_flag(sdt_entry *e, int v)
{
    e->flags = static_cast<uint8_t>((e->flags & ~0x01) | (v & 1));
    return 0;
}
int sdt_entry_get_running_status(const sdt_entry *e) { return e->status_len[0] >> 5; }
int sdt_entry_set_running_status(sdt_entry *e, int v)
{
    e->status_len[0] = static_cast<uint8_t>((e->status_len[0] & 0x1F) | ((v & 7) << 5));
    return 0;
}
int sdt_entry_get_free_cas_mode(const sdt_entry *e) { return (e->status_len[0] >> 4) & 1; }
int sdt_entry_set_free_cas_mode(sdt_entry *e, int v)
{
    e->status_len[0] = static_cast<uint8_t>((e->status_len[0] & ~0x10) | ((v & 1) << 4));
    return 0;
}
int sdt_entry_get_desc_loop_len(const sdt_entry *e) { return get16(e->status_len) & 0x0FFF; }
int sdt_entry_set_desc_loop_len(sdt_entry *e, int v)
{
    put16(e->status_len, (get16(e->status_len) & 0xF000) | (v & 0x0FFF));
    return 0;
}
int sdt_entry_get_size(const sdt_entry *e) { return 5 + sdt_entry_get_desc_loop_len(e); }
int sdt_get_table_len_actuall(const sdt *s) { return s ? tsGetCompleteTableLength(&s->header) : 0; }
int sdt_get_len_of_entries(const sdt *s)
{
    return s ? std::max(0, tsGetCompleteTableLength(&s->header) - (kSdtHeader + kCrc)) : 0;
}

int sdt_init(sdt *s, uint8_t version, uint16_t ts_id)
{
    std::memset(s, 0xFF, kSdtHeader);
    tsSetTableId(&s->header, 0x42);
    tsSetSectionSyntaxInd(&s->header, 1);
    tsSetSectionLength(&s->header, kSdtHeader + kCrc - 3);
    // The bit after the syntax indicator is reserved_future_use here: 1.
    s->header.syntax_and_length[0] |= 0x70;
    tsSetTSId(&s->header, ts_id);
    tsSetVersion(&s->header, version);
    tsSetCurrentNext(&s->header, 1);
    tsSetSectionNumber(&s->header, 0);
    tsSetLastSectionNumber(&s->header, 0);
    put16(s->orig_net_id, 1);
    s->reserved = 0xFF;
    return 0;
}

int sdt_from_local(sdt *s, size_t buf_size, const local_sdt_entry *info)
{
    if (!s || !info) {
        mcf_post_log(SQ_LOG_WARN, "Failed with null pointer. sdt: %p, sdt_info: %p", static_cast<void *>(s),
                     static_cast<const void *>(info));
        return -1;
    }
    tsSetTSId(&s->header, static_cast<uint16_t>(info->ts_id));
    put16(s->orig_net_id, info->onit_id);
    tsSetSectionLength(&s->header, kSdtHeader + kCrc - 3);
    size_t room = std::min(buf_size, sizeof(sdt));
    int n = std::clamp(info->num_service_info, 0, static_cast<int>(LOCAL_SDT_SERVICES_MAX));
    for (int i = 0; i < n; ++i) {
        const local_sdt_service &svc = info->service_info[i];
        // One descriptor holds both texts: at most 252 bytes together.
        int plen = std::clamp(svc.provider.len, 0, 252);
        int nlen = std::clamp(svc.name.len, 0, 252 - plen);
        int loop = plen + nlen + 5;
        int total = tsGetCompleteTableLength(&s->header);
        // 1021 is the largest section_length an SDT may have.
        if (static_cast<size_t>(total + 5 + loop) > room || total - 3 + 5 + loop > 1021) {
            mcf_post_log(SQ_LOG_WARN, "Truncating SDT due to insufficient buffer size");
            break;
        }
        auto *e = reinterpret_cast<sdt_entry *>(bytes(s) + total - kCrc);
        std::memset(e, 0, 5);
        sdt_entry_init(e);
        sdt_entry_set_free_cas_mode(e, svc.cas_mode);
        sdt_entry_set_service_id(e, static_cast<uint16_t>(svc.pnu));
        sdt_entry_set_running_status(e, svc.running_status);
        sdt_entry_set_present_flag(e, svc.eit_present_following_flag);
        sdt_entry_set_schd_Flag(e, svc.eit_sch_flag);
        uint8_t *d = e->descriptors;
        d[0] = 0x48;
        d[1] = static_cast<uint8_t>(plen + nlen + 3);
        d[2] = static_cast<uint8_t>(svc.service_type);
        d[3] = static_cast<uint8_t>(plen);
        std::memcpy(d + 4, svc.provider.string, static_cast<size_t>(plen));
        d[4 + plen] = static_cast<uint8_t>(nlen);
        std::memcpy(d + 5 + plen, svc.name.string, static_cast<size_t>(nlen));
        sdt_entry_set_desc_loop_len(e, loop);
        tsAddToSectionLength(&s->header, 5 + loop);
    }
    tsUpdateCRC(&s->header);
    return 0;
}

int sdt_to_local(local_sdt_entry *info, const sdt *s, size_t sec_len)
{
    if (!s || !info) {
        mcf_post_log(SQ_LOG_WARN, "Failed with null pointer. sdt: %p, sdt_info: %p", static_cast<const void *>(s),
                     static_cast<void *>(info));
        return -1;
    }
    info->num_service_info = 0;
    if (sec_len < static_cast<size_t>(kSdtHeader + kCrc))
        return -1;
    size_t total = std::min(sec_len, static_cast<size_t>(tsGetCompleteTableLength(&s->header)));
    info->ts_id = tsGetProgramNumber(&s->header);
    info->onit_id = get16(s->orig_net_id);
    const uint8_t *b = bytes(s);
    size_t end = total >= static_cast<size_t>(kSdtHeader + kCrc) ? total - kCrc : kSdtHeader;
    size_t pos = kSdtHeader;
    while (pos + 5 <= end) {
        const auto *e = reinterpret_cast<const sdt_entry *>(b + pos);
        size_t loop = static_cast<size_t>(sdt_entry_get_desc_loop_len(e));
        if (pos + 5 + loop > end) {
            mcf_post_log(SQ_LOG_WARN, "SDT service entry runs past its section, ignored");
            break;
        }
        if (info->num_service_info >= LOCAL_SDT_SERVICES_MAX) {
            mcf_post_log(SQ_LOG_WARN, "Can not parse any more sdt services, out of space");
            break;
        }
        local_sdt_service &svc = info->service_info[info->num_service_info++];
        std::memset(&svc, 0, sizeof svc);
        svc.pnu = sdt_entry_get_service_id(e);
        svc.eit_sch_flag = sdt_entry_get_schd_Flag(e);
        svc.eit_present_following_flag = sdt_entry_get_present_flag(e);
        svc.running_status = sdt_entry_get_running_status(e);
        svc.cas_mode = sdt_entry_get_free_cas_mode(e);
        const uint8_t *d = e->descriptors;
        // Only a first service descriptor counts; each length is checked
        // against the descriptor and the descriptor against the loop.
        if (loop >= 2 && d[0] == 0x48 && 2u + d[1] <= loop && d[1] >= 3) {
            int dlen = d[1];
            int plen = d[3];
            if (4 + plen + 1 <= 2 + dlen) {
                int nlen = d[4 + plen];
                if (5 + plen + nlen <= 2 + dlen) {
                    svc.desc_tag = d[0];
                    svc.desc_len = dlen;
                    svc.service_type = d[2];
                    copy_string(&svc.provider, d + 4, plen);
                    copy_string(&svc.name, d + 5 + plen, nlen);
                }
            }
        }
        pos += 5 + loop;
    }
    return 0;
}

int sdt_service_to_string(char *text, size_t size, const local_sdt_service *svc)
{
    if (!text || !svc || size == 0)
        return 0;
    int n = std::snprintf(text, size,
                          "pnu: %d, running_status: %d, cas_mode: %d, eit_sch_flag: %d, eit_pf_flag: %d, "
                          "desc_tag: 0x%02X, service_type: %d, name: '%.*s' (%d), provider: '%.*s' (%d)",
                          svc->pnu, svc->running_status, svc->cas_mode, svc->eit_sch_flag,
                          svc->eit_present_following_flag, svc->desc_tag, svc->service_type,
                          std::clamp(svc->name.len, 0, LOCAL_STRING_MAX - 1), svc->name.string, svc->name.len,
                          std::clamp(svc->provider.len, 0, LOCAL_STRING_MAX - 1), svc->provider.string,
                          svc->provider.len);
    return std::clamp(n, 0, static_cast<int>(size) - 1);
}

/* ---- PMT ---- */

int local_pmt_init(local_pmt *p, int pnu, int pmt_pid, int pmt_version)
{
    std::memset(p, 0, sizeof *p);
    p->pnu = pnu;
    p->pmt_pid = pmt_pid;
    p->pmt_version = pmt_version;
    p->pcr_pid = -1;
    for (auto &e : p->pmt_entries) {
        e.stream_type = -1;
        e.ingress_id = -1;
        e.elementary_pid = -1;
        e.es_info_len = 0;
    }
    return 0;
}

int local_pmt_add_entry(local_pmt *p, int stream_type, int ingress_id, int pid)
{
    if (!p || p->num_pmt_entries < 0 || p->num_pmt_entries >= LOCAL_PMT_ENTRIES_MAX)
        return -1;
    int i = p->num_pmt_entries++;
    local_pmt_entry &e = p->pmt_entries[i];
    e.stream_type = stream_type;
    e.ingress_id = ingress_id;
    e.elementary_pid = pid;
    e.es_info_len = 0;
    return i;
}

int local_pmt_set_entry_es_info(local_pmt *p, int index, const uint8_t *src, int count)
{
    // The entry must exist: index == count would write an entry not listed.
    if (!p || index < 0 || index >= p->num_pmt_entries || count < 0 || (count > 0 && !src))
        return -1;
    local_pmt_entry &e = p->pmt_entries[index];
    if (count > LOCAL_ES_INFO_MAX) {
        e.es_info_len = 0;
        return -1;
    }
    std::memcpy(e.es_info, src, static_cast<size_t>(count));
    e.es_info_len = count;
    return 0;
}

static int add_pgm_info(local_pmt *p, const uint8_t *d)
{
    if (p->num_pgm_info_desc_entries >= LOCAL_PGM_INFO_DESC_MAX)
        return -1;
    local_pgm_info_desc_entry &e = p->program_info_desc_entries[p->num_pgm_info_desc_entries++];
    e.tag = d[0];
    e.len = d[1];
    std::memcpy(e.desc_info, d + 2, d[1]);
    return 0;
}

int local_pmt_init_ca_descriptor(local_pmt *p)
{
    static const uint8_t d[] = {0x09, 0x04, 0x26, 0x00, 0x1F, 0xFF};
    return add_pgm_info(p, d);
}

int local_pmt_init_dvs253_descriptor(local_pmt *p)
{
    static const uint8_t d[] = {0x05, 0x04, 'C', 'U', 'E', 'I'};
    return add_pgm_info(p, d);
}

int local_pmt_clear_program_info(local_pmt *p)
{
    p->num_pgm_info_desc_entries = 0;
    return 0;
}

int esinfo_write_klva_descriptor(uint8_t *buf, int room)
{
    static const uint8_t d[] = {0x05, 0x04, 'K', 'L', 'V', 'A'};
    if (!buf || room < static_cast<int>(sizeof d))
        return -1;
    std::memcpy(buf, d, sizeof d);
    return sizeof d;
}

int esinfo_write_data_alignment_descriptor(uint8_t *buf, int room, uint8_t alignment_type)
{
    if (!buf || room < 3)
        return -1;
    buf[0] = 0x06;
    buf[1] = 0x01;
    buf[2] = alignment_type;
    return 3;
}

int esinfo_write_metadata_descriptor(uint8_t *buf, int room)
{
    static const uint8_t d[] = {0x26, 0x09, 0x00, 0x01, 0xFF, 'K', 'L', 'V', 'A', 0x01, 0x0F};
    if (!buf || room < static_cast<int>(sizeof d))
        return -1;
    std::memcpy(buf, d, sizeof d);
    return sizeof d;
}

int esinfo_write_metadata_std_descriptor(uint8_t *buf, int room, uint32_t input_leak_rate, uint32_t buffer_size,
                                         uint32_t output_leak_rate)
{
    if (!buf || room < 11)
        return -1;
    buf[0] = 0x27;
    buf[1] = 9;
    const uint32_t v[3] = {input_leak_rate / 400, buffer_size / 1024, output_leak_rate / 400};
    for (int i = 0; i < 3; ++i) {
        uint32_t f = 0xC00000u | (v[i] & 0x3FFFFFu);
        buf[2 + 3 * i] = static_cast<uint8_t>(f >> 16);
        buf[3 + 3 * i] = static_cast<uint8_t>(f >> 8);
        buf[4 + 3 * i] = static_cast<uint8_t>(f);
    }
    return 11;
}

int local_pmt_to_section(const local_pmt *p, TPmt *pmt, size_t size)
{
    if (!p || !pmt || size < sizeof(TTableBase) + 4 + kCrc)
        return -1;
    // A PMT we build fits one packet; the caller's room may be smaller.
    const size_t cap = std::min(size, static_cast<size_t>(PSI_ONE_PACKET_SECTION_MAX));
    tsSetPmtDefault(pmt, static_cast<uint16_t>(p->pnu), static_cast<uint16_t>(p->pcr_pid & 0x1FFF));
    tsSetVersion(&pmt->header, static_cast<uint8_t>(p->pmt_version & 0x1F));
    int ndesc = std::clamp(p->num_pgm_info_desc_entries, 0, static_cast<int>(LOCAL_PGM_INFO_DESC_MAX));
    for (int i = 0; i < ndesc; ++i) {
        const local_pgm_info_desc_entry &d = p->program_info_desc_entries[i];
        int len = std::min<int>(d.len, LOCAL_PGM_INFO_DESC_DATA_MAX);
        size_t total = static_cast<size_t>(tsGetCompleteTableLength(&pmt->header));
        if (total + 2 + static_cast<size_t>(len) > cap) {
            mcf_post_log(SQ_LOG_ERROR, "PMT of program %d is full: program information cut", p->pnu);
            break;
        }
        uint8_t *at = pmt->data + tsGetPmtProgramInfoLength(pmt);
        at[0] = d.tag;
        at[1] = static_cast<uint8_t>(len);
        std::memcpy(at + 2, d.desc_info, static_cast<size_t>(len));
        tsAddPmtProgramInfoLength(pmt, len + 2);
        tsAddToSectionLength(&pmt->header, len + 2);
    }
    int nent = std::clamp(p->num_pmt_entries, 0, static_cast<int>(LOCAL_PMT_ENTRIES_MAX));
    for (int i = 0; i < nent; ++i) {
        const local_pmt_entry &e = p->pmt_entries[i];
        int es = std::clamp(e.es_info_len, 0, static_cast<int>(LOCAL_ES_INFO_MAX));
        size_t total = static_cast<size_t>(tsGetCompleteTableLength(&pmt->header));
        if (total + 5 + static_cast<size_t>(es) > cap) {
            mcf_post_log(SQ_LOG_ERROR, "PMT of program %d is full: %d of %d entries written", p->pnu, i, nent);
            break;
        }
        TPmtEntry *pe = add_pmt_entry(pmt, static_cast<uint8_t>(e.stream_type),
                                      static_cast<uint16_t>(e.elementary_pid & 0x1FFF));
        if (!pe) {
            mcf_post_log(SQ_LOG_ERROR, "PMT of program %d is full: %d of %d entries written", p->pnu, i, nent);
            break;
        }
        if (es > 0 && append_pmt_es_info(pmt, pe, e.es_info, static_cast<size_t>(es)) < 0)
            mcf_post_log(SQ_LOG_ERROR, "PMT of program %d: ES information of PID %d left out", p->pnu,
                         e.elementary_pid);
    }
    tsUpdateCRC(&pmt->header);
    return 0;
}

bool local_pmt_contains_pid(const local_pmt *p, int pid)
{
    if (!p || pid < 0 || pid >= 8192)
        return false;
    if (pid == p->pcr_pid || pid == p->pmt_pid)
        return true;
    for (int i = 0; i < p->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i)
        if (p->pmt_entries[i].elementary_pid == pid)
            return true;
    return false;
}

int local_pmt_get_ingress_id(const local_pmt *p, int pid)
{
    if (!p || pid < 0 || pid >= 8192 || pid == p->pmt_pid)
        return -1;
    if (pid == p->pcr_pid)
        return p->pcr_ingress_id;
    for (int i = 0; i < p->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i)
        if (p->pmt_entries[i].elementary_pid == pid)
            return p->pmt_entries[i].ingress_id;
    return -1;
}

local_pmt_entry *local_pmt_get_entry(local_pmt *p, int pid)
{
    if (!p)
        return nullptr;
    for (int i = 0; i < p->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i)
        if (p->pmt_entries[i].elementary_pid == pid)
            return &p->pmt_entries[i];
    return nullptr;
}

bool local_pmt_has_separate_pcr(const local_pmt *p)
{
    if (!p)
        return false;
    for (int i = 0; i < p->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i)
        if (p->pmt_entries[i].elementary_pid == p->pcr_pid)
            return false;
    return true;
}

// Walks a PMT section: program info, then entries; every length is checked
// against the section. full: take descriptors and ES info too.
static int parse_pmt(const uint8_t *sec, size_t sec_len, local_pmt *p, int ingress_id, bool full)
{
    if (!sec || !p || sec_len < 16)
        return -1;
    size_t total = std::min(sec_len, static_cast<size_t>(tsGetCompleteTableLength(
                                         reinterpret_cast<const TTableBase *>(sec))));
    if (total < 16)
        return -1;
    size_t end = total - kCrc;
    size_t pil = static_cast<size_t>(get16(sec + 10) & 0x0FFF);
    size_t pos = 12;
    if (pos + pil > end) {
        mcf_post_log(SQ_LOG_WARN, "PMT program information runs past its section, ignored");
        return -1;
    }
    if (full) {
        p->num_pgm_info_desc_entries = 0;
        size_t d = pos;
        while (d + 2 <= pos + pil) {
            size_t len = sec[d + 1];
            if (d + 2 + len > pos + pil)
                break;
            if (len > LOCAL_PGM_INFO_DESC_DATA_MAX)
                mcf_post_log(SQ_LOG_WARN, "PMT descriptor 0x%02X of %zu bytes skipped", sec[d], len);
            else if (p->num_pgm_info_desc_entries >= LOCAL_PGM_INFO_DESC_MAX)
                mcf_post_log(SQ_LOG_WARN, "PMT descriptor 0x%02X skipped: program information full", sec[d]);
            else
                add_pgm_info(p, sec + d);
            d += 2 + len;
        }
    }
    pos += pil;
    int n = 0;
    while (pos + 5 <= end) {
        int st = sec[pos];
        int pid = get16(sec + pos + 1) & 0x1FFF;
        size_t es = static_cast<size_t>(get16(sec + pos + 3) & 0x0FFF);
        if (pos + 5 + es > end) {
            mcf_post_log(SQ_LOG_WARN, "PMT entry of PID %d runs past its section, ignored", pid);
            break;
        }
        if (n >= LOCAL_PMT_ENTRIES_MAX) {
            mcf_post_log(SQ_LOG_WARN, "PMT entries past %d skipped", LOCAL_PMT_ENTRIES_MAX);
            break;
        }
        local_pmt_entry &e = p->pmt_entries[n++];
        e.stream_type = st;
        e.elementary_pid = pid;
        if (full) {
            e.ingress_id = ingress_id;
            if (es > LOCAL_ES_INFO_MAX) {
                mcf_post_log(SQ_LOG_WARN, "PMT ES information of PID %d (%zu bytes) skipped", pid, es);
                e.es_info_len = 0;
            } else {
                std::memcpy(e.es_info, sec + pos + 5, es);
                e.es_info_len = static_cast<int>(es);
            }
        }
        pos += 5 + es;
    }
    return n;
}

int tsGetPmtServiceInfo(const uint8_t *sec, size_t sec_len, local_pmt *p, int ingress_id)
{
    return parse_pmt(sec, sec_len, p, ingress_id, true);
}

int tsGetTersePmtServiceInfo(const uint8_t *sec, size_t sec_len, local_pmt *p)
{
    return parse_pmt(sec, sec_len, p, -1, false);
}

/* ---- ATSC ---- */

uint32_t getCurrentGpsTime(void)
{
    time_t now = std::time(nullptr);
    if (now == static_cast<time_t>(-1) || now < GPS_EPOCH_UNIX)
        return 0;
    // GPS time runs ahead of UTC by the leap seconds since its epoch.
    return static_cast<uint32_t>(now - GPS_EPOCH_UNIX + GPS_UTC_OFFSET);
}

int getDaylightSavingStatus(void)
{
    time_t now = std::time(nullptr);
    struct tm tmv;
    if (now == static_cast<time_t>(-1) || !localtime_r(&now, &tmv))
        return -1;
    return tmv.tm_isdst;
}

int populateSttServiceData(local_stt *model)
{
    if (!model)
        return -1;
    model->stt_pid = ATSC_BASE_PID;
    model->time = getCurrentGpsTime();
    model->offset = GPS_UTC_OFFSET;
    model->ds.status = getDaylightSavingStatus();
    model->ds.day = 0;
    model->ds.hour = 0;
    return 0;
}

int local_stt_to_stt(const local_stt *model, tsPkt *pkt)
{
    if (!model || !pkt)
        return -1;
    generateDefaultTsPacket(pkt, static_cast<uint16_t>(model->stt_pid));
    pkt->payload[0] = 0;
    auto *s = reinterpret_cast<TStt *>(pkt->payload + 1);
    tsSetSttDefault(s, 0);
    tsSetSttProtocolVersion(s, 0);
    tsSetSttGpsUtcOffset(s, static_cast<uint8_t>(model->offset));
    tsSetSttSystemTime(s, model->time);
    tsSetSttDsStatus(s, model->ds.status > 0 ? 1 : 0);
    tsSetSttDsDayOfMonth(s, static_cast<uint8_t>(model->ds.day));
    tsSetSttDsHour(s, static_cast<uint8_t>(model->ds.hour));
    tsUpdateCRC(&s->header);
    return 0;
}

int local_mgt_to_mgt(const local_mgt *model, tsPkt *pkt)
{
    if (!model || !pkt)
        return -1;
    generateDefaultTsPacket(pkt, ATSC_BASE_PID);
    pkt->payload[0] = 0;
    auto *m = reinterpret_cast<TMgt *>(pkt->payload + 1);
    tsSetMgtDefault(m, static_cast<uint8_t>(model->version & 0x1F));
    const int n = std::clamp(model->tables_defined, 0, static_cast<int>(LOCAL_MGT_ENTRIES));
    for (int i = 0; i < n; ++i) {
        const local_mgt_entry &e = model->mgt_entries[i];
        TMgtEntry *me = tsAppendMgtEntry(m);
        if (!me)
            break;
        tsSetMgtEntryTableType(me, static_cast<uint16_t>(e.type));
        tsSetMgtEntryTablePid(me, static_cast<uint16_t>(e.pid & 0x1FFF));
        tsSetMgtEntryTableVersion(me, static_cast<uint8_t>(e.version & 0x1F));
        tsSetMgtEntryNumberBytes(me, static_cast<uint32_t>(e.num_bytes));
        tsSetMgtEntryTableTypeDescriptorLength(me, 0);
    }
    tsUpdateCRC(tsGetMgtBase(m));
    return 0;
}

int local_eit_to_eit(const local_eit *model, tsPkt *pkt, int k, uint32_t *running_total)
{
    if (!model || !pkt || k < 0 || k > 3)
        return -1;
    generateDefaultTsPacket(pkt, static_cast<uint16_t>(ATSC_EIT0_PID + k));
    pkt->payload[0] = 0;
    auto *eit = reinterpret_cast<TEit *>(pkt->payload + 1);
    tsSetEitDefault(eit, static_cast<uint8_t>(model->version & 0x1F), static_cast<uint16_t>(model->source_id));
    tsSetEitProtocolVersion(eit, 0);
    const int events = std::clamp(model->num_events, 0, 1); // one three-hour block per table
    tsSetEitNumberOfEventsInSection(eit, static_cast<uint8_t>(events));
    if (events == 1) {
        const local_eit_entry &ev = model->events[0];
        const int dlen = std::clamp(ev.desc_len, 0, static_cast<int>(LOCAL_EIT_DESC_MAX));
        auto *at = reinterpret_cast<uint8_t *>(eit) + sizeof(TEit);
        auto *e = reinterpret_cast<TEitEntry *>(at);
        std::memset(at, 0, sizeof(TEitEntry));
        tsSetEitEntryEventId(e, static_cast<uint16_t>(ev.event_id));
        tsSetEitEntryStartTime(e, ev.start_time);
        tsSetEitEntryEtmLocation(e, static_cast<uint8_t>(ev.etm_location));
        tsSetEitEntryLengthInSeconds(e, static_cast<uint32_t>(ev.len_in_sec));
        tsSetEitEntryTitleLength(e, 28);
        uint8_t *title = at + sizeof(TEitEntry);
        TMultiString *ms = ms_init(title);
        TMultiStringEntry *me = ms_append_entry(ms, "eng");
        ms_entry_append_raw_segment(me, 0, 0, ev.title_text, LOCAL_EIT_TITLE_MAX);
        uint8_t *dl = title + 28;
        dl[0] = static_cast<uint8_t>(0xF0 | (dlen >> 8));
        dl[1] = static_cast<uint8_t>(dlen);
        std::memcpy(dl + 2, ev.eit_desc, static_cast<size_t>(dlen));
        tsAddToSectionLength(&eit->header, 40 + dlen);
    }
    tsUpdateCRC(&eit->header);
    if (running_total)
        *running_total += static_cast<uint32_t>(tsGetCompleteTableLength(&eit->header));
    return 0;
}

int vct_from_local(TVct *vct, const local_vct *model, size_t buf_size, size_t *len_out, uint16_t ts_id)
{
    if (!vct || !model)
        return -1;
    tsSetVctDefault(vct, model->is_cable ? 1 : 0, static_cast<uint8_t>(model->version & 0x1F));
    TTableBase *base = tsGetVctBase(vct);
    tsSetTSId(base, ts_id);
    tsSetVctProtocolVersion(vct, 0);
    const size_t room = std::min(buf_size, static_cast<size_t>(1024));
    const int n = std::clamp(model->num_channels_in_section, 0, static_cast<int>(LOCAL_VCT_CHANNELS_MAX));
    for (int i = 0; i < n; ++i) {
        const local_vct_entry &c = model->vct_entries[i];
        // A service location descriptor holds at most 42 elements.
        const int elements = std::clamp(c.sld.num_elements, 0, 42);
        const int descs = 30 + 5 + 6 * elements; // extended channel name, service location
        const size_t need = static_cast<size_t>(tsGetCompleteTableLength(base)) + 32 + static_cast<size_t>(descs);
        if (need > room) {
            mcf_post_log(SQ_LOG_WARN, "VCT is larger than the allocated buffer size: alloc=%zu req=%zu", buf_size,
                         need);
            break;
        }
        TVctEntry *e = tsAppendVctEntry(vct);
        if (!e) {
            mcf_post_log(SQ_LOG_WARN, "VCT is larger than the allocated buffer size: alloc=%zu req=%zu", buf_size,
                         need);
            break;
        }
        char short_name[VCT_SHORT_NAME_UNITS + 1] = {};
        std::memcpy(short_name, c.short_name.string,
                    static_cast<size_t>(std::clamp(c.short_name.len, 0, static_cast<int>(VCT_SHORT_NAME_UNITS))));
        tsSetVctEntryShortName(e, short_name);
        tsSetVctEntryMinorChannelNumber(e, static_cast<uint16_t>(c.minor_chn));
        tsSetVctEntryModulationMode(e, static_cast<uint8_t>(c.modulation_mode));
        if (c.major_chn != 0) {
            tsSetVctEntryMajorChannelNumber(e, static_cast<uint16_t>(c.major_chn));
        } else if (!model->is_cable) {
            tsSetVctEntryMajorChannelNumber(e, 1);
        } else {
            // A cable channel keeps major 0 (the library's setter would
            // write one-part numbering for 0).
            e->channel_numbers[0] &= 0xF0;
            e->channel_numbers[1] &= 0x03;
        }
        tsSetVctEntryCarrierFrequency(e, c.carrier_frequency);
        tsSetVctEntryChannelTSId(e, static_cast<uint16_t>(c.ts_id));
        tsSetVctEntryProgramNumber(e, static_cast<uint16_t>(c.pnu));
        tsSetVctEntryEtmLocation(e, 0);
        tsSetVctEntryAccessControlled(e, 0);
        tsSetVctEntryHidden(e, 0);
        tsSetVctEntryHideGuide(e, 0);
        tsSetVctEntryServiceType(e, static_cast<uint8_t>(c.service_type));
        tsSetVctEntrySourceId(e, static_cast<uint16_t>(c.source_id));

        // The channel is the last one: its descriptors go where the
        // additional descriptors part stood, which moves behind them.
        uint8_t *d = reinterpret_cast<uint8_t *>(e) + sizeof(TVctEntry);
        d[0] = 0xA0;
        d[1] = 28;
        uint8_t long_name[LOCAL_EIT_TITLE_MAX] = {};
        std::memcpy(long_name, c.long_name.string,
                    static_cast<size_t>(std::clamp(c.long_name.len, 0, static_cast<int>(LOCAL_EIT_TITLE_MAX))));
        TMultiString *ms = ms_init(d + 2);
        ms_entry_append_raw_segment(ms_append_entry(ms, "eng"), 0, 0, long_name, sizeof long_name);
        auto *sld = reinterpret_cast<TServiceLocationDescriptor *>(d + 30);
        sld->tag = SERVICE_LOCATION_DESCRIPTOR_TAG;
        sld->len = static_cast<uint8_t>(3 + 6 * elements);
        tsSetServiceLocationDescriptorPcrPid(sld, static_cast<uint16_t>(c.sld.pcr_pid & 0x1FFF));
        tsSetServiceLocationDescriptorNumberOfElements(sld, static_cast<uint8_t>(elements));
        auto *el = reinterpret_cast<TServiceLocationDescriptorElement *>(d + 30 + sizeof(TServiceLocationDescriptor));
        for (int k = 0; k < elements; ++k) {
            tsAddServiceLocationDescriptorElement(&el[k], static_cast<uint8_t>(c.sld.elements[k].stream_type),
                                                  static_cast<uint16_t>(c.sld.elements[k].pid & 0x1FFF));
            std::memcpy(el[k].iso_639_language_code, "eng", 3);
        }
        tsSetVctEntryDescriptorLength(e, static_cast<uint16_t>(descs));
        uint8_t *additional = d + descs;
        additional[0] = 0xFC;
        additional[1] = 0x00;
        tsAddToSectionLength(base, descs);
    }
    tsUpdateCRC(base);
    if (len_out)
        *len_out = static_cast<size_t>(tsGetCompleteTableLength(base));
    return 0;
}

int update_eit_local(const local_pmt *p, local_eit *eit, uint32_t system_time, const char *title, int event_id,
                     int source_id, int k)
{
    if (!p || !eit)
        return -1;
    eit->source_id = source_id;
    eit->num_events = 1;
    local_eit_entry &ev = eit->events[0];
    std::memset(&ev, 0, sizeof ev);
    size_t tl = title ? strnlen(title, LOCAL_EIT_TITLE_MAX) : 0;
    std::memcpy(ev.title_text, title ? title : "", tl);
    ev.title_length = static_cast<int32_t>(tl);
    ev.event_id = event_id;
    ev.start_time = (static_cast<uint32_t>(k) + system_time / 10800) * 10800;
    ev.len_in_sec = 10800;
    ev.etm_location = 0;
    // The AC-3 audio descriptor behind each AC-3 entry's registration
    // descriptor: only bytes the entry actually holds.
    for (int i = 0; i < p->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i) {
        const local_pmt_entry &e = p->pmt_entries[i];
        if (e.stream_type != 0x81 || e.es_info_len < 13)
            continue;
        if (ev.desc_len + 7 > LOCAL_EIT_DESC_MAX)
            break;
        std::memcpy(ev.eit_desc + ev.desc_len, e.es_info + 6, 7);
        ev.desc_len += 7;
    }
    return 0;
}

} // extern "C"
