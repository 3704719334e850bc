// The software audio path of a channel. Its threads (demultiplexer,
// video PTS follower and one decoder per stream) read the channel's audio
// pipe; until they exist the pipe has no reader and the ingress only
// keeps its level.
#include "decode_internal.h"

int decode_audio_ctor(unsigned ch) { return ch < DEC_CHANNELS ? 0 : -1; }

void decode_audio_dtor(unsigned) {}

void decode_audio_signal_reset(unsigned ch)
{
    // The reader side owns clearing the pipe; without a reader the ingress
    // thread is the only one touching it and may drop what it holds.
    if (ch < DEC_CHANNELS && dec().audio_decode_feed[ch] && !decode_audio_is_reading_feed(ch))
        kd_pipe_clear(dec().audio_decode_feed[ch]);
}

bool decode_audio_is_reading_feed(unsigned) { return false; }

void decode_audio_video_pts(unsigned, uint64_t) {}
