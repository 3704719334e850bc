/* DMX block: the transport-stream demultiplexer of a decode channel. */
#ifndef M30_DMXPARAM_H
#define M30_DMXPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum dmx_tspktsize { DMX_TSPKTSIZE_188 = 0, DMX_TSPKTSIZE_192 = 1, DMX_TSPKTSIZE_END } dmx_tspktsize;

typedef struct dmxparam {
    uint32_t DMXPARAM_CC;
    uint8_t TS_PACKET_SIZE; /* dmx_tspktsize */
    uint8_t PCR_EN;
    uint16_t PCR_PID;
    uint8_t VIDEO_EN;
    uint16_t VIDEO_PID;
    uint8_t AUDIO_EN; /* bit n enables audio PID n */
    uint16_t AUDIO1_PID, AUDIO0_PID, AUDIO3_PID, AUDIO2_PID;
    uint8_t OTHER_EN; /* bit n enables other PID n */
    uint16_t OTHER1_PID, OTHER0_PID, OTHER3_PID, OTHER2_PID;
    uint8_t OTHER3_SEL, OTHER2_SEL, OTHER1_SEL, OTHER0_SEL; /* m30_pid_format */
} dmxparam;

M30_PARAM_FAMILY_DECLS(dmxparam)
M30_API int dmxparam_init(dmxparam *dmx_) M30_NOEXCEPT;
M30_API int dmxparam_set_video_pid(dmxparam *dmx_, unsigned pid_) M30_NOEXCEPT;
M30_API int dmxparam_set_pcr_pid(dmxparam *dmx_, unsigned pid_) M30_NOEXCEPT;
/* Audio PIDs 0 to 3; a PID of 0 leaves its stream disabled. */
M30_API int dmxparam_set_audio_pids(dmxparam *dmx_, const unsigned pids_[4]) M30_NOEXCEPT;
/* The four PIDs whose sections or PES packets the chip reports. */
M30_API int dmxparam_set_other_pids(dmxparam *dmx_, const m30_dmx_pid_detect pids_[4]) M30_NOEXCEPT;

M30_END_DECLS

#endif
