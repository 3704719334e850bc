// KLV source sockets: a source receives on a multicast group (joined
// through its host route) or on a port of every local address ("0.0.0.0"),
// and only while the configuration is loaded, its interface is up and its
// address and port are complete. Called with ctrl_data_lock held for
// writing (or before the receive thread can see the source).
#include "mcf_cfg.h"
#include "mcf_services.h"
#include "status_queue.h"

#include <kerrow/remote.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr int kKlvBufferSize = 2048;

bool on_interface(const cfg_rx_klv &k, const char *ifname)
{
    return ifname && std::strcmp(k.intf, ifname) == 0;
}

} // namespace

extern "C" {

int cfg_rx_klv_socket_destroy(cfg_rx_klv *klv)
{
    if (!klv)
        return 0;
    if (klv->sockfd >= 0) {
        kd_remote_close(klv->sockfd);
        mcf_route_rx_klv_delete(klv);
    }
    klv->sockfd = -1;
    klv->pkts_rx = klv->errs_packetizing = 0;
    return 0;
}

int cfg_rx_klv_socket_create(cfg_rx_klv *klv)
{
    if (!klv)
        return -1;
    // A source that can no longer receive must not keep its old socket.
    cfg_rx_klv_socket_destroy(klv);
    if (!cfg_rx_klv_can_recv_data(klv)) {
        if (mcf_ctrl_plane_configuration_is_loaded && !cfg_rx_klv_ip_fields_incomplete(klv) &&
            !mcastfwdr_eth_intf_is_operational(klv->intf))
            mcf_post_log(SQ_LOG_ERROR, "%s link is down, failed to create rx socket: %s:%d", klv->intf, klv->node,
                         klv->port);
        return -1;
    }
    mcf_route_rx_klv_add(klv);
    const std::string port = std::to_string(klv->port);
    const bool mcast = std::strcmp(klv->node, "0.0.0.0") != 0;
    const int fd = mcast ? kd_remote_join_mcast(klv->node, port.c_str(), nullptr, nullptr, kKlvBufferSize)
                         : kd_remote_register_client_dgram(nullptr, port.c_str(), nullptr, nullptr, kKlvBufferSize);
    if (fd < 0) {
        mcf_route_rx_klv_delete(klv);
        mcf_post_log(SQ_LOG_ERROR, "Failed to create Rx KLV socket: %s/%d/%s (fd: %d)", klv->node, klv->port,
                     klv->intf, fd);
        return -1;
    }
    klv->sockfd = fd;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        mcf_post_log(SQ_LOG_WARN, "failed to set SO_TIMESTAMP : %s", std::strerror(errno));
    mcf_post_log(SQ_LOG_INFO, "Created Rx socket (%d) for KLV Source %d as %s", fd, klv->id, mcast ? "mcast" : "ucast");
    return 0;
}

unsigned mcfcfg_rx_klv_disable_on_interface(mcastfwdr_cfg *cfg, const char *ifname)
{
    unsigned n = 0;
    for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(cfg ? cfg->rules_rx_klv : nullptr)) {
        if (!on_interface(k, ifname))
            continue;
        n += k.sockfd >= 0;
        cfg_rx_klv_socket_destroy(&k);
    }
    return n;
}

unsigned mcfcfg_rx_klv_enable_on_interface(mcastfwdr_cfg *cfg, const char *ifname)
{
    unsigned n = 0;
    for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(cfg ? cfg->rules_rx_klv : nullptr))
        if (k.sockfd < 0 && on_interface(k, ifname))
            n += cfg_rx_klv_socket_create(&k) == 0;
    return n;
}

unsigned mcfcfg_rx_klv_on_loaded(mcastfwdr_cfg *cfg)
{
    unsigned n = 0;
    for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(cfg ? cfg->rules_rx_klv : nullptr))
        n += cfg_rx_klv_socket_create(&k) == 0;
    return n;
}

} // extern "C"
