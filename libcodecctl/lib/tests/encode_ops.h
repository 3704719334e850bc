// Uniform handles on the encode parameter blocks (see block_ops.h).
#pragma once

#include "block_ops.h"
#include "encode/aeparam.h"
#include "encode/aesparam.h"
#include "encode/aiparam.h"
#include "encode/ainparam.h"
#include "encode/ainsparam.h"
#include "encode/aipparam.h"
#include "encode/eaparam.h"
#include "encode/ehparam.h"
#include "encode/emparam.h"
#include "encode/masparam.h"
#include "encode/muparam.h"
#include "encode/vaparam.h"
#include "encode/viparam.h"
#include "encode/vinparam.h"

#include <fstream>
#include <sstream>

namespace m30test {

// Defaults of channel 0 / audio index 0: HEVC source, MPEG-1 Layer II
// audio, one audio stream enabled, multiplexer fed by EH without audio.
inline std::vector<BlockOps> encode_blocks()
{
    return {
        M30TEST_OPS(ehparam, 256, ehparam_init(b, EH_SOURCE_VA, 0)),
        M30TEST_OPS(eaparam, 256, eaparam_init(b, 0, 0)),
        M30TEST_OPS(emparam, 256, emparam_init(b, 0, 0)),
        M30TEST_OPS(viparam, 128, viparam_init(b)),
        M30TEST_OPS(vinparam, 64, vinparam_init(b, 0)),
        M30TEST_OPS(vaparam, 64, vaparam_init(b, VA_SOURCE_VIN, 0)),
        M30TEST_OPS(aipparam, 64, aipparam_init(b)),
        M30TEST_OPS(aiparam, 64, aiparam_init(b, 0)),
        M30TEST_OPS(ainparam, 64, ainparam_init(b, 1)),
        M30TEST_OPS(ainsparam, 64, ainsparam_init(b, 0, M30_AUDIO_MODE_MPEG1_L2)),
        M30TEST_OPS(aeparam, 64, aeparam_init(b, 0, 1)),
        M30TEST_OPS(aesparam, 256, aesparam_init(b, 0, M30_AUDIO_MODE_MPEG1_L2)),
        M30TEST_OPS(muparam, 1024, muparam_init(b, MU_VSOURCE_EH, 0, 0)),
        M30TEST_OPS(masparam, 512, masparam_init(b, 0)),
    };
}

// Blocks whose pack advances the counter and whose unpack skips it.
inline bool counter_skipped(const std::string &name)
{
    return name == "ehparam" || name == "eaparam" || name == "muparam";
}

} // namespace m30test
