// The CA key table: receiver public keys with their entitlement key ids,
// and the key-file line parser and writer.
#include "cfg/ca_key_table.h"

#include "status_queue.h"

#include <biss2ca_ekid.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

bool id_used(const ca_key_table &t, unsigned id)
{
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t.entries))
        if (e.id == id)
            return true;
    return false;
}

unsigned next_free_id(ca_key_table &t)
{
    unsigned id = t.candidate_id;
    while (id_used(t, id))
        ++id;
    t.candidate_id = id + 1;
    return id;
}

// Where the search for a free id starts again after `deleted` left.
void reset_candidate(ca_key_table &t, unsigned deleted)
{
    const auto *first = static_cast<const ca_key_entry *>(mcf_list_next(t.entries, nullptr));
    if (!first) {
        t.candidate_id = 0;
        return;
    }
    if (deleted <= first->id) {
        t.candidate_id = 1;
        return;
    }
    unsigned pos = 1;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t.entries)) {
        if (pos > 1 && e.id >= deleted) {
            t.candidate_id = pos;
            return;
        }
        ++pos;
    }
    t.candidate_id = 0;
}

void copy_name(char (&out)[CA_KEY_NAME_SIZE], const char *name)
{
    size_t i = 0;
    for (; name && name[i] && i + 1 < sizeof out; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        // The name stands between "; " separators on one line of the key file.
        out[i] = c < 0x20 || c == 0x7f || c == '"' ? '_' : char(c);
    }
    out[i] = '\0';
}

bool write_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

namespace mcf {

ca_key_entry *ca_key_table_push_known(ca_key_table *t, const char *name, const char *pem, const uint8_t *known_id)
{
    if (!t || !pem)
        return nullptr;
    if (t->length >= CA_KEY_TABLE_MAX)
        return nullptr;
    const size_t n = std::strlen(pem);
    if (n >= CA_KEY_PEM_SIZE) {
        mcf_post_log(SQ_LOG_INFO, "Key refused: PEM of %zu characters (at most %d)", n, CA_KEY_PEM_SIZE - 1);
        return nullptr;
    }
    if (std::strchr(pem, '"')) {
        mcf_post_log(SQ_LOG_INFO, "Key refused: PEM holds a double quote");
        return nullptr;
    }
    // Only public keys are kept (and written to a readable file).
    if (std::strstr(pem, "PRIVATE KEY")) {
        mcf_post_log(SQ_LOG_WARN, "Key refused: the text holds a private key");
        return nullptr;
    }
    uint8_t key_id[8];
    if (known_id)
        std::memcpy(key_id, known_id, sizeof key_id);
    else if (biss2ca_pub_key_pem_to_ekid(key_id, pem) != 0) {
        mcf_post_log(SQ_LOG_INFO, "Failed to get keyid from pem");
        return nullptr;
    }
    if (const ca_key_entry *twin = ca_key_table_get_entry_by_key_id(t, key_id)) {
        mcf_post_log(SQ_LOG_INFO, "Key %s refused: already present", twin->key_id_str);
        return nullptr;
    }
    const unsigned id = next_free_id(*t);
    auto *e = static_cast<ca_key_entry *>(mcf_list_append(t->entries));
    if (!e)
        return nullptr;
    e->id = id;
    std::memcpy(e->key_pem, pem, n + 1);
    std::memcpy(e->key_id, key_id, sizeof key_id);
    biss2ca_ekid_to_string(e->key_id_str, sizeof e->key_id_str, key_id);
    copy_name(e->key_name, name);
    e->ca_id = -1;
    ++t->length;
    return e;
}

const char *ca_key_table_parse(ca_key_table *t, const char *buf, size_t len, ca_key_parse_counts *counts)
{
    if (!buf)
        return buf;
    if (!t || t->length >= CA_KEY_TABLE_MAX || len == 0) {
        if (counts && t && t->length >= CA_KEY_TABLE_MAX)
            counts->full = true;
        return buf;
    }
    enum { between, in_pem, after_pem } state = between;
    const char *line = buf; // opening quote of the line being read
    const char *pem = nullptr;
    size_t pem_len = 0;
    const char *p = buf;
    const char *const end = buf + len;
    std::string text;
    for (; p < end && *p; ++p) {
        switch (state) {
        case between:
            if (*p == '"') {
                state = in_pem;
                line = p;
                pem = p + 1;
            }
            break;
        case in_pem:
            if (*p == '"') {
                pem_len = size_t(p - pem);
                state = after_pem;
            }
            break;
        case after_pem:
            if (*p != '\n')
                break;
            state = between;
            text.assign(pem, pem_len);
            if (counts)
                ++counts->records;
            if (ca_key_table_push(t, nullptr, text.c_str()) && counts)
                ++counts->pushed;
            if (t->length >= CA_KEY_TABLE_MAX) {
                if (counts)
                    counts->full = true;
                return p + 1;
            }
            break;
        }
    }
    return state == between ? p : line;
}

} // namespace mcf

extern "C" {

ca_key_table *ca_key_table_ctor(void)
{
    auto *t = new (std::nothrow) ca_key_table{};
    if (!t)
        return nullptr;
    t->entries = mcf_list_ctor(sizeof(ca_key_entry));
    if (!t->entries) {
        delete t;
        return nullptr;
    }
    return t;
}

void ca_key_table_dtor(ca_key_table *t)
{
    if (!t)
        return;
    mcf_list_dtor(t->entries);
    delete t;
}

ca_key_entry *ca_key_table_push(ca_key_table *t, const char *name, const char *pem)
{
    return mcf::ca_key_table_push_known(t, name, pem, nullptr);
}

int ca_key_table_delete(ca_key_table *t, unsigned int id)
{
    ca_key_entry *e = ca_key_table_get_entry_by_id(t, id);
    if (!e || mcf_list_remove(t->entries, e) != 0)
        return -1;
    --t->length;
    reset_candidate(*t, id);
    return 0;
}

const char *ca_key_table_load_part(ca_key_table *t, const char *buf, size_t len)
{
    return mcf::ca_key_table_parse(t, buf, len, nullptr);
}

int ca_key_table_write(const ca_key_table *t, int fd)
{
    if (!t || fd < 0)
        return -1;
    std::string line;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t->entries)) {
        line.assign("\"").append(e.key_pem).append("\"; ").append(e.key_name).append("; ").append(e.key_id_str);
        line.push_back('\n');
        if (!write_all(fd, line))
            return -1;
    }
    return 0;
}

ca_key_entry *ca_key_table_get_entry_by_id(const ca_key_table *t, unsigned int id)
{
    for (ca_key_entry &e : mcf::records<ca_key_entry>(t ? t->entries : nullptr))
        if (e.id == id)
            return &e;
    return nullptr;
}

ca_key_entry *ca_key_table_get_entry_by_key_id(const ca_key_table *t, const uint8_t key_id[8])
{
    for (ca_key_entry &e : mcf::records<ca_key_entry>(t ? t->entries : nullptr))
        if (std::memcmp(e.key_id, key_id, sizeof e.key_id) == 0)
            return &e;
    return nullptr;
}

const ca_key_entry *ca_key_table_get_entry(const ca_key_table *t, int index)
{
    int i = 0;
    for (ca_key_entry &e : mcf::records<ca_key_entry>(t && index >= 0 ? t->entries : nullptr))
        if (i++ == index)
            return &e;
    return nullptr;
}

int ca_key_table_get_length(const ca_key_table *t) { return t ? int(t->length) : 0; }

unsigned int ca_key_entry_get_id(const ca_key_entry *e) { return e ? e->id : 0; }
const char *ca_key_entry_get_key_pem(const ca_key_entry *e) { return e ? e->key_pem : nullptr; }
const char *ca_key_entry_get_key_name(const ca_key_entry *e) { return e ? e->key_name : nullptr; }
const char *ca_key_entry_get_key_id_str(const ca_key_entry *e) { return e ? e->key_id_str : nullptr; }
int ca_key_entry_get_ca_id(const ca_key_entry *e) { return e ? e->ca_id : -1; }
void ca_key_entry_set_ca_id(ca_key_entry *e, int ca_id)
{
    if (e)
        e->ca_id = ca_id;
}
int ca_key_entry_set_key_name(ca_key_entry *e, const char *name)
{
    if (!e || !name)
        return -1;
    copy_name(e->key_name, name);
    return 0;
}
int ca_key_entry_cmp_id(const ca_key_entry *a, const ca_key_entry *b)
{
    return a->id < b->id ? -1 : a->id > b->id;
}

} // extern "C"
