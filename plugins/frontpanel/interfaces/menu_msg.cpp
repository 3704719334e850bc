#include "menu_msg.h"

#include <algorithm>
#include <cstring>

namespace fp {

namespace {

template <typename T>
T read_field(const menu_msg_bytes &b, size_t offset)
{
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

template <typename T>
void write_field(menu_msg_bytes &b, size_t offset, T v)
{
    std::memcpy(b.data() + offset, &v, sizeof v);
}

enum : size_t { kOffType = 0, kOffSender = 4, kOffId = 8, kOffAux2 = 12, kOffHardwareIndex = 16 };

constexpr size_t kAnswerMax = 254;

} // namespace

bool menu_msg_decode(std::span<const uint8_t> bytes, menu_msg &out)
{
    out = menu_msg{};
    if (bytes.size() < kMenuMsgHeaderSize)
        return false;
    // A short message reads as if padded with zeros.
    menu_msg_bytes b{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), b.size()), b.begin());
    out.type = read_field<uint32_t>(b, kOffType);
    out.sender = read_field<int32_t>(b, kOffSender);
    out.id = read_field<uint32_t>(b, kOffId);
    out.aux2 = read_field<uint32_t>(b, kOffAux2);
    out.hardwareIndex = read_field<int32_t>(b, kOffHardwareIndex);
    std::memcpy(out.attachment.data(), b.data() + kMenuMsgHeaderSize, kAttachmentSize);
    out.attachment.back() = '\0';
    return true;
}

void menu_msg_encode(const menu_msg &m, menu_msg_bytes &out)
{
    write_field(out, kOffType, m.type);
    write_field(out, kOffSender, m.sender);
    write_field(out, kOffId, m.id);
    write_field(out, kOffAux2, m.aux2);
    write_field(out, kOffHardwareIndex, m.hardwareIndex);
    std::memcpy(out.data() + kMenuMsgHeaderSize, m.attachment.data(), kAttachmentSize);
}

std::string_view menu_msg_text(const menu_msg &m)
{
    const auto end = std::find(m.attachment.begin(), m.attachment.end(), '\0');
    return {m.attachment.data(), size_t(end - m.attachment.begin())};
}

size_t menu_msg_set_text(menu_msg &m, std::string_view text)
{
    const size_t n = std::min(text.size(), kAttachmentSize - 1);
    m.attachment.fill('\0');
    std::memcpy(m.attachment.data(), text.data(), n);
    return n;
}

bool menu_msg_is_known_request(uint32_t type)
{
    return type == MT_CMDMSG || type == MT_GET_VARIBLE_STRING || type == MT_SET_VARIBLE_STRING ||
           type == MT_TEST_VARIABLE_STRING;
}

uint32_t menu_msg_reply_type(uint32_t request_type)
{
    return menu_msg_is_known_request(request_type) ? request_type + 1 : request_type;
}

std::string_view cut_line(std::string_view text)
{
    text = text.substr(0, text.find('\n'));
    return text.substr(0, text.find('\r'));
}

std::string_view cut_text(std::string_view text, size_t max)
{
    if (text.size() <= max)
        return text;
    size_t n = max;
    // Back up over continuation bytes (10xxxxxx) to the start of the
    // sequence that would be split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

std::string mdi_format_response(std::string_view answer)
{
    std::string out = "0\r\n";
    out += cut_text(answer, kAnswerMax);
    out += "\r\n";
    return out;
}

std::vector<outgoing_msg> menu_msg_reply_pieces(const menu_msg &request, std::string_view text)
{
    std::vector<outgoing_msg> out;
    do {
        const std::string_view piece = text.substr(0, kReplyPieceMax);
        text.remove_prefix(piece.size());
        outgoing_msg o{request, 0};
        o.msg.type = menu_msg_reply_type(request.type);
        menu_msg_set_text(o.msg, piece);
        o.msg.aux2 = uint32_t(piece.size() + 4);
        o.length = piece.size() + 24;
        out.push_back(o);
    } while (!text.empty());
    return out;
}

} // namespace fp
