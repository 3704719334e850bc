// The decoder plug-in's shared records: per-channel settings, state and
// statistics, the message-queue records, and the calls its parts make of
// each other. Internal to the plug-in (never crosses a library boundary).
//
// Threads: the loop thread (entry, tick, parameters, queue reader), the
// ingress thread "SVD:ingress" and the chip's message thread
// "SVC:m30-msg". Fields written by one and read by another are atomics
// (relaxed: each is a counter or a flag read on its own); the service
// names cross under their own mutex.
#pragma once

#include "clkmgr.h"

#include <kerrow/pipe.h>
#include <kerrow/types.h>

#include <kt3300.h>
#include <m30.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// ---- message queue records (heap blocks from malloc, freed by the queue) ----
enum dec_msg_type : unsigned {
    DEC_MSG_LOG_WRITE = 0,
    DEC_MSG_PID_INFO = 1,
    DEC_MSG_VID_INFO = 2,
};

enum dec_log_level { DEC_LOG_ERROR = 0, DEC_LOG_WARN = 1, DEC_LOG_INFO = 2, DEC_LOG_DEBUG = 3 };

constexpr size_t DEC_LOG_TEXT = 120; // 119 characters and the terminator

struct log_write_data {
    dec_log_level level;
    char log[DEC_LOG_TEXT];
};

struct audio_info {
    uint32_t pid;
    m30_audio_mode mode;
};

constexpr unsigned DEC_MAX_AUDIO_PIDS = 4;

struct pid_info_data {
    uint32_t ch_idx;
    uint32_t pcr_pid;
    uint32_t video_pid;
    m30_video_mode video_mode;
    uint32_t audio_count;
    audio_info audio[DEC_MAX_AUDIO_PIDS];
};

enum vid_display { VID_DSP_OTHER = 0, VID_DSP_PROGRESSIVE = 1, VID_DSP_INTERLACE = 2 };
enum vid_bd_chrm {
    VID_BD_CHR_OTHER = 0,
    VID_BD_CHR_8BIT420 = 1,
    VID_BD_CHR_8BIT422 = 2,
    VID_BD_CHR_10BIT420 = 3,
    VID_BD_CHR_10BIT422 = 4,
};

struct video_info_data {
    uint32_t ch_idx;
    int hsize;
    int vsize;
    vid_display display;
    vid_bd_chrm bd_chrm;
    double frame_rate;
    int color_primaries; // FFmpeg's colour enumerations
    int color_trc;
    int color_space;
};

// ---- per-channel records ----
constexpr unsigned DEC_CHANNELS = 2;
constexpr unsigned DEC_AUDIO_STREAMS = 8;

enum audio_codec {
    AUDIO_CODEC_NONE = 0,
    AUDIO_CODEC_MPEG1_L2,
    AUDIO_CODEC_MPEG2_L2,
    AUDIO_CODEC_AAC_LC,
    AUDIO_CODEC_AAC_HEV1,
    AUDIO_CODEC_AAC_HEV2,
    AUDIO_CODEC_AC3_81,
    AUDIO_CODEC_AC3_06,
    AUDIO_CODEC_OTHER = 8,
};

// Settings; loop thread, except that "ccset"/"ccclear" (forwarder's
// multiplexer thread) flip start_up and previous_state.
struct decoder_conf {
    std::atomic<int> start_up{1};
    std::atomic<int> previous_state{0};
    int fault_vidstd = 2;
};

struct decoder_state {
    std::atomic<int> is_stream{0};              // ingress writes, loop reads
    std::atomic<int> dp_in_fault{1};            // ingress writes, loop reads
    std::atomic<int> video_display_in_fault{0}; // loop
    std::atomic<int> video_codec_in_fault{0};   // loop
    std::atomic<int> fpga_fault_mode_enabled{0}; // loop
};

struct audio_stream_stats {
    std::atomic<bool> is_active{false};
    std::atomic<int> type{AUDIO_CODEC_NONE};
    std::atomic<int32_t> frames_tx{0};
    std::atomic<int32_t> bit_rate{0};
};

// Counters copied from the chip by the tick (loop thread only).
struct decoder_stats {
    std::atomic<uint32_t> vid_pkts_rx{0};   // ingress
    uint32_t vid_pkts_prev_rx = 0;          // loop
    std::atomic<uint32_t> vid_pkts_pid{0};  // ingress
    std::atomic<int> vid_pkts_rate{0};      // loop, bit/s
    std::atomic<int> buf_level{0};          // ingress, percent of the audio pipe
    std::atomic<int> buf_level_hwm{0};      // ingress, percent
    std::atomic<int> buf_pkts_loss{0};      // ingress
    std::atomic<int> svc_pgm_num{0};
    std::atomic<int> m30_buf_ll{0}, m30_buf_lh{0}, m30_buf_hl{0}, m30_buf_hh{0}; // chip thread
    int vid_dec_info_ct = 0, vid_dec_err_ct = 0; // loop
    m30_dec_error_status vdec_es{};              // loop
    int vid_dmx_err_ct = 0;                      // loop
    m30_dmx_error_status vdmx_es{};              // loop
    std::atomic<int> aud_dec_reset_ct{0};
    std::atomic<int> audio_streams_ct{0};
    audio_stream_stats audio_streams[DEC_AUDIO_STREAMS];
    std::atomic<uint32_t> pkts_encrypted_rx{0};          // ingress
    std::atomic<uint32_t> last_vid_pkts_rx_encrypted{0}; // ingress

    // Service and provider names from the SDT: the ingress writes them, the
    // loop reads them; whole texts cross under the mutex.
    void set_service(std::string_view name, std::string_view provider);
    std::string service_name() const;
    std::string service_provider() const;

    void zero(); // every counter and both names

private:
    mutable std::mutex names_mutex_;
    std::string dp_svc_name_, dp_svc_prov_; // at most 255 characters each
};

struct decoder_carrier {
    std::atomic<int> temperature_c{0};
    char name[12] = {};
};

// ---- plug-in state: one instance, made by decode_init ----
struct decoder {
    plugin_load_info *pli = nullptr;
    m30_context *m30 = nullptr;
    kt3300_ctx *kt3300 = nullptr;
    kd_mqueue *mqueue = nullptr;
    kd_pipe_t *audio_decode_feed[DEC_CHANNELS] = {};
    bool is_inverted = false;
    bool has_lmk = false;
    bool fpga_ready = false;  // fpgaInit succeeded: fpgaFini owed
    bool anc_ready = false;   // ancDecInit ran: ancDecFini owed
    bool running = false;     // every start-up step done
    std::atomic<bool> frame_event_loop_is_running{false};
    char temp_alarm_name[64] = {};
    int temp_alarm_state = 0; // ALARM_INACTIVE / ALARM_ACTIVE
    unsigned lapse_secs = 0;
    decoder_carrier carrier;
    decoder_conf conf[DEC_CHANNELS];
    decoder_state state[DEC_CHANNELS];
    decoder_stats stats[DEC_CHANNELS];
};

decoder &dec();

// ---- entry (entry.cpp) ----
extern "C" int decode_post_log(dec_log_level level, const char *fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));
extern "C" m30_context *m30_ctx(void) noexcept;
void decode_init_impl(plugin_load_info *pli) noexcept;
cuvent_action decode_fini_impl() noexcept;
// The tear-down; restart != 0 adds the service restart.
void decode_fini_local(int restart) noexcept;
void handle_mqueue_msgs(struct kd_mqueue_entry *e) noexcept;
const char *decode_name();
// Fault video standard of a channel's setting (index 0-7).
struct fault_std {
    const char *choice;
    m30_vidstd chip;
    unsigned width, height;
    double rate;
    bool progressive;
};
const fault_std &decode_fault_std(int index);

// ---- ingress (ingress.cpp) ----
int decode_ingress_ctor();
int decode_ingress_dtor();
void decode_ingress_reset_monitor(unsigned ch);
uint32_t decode_ingress_is_in_fault(unsigned ch);
void decode_ingress_trigger_program(unsigned ch);
bool decode_ingress_running();

// ---- maintenance (maintain.cpp) ----
void maintain(void *ctx) noexcept;
bool channel_in_fault(unsigned ch);
constexpr int DEC_TEMP_THRESHOLD_C = 80;

// ---- parameters (params.cpp) ----
int decode_parameters_setup();
unsigned decode_parameters_get_num_chns();
enum decode_uhd_mode { DECODE_UHD_SQD = 0, DECODE_UHD_2SI = 1 };
decode_uhd_mode decode_parameters_get_uhd_mode();
void decode_parameters_reset(); // back to the defaults (start-up)

// ---- program and video format (program.cpp) ----
void decode_program_on_pid_info(const pid_info_data &info);
void decode_program_on_vid_info(const video_info_data &info);
// Chip standard of a video format (M30_VIDSTD_INVALID: none); UHD sizes
// take the kind the "UHD Mode" names.
m30_vidstd decode_vidstd_for(int width, int height, bool progressive, double frame_rate, decode_uhd_mode uhd);
// Test-pattern standard of a chip standard; false when there is none.
bool decode_tpvidstd_for(m30_vidstd std, kt33_tpvidstd &out);
// Pixel clock (lmk_freq) and HD chip standard of a test-pattern standard.
uint32_t decode_tp_pixel_clock(kt33_tpvidstd tp);
m30_vidstd decode_tp_hd_vidstd(kt33_tpvidstd tp);
// Pixel clock a chip standard wants (148.35 MHz when it has no pattern).
uint32_t decode_vidstd_pixel_clock(m30_vidstd std);
void decode_tstpat_set_text(unsigned ch, kt33_tpvidstd tp);
// How long a new standard waits for the pixel clock before its test
// pattern is set again (600 ms).
extern std::chrono::milliseconds g_decode_clock_settle;

// ---- audio path (audio.cpp) ----
int decode_audio_ctor(unsigned ch);
// 0, or -1 when a thread outlived its limit (it keeps what it uses; call
// again later).
int decode_audio_dtor(unsigned ch);
bool decode_audio_running(unsigned ch);
// The video format record of a stream's report (codec by FFmpeg's name,
// field order and pixel format by FFmpeg's numbers); `last` and `repeat`
// follow an H.264 stream without field information.
video_info_data decode_audio_video_info(unsigned ch, const char *codec, int pid, int width, int height,
                                        int field_order, double rate, int pix_fmt, char (&last)[64],
                                        unsigned &repeat);
void decode_audio_signal_reset(unsigned ch);
bool decode_audio_is_reading_feed(unsigned ch);
void decode_audio_video_pts(unsigned ch, uint64_t pts);
// Hands one decoded frame of audio index `as` of channel `ch` to the
// embedder as its decompressor does: S16 or F32 as they are, other sample
// formats through libswresample. -1 when the frame cannot be converted.
int decode_audio_embed_frame(unsigned ch, unsigned as, const struct AVFrame *frame);


// ---- events toward the forwarder ----
constexpr const char *EV_CHANNEL_ENABLED = "decoder_channel_enabled";
constexpr const char *EV_CHANNEL_DISABLED = "decoder_channel_disabled";
void decode_emit_channel(const char *event, unsigned ch);
