// The proxy wire format: records and events byte for byte, and the
// receive framer over streams cut anywhere, malformed or oversized.
#include "wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace proxy;

namespace {

std::vector<uint8_t> le(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int s = 0; s < 32; s += 8)
            out.push_back(uint8_t(w >> s));
    return out;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, std::string_view b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Feeds `bytes` in pieces of the given sizes (the rest in one piece) and
// collects every message as "type:payload-size" until the stream ends or
// goes bad ("bad").
std::vector<std::string> frame_all(const std::vector<uint8_t> &bytes, std::vector<size_t> cuts = {})
{
    framer f;
    std::vector<std::string> got;
    size_t at = 0;
    auto drain = [&] {
        framer::message m{};
        std::string why;
        for (;;) {
            const auto r = f.next(m, why);
            if (r == framer::result::none)
                break;
            if (r == framer::result::bad) {
                got.push_back("bad");
                return false;
            }
            got.push_back(std::to_string(m.type) + ":" + std::to_string(m.payload.size()));
        }
        f.compact();
        return true;
    };
    cuts.push_back(bytes.size());
    for (size_t cut : cuts) {
        size_t want = std::min(cut, bytes.size() - at);
        while (want > 0) {
            auto room = f.space();
            const size_t n = std::min(want, room.size());
            std::memcpy(room.data(), bytes.data() + at, n);
            f.commit(n);
            at += n;
            want -= n;
            if (!drain())
                return got;
        }
    }
    return got;
}

TEST(ProxyWire, ParamRecordLayout)
{
    proxy_param rec;
    rec.type = 3;
    rec.readwrite = 2;
    rec.min = -5;
    rec.max = 100;
    rec.step = 5;
    rec.label = "Gain";
    rec.scope = "probe/gain";
    rec.value = "10";
    const proxy_msg m = proxy_msg_param(rec);
    const std::vector<uint8_t> want =
        cat(le({0, 36 + 4 + 10 + 2, 3, 2, uint32_t(-5), 100, 5, 4, 10, 2, 0}), "Gainprobe/gain10");
    EXPECT_EQ(proxy_msg_bytes(m), want);
    EXPECT_EQ(proxy_param_get_size(rec), 52u);

    auto back = proxy_param_ctor_msg_param(m.payload);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->min, -5);
    EXPECT_EQ(back->label, "Gain");
    EXPECT_EQ(back->scope, "probe/gain");
    EXPECT_EQ(back->value, "10");
    EXPECT_EQ(back->options, "");
    EXPECT_EQ(proxy_msg_param(*back).payload, m.payload);
}

TEST(ProxyWire, MalformedParamRecordsAreRefused)
{
    const auto good = proxy_msg_param({4, 2, 0, 0, 0, "Mode", "probe/mode", "a", "a,b"}).payload;
    ASSERT_TRUE(proxy_param_ctor_msg_param(good));
    struct Case {
        const char *what;
        std::vector<uint8_t> payload;
    } cases[] = {
        {"empty", {}},
        {"fixed part cut", std::vector<uint8_t>(good.begin(), good.begin() + 35)},
        {"texts cut", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"bytes left over", cat(good, "x")},
        {"type 7", [&] { auto p = good; p[0] = 7; return p; }()},
        {"control 4", [&] { auto p = good; p[4] = 4; return p; }()},
        // Lengths whose 32-bit sum wraps to the payload size.
        {"lengths wrap", cat(le({5, 2, 0, 0, 0, 0xFFFFFFFF, 2, 0, 0}), "ab")},
        {"zero byte in a route", cat(le({5, 2, 0, 0, 0, 1, 3, 0, 0}), std::string_view("Lp\0q", 4))},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(proxy_param_ctor_msg_param(c.payload)) << c.what;
}

TEST(ProxyWire, EventNamesAndData)
{
    const std::string sixty(60, 'n');
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    const proxy_msg m = proxy_msg_init_cuvent(sixty, data);
    ASSERT_EQ(m.hdr.len, 56u + 5);
    EXPECT_EQ(proxy_msg_bytes(m).size(), 8u + 61);
    auto v = proxy_cuvent_parse(m.payload);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, std::string(50, 'n')); // 50 characters and no terminator on the wire
    EXPECT_EQ(std::vector<uint8_t>(v->data.begin(), v->data.end()), std::vector<uint8_t>(data, data + 5));

    const proxy_msg none = proxy_msg_init_cuvent("on_proxy_all_slaves_connected", {});
    std::vector<uint8_t> want = le({1, 56});
    want.resize(8 + 52, 0);
    std::memcpy(want.data() + 8, "on_proxy_all_slaves_connected", 29);
    want.insert(want.end(), {0, 0, 0, 0});
    EXPECT_EQ(proxy_msg_bytes(none), want);
    auto nv = proxy_cuvent_parse(none.payload);
    ASSERT_TRUE(nv);
    EXPECT_TRUE(nv->data.empty());

    auto bad = m.payload;
    bad[52] = 6; // data length past the payload
    EXPECT_FALSE(proxy_cuvent_parse(bad));
    bad = m.payload;
    bad[52] = 4; // a byte left over
    EXPECT_FALSE(proxy_cuvent_parse(bad));
    bad = m.payload;
    bad[0] = 0; // no name
    EXPECT_FALSE(proxy_cuvent_parse(bad));
    EXPECT_FALSE(proxy_cuvent_parse(std::vector<uint8_t>(55, 'x')));
}

TEST(ProxyWire, FramingOverCutStreams)
{
    const auto param = proxy_msg_bytes(proxy_msg_param({5, 2, 0, 0, 0, "Text", "probe/text", "hello", ""}));
    const auto store = proxy_msg_bytes(proxy_msg_init_control(PROXY_MSG_SEND_STORE, {}));
    const auto apply = proxy_msg_bytes(proxy_msg_init_control(PROXY_MSG_APPLY, {}));
    const std::string p = "0:" + std::to_string(param.size() - 8);

    auto two = param;
    two.insert(two.end(), param.begin(), param.end());
    EXPECT_EQ(frame_all(two), (std::vector<std::string>{p, p})) << "two in one read";
    EXPECT_EQ(frame_all(param, {3}), (std::vector<std::string>{p})) << "header split";
    EXPECT_EQ(frame_all(param, {20}), (std::vector<std::string>{p})) << "payload split";
    EXPECT_EQ(frame_all(store), (std::vector<std::string>{"8:0"})) << "header-only alone";
    auto both = store;
    both.insert(both.end(), apply.begin(), apply.end());
    EXPECT_EQ(frame_all(both, {4, 4, 4}), (std::vector<std::string>{"8:0", "9:0"}));

    // A record over 1024 bytes grows the buffer until it fits.
    const auto big = proxy_msg_bytes(proxy_msg_param({5, 2, 0, 0, 0, "Big", "probe/big", std::string(5000, 'v'), ""}));
    EXPECT_EQ(frame_all(big), (std::vector<std::string>{"0:" + std::to_string(big.size() - 8)}));

    // Every cut of a stream of three messages gives the same three.
    auto stream = param;
    stream.insert(stream.end(), store.begin(), store.end());
    stream.insert(stream.end(), big.begin(), big.end());
    const std::vector<std::string> all = frame_all(stream);
    ASSERT_EQ(all.size(), 3u);
    for (size_t cut = 1; cut < stream.size(); cut += 97)
        EXPECT_EQ(frame_all(stream, {cut}), all) << "cut at " << cut;
}

TEST(ProxyWire, BadHeadersEndTheStream)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"over the payload cap", le({0, kMaxPayload + 1})},
        {"4 GiB", le({0, 0xFFFFFFFF})},
        {"unknown type over the cap", le({99, 0x80000000})},
        {"SEND_STORE with a payload", le({8, 4, 0})},
        {"CTRL_PARAM_FINISH of 3 bytes", le({2, 3, 0})},
        {"TIME_SYNC of 4 bytes", le({4, 4, 0})},
        {"CHASSIS_CONF of 28 bytes", le({6, 28})},
    };
    for (const auto &c : cases)
        EXPECT_EQ(frame_all(c.bytes), (std::vector<std::string>{"bad"})) << c.what;

    // An unknown type within the cap is handed out (the receiver skips it).
    auto unknown = le({42, 3});
    unknown.insert(unknown.end(), {1, 2, 3});
    auto then = proxy_msg_bytes(proxy_msg_init_u32(PROXY_MSG_CHASSIS_NUMBER, 7));
    unknown.insert(unknown.end(), then.begin(), then.end());
    EXPECT_EQ(frame_all(unknown), (std::vector<std::string>{"42:3", "5:4"}));
}

} // namespace
