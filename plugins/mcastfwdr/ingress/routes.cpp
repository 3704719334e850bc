// Host routes through route netlink. The pair is checked exactly (a dotted
// quad, eth0 to eth9 or lo) before anything reaches the kernel. Off the
// card a route is changed only inside a network namespace of its own (a
// test's), never in the machine's.
#include "ingress/routes.h"
#include "outputs/manager_output.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"

#include <kerrow/command.h>

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

bool dotted_quad(const char *s, in_addr *out)
{
    unsigned v[4];
    for (int i = 0; i < 4; ++i) {
        int digits = 0;
        v[i] = 0;
        while (*s >= '0' && *s <= '9' && digits < 4) {
            v[i] = v[i] * 10 + unsigned(*s++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || v[i] > 255)
            return false;
        if (i < 3 && *s++ != '.')
            return false;
    }
    if (*s)
        return false;
    out->s_addr = htonl(v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3]);
    return true;
}

bool route_interface(const char *intf)
{
    return std::strcmp(intf, "lo") == 0 ||
           (std::strncmp(intf, "eth", 3) == 0 && intf[3] >= '0' && intf[3] <= '9' && intf[4] == '\0');
}

// Off the card, only a named network namespace (as "ip netns" makes for a
// test) may change; the machine's own namespace never.
bool may_change_routes()
{
    if (!kd::off_card())
        return true;
    struct stat self{};
    if (::stat("/proc/thread-self/ns/net", &self) != 0)
        return false;
    bool named = false;
    if (DIR *d = ::opendir("/run/netns")) {
        while (dirent *e = ::readdir(d)) {
            struct stat ns{};
            const std::string path = std::string("/run/netns/") + e->d_name;
            named = named || (e->d_name[0] != '.' && ::stat(path.c_str(), &ns) == 0 && ns.st_ino == self.st_ino &&
                              ns.st_dev == self.st_dev);
        }
        ::closedir(d);
    }
    return named;
}

// 0, or the kernel's errno.
int netlink_route(in_addr dst, unsigned ifindex, bool is_add)
{
    mnl_socket *nl = mnl_socket_open(NETLINK_ROUTE);
    if (!nl)
        return errno;
    int err = 0;
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
        err = errno;
        mnl_socket_close(nl);
        return err;
    }
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = is_add ? RTM_NEWROUTE : RTM_DELROUTE;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (is_add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    nlh->nlmsg_seq = unsigned(std::time(nullptr));
    auto *rtm = static_cast<rtmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = 32;
    rtm->rtm_table = RT_TABLE_MAIN;
    rtm->rtm_protocol = RTPROT_BOOT;
    rtm->rtm_scope = is_add ? RT_SCOPE_LINK : RT_SCOPE_NOWHERE;
    rtm->rtm_type = RTN_UNICAST;
    mnl_attr_put_u32(nlh, RTA_DST, dst.s_addr);
    mnl_attr_put_u32(nlh, RTA_OIF, ifindex);
    const unsigned seq = nlh->nlmsg_seq;
    const unsigned portid = mnl_socket_get_portid(nl);
    if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) {
        err = errno;
    } else {
        const ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
        if (n < 0 || mnl_cb_run(buf, size_t(n), seq, portid, nullptr, nullptr) < 0)
            err = errno ? errno : EIO;
    }
    mnl_socket_close(nl);
    return err;
}

// "address interface" back into its two parts.
bool split_route_id(const char *route_id, char *addr, size_t addr_size, const char **intf)
{
    const char *blank = std::strchr(route_id, ' ');
    if (!blank || size_t(blank - route_id) >= addr_size)
        return false;
    std::memcpy(addr, route_id, size_t(blank - route_id));
    addr[blank - route_id] = '\0';
    *intf = blank + 1;
    return true;
}

bool rx_route_unique(const manager_input *mi)
{
    return manager_inputs_member_has_unique_route(mi) && !manager_outputs_route_exists_in_set(mi->route_id) &&
           !mcfcfg_route_exists_in_klv_sources(&mcf_cfg, mi->route_id);
}

// An output's primary route: unique among the output managers and used by
// no Net input manager and no KLV source.
bool tx_route_unique(const manager_output *mo)
{
    return manager_outputs_member_has_unique_route(mo) && !manager_inputs_route_exists_in_set(mo->route_id) &&
           !mcfcfg_route_exists_in_klv_sources(&mcf_cfg, mo->route_id);
}

bool tx_redundant_route_unique(const manager_output *mo)
{
    return manager_outputs_member_has_unique_route(mo) && !manager_inputs_route_exists_in_set(mo->redundant_route_id) &&
           !mcfcfg_route_exists_in_klv_sources(&mcf_cfg, mo->redundant_route_id);
}

bool klv_route_unique(const cfg_rx_klv *klv)
{
    return mcfcfg_rx_klv_member_has_unique_route(&mcf_cfg, klv) && !manager_inputs_route_exists_in_set(klv->route_id) &&
           !manager_outputs_route_exists_in_set(klv->route_id);
}

// Removes an owner's route when it is the last user; the id is emptied either way.
template <size_t N> void route_delete(char (&route_id)[N], bool unique)
{
    if (!route_id[0])
        return;
    if (unique) {
        char addr[128];
        const char *intf = nullptr;
        if (split_route_id(route_id, addr, sizeof addr, &intf))
            mcf_route_apply_rule(addr, intf, false);
    } else {
        mcf_post_log(SQ_LOG_DEBUG, "Route not deleted <%s> - used by another socket", route_id);
    }
    route_id[0] = '\0';
}

} // namespace

extern "C" {

bool mcf_route_may_change(void) { return may_change_routes(); }

int mcf_route_apply_rule(const char *addr, const char *intf, bool is_add)
{
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "%s -net %s netmask 255.255.255.255 dev %s", is_add ? "route add" : "route del",
                  addr ? addr : "", intf ? intf : "");
    in_addr dst{};
    if (!addr || !intf || !dotted_quad(addr, &dst) || !route_interface(intf)) {
        mcf_post_log(SQ_LOG_ERROR, "Command format invalid: '%s'", cmd);
        return -1;
    }
    int err = 0;
    const unsigned ifindex = if_nametoindex(intf);
    if (!may_change_routes())
        err = EPERM;
    else if (ifindex == 0)
        err = ENODEV;
    else
        err = netlink_route(dst, ifindex, is_add);
    if (err == 0)
        mcf_post_log(SQ_LOG_DEBUG, "%s route (%s %s)", is_add ? "Added" : "Deleted", addr, intf);
    else
        mcf_post_log(SQ_LOG_WARN, "Unable to %s route: <%s %s> (probably already applied)", is_add ? "add" : "delete",
                     addr, intf);
    return 0;
}

void mcf_route_rx_add(manager_input *mi, const cfg_rx *rx)
{
    mi->route_id[0] = '\0';
    if (!mcastfwdr_ip_addr_is_multicast(rx->ingress_node))
        return;
    std::snprintf(mi->route_id, sizeof mi->route_id, "%.118s %.7s", rx->ingress_node, rx->ingress_intf);
    if (!rx_route_unique(mi)) {
        mcf_post_log(SQ_LOG_DEBUG, "Route not added <%s> - already exists", mi->route_id);
        return;
    }
    mcf_route_apply_rule(rx->ingress_node, rx->ingress_intf, true);
}

void mcf_route_rx_delete(manager_input *mi) { route_delete(mi->route_id, !mi->route_id[0] || rx_route_unique(mi)); }

void mcf_route_tx_add(manager_output *mo, const cfg_tx *tx)
{
    mo->route_id[0] = '\0';
    if (!kd_remote_addr_is_mcast(&tx->ra))
        return;
    std::snprintf(mo->route_id, sizeof mo->route_id, "%.118s %.7s", tx->dest_node, tx->dest_intf);
    if (!tx_route_unique(mo)) {
        mcf_post_log(SQ_LOG_DEBUG, "Route not added <%s> - already exists", mo->route_id);
        return;
    }
    mcf_route_apply_rule(tx->dest_node, tx->dest_intf, true);
}

void mcf_redundant_route_tx_add(manager_output *mo, const cfg_tx *tx)
{
    mo->redundant_route_id[0] = '\0';
    if (!kd_remote_addr_is_mcast(&tx->redundant_ra))
        return;
    std::snprintf(mo->redundant_route_id, sizeof mo->redundant_route_id, "%.118s %.7s", tx->redundant_node,
                  tx->redundant_intf);
    if (!tx_redundant_route_unique(mo)) {
        mcf_post_log(SQ_LOG_DEBUG, "Redundant Route not added <%s> - already exists", mo->redundant_route_id);
        return;
    }
    mcf_route_apply_rule(tx->redundant_node, tx->redundant_intf, true);
}

void mcf_route_tx_delete(manager_output *mo)
{
    const bool unique = !mo->route_id[0] || tx_route_unique(mo);
    const bool redundant_unique = !mo->redundant_route_id[0] || tx_redundant_route_unique(mo);
    route_delete(mo->route_id, unique);
    if (unique)
        route_delete(mo->redundant_route_id, redundant_unique);
    mo->redundant_route_id[0] = '\0';
}

int mcf_route_rx_klv_add(cfg_rx_klv *klv)
{
    klv->route_id[0] = '\0';
    if (std::strcmp(klv->node, "0.0.0.0") == 0)
        return -1;
    std::snprintf(klv->route_id, sizeof klv->route_id, "%.118s %.7s", klv->node, klv->intf);
    if (!klv_route_unique(klv)) {
        mcf_post_log(SQ_LOG_DEBUG, "Route not added <%s> - already exists", klv->route_id);
        return -1;
    }
    return mcf_route_apply_rule(klv->node, klv->intf, true);
}

int mcf_route_rx_klv_delete(cfg_rx_klv *klv)
{
    route_delete(klv->route_id, !klv->route_id[0] || klv_route_unique(klv));
    return 0;
}

} // extern "C"
