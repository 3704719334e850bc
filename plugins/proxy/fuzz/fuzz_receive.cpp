// libFuzzer target over the receive path: the input is a byte stream fed
// to the framer in pieces whose sizes come from the input itself; every
// message handed out is read by the payload readers, and a record or an
// event that passes must encode back to the same bytes.
#include "wire.h"

#include <cstdlib>
#include <cstring>

using namespace proxy;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte seeds the cut sizes.
    unsigned seed = data[0];
    ++data;
    --size;
    framer f;
    size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = 1 + (seed >> 16) % 300;
        piece = std::min(piece, size - at);
        while (piece > 0) {
            auto room = f.space();
            if (room.empty())
                return 0; // bad stream: the connection would be reset
            const size_t n = std::min(piece, room.size());
            std::memcpy(room.data(), data + at, n);
            f.commit(n);
            at += n;
            piece -= n;
            framer::message m{};
            std::string why;
            for (;;) {
                const auto r = f.next(m, why);
                if (r == framer::result::bad)
                    return 0;
                if (r == framer::result::none)
                    break;
                if (m.type == PROXY_MSG_PARAM) {
                    if (auto rec = proxy_param_ctor_msg_param(m.payload)) {
                        const proxy_msg again = proxy_msg_param(*rec);
                        if (again.payload.size() != m.payload.size() ||
                            std::memcmp(again.payload.data(), m.payload.data(), m.payload.size()) != 0)
                            std::abort();
                    }
                } else if (m.type == PROXY_MSG_CUVENT) {
                    if (auto v = proxy_cuvent_parse(m.payload)) {
                        if (v->name.empty() || v->name.size() > kCuventNameSize)
                            std::abort();
                        const proxy_msg again = proxy_msg_init_cuvent(v->name, v->data);
                        if (again.payload.size() != m.payload.size() ||
                            std::memcmp(again.payload.data() + 56, m.payload.data() + 56, m.payload.size() - 56) != 0)
                            std::abort();
                    }
                }
            }
            f.compact();
        }
    }
    return 0;
}
