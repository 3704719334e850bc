// The record exchanged with the menu daemon on both message queues: a
// 20-byte header and a 4076-byte text attachment, 4096 bytes in all, every
// field in host byte order. Read and written field by field, never cast.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fp {

enum message_types : uint32_t {
    MT_ANYMSG = 0,
    MT_RESERVED = 99,
    MT_PROCESSKILL = 100,
    MT_CMDMSG = 101,
    MT_REPLYMSG = 102,
    MT_GET_VARIBLE_STRING = 103,
    MT_GET_VARIBLE_STRING_REPLY = 104,
    MT_SET_VARIBLE_STRING = 105,
    MT_SET_VARIBLE_STRING_REPLY = 106,
    MT_DIAGNOSTIC_CTRL = 107,
    MT_MENU_ALERT = 108,
    MT_EXTBOARD_INIT = 109,
    MT_EXTBOARD_UNAVAILABLE = 110,
    MT_TASK_INIT = 111,
    MT_TEST_VARIABLE_STRING = 112,
    MT_TEST_VARIABLE_STRING_REPLY = 113,
    MT_MENUMGR_REGISTER_TOPMENU = 300,
    MT_MENUMGR_REGISTER_TOPMENU_REPLY = 301,
    MT_MENUMGR_REGISTER_SUBMENU = 302,
    MT_MENUMGR_REGISTER_SUBMENU_REPLY = 303,
    MT_MENUMGR_UNREGISTER_TOPMENU = 304,
    MT_MENUMGR_UNREGISTER_TOPMENU_REPLY = 305,
    MT_MENUMGR_UNREGISTER_SUBMENU = 306,
    MT_MENUMGR_UNREGISTER_SUBMENU_REPLY = 307,
    MT_MENUMGR_SET_LOGIN_DURATION = 308,
    MT_MENUMGR_GET_LOGIN_DURATION = 309,
    MT_MENUMGR_SET_LCD_BKLT_DELAY = 310,
    MT_MENUMGR_GET_LCD_BKLT_DELAY = 311,
    MT_UNKNOWN = 30000,
    MT_LAST = 30001
};

inline constexpr size_t kMenuMsgSize = 4096;
inline constexpr size_t kMenuMsgHeaderSize = 20;
inline constexpr size_t kAttachmentSize = kMenuMsgSize - kMenuMsgHeaderSize; // 4076
// Every message this side sends carries this sender.
inline constexpr int32_t kMenuMsgSender = 8000;
// A reply text goes out in pieces of at most this many bytes: the piece,
// its terminator and the header stay within one record.
inline constexpr size_t kReplyPieceMax = 4072;

struct menu_msg {
    uint32_t type = 0;
    int32_t sender = 0;
    uint32_t id = 0;   // aux1: request identifier, copied into the reply
    uint32_t aux2 = 0; // a length, whose meaning depends on the type
    int32_t hardwareIndex = 0;
    // Text; its last byte is always a terminator once decoded or set.
    std::array<char, kAttachmentSize> attachment{};
};

// The record's bytes as they go on a queue.
using menu_msg_bytes = std::array<uint8_t, kMenuMsgSize>;

// Reads a received message. Bytes past `bytes` (a short message) read as
// zero; anything past 4096 bytes is ignored. The attachment's last byte is
// forced to a terminator: the daemon need not send one. false, and `out`
// zeroed, when the message is shorter than its header.
bool menu_msg_decode(std::span<const uint8_t> bytes, menu_msg &out);
void menu_msg_encode(const menu_msg &m, menu_msg_bytes &out);

// The attachment as text, up to its first terminator.
std::string_view menu_msg_text(const menu_msg &m);
// Copies at most 4075 bytes of `text` and terminates; the rest is zeroed.
// Answers the number of bytes copied.
size_t menu_msg_set_text(menu_msg &m, std::string_view text);

// The reply type for a request type: the type + 1 for the four requests
// the daemon sends, otherwise the request's own type.
bool menu_msg_is_known_request(uint32_t type);
uint32_t menu_msg_reply_type(uint32_t request_type);

// Cuts a text at its first line feed, then at its first carriage return.
std::string_view cut_line(std::string_view text);

// Cuts a text to at most `max` bytes without splitting a UTF-8 sequence.
std::string_view cut_text(std::string_view text, size_t max);

// "0\r\n<answer>\r\n", the answer cut to 254 bytes.
std::string mdi_format_response(std::string_view answer);

// One record to send and how many of its bytes go on the queue.
struct outgoing_msg {
    menu_msg msg;
    size_t length;
};
// The replies to `request` carrying `text`: the request's header with the
// reply type, the text in pieces of at most 4072 bytes, aux2 the piece
// length + 4 and the send length the piece length + 24. An empty text is
// one empty piece.
std::vector<outgoing_msg> menu_msg_reply_pieces(const menu_msg &request, std::string_view text);

} // namespace fp
