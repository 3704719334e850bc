// The encode half's internals: the block loaders, the clamps, the PSI
// tables the multiplexer carries and the helpers of an encode start. The
// entry points users call are declared in m30.h.
#pragma once

#include "encode/vinparam.h"
#include "encode/viparam.h"
#include "m30_internal.h"

#include <cstddef>
#include <cstdint>

extern "C" {

// Block loaders: read the block's counter at its address, dump the image
// ("/tmp/kerrow_<tag>param_<index>.bin"), write the words after the
// counter, hand the counter over. `idx` is the channel for VI, VIN, AIN,
// VA, EH, EA, EM, AE and MU, the audio index for AIP, AI, AINS, AES and
// MAS. -1 without a control descriptor or for an index above 3.
int m30_load_params_vi(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_vin(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_ain(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_va(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_eh(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_ea(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_em(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_ae(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_mu(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_aip(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_ai(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_ains(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_aes(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;
int m30_load_params_mas(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept;

// Bit a set when audio index a is bound to the channel and switched on.
uint8_t m30_ch_aud_bitmap(const m30_context *m30, unsigned ch) noexcept;
// The VI input format of a video standard (1920x1080p outside the table).
vi_vformat vformat_for_vidstd(m30_vidstd vidstd) noexcept;
// Elementary-stream rate of a transport video rate, kbit/s: the packet
// headers (4 of 188 bytes) and 147200/3 bit/s of tables come off; never
// below 0.
uint32_t m30_video_rate_ts_to_es(uint32_t ts_kbps) noexcept;
// Clamps the audio rate of an audio index to its mode's rates. The stored
// value (half the configured rate) is what is clamped.
void m30_audio_constrain(m30_context *m30, unsigned audio_idx) noexcept;
// Loads AIP, AI, AINS, AES and MAS of every audio index of `bitmap`, the
// stream PTS taken from the channel's VIN block.
void m30_channel_load_audio_params(m30_context *m30, unsigned ch, uint8_t bitmap, const vinparam *vin) noexcept;
// The channel's PAT and PMT sections without the CRC, built into `buf`
// (zeroed first, at least 1024 bytes); each steps its version when the
// channel's dirty flag asks for it. The section length minus 1 (the bytes
// the multiplexer carries), or -1.
int m30_build_pat_table(m30_context *m30, unsigned ch, uint8_t *buf, size_t size) noexcept;
int m30_build_pmt_table(m30_context *m30, unsigned ch, uint8_t *buf, size_t size) noexcept;

} // extern "C"
