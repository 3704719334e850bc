// Forwarder utilities (see mcf_utils.h).
#include "mcf_utils.h"

#include <kerrow/param.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <regex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

extern "C" {

mcastfwdr_tmr *mcastfwdr_tmr_ctor(int bps_rx, int bps_tx)
{
    auto *t = static_cast<mcastfwdr_tmr *>(std::malloc(sizeof(mcastfwdr_tmr)));
    if (!t)
        return nullptr;
    t->bps_in = bps_rx;
    t->mbps_in = bps_rx / 1e6;
    t->mbps_out = bps_tx / 1e6;
    t->mbps_fill = t->mbps_out - t->mbps_in;
    return t;
}

int mcastfwdr_tmr_dtor(mcastfwdr_tmr *tmr)
{
    std::free(tmr);
    return 0;
}

int mcastfwdr_tmr_get_bps_in(const mcastfwdr_tmr *tmr) { return tmr->bps_in; }
double mcastfwdr_tmr_get_mbps_in(const mcastfwdr_tmr *tmr) { return tmr->mbps_in; }
double mcastfwdr_tmr_get_mbps_out(const mcastfwdr_tmr *tmr) { return tmr->mbps_out; }
double mcastfwdr_tmr_get_mbps_fill(const mcastfwdr_tmr *tmr) { return tmr->mbps_fill; }

int mcastfwdr_get_time_str(char *text, size_t size)
{
    const time_t now = std::time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    if (size)
        std::strftime(text, size, "%H:%M:%S", &tm);
    return 0;
}

int mcastfwdr_usleep(int64_t us)
{
    if (us <= 0)
        return 0;
    struct timespec ts {time_t(us / 1000000), long(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return 0;
}

uint64_t mcastfwdr_get_aligned_64(const void *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int mcastfwdr_set_aligned_64(void *p, const uint64_t *value)
{
    std::memcpy(p, value, sizeof *value);
    return 0;
}

int mcastfwdr_format_ip_addr(char *out, size_t size, const char *in)
{
    if (!out || !size)
        return -1;
    out[0] = '\0';
    if (!in)
        return -1;
    // Four dot-separated decimal fields, leading zeros dropped. Anchored,
    // with literal dots: "1234567" or "1.2.3.4x" are not addresses.
    struct compiled {
        regex_t re;
        bool ok;
        compiled() { ok = regcomp(&re, "^0*([0-9]+)\\.0*([0-9]+)\\.0*([0-9]+)\\.0*([0-9]+)$", REG_EXTENDED | REG_ICASE) == 0; }
        ~compiled()
        {
            if (ok)
                regfree(&re);
        }
    };
    static const compiled c;
    regmatch_t m[5];
    if (!c.ok || regexec(&c.re, in, 5, m, 0) != 0) {
        std::snprintf(out, size, "%s", in);
        return -1;
    }
    std::string text;
    for (int i = 1; i <= 4; ++i) {
        if (i > 1)
            text += '.';
        text.append(in + m[i].rm_so, size_t(m[i].rm_eo - m[i].rm_so));
    }
    std::snprintf(out, size, "%s", text.c_str());
    struct in_addr a;
    return text.size() < size && inet_pton(AF_INET, text.c_str(), &a) == 1 ? 0 : -1;
}

bool mcastfwdr_ip_addr_is_multicast(const char *text)
{
    if (!text || *text < '0' || *text > '9' || !std::strchr(text, '.'))
        return false;
    const long first = std::strtol(text, nullptr, 10);
    return first >= 224 && first <= 239;
}

int64_t mcastfwdr_get_dist(uint64_t a, uint64_t b, uint64_t max)
{
    if (a == b)
        return 0;
    int64_t forward = int64_t(b - a);
    if (b <= a)
        forward += int64_t(max);
    int64_t backward = int64_t(a - b);
    if (b >= a)
        backward += int64_t(max);
    return std::llabs(forward) < std::llabs(backward) ? forward : -backward;
}

int mcastfwdr_get_md5sum(char *out, size_t size, const char *path)
{
    if (!out || size < 33 || !path)
        return -1;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path, "rb"), std::fclose);
    if (!f)
        return -1;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        return -1;
    unsigned char piece[512];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f.get())) > 0)
        EVP_DigestUpdate(ctx.get(), piece, n);
    if (std::ferror(f.get()))
        return -1;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    for (unsigned i = 0; i < len; ++i)
        std::snprintf(out + 2 * i, 3, "%02x", md[i]);
    return int(2 * len);
}

int mcastfwdr_param_delete(plugin_load_info *owner, param_context *table, void *key, mcastfwdr_param_cmp cmp,
                           int store_only)
{
    const size_t n = kd_param_list_count(table);
    if (n == size_t(-1) || !cmp)
        return 0;
    for (size_t i = 0; i < n; ++i) {
        param_context *row = kd_param_list_index(table, int(i));
        if (kd_param_get_type(row) == PARAMTYPE_NONE)
            continue;
        param_context *first = kd_param_list_index(row, 0);
        void *data = first ? kd_param_get_userdata(first) : nullptr;
        if (!data || cmp(data, key) != 0)
            continue;
        kd_store_remove_key(owner, kd_param_get_scope(row));
        if (!store_only)
            kd_param_list_delete_index(table, unsigned(i));
        break; // ids are unique
    }
    return 0;
}

bool mcastfwdr_eth_intf_is_operational(const char *ifname)
{
    if (!ifname)
        return false;
    if (std::strcmp(ifname, "eth2") == 0)
        return kd_system_link_is_up(ifname) > 0;
    return kd_system_link_is_up(ifname) > 0 && kd_system_address_is_valid(ifname) > 0;
}

} // extern "C"
