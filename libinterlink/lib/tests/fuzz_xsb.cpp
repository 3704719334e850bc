// libFuzzer target: INFO-record decoding and IFP response parsing, the two
// places where bytes from a carrier enter the library.
#include "ifp.h"
#include "interlink.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

using namespace xsb::ifp;

namespace {

void info_records(const uint8_t *data, size_t size)
{
    std::vector<char> buf(4 + size);
    std::memcpy(buf.data(), "INFO", 4);
    if (size)
        std::memcpy(buf.data() + 4, data, size);
    const int len = int(buf.size());
    const int n = xsbinfo_count_records(buf.data(), len);
    xsbinfo_count_records(reinterpret_cast<const char *>(data), int(size));
    using fn_t = int (*)(char *, int, const uint32_t *);
    static const fn_t texts[] = {
        xsbinfo_carrier_to_string,   xsbinfo_fpga_to_string,       xsbinfo_version_to_string,
        xsbinfo_blvds_to_string,     xsbinfo_port_to_string,       xsbinfo_xsb_to_string,
        xsbinfo_bridge_to_string,    xsbinfo_sequencer_to_string,  xsbinfo_xqueues_eg_to_string,
        xsbinfo_xqueues_ig_to_string, xsbinfo_audio_rx_to_string,  xsbinfo_audio_tx_to_string,
    };
    for (int i = 0; i <= n; ++i) {
        uint32_t rec = 0;
        if (xsbinfo_get_index(buf.data(), len, i, &rec) < 0) {
            if (i < n)
                __builtin_trap(); // every counted record can be fetched
            continue;
        }
        for (fn_t fn : texts) {
            char big[256], small[7];
            const int full = fn(big, sizeof big, &rec);
            const int cut = fn(small, sizeof small, &rec);
            if (full != cut || (full >= 0 && (std::strlen(big) != size_t(full) || std::strlen(small) > 6)))
                __builtin_trap();
        }
    }
}

void ifp_response(const uint8_t *data, size_t size)
{
    if (size < 4)
        return;
    // The request: operation, command and data length from the first bytes.
    static const VERSION_OPERATION ops[] = {VERSION_1_OPERATION_MSPI, VERSION_1_OPERATION_WB,
                                            VERSION_1_OPERATION_DROM};
    const VERSION_OPERATION op = ops[data[0] % 3];
    const auto cmd = ssf_cmd(data[1]);
    const bool echo = data[2] & 1;
    std::vector<uint8_t> req_data(size_t(data[3]), 0xFF);
    std::array<uint8_t, XSB_DATA_LEN> payload{};
    const int req_len = build_request({op, 0x123456, data[2], cmd, 0x10000, req_data}, payload);
    if (req_len < 0)
        return;
    // The response: the rest, or (to get past the door) the rest laid over
    // a frame of the request's length with the header echoed.
    std::vector<uint8_t> frame(data + 4, data + size);
    if (echo) {
        frame.resize(size_t(req_len), 0);
        std::memcpy(frame.data() + XSB_HDR_LEN + 16, payload.data(), 64);
    }
    std::array<uint8_t, MAX_DATA> out{};
    const int n = parse_response(payload, req_len, cmd, frame, out);
    if (n > MAX_DATA || (echo && n < 0))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    info_records(data, size);
    ifp_response(data, size);
    return 0;
}
