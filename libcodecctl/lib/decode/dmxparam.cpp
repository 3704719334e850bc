// DMX block: transport-stream demultiplexer.
#include "dmxparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(dmxparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(DMXPARAM_CC, 0, 31, 0),
    F(TS_PACKET_SIZE, 1, 7, 0),
    F(PCR_EN, 2, 31, 24), F(PCR_PID, 2, 15, 0),
    F(VIDEO_EN, 3, 31, 24), F(VIDEO_PID, 3, 15, 0),
    F(AUDIO_EN, 4, 7, 0),
    F(AUDIO1_PID, 5, 31, 16), F(AUDIO0_PID, 5, 15, 0),
    F(AUDIO3_PID, 6, 31, 16), F(AUDIO2_PID, 6, 15, 0),
    F(OTHER_EN, 9, 7, 0),
    F(OTHER1_PID, 10, 31, 16), F(OTHER0_PID, 10, 15, 0),
    F(OTHER3_PID, 11, 31, 16), F(OTHER2_PID, 11, 15, 0),
    F(OTHER3_SEL, 12, 31, 24), F(OTHER2_SEL, 12, 23, 16), F(OTHER1_SEL, 12, 15, 8),
    F(OTHER0_SEL, 12, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"dmxparam", "dmx", sizeof(dmxparam), 256, fields};

// PIDs 0x1FF0 and 0x1FF1 sit in the user-private range of ISO/IEC 13818-1
// Table 2-3: nothing is demultiplexed until the real PIDs are set.
constexpr uint16_t unset_video_pid = 0x1FF0;
constexpr uint16_t unset_audio_pid = 0x1FF1;
} // namespace

M30_PARAM_FAMILY(dmxparam, desc)

extern "C" M30_API int dmxparam_init(dmxparam *dmx_) noexcept
{
    if (!m30pb::fresh(dmx_, &dmxparam::DMXPARAM_CC))
        return -1;
    dmx_->TS_PACKET_SIZE = DMX_TSPKTSIZE_188;
    dmx_->PCR_EN = 1;
    dmx_->PCR_PID = unset_video_pid;
    dmx_->VIDEO_EN = 1;
    dmx_->VIDEO_PID = unset_video_pid;
    dmx_->AUDIO_EN = 1;
    dmx_->AUDIO0_PID = unset_audio_pid;
    return 0;
}

extern "C" M30_API int dmxparam_set_video_pid(dmxparam *dmx_, unsigned pid_) noexcept
{
    return m30pb::store(dmx_, &dmxparam::VIDEO_PID, pid_);
}

extern "C" M30_API int dmxparam_set_pcr_pid(dmxparam *dmx_, unsigned pid_) noexcept
{
    return m30pb::store(dmx_, &dmxparam::PCR_PID, pid_);
}

extern "C" M30_API int dmxparam_set_audio_pids(dmxparam *dmx_, const unsigned pids_[4]) noexcept
{
    if (!dmx_ || !pids_)
        return errno = EINVAL, -1;
    uint16_t *slot[4] = {&dmx_->AUDIO0_PID, &dmx_->AUDIO1_PID, &dmx_->AUDIO2_PID, &dmx_->AUDIO3_PID};
    uint8_t en = 0;
    for (unsigned n = 0; n < 4; ++n) {
        *slot[n] = static_cast<uint16_t>(pids_[n]);
        if (pids_[n] != 0)
            en |= uint8_t(1u << n);
    }
    dmx_->AUDIO_EN = en;
    return 0;
}

extern "C" M30_API int dmxparam_set_other_pids(dmxparam *dmx_, const m30_dmx_pid_detect pids_[4]) noexcept
{
    if (!dmx_ || !pids_)
        return errno = EINVAL, -1;
    uint16_t *pid[4] = {&dmx_->OTHER0_PID, &dmx_->OTHER1_PID, &dmx_->OTHER2_PID, &dmx_->OTHER3_PID};
    uint8_t *sel[4] = {&dmx_->OTHER0_SEL, &dmx_->OTHER1_SEL, &dmx_->OTHER2_SEL, &dmx_->OTHER3_SEL};
    uint8_t en = 0;
    for (unsigned n = 0; n < 4; ++n) {
        *pid[n] = static_cast<uint16_t>(pids_[n].pid);
        *sel[n] = static_cast<uint8_t>(pids_[n].fmt);
        if (pids_[n].is_enabled)
            en |= uint8_t(1u << n);
    }
    dmx_->OTHER_EN = en;
    return 0;
}
