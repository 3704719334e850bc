// kt3300tool: exercises the KT-3300 carrier board from the shell through
// the board library. Options run in command-line order, each as soon as it
// is read.
//
// Exit status: 255 when the board is absent or cannot be mapped; 1 when an
// option was not understood or an operation that prints its failure failed
// (the other options still ran); 0 otherwise.
#include "kt3300.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Every wait of the test sequences and monitors goes through wait_ms. The
// environment variable shortens them by a divisor (tests only); without it
// the waits last as long as written.
constexpr const char *wait_divisor_env = "KT3300TOOL_WAIT_DIVISOR";

volatile sig_atomic_t stop_signal = 0;

void on_stop(int sig) { stop_signal = sig; }

bool stopping() { return stop_signal != 0; }

long wait_divisor()
{
    static const long div = [] {
        const char *v = std::getenv(wait_divisor_env);
        if (!v || !*v)
            return 1L;
        char *end = nullptr;
        errno = 0;
        long n = std::strtol(v, &end, 10);
        return (errno || *end || n < 1 || n > 1000000) ? 1L : n;
    }();
    return div;
}

// Sleeps ms milliseconds (scaled), returning early when a stop signal came.
void wait_ms(long ms)
{
    long us = ms * 1000 / wait_divisor();
    timespec ts{us / 1000000, (us % 1000000) * 1000};
    while (!stopping() && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Whole-value number parsing: no sign unless allowed, no blanks, nothing
// after the digits, within the type.
std::optional<long long> parse_signed(std::string_view s, int base = 10)
{
    if (s.empty() || s.size() > 40)
        return std::nullopt;
    std::string t(s);
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (i >= t.size() || !std::isxdigit(static_cast<unsigned char>(t[i])))
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(t.c_str(), &end, base);
    if (errno || *end)
        return std::nullopt;
    return v;
}

std::optional<uint32_t> parse_u32(std::string_view s, int base)
{
    if (s.empty() || s.size() > 40 || !std::isxdigit(static_cast<unsigned char>(s[0])))
        return std::nullopt;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (errno || *end || v > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(v);
}

std::optional<int> parse_int(std::string_view s)
{
    auto v = parse_signed(s);
    if (!v || *v < INT_MIN || *v > INT_MAX)
        return std::nullopt;
    return static_cast<int>(*v);
}

std::optional<unsigned> parse_uint(std::string_view s)
{
    auto v = parse_u32(s, 10);
    if (!v || *v > INT_MAX)
        return std::nullopt;
    return *v;
}

// A name from one of the library's tables, "NULL" outside it or for an
// empty entry.
template <size_t N>
const char *table_name(const char *const (&table)[N], long long idx)
{
    return (idx >= 0 && static_cast<size_t>(idx) < N && table[idx]) ? table[idx] : "NULL";
}

const char usage_text[] =
    "kt3300tool [ARGS]\n"
    "This is the help\n"
    " -a, --sdi_audio     Run SDI audio PSA crosspoint and mirror test\n"
    " -b, --bars_osd      Run fault mode bars/osd test\n"
    " -s, --bars_basic    Run basic fault mode bars on-off test\n"
    " -c, --csa_en        Configure CSA encryption and enable\n"
    " -d, --csa_dis       Disable CSA encryption\n"
    " -o, --overlay ARG   Configure overlay. ARG format <chan#>,<off>\n"
    " -o, --overlay ARG   Configure overlay. ARG format "
    "<chan#>,<on>,<vstd>,<size>,<posx>,<posy>,<row>,<col>,<text>\n"
    "                     Example: kt3300tool -o \"0,on,7,0,26,hello world\" renders \"hello world\" at line 0 "
    "col 26 on chan 0\n"
    "                     Example: kt3300tool -o 0,off will disable overlay on chan 0\n"
    " -r, --tmr           Update TMR rate\n"
    " -t, --temp[=COUNT]  Run temperature monitor. Optionally, set COUNT. Default \"-1\" (continuous).\n"
    " -v, --vstats[=RAW]  Run SDI video stats monitor. Optionally, set RAW output. Default verbose output.\n"
    " -h, --help          Display help\n"
    "     --version       Display FPGA version\n"
    " -R, --Read          Read spi register\n"
    " -W, --Write         Write spi register\n"
    "\n";

constexpr unsigned inputs = 4;

class Tool {
public:
    explicit Tool(kt3300_ctx *ctx) : ctx_(ctx) {}

    bool failed() const { return failed_; }
    void fail() { failed_ = true; }

    void audio_xpoint_test();
    void bars_osd_test();
    void bars_basic_test();
    void csa_enable_test();
    void csa_disable();
    void overlay(const char *arg);
    void egress_rate(const char *arg);
    void temperature(const char *arg);
    void video_stats(const char *arg);
    void version();
    // The register access options take their further values from the
    // command line after optarg.
    void spi_access(int argc, char **argv, const char *arg, bool write);

private:
    kt3300_ctx *ctx_;
    bool failed_ = false;
};

void Tool::audio_xpoint_test()
{
    for (unsigned enc = 0; enc < inputs && !stopping(); ++enc) {
        std::printf("Testing aud PSA xpoint, switch to encoder %u\n", enc);
        wait_ms(3000);
        xpoint_table t;
        for (unsigned v = 0; v < 16 && !stopping(); ++v) {
            std::memset(t.channels, static_cast<int>(v), sizeof t.channels);
            uint16_t first;
            std::memcpy(&first, t.channels, sizeof first);
            std::printf("Enc%u Test aud PSA xpoint: write 0x%4.4x\n", enc, first);
            wait_ms(400);
            kt3300_audio_set_psa_xpoint(ctx_, enc, &t);
        }
        const uint32_t words[2] = {enc * 4, enc * 4};
        std::memcpy(t.channels, words, sizeof t.channels);
        kt3300_audio_set_psa_xpoint(ctx_, enc, &t);
    }
    xpoint_table identity = {};
    for (unsigned i = 0; i < 16; ++i)
        kt3300_audio_set_psa_xpoint_channel_select(&identity, i, i);
    for (unsigned enc = inputs; enc-- > 0 && !stopping();) {
        std::printf("Enc%u Restoring aud PSA xpoint 1:1\n", enc);
        wait_ms(5000);
        kt3300_audio_set_psa_xpoint(ctx_, enc, &identity);
    }
}

void Tool::bars_osd_test()
{
    for (unsigned enc = 0; enc < inputs && !stopping(); ++enc) {
        std::printf("Testing fault mode generator, switch to encoder %u\n", enc);
        wait_ms(5000);
        char text[32];
        std::snprintf(text, sizeof text, "KT-3300 ENCODER %u", enc);
        kt3300_testpattern_fill_text(ctx_, enc, ' ');
        kt3300_testpattern_set_text(ctx_, enc, 0, 0, text, TPTEXTFX_OUTLINE);
        kt3300_testpattern_set_mode(ctx_, enc, false, false, true);
        wait_ms(1000);
        kt3300_testpattern_set_mode(ctx_, enc, false, true, true);
        wait_ms(1000);
        kt3300_testpattern_set_mode(ctx_, enc, false, true, false);
        wait_ms(1000);

        std::printf("Enc%u Changing text size..\n", enc);
        wait_ms(2000);
        struct Step {
            unsigned size;
            int x, y;
        } steps[] = {{2, -16, -10}, {0, -128, -60}, {1, -96, -40}};
        for (const Step &s : steps) {
            kt3300_testpattern_set_text_size(ctx_, enc, s.size);
            kt3300_testpattern_set_text_position(ctx_, enc, s.x, s.y);
            wait_ms(1000);
        }

        std::printf("Enc%u Moving text horizontal..\n", enc);
        for (int x = 0; x <= 960 && !stopping(); x += 32) {
            kt3300_testpattern_set_text_position(ctx_, enc, x, 0);
            wait_ms(50);
        }
        std::printf("Enc%u Moving text vertical..\n", enc);
        for (int y = 0; y <= 540 && !stopping(); y += 20) {
            kt3300_testpattern_set_text_position(ctx_, enc, 0, y);
            wait_ms(50);
        }

        std::printf("Enc%u Internal Bars/OSD OFF..\n", enc);
        kt3300_testpattern_set_text_position(ctx_, enc, 0, 0);
        kt3300_testpattern_set_mode(ctx_, enc, false, false, false);
    }
}

void Tool::bars_basic_test()
{
    std::printf("Enabling fault mode generator on all channels for 20 secs at 1080p5994\n");
    for (unsigned enc = 0; enc < inputs; ++enc) {
        kt3300_testpattern_set_vidstd(ctx_, enc, KT33_TPVIDSTD_1080p5994, true, true);
        kt3300_testpattern_set_mode(ctx_, enc, false, false, true);
    }
    wait_ms(20000);
    // Restored even when a stop signal cut the wait short.
    std::printf("Disabling fault mode generator on all channels at 1080i2997\n");
    for (unsigned enc = 0; enc < inputs; ++enc) {
        kt3300_testpattern_set_vidstd(ctx_, enc, KT33_TPVIDSTD_1080i2997, false, true);
        kt3300_testpattern_set_mode(ctx_, enc, false, false, false);
    }
}

void Tool::csa_enable_test()
{
    std::printf("Testing CSA engine----- !!!");
    for (unsigned slot = 0; slot < 4; ++slot) {
        // Test keys: a fixed pattern varied by slot.
        csa_key key;
        for (unsigned i = 0; i < sizeof key; ++i)
            key[i] = static_cast<uint8_t>(0x11 * (slot + 1) + 0x10 * i);
        kt3300_egress_set_raw_csa_key(ctx_, slot, key);
        std::printf("\nEnc%u_Key= ", slot);
        for (uint8_t b : key)
            std::printf(" 0x%2.2x", b);
    }
    csa_pid_table table = {};
    const csa_pid_entry entries[] = {
        {true, 0, 1721}, {true, 2, 1741}, {true, 1, 1761}, {true, 3, 1781}, {false, 0, 8191}};
    constexpr unsigned count = sizeof entries / sizeof entries[0];
    std::memcpy(table, entries, sizeof entries);
    kt3300_egress_set_csa_pids(ctx_, table, count);
    for (unsigned i = 0; i < count; ++i)
        std::printf("\nEnc%u_key %d PID %4x", i, table[i].key_select, table[i].pid);
    kt3300_egress_set_csa_enable(ctx_, true);
    std::printf("\nCSA test DONE ----- !!!\n");
}

void Tool::csa_disable()
{
    kt3300_egress_set_csa_enable(ctx_, false);
    std::printf("Testing CSA engine----- !!!\n");
    std::printf("CSA test DONE ----- !!!\n");
}

// ch,off | ch,on,vidstd,size,x,y,row,col,text. Everything is parsed before
// the board is touched, so a bad argument changes nothing.
void Tool::overlay(const char *arg)
{
    std::printf("overlay: optarg %s\n", arg);
    std::string_view rest(arg);
    auto field = [&rest]() -> std::optional<std::string_view> {
        size_t comma = rest.find(',');
        if (comma == std::string_view::npos)
            return std::nullopt;
        std::string_view f = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
        return f;
    };
    auto bad = [this] {
        std::printf("overlay options: ch#,off | ch#,on,vidstd,size,x,y,line,col,text\n");
        fail();
    };

    auto ch_text = field();
    auto ch = ch_text ? parse_uint(*ch_text) : std::nullopt;
    if (!ch || *ch >= inputs)
        return bad();
    if (rest == "off") {
        std::printf("Disabling overlay ch-%u\n", *ch);
        kt3300_testpattern_set_mode(ctx_, *ch, false, false, false);
        return;
    }
    auto mode = field();
    if (!mode || *mode != "on")
        return bad();
    std::optional<unsigned> vstd, size, row, col;
    std::optional<int> x, y;
    if (auto f = field())
        vstd = parse_uint(*f);
    if (auto f = field())
        size = parse_uint(*f);
    if (auto f = field())
        x = parse_int(*f);
    if (auto f = field())
        y = parse_int(*f);
    if (auto f = field())
        row = parse_uint(*f);
    if (auto f = field())
        col = parse_uint(*f);
    if (!vstd || !size || !x || !y || !row || !col)
        return bad();
    unsigned std_idx = *vstd > 15 ? 15 : *vstd;
    unsigned sz = (*size == 0 || *size > 2) ? 2 : *size;
    std::string text(rest);

    kt3300_testpattern_set_vidstd(ctx_, *ch, static_cast<kt33_tpvidstd>(std_idx), true, true);
    kt3300_testpattern_set_mode(ctx_, *ch, false, true, true);
    kt3300_testpattern_set_text_position(ctx_, *ch, *x, *y);
    kt3300_testpattern_fill_text(ctx_, *ch, ' ');
    kt3300_testpattern_set_text_size(ctx_, *ch, sz);
    kt3300_testpattern_set_text(ctx_, *ch, *row, *col, text.c_str(), TPTEXTFX_OUTLINE);
    std::printf("Overlay: ch %u, vstd %s, size %s, posx %d, posy %d\n", *ch, table_name(strings_testpat, std_idx),
                sz == 1 ? "2x" : "4x", *x, *y);
    std::printf("    line %u, col %u, text: [%s]\n", *row, *col, text.c_str());
}

void Tool::egress_rate(const char *arg)
{
    auto rate = parse_u32(arg, 10);
    if (!rate) {
        std::fprintf(stderr, "egress_rate: %s: %s\n", arg, std::strerror(EINVAL));
        return fail();
    }
    std::printf("Setting egress rate to %u\n", *rate);
    if (kt3300_egress_set_rate(ctx_, *rate) < 0) {
        std::perror("egress_rate");
        fail();
    }
}

void Tool::temperature(const char *arg)
{
    long long count = -1;
    if (arg) {
        auto n = parse_signed(arg);
        if (!n || *n < -1) {
            std::fprintf(stderr, "temp: invalid COUNT \"%s\"\n", arg);
            return fail();
        }
        count = *n;
    }
    for (long long i = 0; (count < 0 || i < count) && !stopping(); ++i) {
        if (i)
            wait_ms(300);
        if (stopping())
            break;
        int t = 0;
        if (kt3300_get_die_temp(ctx_, &t) == 0)
            std::printf("Artix temp= %d deg C\n", t);
        else {
            std::printf("Artix temp error, raw= 0x%x\n", static_cast<unsigned>(t));
            fail();
        }
    }
}

void Tool::video_stats(const char *arg)
{
    bool raw = false;
    if (arg) {
        auto n = parse_signed(arg);
        if (!n) {
            std::fprintf(stderr, "vstats: invalid RAW \"%s\"\n", arg);
            return fail();
        }
        raw = *n != 0;
    }
    for (bool first = true; !stopping(); first = false) {
        if (!first)
            wait_ms(300);
        if (stopping())
            break;
        std::string line;
        char buf[160];
        for (unsigned in = 0; in < inputs; ++in) {
            sdi_status s = {};
            kt3300_video_get_status(ctx_, in, &s);
            if (raw) {
                std::snprintf(buf, sizeof buf, "0x%4.4x ", s.raw);
            } else {
                const char *speed = s.speed == SDI_3G ? "3G" : s.speed == SDI_HD ? "HD" : "SD";
                std::snprintf(buf, sizeof buf, "Enc%u= %s %s %s [%s] %s %s%s %s", in,
                              s.is_locked ? "locked" : "------", s.is_fmt_detect_locked ? "fmtlocked" : "---------",
                              s.level == SDILEVEL_B ? "B" : "A", speed, table_name(strings_format, s.format),
                              s.is_progressive ? "p" : "i", table_name(strings_frame_rate, s.frame_rate),
                              in + 1 == inputs ? "\n" : "");
            }
            line += buf;
        }
        if (raw)
            line += '\n';
        std::fputs(line.c_str(), stdout);
    }
}

void Tool::version()
{
    std::printf("KT-3300 Artix version %d.%d\n", kt3300_get_version_major(ctx_), kt3300_get_version_minor(ctx_));
}

// Register access: GspiFlag (0 or 1), channel (decimal), address and data
// (hexadecimal), parsed whole; anything else prints the examples and
// touches no register.
struct SpiArgs {
    int gspi;
    unsigned chn;
    uint32_t addr, data;
};

std::optional<SpiArgs> spi_args(int argc, char **argv, const char *arg, int values)
{
    // The option must be followed by exactly its values and nothing else:
    // getopt has taken the first as optarg, the rest follow at optind.
    if (argc != 2 + values || optind != 3 || argv[2] != arg)
        return std::nullopt;
    std::string_view flag(arg);
    auto chn = parse_uint(argv[3]);
    auto addr = parse_u32(argv[4], 16);
    auto data = values == 4 ? parse_u32(argv[5], 16) : std::optional<uint32_t>(0);
    if ((flag != "0" && flag != "1") || !chn || !addr || !data)
        return std::nullopt;
    return SpiArgs{flag == "1", *chn, *addr, *data};
}

void Tool::spi_access(int argc, char **argv, const char *arg, bool write)
{
    auto a = spi_args(argc, argv, arg, write ? 4 : 3);
    optind = argc; // the values are not options
    if (!a) {
        if (write) {
            std::printf("Example: kt3300tool -W [GspiFlag(0/1)] [chn(dec)] [addr(hex)] [data(hex)]\n");
            std::printf("eg: kt3300tool -W 1 0 0x0 0x2000\n");
        } else {
            std::printf("Example: kt3300tool -R [GspiFlag(0/1)] [chn(dec)] [addr(hex)]\n");
            std::printf("eg: kt3300tool -R 1 0 0x0\n");
        }
        return fail();
    }
    if (kt3300_spi_kt33_open(kt3300_get_artix_base_addr(ctx_)) != 0) {
        std::printf("spi_kt33_open error!\n");
        return fail();
    }
    uint32_t v = a->data;
    int rc = write ? kt3300_spi_kt33_reg_write(a->chn, a->gspi, a->addr, v)
                   : kt3300_spi_kt33_reg_read(a->chn, a->gspi, a->addr, &v);
    if (rc != 0) {
        // Never a readback that was not read.
        std::perror(write ? "spi_kt33_reg_write" : "spi_kt33_reg_read");
        fail();
    } else if (write) {
        std::printf("spi %u register write addr:0x%x data:0x%x\n", a->chn, a->addr, v);
    } else {
        std::printf("spi %u register read addr:0x%x readback:0x%x\n", a->chn, a->addr, v);
    }
    kt3300_spi_kt33_close();
}

const option long_options[] = {
    {"sdi_audio", no_argument, nullptr, 'a'},  {"bars_osd", no_argument, nullptr, 'b'},
    {"bars_basic", no_argument, nullptr, 's'}, {"csa_en", no_argument, nullptr, 'c'},
    {"csa_dis", no_argument, nullptr, 'd'},    {"overlay", required_argument, nullptr, 'o'},
    {"tmr", required_argument, nullptr, 'r'},  {"temp", optional_argument, nullptr, 't'},
    {"vstats", optional_argument, nullptr, 'v'}, {"ts_pkt", no_argument, nullptr, 'x'},
    {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'z'},
    {"Read", required_argument, nullptr, 'R'}, {"Write", required_argument, nullptr, 'W'},
    {nullptr, 0, nullptr, 0}};

} // namespace

int main(int argc, char **argv)
{
    // Lines reach a pipe as they are printed, also when a signal ends a
    // monitor.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    kt3300_ctx *ctx = kt3300_alloc();
    if (!ctx) {
        std::printf("No Artix present! Exiting...\n");
        return 255;
    }
    if (kt3300_open(ctx) < 0) {
        std::perror("kt3300_open");
        kt3300_free(ctx);
        return 255;
    }

    Tool tool(ctx);
    int c;
    while (!stopping() && (c = getopt_long(argc, argv, "abscdo:r:t::v::xhzR:W:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'a': tool.audio_xpoint_test(); break;
        case 'b': tool.bars_osd_test(); break;
        case 's': tool.bars_basic_test(); break;
        case 'c': tool.csa_enable_test(); break;
        case 'd': tool.csa_disable(); break;
        case 'o': tool.overlay(optarg); break;
        case 'r': tool.egress_rate(optarg); break;
        case 't': tool.temperature(optarg); break;
        case 'v': tool.video_stats(optarg); break;
        case 'x': break;
        case 'h': std::fputs(usage_text, stdout); break;
        case 'z': tool.version(); break;
        case 'R': tool.spi_access(argc, argv, optarg, false); break;
        case 'W': tool.spi_access(argc, argv, optarg, true); break;
        default:
            std::printf("Unrecognized arg %c\n", c);
            tool.fail();
            break;
        }
    }
    kt3300_free(ctx);
    if (stop_signal) {
        // Ended by a signal: the board is released, then the signal's own
        // status is reported.
        std::fflush(stdout);
        signal(stop_signal, SIG_DFL);
        raise(stop_signal);
    }
    return tool.failed() ? 1 : 0;
}
