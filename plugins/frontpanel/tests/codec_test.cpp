// The message record, the reply framing and the request text: plain code,
// no framework.
#include "interfaces/menu_msg.h"
#include "interfaces/request.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace fp;

std::vector<uint8_t> record(uint32_t type, int32_t sender, uint32_t id, uint32_t aux2, int32_t hw,
                            const std::string &text, size_t length = kMenuMsgSize)
{
    std::vector<uint8_t> b(kMenuMsgSize, 0);
    const uint32_t fields[] = {type, uint32_t(sender), id, aux2, uint32_t(hw)};
    std::memcpy(b.data(), fields, sizeof fields);
    std::memcpy(b.data() + 20, text.data(), std::min(text.size(), kAttachmentSize));
    b.resize(length);
    return b;
}

TEST(MenuMsg, FieldsSitAtTheirOffsetsInHostOrder)
{
    menu_msg m;
    m.type = 105;
    m.sender = -3;
    m.id = 0x01020304;
    m.aux2 = 9;
    m.hardwareIndex = 7;
    menu_msg_set_text(m, "route \"v");
    menu_msg_bytes bytes{};
    menu_msg_encode(m, bytes);
    const auto expected = record(105, -3, 0x01020304, 9, 7, "route \"v");
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin()));

    menu_msg back;
    ASSERT_TRUE(menu_msg_decode(expected, back));
    EXPECT_EQ(back.type, 105u);
    EXPECT_EQ(back.sender, -3);
    EXPECT_EQ(back.id, 0x01020304u);
    EXPECT_EQ(back.aux2, 9u);
    EXPECT_EQ(back.hardwareIndex, 7);
    EXPECT_EQ(menu_msg_text(back), "route \"v");
}

TEST(MenuMsg, DecodingBoundsTheTextAndRefusesAShortHeader)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool ok;
        size_t text_len;
    } cases[] = {
        {"no terminator anywhere", std::vector<uint8_t>(kMenuMsgSize, 'a'), true, kAttachmentSize - 1},
        {"longer than a record", std::vector<uint8_t>(6000, 'b'), true, kAttachmentSize - 1},
        {"text cut by the length", record(103, 0, 0, 0, 0, "abcdef", 23), true, 3},
        {"header only", record(103, 0, 0, 0, 0, "", 20), true, 0},
        {"header cut short", record(103, 0, 0, 0, 0, "", 19), false, 0},
        {"nothing", {}, false, 0},
    };
    for (const auto &c : cases) {
        menu_msg m;
        m.type = 1;
        EXPECT_EQ(menu_msg_decode(c.bytes, m), c.ok) << c.what;
        EXPECT_EQ(menu_msg_text(m).size(), c.text_len) << c.what;
        if (!c.ok) {
            EXPECT_EQ(m.type, 0u) << c.what;
        }
    }
}

TEST(MenuMsg, SetTextKeepsTheTerminator)
{
    menu_msg m;
    EXPECT_EQ(menu_msg_set_text(m, std::string(5000, 'x')), kAttachmentSize - 1);
    EXPECT_EQ(m.attachment.back(), '\0');
    EXPECT_EQ(menu_msg_set_text(m, "short"), 5u);
    EXPECT_EQ(menu_msg_text(m), "short");
    EXPECT_EQ(m.attachment[6], '\0'); // the longer text before is gone
}

TEST(MenuMsg, ReplyTypesAndFraming)
{
    struct Case {
        uint32_t request, reply;
    } cases[] = {{101, 102}, {103, 104}, {105, 106}, {112, 113}, {104, 104}, {0, 0}, {30001, 30001}};
    for (const auto &c : cases)
        EXPECT_EQ(menu_msg_reply_type(c.request), c.reply) << c.request;

    EXPECT_EQ(mdi_format_response("42"), "0\r\n42\r\n");
    EXPECT_EQ(mdi_format_response(std::string(300, 'z')), "0\r\n" + std::string(254, 'z') + "\r\n");
    // Cut on a character boundary: a two-byte character at bytes 253-254
    // does not fit.
    const std::string text = std::string(253, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(mdi_format_response(text), "0\r\n" + std::string(253, 'a') + "\r\n");
}

TEST(MenuMsg, RepliesCopyTheRequestAndSplitLongTexts)
{
    menu_msg request;
    request.type = 103;
    request.id = 55;
    request.hardwareIndex = 4;
    request.aux2 = 999;
    menu_msg_set_text(request, "some/route");

    struct Case {
        size_t text_len;
        std::vector<size_t> pieces;
    } cases[] = {{0, {0}}, {7, {7}}, {4072, {4072}}, {4073, {4072, 1}}, {9000, {4072, 4072, 856}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text_len);
        const std::string text(c.text_len, 'r');
        const auto out = menu_msg_reply_pieces(request, text);
        ASSERT_EQ(out.size(), c.pieces.size());
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].msg.type, 104u);
            EXPECT_EQ(out[i].msg.id, 55u);
            EXPECT_EQ(out[i].msg.hardwareIndex, 4);
            EXPECT_EQ(out[i].msg.aux2, c.pieces[i] + 4);
            EXPECT_EQ(out[i].length, c.pieces[i] + 24);
            EXPECT_LE(out[i].length, kMenuMsgSize);
            EXPECT_EQ(menu_msg_text(out[i].msg).size(), c.pieces[i]);
        }
    }
}

TEST(Request, ScansARouteAndAnOptionalQuotedValue)
{
    struct Case {
        std::string text;
        std::string route;
        std::optional<std::string> value;
    } cases[] = {
        {"a/b", "a/b", std::nullopt},
        {"a/b \"7\"", "a/b", "7"},
        {"a/b \"7", "a/b", "7"},                 // no closing quote
        {"a/b\"7", "a/b\"7", std::nullopt},       // the quote is part of the route word
        {"a/b   \t\"  7 8", "a/b", "7"},          // blanks before each word; a value ends at a blank
        {"a/b \"x\"y\"", "a/b", "x"},             // cut at the first quote after the value's start
        {"a/b \"\"", "a/b", ""},                  // an empty value
        {"a/b \"", "a/b", std::nullopt},          // a quote and nothing
        {"a/b 7", "a/b", std::nullopt},           // a value needs its quote
        {"a/b \"1\r\nc/d \"2", "a/b", "1"},       // first line only
        {"a/b\rrest", "a/b", std::nullopt},
        {"\n a/b", "", std::nullopt},             // an empty first line
        {"", "", std::nullopt},
        {"   ", "", std::nullopt},
        {std::string(300, 'r'), std::string(256, 'r'), std::nullopt},
        {std::string(256, 'r') + "\"v", std::string(256, 'r'), "v"}, // the scan goes on behind a cut word
        {"a/b \"" + std::string(300, 'v'), "a/b", std::string(256, 'v')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        const menu_request r = parse_request(c.text);
        EXPECT_EQ(r.route, c.route);
        EXPECT_EQ(r.value, c.value);
    }
}

} // namespace
