// libFuzzer target over what the daemon sends: the record decoder, the
// request scanner and the reply framing of whatever it finds.
#include "interfaces/menu_msg.h"
#include "interfaces/request.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fp::menu_msg m;
    if (!fp::menu_msg_decode({data, size}, m))
        return 0;
    const fp::menu_request r = fp::parse_request(fp::menu_msg_text(m));
    if (r.route.size() > fp::kRequestWordMax || (r.value && r.value->size() > fp::kRequestWordMax))
        __builtin_trap();
    const std::string text = fp::mdi_format_response(r.value ? *r.value : r.route);
    for (const auto &piece : fp::menu_msg_reply_pieces(m, text)) {
        if (piece.length > fp::kMenuMsgSize)
            __builtin_trap();
        fp::menu_msg_bytes out{};
        fp::menu_msg_encode(piece.msg, out);
    }
    return 0;
}
