// The setters of an output record that keep each destination's address
// text, port and socket address together, and its BISS-CA receiver key.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// One destination of an output: the main path or path 2.
struct path {
    char (&node)[256];
    int32_t &port;
    remote_addr &ra;
};

path path_of(cfg_tx *tx, int path2)
{
    if (path2)
        return {tx->redundant_node, tx->redundant_port, tx->redundant_ra};
    return {tx->dest_node, tx->dest_port, tx->ra};
}

constexpr size_t kNodeMax = sizeof(cfg_tx{}.dest_node) - 1;
constexpr size_t kKeyPathMax = sizeof(cfg_tx{}.priv_key_file) - 1;

// A socket address for `text` with `port` (unset: -1) in `out`; false when
// it does not resolve (out then holds nothing to release).
bool resolve(remote_addr &out, const char *text, int port)
{
    out = remote_addr{};
    if (kd_remote_addr_init(&out, text, nullptr) == 0 && (port < 0 || kd_remote_addr_set_port(&out, port) == 0))
        return true;
    kd_remote_addr_fini(&out);
    return false;
}

void store_key_path(cfg_tx *tx, const char *file)
{
    std::snprintf(tx->priv_key_file, sizeof tx->priv_key_file, "%s", file);
    tx->ekid[0] = '\0';
}

} // namespace

extern "C" {

int cfg_tx_set_node(cfg_tx *tx, int path2, const char *text)
{
    if (!tx || !text || !*text || std::strlen(text) > kNodeMax)
        return -1;
    char node[sizeof tx->dest_node];
    if (std::isalpha(static_cast<unsigned char>(text[0])))
        std::snprintf(node, sizeof node, "%s", text);
    else if (mcastfwdr_format_ip_addr(node, sizeof node, text) != 0)
        return -1;
    const path p = path_of(tx, path2);
    if (std::strcmp(node, p.node) == 0)
        return 0;
    remote_addr ra;
    if (!resolve(ra, node, p.port))
        return -2;
    kd_remote_addr_fini(&p.ra);
    p.ra = ra;
    std::memcpy(p.node, node, sizeof node);
    return 1;
}

void cfg_tx_put_node(cfg_tx *tx, int path2, const char *text)
{
    if (!tx || !text)
        return;
    const path p = path_of(tx, path2);
    if (p.node != text)
        std::snprintf(p.node, sizeof p.node, "%s", text);
    kd_remote_addr_init(&p.ra, p.node, nullptr);
    if (p.port >= 0)
        kd_remote_addr_set_port(&p.ra, p.port);
}

int cfg_tx_set_port(cfg_tx *tx, int path2, int port)
{
    if (!tx || port < 1 || port > 65535)
        return -1;
    const path p = path_of(tx, path2);
    if (port == p.port)
        return 0;
    // An address not resolved yet (a saved host name) takes the port when it is.
    if (kd_remote_addr_has_addr(&p.ra) && kd_remote_addr_set_port(&p.ra, port) != 0)
        return -1;
    p.port = port;
    return 1;
}

int cfg_tx_set_biss2ca_rx_priv_key_file(cfg_tx *tx, const char *file)
{
    if (!tx || !file || std::strlen(file) > kKeyPathMax)
        return -1;
    struct stat st {};
    if (*file && (::stat(file, &st) != 0 || !S_ISREG(st.st_mode)))
        return -1;
    store_key_path(tx, file);
    return 0;
}

int cfg_tx_keep_biss2ca_rx_priv_key_file(cfg_tx *tx, const char *file)
{
    if (!tx || !file || std::strlen(file) > kKeyPathMax)
        return -1;
    store_key_path(tx, file);
    return 0;
}

const char *cfg_tx_get_biss2ca_rx_ekid_str(const cfg_tx *tx) { return tx ? tx->ekid : nullptr; }

} // extern "C"
