// libFuzzer target over the ingress packet rules: datagrams of any bytes
// (PAT, PMT and SDT sections among them) into one channel without a board.
// The rest of the plug-in is replaced by the few calls the rules make.
#include "ingress.h"

#include <kerrow/pipe.h>

#include <mpegts_crc.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
decoder g_dec;
}

decoder &dec() { return g_dec; }

extern "C" int decode_post_log(dec_log_level, const char *, ...) noexcept { return 0; }
void decode_audio_signal_reset(unsigned) {}
bool decode_audio_is_reading_feed(unsigned) { return false; }

namespace {

// Section bytes (a CRC appended, section_length set to match) as packets
// of a PID, so that the fuzzer's bytes get past the CRC check.
std::vector<uint8_t> packets(uint16_t pid, std::vector<uint8_t> sec)
{
    if (sec.size() < 8)
        sec.resize(8);
    const size_t len = sec.size() + 4 - 3;
    sec[1] = uint8_t((sec[1] & 0xF0) | (len >> 8 & 0x0F));
    sec[2] = uint8_t(len);
    const uint32_t crc = DvbCrc32Compute(sec.data(), sec.size());
    for (int sh = 24; sh >= 0; sh -= 8)
        sec.push_back(uint8_t(crc >> sh));
    std::vector<uint8_t> out;
    for (size_t off = 0, first = 1; off < sec.size(); first = 0) {
        uint8_t p[188];
        std::memset(p, 0xFF, sizeof p);
        p[0] = 0x47, p[1] = uint8_t((first ? 0x40 : 0) | pid >> 8), p[2] = uint8_t(pid), p[3] = 0x10;
        size_t at = 4;
        if (first)
            p[at++] = 0;
        const size_t n = std::min(sec.size() - off, sizeof p - at);
        std::memcpy(p + at, sec.data() + off, n);
        off += n;
        out.insert(out.end(), p, p + sizeof p);
    }
    return out;
}

void feed(ingress_channel &chan, const std::vector<uint8_t> &pkts)
{
    for (size_t off = 0; off + 188 <= pkts.size(); off += 188)
        chan.datagram(pkts.data() + off, 188);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kd_mqueue *queue = [] {
        g_dec.mqueue = kd_mqueue_ctor(400, nullptr);
        g_dec.audio_decode_feed[0] = kd_pipe_ctor(64, 188);
        return g_dec.mqueue;
    }();
    ingress_channel chan(0, nullptr);
    // Modes 1 and 2: the input is a PMT or an SDT (after a valid program)
    // with a right CRC.
    if (size > 1 && data[0] < 2 * 16) {
        const std::vector<uint8_t> body(data + 1, data + std::min<size_t>(size, 1 + 1000));
        feed(chan, packets(0, {0x00, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0, 1, 0xE1, 0x00}));
        if (data[0] < 16) {
            feed(chan, packets(0x100, body));
        } else {
            feed(chan, packets(0x100, {0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE1, 0x01, 0xF0, 0, 0x1B, 0xE1, 0x01, 0xF0, 0}));
            feed(chan, packets(0x11, body));
        }
        kd_mqueue_read_periodic(queue);
        return 0;
    }
    // The first byte splits the input into datagrams; each starts at a
    // packet boundary so that tables can be built across them.
    const size_t cut = size ? (size_t(data[0]) % 20 + 1) * 188 : 188;
    alignas(4) uint8_t buf[DEC_MAX_DATAGRAM];
    for (size_t off = size ? 1 : 0; off < size; off += cut) {
        const size_t n = std::min({cut, size - off, sizeof buf});
        std::memcpy(buf, data + off, n);
        if (n >= 4)
            buf[0] = 0x47;
        chan.datagram(buf, n);
        if (off / cut % 7 == 6)
            chan.second();
    }
    kd_mqueue_read_periodic(queue); // frees what the rules posted
    return 0;
}
