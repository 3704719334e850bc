// The decoder link: on a decoder card the outputs 0 and 1 feed the card's
// decoder through two unix datagram sockets, one per decoder channel. Each
// datagram is ten whole transport packets (1880 bytes), nothing else.
#pragma once

#include <stdbool.h>
#include <sys/un.h>

enum { MCF_DECODER_CHANNELS = 2, MCF_DECODER_DGRAM_PKTS = 10, MCF_DECODER_DGRAM_LEN = 1880 };

#ifdef __cplusplus
extern "C" {
#endif

// On a decoder card: adds the two decoder outputs (100,000,000 and
// 25,000,000 bit/s), each with its one service row, and opens their sockets; 0, or -1 on a socket failure.
// Elsewhere 0 without action.
int mcf_decoder_init(void);
// Closes both sockets; 0.
int mcf_decoder_fini(void);
// 0 without decoder sockets, -1 for a channel above 1, else its socket.
int mcf_decoder_get_socket_id(int channel);
// The channel's address (the decoder's path under the root), or null
// without decoder sockets or for a channel above 1.
const struct sockaddr_un *mcf_decoder_get_socket_remote(int channel);

#ifdef __cplusplus
}

namespace mcf {
// Opens the two sockets and fills their addresses, whatever the card (the
// card test is mcf_decoder_init's): 0 or -1, with nothing left open.
int decoder_sockets_open();
void decoder_sockets_close();
} // namespace mcf
#endif
