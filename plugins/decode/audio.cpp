// The software audio path of a decoder channel. The codec chip decodes
// only video; per channel a demultiplexer thread ("SVD:a%u-demux") reads
// the channel's audio pipe through an FFmpeg read callback, reports the
// video format to the loop, opens one decoder per supported audio stream
// and hands the packets to one decompressor thread per stream
// ("SVD:a%d,%.2d-%s"), which write the PCM into the SDI embedders; the
// video time-stamp thread ("SVD:a%u-vidpts") passes the chip's picture
// time stamps to the embedder.
//
// Every thread is joinable and ends when asked: the read callback and an
// FFmpeg interrupt callback see the stop request, and so does every wait.
// A thread that outlives its limit keeps everything it uses; the stop is
// tried again later.
#include "anc.h"
#include "anc_embed.h"
#include "decode_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <mpegts_crc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <pthread.h>
#include <time.h>

namespace {

constexpr unsigned kStreams = 40;      // FFmpeg stream indexes followed
constexpr unsigned kSlots = 8;         // decompressors per channel
constexpr unsigned kRing = 8;          // packet ring of a decompressor (7 wait at most)
constexpr int kIoBuffer = 32712;       // 174 packets
constexpr unsigned kTs = 188;
constexpr int kReadRounds = 20;        // 100 ms without data
constexpr int kJoinLimitNs = 1'000'000'000;
constexpr auto kStep = std::chrono::milliseconds(5);
constexpr uint64_t kPts33Mask = (uint64_t(1) << 33) - 1;

struct Decompressor {
    pthread_t thread{};
    bool started = false; // demultiplexer thread
    std::atomic<bool> up{false};
    std::mutex mu;
    std::condition_variable cv;
    bool down = false; // under mu
    unsigned chn = 0, as = 0, ps = 0;
    char acronym[8] = {};
    DecAudSrcFmt format = DEC_AUD_SRC_FMT_S16;
    AVPacket *pkt[kRing] = {};
    unsigned pkt_wr = 0, pkt_rd = 0; // under mu
    unsigned errors = 0;
    AVCodecContext *ctx = nullptr;
    SwrContext *swr = nullptr; // decompressor thread
};

struct Demultiplexer {
    pthread_t thread{};
    bool started = false; // loop thread
    std::atomic<bool> up{false}, down{false}, reset{false}, reading_feed{false};
    unsigned chn = 0;
    kd_pipe_t *pipe = nullptr;
    std::array<uint8_t, 8192> drop_pids{};
    int pmt_version = -1;
    unsigned pmt_pid = 0;     // 0: not followed
    bool pmt_renewed = false; // the read callback saw another version
    AVFormatContext *fmt = nullptr;
    AVIOContext *io = nullptr;
    AVCodecContext *codec_ctx[kStreams] = {};
    unsigned as[kStreams] = {};
    unsigned as_num = 0;
    Decompressor dcp[kSlots];
    char h264_last[64] = {};
    unsigned h264_repeat = 0;
};

struct VideoPts {
    pthread_t thread{};
    bool started = false; // loop thread
    std::atomic<bool> up{false};
    std::mutex mu;
    std::condition_variable cv;
    bool down = false; // under mu
    uint64_t pts = 0;  // under mu; 0: none
    unsigned chn = 0;
};

Demultiplexer g_dmx[DEC_CHANNELS];
VideoPts g_vpts[DEC_CHANNELS];

const char *av_text(int err, char (&buf)[64])
{
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Sleeps in 5 ms steps; false when a stop was asked meanwhile.
bool pause_for(Demultiplexer &d, std::chrono::milliseconds ms)
{
    for (auto left = ms; left.count() > 0; left -= kStep) {
        if (d.down)
            return false;
        std::this_thread::sleep_for(kStep);
    }
    return !d.down;
}

void clear_audio_stats(unsigned ch)
{
    decoder_stats &s = dec().stats[ch];
    for (audio_stream_stats &a : s.audio_streams)
        a.is_active = false, a.type = AUDIO_CODEC_NONE, a.frames_tx = 0, a.bit_rate = 0;
    s.audio_streams_ct = 0;
}

// ---- the read callback ----

// A whole PMT section in a packet of the program's PMT PID, with a valid
// CRC and another version than the built one, is noted for a rebuild.
// FFmpeg 5.1 stops updating the program's PMT version once the video
// (and PCR) PID no longer reaches it, so the packets are looked at here.
void note_pmt(Demultiplexer &d, const uint8_t *p)
{
    if (d.pmt_version < 0 || !(p[1] & 0x40) || !(p[3] & 0x10))
        return;
    unsigned at = 4;
    if (p[3] & 0x20)
        at += 1u + p[4];
    if (at >= kTs)
        return;
    at += 1u + p[at]; // pointer field
    if (at + 8 > kTs || p[at] != 0x02)
        return;
    const unsigned len = 3u + ((p[at + 1] & 0x0Fu) << 8 | p[at + 2]);
    if (at + len > kTs || len < 16 || !(p[at + 5] & 1) || DvbCrc32Check(p + at, len) != 1)
        return;
    if (int(p[at + 5] >> 1 & 0x1F) != d.pmt_version)
        d.pmt_renewed = true;
}

// Ends in end-of-file once the pipe stayed empty for kReadRounds polls in a
// row: the feed stopped. Packets that arrive, even ones dropped here, count
// as data: between two audio PES of a stream (a muxer may pack several
// frames into one, 100 ms and more apart) only video flows, and counting
// those empty polls across the gap would rebuild a path that is playing.
int read_ts_packets(void *opaque, uint8_t *buf, int size)
{
    auto &d = *static_cast<Demultiplexer *>(opaque);
    const unsigned room = unsigned(size) / kTs;
    for (int round = 0; round < kReadRounds;) {
        // A rebuild asked for ends the read at once: FFmpeg may never hand
        // out another packet of the streams it knows (the new PMT's audio
        // may be of another codec on the same PID).
        if (d.down || d.reset || d.pmt_renewed)
            return AVERROR_EOF;
        const unsigned level = kd_pipe_level(d.pipe);
        if (!level) {
            std::this_thread::sleep_for(kStep);
            ++round;
            continue;
        }
        const unsigned n = level < room ? level : room;
        unsigned kept = 0;
        for (unsigned i = 0; i < n; ++i) {
            uint8_t *p = buf + size_t(kept) * kTs;
            if (kd_pipe_read_unlocked(d.pipe, p) != 0)
                break;
            const unsigned pid = (p[1] & 0x1Fu) << 8 | p[2];
            if (d.drop_pids[pid])
                continue;
            if (d.pmt_pid && pid == d.pmt_pid) {
                note_pmt(d, p);
                if (d.pmt_renewed)
                    break; // what follows belongs to the new version
            }
            ++kept;
        }
        if (kept)
            return int(kept * kTs);
        // All dropped: data is flowing, read on at once.
        round = 0;
    }
    return AVERROR_EOF;
}

int interrupted(void *opaque) { return static_cast<Demultiplexer *>(opaque)->down ? 1 : 0; }

// ---- decompressor ----

bool ring_put(Decompressor &c, AVPacket *pkt)
{
    std::lock_guard l(c.mu);
    if (c.down || (c.pkt_wr + 1) % kRing == c.pkt_rd)
        return false;
    c.pkt[c.pkt_wr] = pkt;
    c.pkt_wr = (c.pkt_wr + 1) % kRing;
    c.cv.notify_one();
    return true;
}

// Hands one decoded frame to the embedder: S16 or F32, planar or packed,
// as the frame is; other layouts through the resampler as planar float.
// Mono goes to both sides. -1 when the frame cannot be converted.
int embed_frame(Decompressor &c, AVFrame *f)
{
    const int channels = f->ch_layout.nb_channels;
    const int n = f->nb_samples;
    if (channels < 1 || n < 1)
        return -1;
    const auto fmt = AVSampleFormat(f->format);
    const void *p0 = f->data[0], *p1 = nullptr;
    int layout = -1;
    switch (fmt) {
    case AV_SAMPLE_FMT_S16P: case AV_SAMPLE_FMT_FLTP:
        layout = fmt == AV_SAMPLE_FMT_S16P ? DEC_AUD_SRC_FMT_S16 : DEC_AUD_SRC_FMT_F32;
        p1 = channels > 1 ? f->data[1] : f->data[0];
        break;
    case AV_SAMPLE_FMT_S16: case AV_SAMPLE_FMT_FLT:
        if (channels <= 2) {
            layout = fmt == AV_SAMPLE_FMT_S16 ? DEC_AUD_SRC_FMT_S16 : DEC_AUD_SRC_FMT_F32;
            p1 = channels == 1 ? f->data[0] : nullptr; // mono: the one plane twice
        }
        break;
    default:
        break;
    }
    if (layout < 0) {
        // Anything else as planar float of the same channels.
        if (!c.swr) {
            if (swr_alloc_set_opts2(&c.swr, &f->ch_layout, AV_SAMPLE_FMT_FLTP, f->sample_rate, &f->ch_layout, fmt,
                                    f->sample_rate, 0, nullptr) < 0 ||
                swr_init(c.swr) < 0) {
                swr_free(&c.swr);
                return -1;
            }
        }
        AVFrame *out = av_frame_alloc();
        if (!out)
            return -1;
        out->format = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_copy(&out->ch_layout, &f->ch_layout);
        out->sample_rate = f->sample_rate;
        out->nb_samples = n;
        int rc = -1;
        if (av_frame_get_buffer(out, 0) == 0 &&
            swr_convert(c.swr, out->data, n, const_cast<const uint8_t **>(f->extended_data), n) == n)
            rc = ancDecAudEmbedChnIdxFrame(int(c.chn), int(c.as), DEC_AUD_SRC_FMT_F32, out->data[0],
                                           channels > 1 ? out->data[1] : out->data[0], n);
        av_frame_free(&out);
        return rc;
    }
    return ancDecAudEmbedChnIdxFrame(int(c.chn), int(c.as), layout, p0, p1, n);
}

void decompress(Decompressor &c)
{
    const unsigned ch = c.chn, as = c.as, ps = c.ps;
    audio_stream_stats &stats = dec().stats[ch].audio_streams[as];
    for (;;) {
        AVPacket *pkt = nullptr;
        {
            std::unique_lock l(c.mu);
            c.cv.wait(l, [&] { return c.down || c.pkt_rd != c.pkt_wr; });
            if (c.down)
                return;
            pkt = c.pkt[c.pkt_rd];
            c.pkt[c.pkt_rd] = nullptr;
            c.pkt_rd = (c.pkt_rd + 1) % kRing;
        }
        if (!pkt) {
            decode_post_log(DEC_LOG_ERROR, "Chn:As:Ps %u:%u:%u audio thread ERROR, AVPacket NULL", ch, as, ps);
            continue;
        }
        const int rc = avcodec_send_packet(c.ctx, pkt);
        if (rc < 0) {
            c.errors = (c.errors + 1) % 40;
            char e[64];
            if (c.errors == 0)
                decode_post_log(DEC_LOG_ERROR, "Chn:As:Ps %u:%u:%u audio thread ERROR, avcodec_send_packet(%p, %p) %s",
                                ch, as, ps, static_cast<void *>(c.ctx), static_cast<void *>(pkt), av_text(rc, e));
            av_packet_free(&pkt);
            continue;
        }
        av_packet_free(&pkt);
        AVFrame *f = av_frame_alloc();
        if (!f) {
            decode_post_log(DEC_LOG_ERROR, "Chn:As:Ps %u:%u:%u audio thread ERROR, avcodec_frame_alloc()", ch, as, ps);
            continue;
        }
        // One frame a packet; a decoder that needs more input answers
        // try-again, which is no error.
        const int got = avcodec_receive_frame(c.ctx, f);
        if (got == 0) {
            ++stats.frames_tx;
            const int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
            if (pts != AV_NOPTS_VALUE)
                ancDecAudEmbedChnIdxPts(int(ch), int(as), uint64_t(pts) & kPts33Mask);
            embed_frame(c, f);
        } else if (got != AVERROR(EAGAIN)) {
            decode_post_log(DEC_LOG_ERROR, "Chn:As:Ps %u:%u:%u audio thread ERROR, avcodec_receive_frame()", ch, as, ps);
        }
        av_frame_free(&f);
    }
}

void *decompressor_main(void *arg)
{
    auto &c = *static_cast<Decompressor *>(arg);
    char name[48]; // the thread keeps 15 characters
    std::snprintf(name, sizeof name, "SVD:a%d,%.2d-%s", int(c.chn) + 1, int(c.as) + 1, c.acronym);
    rt_thread_setup(name, 34 - int(c.chn) - 2 * int(c.as));
    c.up = true;
    decompress(c);
    c.up = false;
    ancDecAudEmbedChnMute(int(c.chn));
    std::lock_guard l(c.mu);
    for (AVPacket *&p : c.pkt)
        av_packet_free(&p);
    c.pkt_wr = c.pkt_rd = 0;
    swr_free(&c.swr);
    return nullptr;
}

void destroy_decompressors(Demultiplexer &d)
{
    for (Decompressor &c : d.dcp) {
        if (!c.started)
            continue;
        {
            std::lock_guard l(c.mu);
            c.down = true;
        }
        c.cv.notify_all();
        // The thread ends at its next wait; decoding one packet is bounded.
        pthread_join(c.thread, nullptr);
        c.thread = {};
        c.started = false;
    }
    clear_audio_stats(d.chn);
}

void free_contexts(Demultiplexer &d)
{
    for (AVCodecContext *&c : d.codec_ctx)
        avcodec_free_context(&c);
    d.as_num = 0;
}

void destroy_demultiplexer(Demultiplexer &d)
{
    decoder_stats &s = dec().stats[d.chn];
    d.pmt_version = -1;
    d.pmt_pid = 0;
    d.pmt_renewed = false;
    s.svc_pgm_num = 0;
    ++s.aud_dec_reset_ct;
    if (d.fmt)
        avformat_close_input(&d.fmt);
    if (d.io) {
        av_freep(&d.io->buffer);
        avio_context_free(&d.io);
    }
    d.reading_feed = false;
}

// ---- build ----

bool create_demultiplexer(Demultiplexer &d)
{
    const unsigned ch = d.chn;
    d.fmt = avformat_alloc_context();
    if (!d.fmt) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u could not allocate AV format context", ch);
        return false;
    }
    d.fmt->interrupt_callback = {interrupted, &d};
    auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBuffer));
    if (!buffer) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u could not allocate memory for AV IO context buffer", ch);
        return false;
    }
    d.io = avio_alloc_context(buffer, kIoBuffer, 0, &d, read_ts_packets, nullptr, nullptr);
    if (!d.io) {
        av_free(buffer);
        decode_post_log(DEC_LOG_ERROR, "Chn %u could not allocate memory for AV IO context", ch);
        return false;
    }
    d.fmt->pb = d.io;
    d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    const AVInputFormat *in = av_find_input_format("mpegts");
    if (!in) {
        decode_post_log(DEC_LOG_WARN, "Chn %u could not find MPTS (mpegts) AV input format", ch);
        return false;
    }
    if (avformat_open_input(&d.fmt, nullptr, in, nullptr) < 0) {
        // The context is freed on failure.
        decode_post_log(DEC_LOG_ERROR, "Chn %u could not open AV format input", ch);
        return false;
    }
    const int rc = avformat_find_stream_info(d.fmt, nullptr);
    if (rc < 0) {
        char e[64];
        if (rc != AVERROR_EOF && !d.down)
            decode_post_log(DEC_LOG_WARN, "Chn %u unable to find valid MPTS - %s", ch, av_text(rc, e));
        return false;
    }
    // A program known from the PAT alone is not found yet.
    if (d.fmt->nb_programs < 1 || !d.fmt->programs[0] || d.fmt->programs[0]->pmt_version < 0) {
        decode_post_log(DEC_LOG_WARN, "Chn %u no program(s) found in MPTS", ch);
        return false;
    }
    // FFmpeg takes a stream whose PES it meets before the PMT lists it
    // (the feed paused while it analysed, or the PMT came late) without its
    // stream type, and keeps it so: MPEG audio could then not be told layer
    // I/II from the rest and would go without a decoder until the next
    // rebuild. Such a build is tried again.
    for (unsigned i = 0; i < d.fmt->nb_streams; ++i) {
        const AVCodecParameters *cp = d.fmt->streams[i]->codecpar;
        if (cp->codec_type == AVMEDIA_TYPE_AUDIO && cp->codec_tag == 0) {
            decode_post_log(DEC_LOG_DEBUG, "Chn %u audio stream %u seen before the PMT, analysing again", ch, i);
            return false;
        }
    }
    dec().stats[ch].svc_pgm_num = d.fmt->programs[0]->id;
    d.pmt_version = d.fmt->programs[0]->pmt_version;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u has %u program(s)", ch, d.fmt->nb_programs);
    return true;
}

vid_bd_chrm chroma_of(int pix)
{
    switch (pix) {
    case AV_PIX_FMT_YUV420P: return VID_BD_CHR_8BIT420;
    case AV_PIX_FMT_YUV422P: return VID_BD_CHR_8BIT422;
    case AV_PIX_FMT_YUV420P10LE: return VID_BD_CHR_10BIT420;
    case AV_PIX_FMT_YUV422P10LE: return VID_BD_CHR_10BIT422;
    default: return VID_BD_CHR_OTHER;
    }
}

const char *const vid_display_str[] = {"?", "P", "I"};
const char *const vid_bd_chrm_str[] = {"?", "8b420", "8b422", "10b420", "10b422"};

} // namespace

// The video format of a stream as the loop is to apply it (the rules of
// FFmpeg's reports); `repeat` and `last` follow an H.264 stream without
// field information.
video_info_data decode_audio_video_info(unsigned ch, const char *codec, int pid, int width, int height,
                                        int field_order, double rate, int pix_fmt, char (&last)[64],
                                        unsigned &repeat)
{
    video_info_data v{};
    v.ch_idx = ch;
    v.hsize = width;
    v.vsize = height;
    v.display = field_order == AV_FIELD_UNKNOWN       ? VID_DSP_OTHER
                : field_order == AV_FIELD_PROGRESSIVE ? VID_DSP_PROGRESSIVE
                                                      : VID_DSP_INTERLACE;
    v.bd_chrm = chroma_of(pix_fmt);
    v.frame_rate = rate;
    const std::string_view c = codec ? codec : "";
    bool repeat_rule = false;
    if (c == "hevc") {
        if (v.display == VID_DSP_PROGRESSIVE)
            v.vsize *= 2, v.display = VID_DSP_INTERLACE; // a field picture
        else if (v.display == VID_DSP_OTHER)
            v.display = VID_DSP_PROGRESSIVE;
    } else if ((c == "mpeg2video" || c == "h264") && v.display == VID_DSP_INTERLACE) {
        v.frame_rate *= 2; // FFmpeg reports the frame rate of interlaced video; the standard names the field rate
    } else if (v.display == VID_DSP_OTHER && (height == 720 || height > 1080)) {
        v.display = VID_DSP_PROGRESSIVE;
    } else if (v.display == VID_DSP_OTHER && c == "h264" && width > 0 && height > 0 && rate >= 1 &&
               v.bd_chrm != VID_BD_CHR_OTHER) {
        repeat_rule = true;
        char text[64];
        std::snprintf(text, sizeof text, "%d %d %d %u %s", pid, width, height, unsigned(rate),
                      vid_bd_chrm_str[v.bd_chrm]);
        if (std::strcmp(text, last) != 0) {
            std::snprintf(last, sizeof last, "%s", text);
            repeat = 1;
        } else if (++repeat > 5) {
            v.display = VID_DSP_INTERLACE;
            v.frame_rate *= 2;
            decode_post_log(DEC_LOG_WARN, "Chn %u analyze video unknown display - assume interlace.", ch);
            repeat = 0;
        }
    }
    if (!repeat_rule)
        repeat = 0;
    return v;
}

namespace {

bool analyze_video(Demultiplexer &d)
{
    const unsigned ch = d.chn;
    const int best = av_find_best_stream(d.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best < 0) {
        decode_post_log(DEC_LOG_WARN, "Chn %u cannot find a video stream", ch);
        return false;
    }
    const AVStream *st = d.fmt->streams[best];
    const AVCodecParameters *cp = st->codecpar;
    const char *codec = avcodec_get_name(cp->codec_id);
    const double rate = st->r_frame_rate.den > 0 ? av_q2d(st->r_frame_rate) : 0.0;
    const double avg = st->avg_frame_rate.den > 0 ? av_q2d(st->avg_frame_rate) : 0.0;
    const int fo = cp->field_order;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u analyze video raw: %u %s %dx%d%s %f (%f) %d", ch, unsigned(best), codec,
                    cp->width, cp->height,
                    vid_display_str[fo == AV_FIELD_UNKNOWN ? 0 : fo == AV_FIELD_PROGRESSIVE ? 1 : 2], rate, avg,
                    cp->format);
    video_info_data v = decode_audio_video_info(ch, codec, st->id, cp->width, cp->height, fo, rate, cp->format,
                                                d.h264_last, d.h264_repeat);
    v.color_primaries = cp->color_primaries;
    v.color_trc = cp->color_trc;
    v.color_space = cp->color_space;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u analyze video final: %dx%d%s %f %s", ch, v.hsize, v.vsize,
                    vid_display_str[v.display], v.frame_rate, vid_bd_chrm_str[v.bd_chrm]);
    auto *rec = static_cast<video_info_data *>(std::malloc(sizeof v));
    if (!rec)
        return true;
    *rec = v;
    const kd_mqueue_entry e{DEC_MSG_VID_INFO, rec};
    if (!dec().mqueue || kd_mqueue_write(dec().mqueue, &e) != 0)
        std::free(rec);
    return true;
}

void create_streams(Demultiplexer &d)
{
    const unsigned ch = d.chn;
    for (unsigned i = 0; i < kStreams; ++i)
        d.codec_ctx[i] = nullptr, d.as[i] = 0;
    unsigned opened = 0;
    const unsigned n = d.fmt->nb_streams < kStreams ? d.fmt->nb_streams : kStreams;
    for (unsigned i = 0; i < n && opened < kSlots; ++i) {
        const AVStream *st = d.fmt->streams[i];
        const AVCodecParameters *cp = st->codecpar;
        if (cp->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const AVCodecID id = cp->codec_id;
        if (id != AV_CODEC_ID_MP2 && id != AV_CODEC_ID_AAC && id != AV_CODEC_ID_AC3 && id != AV_CODEC_ID_EAC3)
            continue;
        const AVCodec *codec = avcodec_find_decoder(id);
        AVCodecContext *c = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (!c) {
            decode_post_log(DEC_LOG_ERROR, "Chn %u program stream %u, could not allocate audio codec context", ch, i);
            continue;
        }
        if (avcodec_parameters_to_context(c, cp) < 0) {
            avcodec_free_context(&c);
            decode_post_log(DEC_LOG_ERROR, "Chn %u program stream %u, could not get audio codec parameters", ch, i);
            continue;
        }
        c->pkt_timebase = st->time_base;
        // AC-3 fills zero-bit mantissas with dither from a generator that
        // runs from the decoder's opening: seeded from each frame instead,
        // a rebuilt decoder plays the same samples for the same stream.
        AVDictionary *opts = nullptr;
        if (id == AV_CODEC_ID_AC3 || id == AV_CODEC_ID_EAC3)
            av_dict_set(&opts, "cons_noisegen", "1", 0);
        const int opened_rc = avcodec_open2(c, codec, &opts);
        av_dict_free(&opts);
        if (opened_rc < 0) {
            avcodec_free_context(&c);
            decode_post_log(DEC_LOG_ERROR, "Chn %u program stream %u, could not open audio codec", ch, i);
            continue;
        }
        d.codec_ctx[i] = c;
        ++opened;
    }
    d.as_num = opened;
    kd_pipe_clear(d.pipe);
    avio_flush(d.io);
    avformat_flush(d.fmt);
    decode_post_log(DEC_LOG_DEBUG, "Chn %u has %u program stream(s), %u are audio", ch, d.fmt->nb_streams, opened);
    clear_audio_stats(ch);
    d.drop_pids.fill(1);
    d.drop_pids[0] = 0;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u adding PAT PID (0)", ch);
    const unsigned pmt = unsigned(d.fmt->programs[0]->pmt_pid) & 0x1FFF;
    d.drop_pids[pmt] = 0;
    d.pmt_pid = pmt;
    d.pmt_renewed = false;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u adding PMT PID (%u)", ch, pmt);
}

struct Classified {
    const char *acronym;
    audio_codec type;
    bool ok;
};

Classified classify(const AVCodecContext *c, uint32_t tag)
{
    const char *name = c->codec ? c->codec->name : avcodec_get_name(c->codec_id);
    const std::string_view n = name ? name : "";
    const char *profile = av_get_profile_name(c->codec, c->profile);
    const std::string_view p = profile ? profile : "";
    if (n == "mp2" || n == "mp3" || n == "mp2float" || n == "mp3float") {
        if (tag == 3)
            return {"mp103", AUDIO_CODEC_MPEG1_L2, true};
        if (tag == 4)
            return {"mp204", AUDIO_CODEC_MPEG2_L2, true};
    } else if (n == "aac") {
        if (p == "LC")
            return {"aaclc", AUDIO_CODEC_AAC_LC, true};
        if (p == "HE-AAC")
            return {"aacv1", AUDIO_CODEC_AAC_HEV1, true};
        if (p == "HE-AACv2")
            return {"aacv2", AUDIO_CODEC_AAC_HEV2, true};
    } else if (n == "ac3" || n == "ac3_fixed") {
        if (tag == 6)
            return {"ac306", AUDIO_CODEC_AC3_06, true};
        if (tag == MKTAG('A', 'C', '-', '3') || tag == 0x81)
            return {"ac381", AUDIO_CODEC_AC3_81, true};
    }
    return {nullptr, AUDIO_CODEC_NONE, false};
}

int32_t bit_rate_bps(const AVCodecContext *c)
{
    const int bits = av_get_bits_per_sample(c->codec_id);
    if (bits > 0)
        return int32_t(int64_t(c->sample_rate) * c->ch_layout.nb_channels * bits);
    if (c->bit_rate > 0)
        return int32_t(c->bit_rate);
    return c->rc_max_rate >= 1 ? int32_t(c->rc_max_rate) : 0;
}

void *decompressor_main(void *arg);

void create_decompressors(Demultiplexer &d)
{
    const unsigned ch = d.chn;
    decoder_stats &stats = dec().stats[ch];
    unsigned s = 0;
    for (unsigned p = 0; p < kStreams && s < kSlots; ++p) {
        AVCodecContext *ctx = d.codec_ctx[p];
        if (!ctx)
            continue;
        const AVStream *st = d.fmt->streams[p];
        const Classified k = classify(ctx, st->codecpar->codec_tag);
        char label[60];
        std::snprintf(label, sizeof label, "program:audio stream %.2u:%.2u %s", p, s, avcodec_get_name(ctx->codec_id));
        if (!k.ok) {
            decode_post_log(DEC_LOG_WARN, "Chn %u %s is unsupported (codec_id = %u)", ch, label,
                            unsigned(ctx->codec_id));
            continue;
        }
        Decompressor &c = d.dcp[s];
        c.chn = ch, c.as = s, c.ps = p;
        std::snprintf(c.acronym, sizeof c.acronym, "%s", k.acronym);
        c.format = DEC_AUD_SRC_FMT_S16; // the layout actually handed on follows each decoded frame
        c.pkt_wr = c.pkt_rd = 0;
        c.errors = 0;
        c.down = false;
        c.ctx = ctx;
        if (pthread_create(&c.thread, nullptr, decompressor_main, &c) != 0) {
            decode_post_log(DEC_LOG_ERROR, "Chn %u error creating %s thread (%s)", ch, label, std::strerror(errno));
            continue;
        }
        c.started = true;
        d.as[p] = s;
        const unsigned pid = unsigned(st->id) & 0x1FFF;
        d.drop_pids[pid] = 0;
        decode_post_log(DEC_LOG_DEBUG, "Chn %u adding Aud PID (%u), %s thread", ch, pid, label);
        audio_stream_stats &a = stats.audio_streams[s];
        a.type = k.type;
        a.bit_rate = bit_rate_bps(ctx);
        a.frames_tx = 0;
        a.is_active = true;
        ++s;
    }
    stats.audio_streams_ct = int(s);
    // Embedders 2chn and 2chn+1; with more than eight streams the second
    // one carries slots 8 on, otherwise the same eight.
    const int chn = int(ch);
    for (int e = 0; e < 4; ++e)
        ancDecAudEmbedChnMap(chn, e, false);
    for (int i = 0; i < int(kSlots); ++i)
        for (int e = 0; e < 4; ++e)
            for (int pr = 0; pr < 8; ++pr)
                ancDecAudEmbedChnIdxMap(chn, i, e, pr, false);
    ancDecAudEmbedChnMap(chn, 2 * chn, true);
    ancDecAudEmbedChnMap(chn, 2 * chn + 1, true);
    const int k = s > kSlots ? int(kSlots) : 0;
    for (int i = 0; i < int(kSlots); ++i) {
        ancDecAudEmbedChnIdxMap(chn, i, 2 * chn, i, true);
        if (i + k < int(kSlots))
            ancDecAudEmbedChnIdxMap(chn, i + k, 2 * chn + 1, i, true);
    }
}

void dispatch(Demultiplexer &d, AVPacket *pkt)
{
    const int i = pkt->stream_index;
    if (i >= 0 && unsigned(i) < kStreams && d.codec_ctx[i] && d.as[i] < kSlots) {
        Decompressor &c = d.dcp[d.as[i]];
        if (c.started && c.up && c.ctx == d.codec_ctx[i] && ring_put(c, pkt))
            return;
    }
    av_packet_free(&pkt);
}

void tear_down(Demultiplexer &d)
{
    destroy_decompressors(d);
    free_contexts(d);
    destroy_demultiplexer(d);
}

bool pmt_changed(const Demultiplexer &d)
{
    return d.fmt && (d.pmt_renewed || (d.fmt->nb_programs > 0 && d.fmt->programs[0] &&
                                       d.fmt->programs[0]->pmt_version != d.pmt_version));
}

void run(Demultiplexer &d)
{
    const unsigned ch = d.chn;
    while (!d.down) {
        if (d.fmt && !d.reset && !pmt_changed(d)) {
            AVPacket *pkt = av_packet_alloc();
            if (!pkt)
                continue;
            const int rc = av_read_frame(d.fmt, pkt);
            if (rc >= 0) {
                dispatch(d, pkt);
                continue;
            }
            av_packet_free(&pkt);
            if (rc != AVERROR_EOF && rc != AVERROR(EAGAIN) && !d.down) {
                char e[64];
                decode_post_log(DEC_LOG_ERROR, "Chn %u read of demux packets, av_read_frame() failed - %s", ch,
                                av_text(rc, e));
            }
            if (d.as_num == 0 && !d.reset && !pmt_changed(d))
                continue;
        }
        if (pmt_changed(d))
            decode_post_log(DEC_LOG_DEBUG, "Chn %u, PMT version changed", ch);
        // Rebuild.
        d.reset = false;
        tear_down(d);
        if (!pause_for(d, std::chrono::milliseconds(100)))
            break;
        dec().stats[ch].buf_level_hwm = 0;
        kd_pipe_clear(d.pipe);
        d.reading_feed = true;
        d.drop_pids.fill(0);
        if (!create_demultiplexer(d) || !analyze_video(d)) {
            destroy_demultiplexer(d);
            d.reset = true;
            continue;
        }
        create_streams(d);
        create_decompressors(d);
    }
    tear_down(d);
}

void *demultiplexer_main(void *arg)
{
    auto &d = *static_cast<Demultiplexer *>(arg);
    if (!dec().kt3300) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u audio demultiplexer thread failed, no KT-3300 decode system object",
                        d.chn);
        return nullptr;
    }
    char name[16];
    std::snprintf(name, sizeof name, "SVD:a%u-demux", d.chn + 1);
    rt_thread_setup(name, 19);
    decode_post_log(DEC_LOG_DEBUG, "Chn %u audio demultiplexer thread - started", d.chn);
    while (!d.reset && !d.down)
        std::this_thread::sleep_for(kStep);
    d.up = true;
    run(d);
    d.up = false;
    return nullptr;
}

void *video_pts_main(void *arg)
{
    auto &v = *static_cast<VideoPts *>(arg);
    char name[16];
    std::snprintf(name, sizeof name, "SVD:a%u-vidpts", v.chn + 1);
    rt_thread_setup(name, 98);
    v.up = true;
    std::unique_lock l(v.mu);
    for (;;) {
        v.cv.wait(l, [&] { return v.down || v.pts != 0; });
        if (v.down)
            break;
        const uint64_t pts = std::exchange(v.pts, 0);
        l.unlock();
        ancDecAudEmbedChnPts(int(v.chn), pts);
        l.lock();
    }
    v.up = false;
    return nullptr;
}

} // namespace

int decode_audio_ctor(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return -1;
    av_log_set_level(AV_LOG_QUIET);
    VideoPts &v = g_vpts[ch];
    Demultiplexer &d = g_dmx[ch];
    if (v.started || d.started)
        return v.started && d.started ? 0 : -1; // never a second thread for a channel
    v.chn = ch;
    v.down = false;
    v.pts = 0;
    if (pthread_create(&v.thread, nullptr, video_pts_main, &v) != 0) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error creating video PTS thread (%s)", ch, std::strerror(errno));
        return -1;
    }
    v.started = true;
    d.chn = ch;
    d.pipe = dec().audio_decode_feed[ch];
    d.up = false, d.down = false, d.reset = false, d.reading_feed = false;
    d.pmt_version = -1;
    d.h264_last[0] = '\0';
    d.h264_repeat = 0;
    if (pthread_create(&d.thread, nullptr, demultiplexer_main, &d) != 0) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error creating demultiplexer thread (%s)", ch, std::strerror(errno));
        return -1;
    }
    d.started = true;
    return 0;
}

int decode_audio_dtor(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return -1;
    int rc = 0;
    Demultiplexer &d = g_dmx[ch];
    if (d.started) {
        d.down = true;
        if (rt_thread_join(&d.thread, kJoinLimitNs) == 0) {
            d.started = false;
        } else {
            decode_post_log(DEC_LOG_ERROR, "Chn %u demultiplexer thread did not stop in time, stopping again later", ch);
            rc = -1;
        }
    }
    VideoPts &v = g_vpts[ch];
    if (v.started) {
        {
            std::lock_guard l(v.mu);
            v.down = true;
        }
        v.cv.notify_all();
        if (rt_thread_join(&v.thread, kJoinLimitNs) == 0) {
            v.started = false;
        } else {
            decode_post_log(DEC_LOG_WARN, "Chn %u video PTS thread did not stop in time, stopping again later", ch);
            rc = -1;
        }
    }
    return rc;
}

bool decode_audio_running(unsigned ch) { return ch < DEC_CHANNELS && (g_dmx[ch].started || g_vpts[ch].started); }

void decode_audio_signal_reset(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return;
    if (g_dmx[ch].started)
        g_dmx[ch].reset = true;
    else if (dec().audio_decode_feed[ch])
        kd_pipe_clear(dec().audio_decode_feed[ch]); // no reader: nothing else touches it
}

int decode_audio_embed_frame(unsigned ch, unsigned as, const AVFrame *frame)
{
    if (ch >= DEC_CHANNELS || !frame)
        return -1;
    Decompressor c;
    c.chn = ch;
    c.as = as;
    const int rc = embed_frame(c, const_cast<AVFrame *>(frame)); // read only
    swr_free(&c.swr);
    return rc;
}

bool decode_audio_is_reading_feed(unsigned ch) { return ch < DEC_CHANNELS && g_dmx[ch].reading_feed; }

void decode_audio_video_pts(unsigned ch, uint64_t pts)
{
    if (ch >= DEC_CHANNELS)
        return;
    VideoPts &v = g_vpts[ch];
    if (!v.up)
        return;
    pts &= kPts33Mask;
    if (!pts)
        return;
    {
        std::lock_guard l(v.mu);
        v.pts = pts;
    }
    v.cv.notify_one();
}
