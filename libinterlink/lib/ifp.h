// IFP: the request/response protocol to a carrier's configuration FPGA
// (configuration ROM, Wishbone port, SPI flash master) over XSB.
#pragma once

#include "xsb_internal.h"

#include <cstdio>
#include <memory>
#include <span>

namespace xsb::ifp {

// Every IFP byte travels as one big-endian word 0x100 | byte.
constexpr uint32_t WORD_FLAG = 0x100;
constexpr int HDR_WORDS = 16;    // ifp_hdr: magic(3) version_operation session_id(3) sequence(1) reserved(8)
constexpr int TRAILER_WORDS = 5; // zero words closing every request
constexpr int MAX_DATA = 256;    // request and response data buffers
constexpr int DROM_WORDS = 256;
constexpr int PAGE = 256; // flash page

// Frame length of a request with n data words: header, data and trailer.
constexpr int frame_len(int data_words) { return XSB_HDR_LEN + 4 * (HDR_WORDS + data_words + TRAILER_WORDS); }
static_assert(frame_len(3) == 110);

struct request {
    VERSION_OPERATION op;
    uint32_t session_id;      // 24 bits
    uint32_t sequence_number; // only the low byte travels
    ssf_cmd command = SSF_CMD_NONE; // MSPI only
    uint32_t address = 0;           // MSPI READ and PAGE_PROGRAM only
    std::span<const uint8_t> data;  // at most MAX_DATA bytes
};

// True when an MSPI command carries a three-byte flash address.
constexpr bool has_address(ssf_cmd c) { return c == SSF_CMD_READ_DATA_BYTES || c == SSF_CMD_PAGE_PROGRAM; }

// Writes the request's payload words into `payload` (the frame from byte 14)
// and returns the frame length, or -1 when the request does not fit.
int build_request(const request &req, std::span<uint8_t> payload);

// Checks a received frame against the request it should answer (the request's
// payload and frame length) and copies the response data into `out`.
// Returns the number of data bytes, or -1 when the frame is not the answer.
int parse_response(std::span<const uint8_t> req_payload, int req_len, ssf_cmd command,
                   std::span<const uint8_t> frame, std::span<uint8_t, MAX_DATA> out);

// Timing of the exchanges. The defaults are the carriers' own; the
// environment can stretch them (KD_XSB_IFP_WAIT_MS: one wait for a response,
// an attempt lasts three; KD_XSB_IFP_ERASE_POLL_MS: erase status polling) for
// slow or loaded test machines.
struct timing {
    int wait_ms = 1;
    int attempt_ms = 3;
    int erase_poll_ms = 100;
    int program_poll_us = 100;
    static timing from_env();
};

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

// The exchange context of one operation: the socket, the header values and
// the last request and response.
class exchange {
public:
    exchange(xsbifp &x, const printer &log) : x_(x), log_(log) {}
    ~exchange();
    exchange(const exchange &) = delete;
    exchange &operator=(const exchange &) = delete;

    // Opens the socket (or none in loopback); 0, or -1 with x.err set.
    int open();
    // One request and its response; 0, or -1 with x.err set.
    int mspi(ssf_cmd cmd, uint32_t address, std::span<const uint8_t> data);
    int wb(std::span<const uint8_t> data);
    int drom();
    // Sends a Wishbone request without waiting (refresh: the FPGA reloads and
    // cannot answer). 0, or -1 with x.err set.
    int wb_send_only(std::span<const uint8_t> data);

    std::span<const uint8_t> response() const { return {response_buf_, size_t(response_buflen_)}; }
    bool has_socket() const { return sock_ != nullptr; }
    const timing &times() const { return timing_; }

    std::unique_ptr<FILE, file_closer> fstream;

private:
    int fail(ERR e);
    ERR send_request(const request &req);
    ERR wait_response();
    int request_response(VERSION_OPERATION op, ssf_cmd cmd, uint32_t address, std::span<const uint8_t> data);

    xsbifp &x_;
    const printer &log_;
    timing timing_;
    xsb_sock *sock_ = nullptr;
    uint32_t session_id_ = 0;
    uint32_t sequence_number_ = 0;
    ssf_cmd ssf_command_ = SSF_CMD_NONE;
    int request_retries_ = 2;
    int response_retries_ = 2;
    xsb_pkt request_ethfrm_{};
    int request_ethlen_ = 0;
    xsb_pkt response_ethfrm_{};
    uint8_t response_buf_[MAX_DATA]{};
    int response_buflen_ = 0;
};

} // namespace xsb::ifp
