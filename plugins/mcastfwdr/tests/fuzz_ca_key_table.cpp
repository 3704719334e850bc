// libFuzzer target over the key-file parser: whatever the bytes, the parse
// stays within them, answers a point inside them, keeps only keys that fit
// the table, and what it kept writes out and reads back as the same keys.
#include "cfg/ca_key_table.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int mcf_post_log(int, const char *, ...) { return 0; }

namespace {

std::vector<std::string> ids(const ca_key_table *t)
{
    std::vector<std::string> v;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t->entries))
        v.emplace_back(e.key_id_str);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ca_key_table *t = ca_key_table_ctor();
    const auto *buf = reinterpret_cast<const char *>(data);
    const char *rest = ca_key_table_load_part(t, buf, size);
    if (rest < buf || rest > buf + size)
        std::abort();
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t->entries))
        if (std::strlen(e.key_pem) >= CA_KEY_PEM_SIZE || std::strlen(e.key_id_str) != 19 || e.ca_id != -1)
            std::abort();

    // Written out and read back: the same keys in the same order.
    const int fd = memfd_create("keys", MFD_CLOEXEC);
    if (fd >= 0 && ca_key_table_write(t, fd) == 0) {
        std::string text(size_t(lseek(fd, 0, SEEK_CUR)), '\0');
        if (pread(fd, text.data(), text.size(), 0) != ssize_t(text.size()))
            std::abort();
        ca_key_table *back = ca_key_table_ctor();
        if (ca_key_table_load_part(back, text.data(), text.size()) != text.data() + text.size() ||
            ids(back) != ids(t))
            std::abort();
        ca_key_table_dtor(back);
    }
    if (fd >= 0)
        close(fd);

    // Every id can be deleted once.
    std::vector<unsigned> all;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t->entries))
        all.push_back(e.id);
    for (unsigned id : all)
        if (ca_key_table_delete(t, id) != 0 || ca_key_table_delete(t, id) != -1)
            std::abort();
    if (ca_key_table_get_length(t) != 0)
        std::abort();
    ca_key_table_dtor(t);
    return 0;
}
