// The ancillary-data side of the SDI outputs: lower-row wiring, the audio
// embedder and the SMPTE ST 352 payload inserters.
#pragma once

#include <cstdint>

enum anc_ip { IP_INTERLACED = 0, IP_PROGRESSIVE = 1 };

struct DecAudHdrS352VidInfo {
    unsigned channel;
    unsigned width;
    unsigned height;
    anc_ip ip_xport;
    anc_ip ip_pic;
    double frame_rate;
    int color_primaries;
    int transfer_char;
    int matrix_coeffs;
};

void ancCarrierSetLowerRow(bool lower_row);
int ancDecInit();
void ancDecFini();
int ancS352mUpdate(void *ctx, const DecAudHdrS352VidInfo *info);
