// IFP frame layout: building requests and recognising their responses.
#include "ifp.h"

#include <algorithm>
#include <cstring>

namespace xsb::ifp {

namespace {
// "IFP" as content words.
constexpr uint32_t MAGIC[3] = {WORD_FLAG | 'I', WORD_FLAG | 'F', WORD_FLAG | 'P'};
// A response carries four words of the responder's own before the echoed header.
constexpr int RESPONSE_ECHO_WORD = 4;
constexpr int RESPONSE_DATA_WORD = RESPONSE_ECHO_WORD + HDR_WORDS;

// Where the data of a response begin: after the echoed command word and a
// status word for MSPI, and after the three address words as well for READ
// and PAGE_PROGRAM.
int data_word(VERSION_OPERATION op, ssf_cmd cmd)
{
    if (op != VERSION_1_OPERATION_MSPI)
        return RESPONSE_DATA_WORD;
    return RESPONSE_DATA_WORD + (has_address(cmd) ? 5 : 2);
}
} // namespace

int build_request(const request &req, std::span<uint8_t> payload)
{
    if (req.data.size() > size_t(MAX_DATA))
        return -1;
    int words = 0;
    if (req.op == VERSION_1_OPERATION_DROM)
        words = DROM_WORDS;
    else if (req.op == VERSION_1_OPERATION_WB)
        words = int(req.data.size());
    else
        words = 1 + (has_address(req.command) ? 3 : 0) + int(req.data.size());
    const int len = frame_len(words);
    if (size_t(len - XSB_HDR_LEN) > payload.size())
        return -1;

    std::fill(payload.begin(), payload.end(), uint8_t(0));
    uint8_t *w = payload.data();
    auto put = [&w](uint32_t v) {
        put_be32(w, v);
        w += 4;
    };
    for (uint32_t m : MAGIC)
        put(m);
    put(WORD_FLAG | uint32_t(req.op));
    put(WORD_FLAG | ((req.session_id >> 16) & 0xFF));
    put(WORD_FLAG | ((req.session_id >> 8) & 0xFF));
    put(WORD_FLAG | (req.session_id & 0xFF));
    put(WORD_FLAG | (req.sequence_number & 0xFF));
    for (int i = 0; i < 8; ++i)
        put(WORD_FLAG);
    if (req.op == VERSION_1_OPERATION_DROM) {
        for (int i = 0; i < DROM_WORDS; ++i)
            put(0x1FF);
    } else {
        if (req.op == VERSION_1_OPERATION_MSPI) {
            put(WORD_FLAG | uint32_t(req.command));
            if (has_address(req.command)) {
                put(WORD_FLAG | ((req.address >> 16) & 0xFF));
                put(WORD_FLAG | ((req.address >> 8) & 0xFF));
                put(WORD_FLAG | (req.address & 0xFF));
            }
        }
        for (uint8_t b : req.data)
            put(WORD_FLAG | b);
    }
    // The five trailing words stay zero.
    return len;
}

int parse_response(std::span<const uint8_t> req_payload, int req_len, ssf_cmd command,
                   std::span<const uint8_t> frame, std::span<uint8_t, MAX_DATA> out)
{
    constexpr size_t hdr_bytes = 4 * HDR_WORDS;
    // The door check: exactly the request's length, and the request's header
    // echoed (magic, operation, session id, sequence number).
    if (req_len < frame_len(0) || frame.size() != size_t(req_len) || req_payload.size() < hdr_bytes)
        return -1;
    const uint8_t *payload = frame.data() + XSB_HDR_LEN;
    if (std::memcmp(payload + 4 * RESPONSE_ECHO_WORD, req_payload.data(), hdr_bytes) != 0)
        return -1;
    const auto op = VERSION_OPERATION(get_be32(payload + 4 * (RESPONSE_ECHO_WORD + 3)) & 0xFF);
    const int first = data_word(op, command);
    const int words = int(frame.size() - XSB_HDR_LEN) / 4;
    const int n = std::clamp(words - first, 0, MAX_DATA);
    for (int i = 0; i < n; ++i)
        out[size_t(i)] = payload[4 * (first + i) + 3];
    return n;
}

} // namespace xsb::ifp
