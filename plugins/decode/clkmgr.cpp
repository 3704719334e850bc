// The clock manager thread and its decisions.
#include "clkmgr.h"
#include "decode_internal.h"

#include <i2c_kt33.h>
#include <kerrow/pipe.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <pthread.h>

namespace {

constexpr int kJoinLimitNs = 1'000'000'000;
constexpr auto kCycle = std::chrono::milliseconds(10);

struct clkmgr_thread {
    pthread_t thread{};
    bool started = false; // loop thread
    void *window = nullptr;
    std::mutex mu; // the halt flag and the cycle's wait
    std::condition_variable cv;
    bool halt = false;
};

clkmgr g_clk;
clkmgr_thread g_thr;

const clkmgr_outputs kLmk = {i2c_kt33_pclk_sdi_serdes_rst, i2c_kt33_pclk_sdi_serdes_run,
                             i2c_kt33_pclk_set_decode_freq};

// In UHD both serializers carry the picture; otherwise the channel's own,
// which is the other one on an inverted card.
template <typename F> void serializers(const clkmgr &m, unsigned c, F f)
{
    if (m.uhd) {
        f(0u);
        f(1u);
    } else {
        f(unsigned(m.inverted) ^ c);
    }
}

void *thread_main(void *)
{
    pthread_setname_np(pthread_self(), "SVD:clkmgr");
    decode_post_log(DEC_LOG_DEBUG, "decode_clkmgr_thread - started");
    if (i2c_kt33_pclk_open(g_thr.window) != 0) {
        decode_post_log(DEC_LOG_INFO, "KT3300 I2C clock generator control failed to open");
    } else {
        decode_post_log(DEC_LOG_INFO, "KT3300 registering I2C clock generator (LMK).. ");
        if (i2c_kt33_pclk_init(LMK_FREQ_148_35, LMK_FREQ_148_35) == 0) {
            decode_post_log(DEC_LOG_INFO, "LMK clock generator init freq1= 148.35Mhz, freq2= 148.35Mhz");
            g_clk.lmk_present = true;
        } else {
            decode_post_log(DEC_LOG_INFO, "LMK clock generator (LMK) init FAILED !!");
        }
    }
    std::unique_lock l(g_thr.mu);
    while (!g_thr.halt) {
        l.unlock();
        decode_clkmgr_cycle(g_clk, kLmk);
        l.lock();
        g_thr.cv.wait_for(l, kCycle, [] { return g_thr.halt; });
    }
    l.unlock();
    decode_post_log(DEC_LOG_DEBUG, "decode_clkmgr_thread - ended");
    return nullptr;
}

} // namespace

void decode_clkmgr_reset(clkmgr &m)
{
    m.uhd = false;
    m.inverted = false;
    m.lmk_present = false;
    for (unsigned c = 0; c < 2; ++c) {
        m.rqst_update[c] = 0;
        m.update_busy[c] = 0;
        m.update_ctr[c] = 0;
        m.freq_from_vidstd[c] = LMK_FREQ_148_35;
        m.freq_rqst[c] = LMK_FREQ_148_35;
        m.freq_cur[c] = LMK_FREQ_148_35;
    }
}

void decode_clkmgr_cycle(clkmgr &m, const clkmgr_outputs &o)
{
    if (!m.update_busy[0] && !m.update_busy[1]) {
        const int c = m.rqst_update[0] ? 0 : m.rqst_update[1] ? 1 : -1;
        if (c >= 0) {
            const uint32_t f = m.freq_rqst[c];
            serializers(m, unsigned(c), o.serdes_rst);
            o.set_freq(unsigned(c), f);
            m.update_busy[c] = 1;
            m.update_ctr[c] = CLKMGR_HOLD_TICKS;
            decode_post_log(DEC_LOG_INFO, "Chn %u update LMK pclk freq to 148.%s MHz", unsigned(c) + 1,
                            f == LMK_FREQ_148_35 ? "35" : "50");
        }
    }
    for (unsigned c = 0; c < 2; ++c) {
        if (!m.update_busy[c])
            continue;
        if (m.update_ctr[c].fetch_sub(1) != 0)
            continue;
        serializers(m, c, o.serdes_run);
        m.freq_cur[c] = m.freq_rqst[c].load();
        decode_post_log(DEC_LOG_INFO, "Chn %u update LMK pclk freq DONE", c + 1);
        m.update_busy[c] = 0;
        m.rqst_update[c] = 0;
    }
}

uint32_t decode_clkmgr_check(clkmgr &m, unsigned ch)
{
    if (ch > 1 || !m.lmk_present)
        return 0;
    if (m.rqst_update[ch])
        return 1;
    const uint32_t want = m.freq_from_vidstd[ch];
    if (want == m.freq_rqst[ch])
        return 0;
    m.freq_rqst[ch] = want;
    m.rqst_update[ch] = 1;
    return 1;
}

int decode_clkmgr_ctor(void *window)
{
    if (g_thr.started)
        return 0;
    // The record is ready before the thread runs, so a request made right
    // after this call is not wiped by the thread's start.
    decode_clkmgr_reset(g_clk);
    g_thr.window = window;
    g_thr.halt = false;
    if (pthread_create(&g_thr.thread, nullptr, thread_main, nullptr) != 0)
        return -1;
    g_thr.started = true;
    return 0;
}

int decode_clkmgr_dtor()
{
    if (!g_thr.started)
        return 0;
    {
        std::lock_guard l(g_thr.mu);
        g_thr.halt = true;
    }
    g_thr.cv.notify_all();
    if (rt_thread_join(&g_thr.thread, kJoinLimitNs) != 0)
        return -1;
    g_thr.started = false;
    return 0;
}

bool decode_clkmgr_running() { return g_thr.started; }

void decode_clkmgr_set_uhd(bool uhd) { g_clk.uhd = uhd; }
void decode_clkmgr_set_inverted(bool inverted) { g_clk.inverted = inverted; }

void decode_clkmgr_set_vidstd_freq(unsigned ch, uint32_t freq)
{
    if (ch < 2)
        g_clk.freq_from_vidstd[ch] = freq;
}

uint32_t decode_clkmgr_chk_update_freq(unsigned ch) { return decode_clkmgr_check(g_clk, ch); }

const clkmgr &decode_clkmgr_record() { return g_clk; }
