// The setters of an input record that keep its address, socket address and
// SRT fields consistent with one another.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kNodeMax = sizeof(cfg_rx{}.ingress_node) - 1;

bool is_host_name(const char *text) { return std::isalpha(static_cast<unsigned char>(text[0])) != 0; }

// Points the socket address at `text` and `port`; on failure the old one
// stays in force.
bool resolve_into(cfg_rx *rx, const char *text, int port)
{
    remote_addr ra{};
    if (kd_remote_addr_init(&ra, text, nullptr) != 0) {
        kd_remote_addr_fini(&ra);
        return false;
    }
    if (port >= 0 && kd_remote_addr_set_port(&ra, port) != 0) {
        kd_remote_addr_fini(&ra);
        return false;
    }
    kd_remote_addr_fini(&rx->ra);
    rx->ra = ra;
    return true;
}

} // namespace

extern "C" {

int cfg_rx_set_node(cfg_rx *rx, const char *text)
{
    if (!rx || !text || !*text || std::strlen(text) > kNodeMax)
        return -1;
    char node[sizeof rx->ingress_node];
    int enabled = rx->srt_ingress_enabled;
    srt_connect mode = rx->srt_connect;
    if (is_host_name(text)) {
        std::snprintf(node, sizeof node, "%s", text);
        enabled = 1;
        mode = SRT_CALLER;
    } else if (mcastfwdr_format_ip_addr(node, sizeof node, text) != 0) {
        return -1;
    }
    if (std::strcmp(node, rx->ingress_node) == 0)
        return 0;
    if (std::strcmp(node, "0.0.0.0") != 0) {
        if (mcastfwdr_ip_addr_is_multicast(node)) {
            enabled = 0;
        } else {
            enabled = 1;
            mode = SRT_CALLER;
        }
    } else if (enabled) {
        mode = SRT_LISTENER;
    }
    if (!resolve_into(rx, node, rx->ingress_port))
        return -1;
    std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", node);
    rx->srt_ingress_enabled = enabled;
    rx->srt_connect = mode;
    return 1;
}

int cfg_rx_set_port(cfg_rx *rx, int port)
{
    if (!rx || port < 0 || port > 65535)
        return -1;
    if (port == rx->ingress_port)
        return 0;
    if (kd_remote_addr_set_port(&rx->ra, port) != 0)
        return -1;
    rx->ingress_port = port;
    return 1;
}

} // extern "C"

namespace {

// Moves the address to what the SRT switch and mode call for.
int srt_adjust(cfg_rx *rx)
{
    const char *node = rx->ingress_node;
    const bool any = std::strcmp(node, "0.0.0.0") == 0;
    const bool mcast = mcastfwdr_ip_addr_is_multicast(node);
    if (!rx->srt_ingress_enabled)
        return mcast || any ? 0 : cfg_rx_set_node(rx, "0.0.0.0");
    switch (rx->srt_connect) {
    case SRT_LISTENER:
        return cfg_rx_set_node(rx, "0.0.0.0");
    case SRT_CALLER:
        return mcast || any ? cfg_rx_set_node(rx, MCF_ADDR_UNSET) : 0;
    default:
        return 0;
    }
}

} // namespace

extern "C" {

int cfg_rx_set_srt_enable(cfg_rx *rx, int on)
{
    on = on ? 1 : 0;
    if (!rx || rx->srt_ingress_enabled == on)
        return 0;
    rx->srt_ingress_enabled = on;
    return srt_adjust(rx);
}

int cfg_rx_set_srt_connect(cfg_rx *rx, srt_connect mode)
{
    if (!rx)
        return 0;
    rx->srt_connect = mode;
    return srt_adjust(rx);
}

} // extern "C"
