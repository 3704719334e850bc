// The decoder link's sockets and the decoder outputs.
#include "egress/decoder_link.h"
#include "cfg/mcf_services.h"
#include "engine.h"
#include "mcastfwdr.h"

#include <kerrow/path.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char *kPaths[MCF_DECODER_CHANNELS] = {"/var/run/decode-0-unix.sock", "/var/run/decode-1-unix.sock"};
constexpr int kRates[MCF_DECODER_CHANNELS] = {100000000, 25000000};
constexpr int kSndBuf = 2000000;

// Written on the loop thread at start and stop; the egress threads of the
// decoder outputs read them while they exist.
int g_socket[MCF_DECODER_CHANNELS] = {-1, -1};
sockaddr_un g_remote[MCF_DECODER_CHANNELS] = {};
bool g_open = false;

int open_channel(unsigned ch)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        mcf_post_log(SQ_LOG_ERROR, "Output %d Failed to create unix Tx socket.", int(ch));
        return -1;
    }
    int size = kSndBuf;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Unix Tx socket %u - failed to set buffer size: %s", ch, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    int found = 0;
    socklen_t len = sizeof found;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &found, &len) != 0 || found < kSndBuf) {
        mcf_post_log(SQ_LOG_ERROR, "Unix Tx socket %u - SO_SNDBUF expected %d, found %d", ch, kSndBuf, found);
        ::close(fd);
        return -1;
    }
    sockaddr_un &a = g_remote[ch];
    a = {};
    a.sun_family = AF_UNIX;
    // A root too long for a unix address is refused, never cut short.
    const std::string path = kd::rooted(kPaths[ch]);
    if (path.size() >= sizeof a.sun_path) {
        mcf_post_log(SQ_LOG_ERROR, "Unix Tx socket %u - path too long: %s", ch, path.c_str());
        ::close(fd);
        return -1;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    g_socket[ch] = fd;
    return 0;
}

} // namespace

namespace mcf {

int decoder_sockets_open()
{
    if (g_open)
        return 0;
    for (unsigned ch = 0; ch < MCF_DECODER_CHANNELS; ++ch) {
        if (open_channel(ch) != 0) {
            decoder_sockets_close();
            return -1;
        }
    }
    g_open = true;
    return 0;
}

void decoder_sockets_close()
{
    for (unsigned ch = 0; ch < MCF_DECODER_CHANNELS; ++ch) {
        if (g_socket[ch] >= 0)
            ::close(g_socket[ch]);
        g_socket[ch] = -1;
        g_remote[ch] = {};
    }
    g_open = false;
}

} // namespace mcf

extern "C" {

int mcf_decoder_init(void)
{
    if (!mcf_decoder_exists())
        return 0;
    for (unsigned ch = 0; ch < MCF_DECODER_CHANNELS; ++ch) {
        cfg_tx *tx = mcfcfg_tx_find_by_id(int(ch));
        if (!tx) {
            tx = mcfcfg_tx_add_dec(&mcf_cfg, int(ch));
            if (!tx)
                return -1;
            mcastfwdr_allocate_rule_output(mcf_cfg.tbl_outputs, tx);
            // Its one service: the input and program the channel decodes.
            if (mcastfwdr_add_row_out_input_(tx, 0) != 0)
                return -1;
        }
        tx->dest_bps = kRates[ch];
        mcf_tx_register_alarms(tx);
    }
    if (mcf::decoder_sockets_open() != 0)
        return -1;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Allocated cfg_tx 0 and 1 for two Decode Outputs.");
    return 0;
}

int mcf_decoder_fini(void)
{
    mcf::decoder_sockets_close();
    return 0;
}

int mcf_decoder_get_socket_id(int channel)
{
    if (!g_open)
        return 0;
    return channel >= 0 && channel < MCF_DECODER_CHANNELS ? g_socket[channel] : -1;
}

const struct sockaddr_un *mcf_decoder_get_socket_remote(int channel)
{
    if (!g_open || channel < 0 || channel >= MCF_DECODER_CHANNELS)
        return nullptr;
    return &g_remote[channel];
}

int mcastfwdr_decoder_link_init(void) { return mcf_decoder_init(); }
void mcastfwdr_decoder_link_fini(void) { mcf_decoder_fini(); }

} // extern "C"
