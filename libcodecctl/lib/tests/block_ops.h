// Uniform handles on the parameter blocks, so one table of cases covers
// every block.
#pragma once

#include "cparam.h"
#include "decode/adparam.h"
#include "decode/aoparam.h"
#include "decode/dmxparam.h"
#include "decode/dparam.h"
#include "decode/siparam.h"
#include "decode/vdparam.h"
#include "decode/vfparam.h"
#include "decode/voparam.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace m30test {

struct BlockOps {
    std::string name; // structure name
    size_t image;     // image bytes
    std::function<void *()> make_default;
    std::function<void *()> make_zero;
    std::function<void(void *)> dtor;
    std::function<int(void *, uint8_t *, size_t)> to_bin;
    std::function<int(void *, const uint8_t *, size_t)> from_bin;
    std::function<int(const void *, FILE *)> print;
    std::function<int(const uint8_t *, size_t)> print_image;
};

using Block = std::unique_ptr<void, std::function<void(void *)>>;

#define M30TEST_OPS(n, size, init_call)                                                          \
    m30test::BlockOps                                                                            \
    {                                                                                            \
        #n, size, [] { n *b = n##_ctor(); init_call; return static_cast<void *>(b); },           \
            [] { return static_cast<void *>(n##_ctor()); }, [](void *b) { n##_dtor(static_cast<n *>(b)); }, \
            [](void *b, uint8_t *buf, size_t len) { return n##_to_bin(static_cast<n *>(b), buf, len); }, \
            [](void *b, const uint8_t *buf, size_t len) { return n##_from_bin(static_cast<n *>(b), buf, len); }, \
            [](const void *b, FILE *f) { return n##_print(static_cast<const n *>(b), f); },      \
            [](const uint8_t *buf, size_t len) { return m30_print_##n(buf, len); }               \
    }

// Defaults as the decode side sets them: common block for HEVC, robust
// mode 0, multi-channel, decode; per-channel blocks for channel 0.
inline std::vector<BlockOps> all_blocks()
{
    return {
        M30TEST_OPS(cparam, 128, cparam_init(b, M30_VIDEO_MODE_HEVC, C_VI_ROBUST_MODE_STOP_ENCODING, 1, false, false)),
        M30TEST_OPS(siparam, 256, siparam_init(b, 0)),
        M30TEST_OPS(dmxparam, 256, dmxparam_init(b)),
        M30TEST_OPS(dparam, 256, dparam_init(b, false)),
        M30TEST_OPS(vdparam, 256, vdparam_init(b)),
        M30TEST_OPS(adparam, 256, adparam_init(b)),
        M30TEST_OPS(vfparam, 256, vfparam_init(b)),
        M30TEST_OPS(voparam, 256, voparam_init(b, 0)),
        M30TEST_OPS(aoparam, 256, aoparam_init(b, 0)),
    };
}

inline Block hold(const BlockOps &ops, void *b) { return Block(b, ops.dtor); }

inline std::vector<uint8_t> pack(const BlockOps &ops, void *b, size_t len = 1024)
{
    std::vector<uint8_t> buf(len, 0xEE);
    int n = ops.to_bin(b, buf.data(), buf.size());
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
}

// Little-endian word w of an image.
inline uint32_t word(const std::vector<uint8_t> &img, size_t w)
{
    return uint32_t(img[4 * w]) | uint32_t(img[4 * w + 1]) << 8 | uint32_t(img[4 * w + 2]) << 16 |
           uint32_t(img[4 * w + 3]) << 24;
}

// An image of `bytes` with the given (word, value) pairs, little-endian.
inline std::vector<uint8_t> image(size_t bytes, std::initializer_list<std::pair<size_t, uint32_t>> words)
{
    std::vector<uint8_t> img(bytes, 0);
    for (auto [w, v] : words)
        for (int i = 0; i < 4; ++i)
            img[4 * w + i] = uint8_t(v >> (8 * i));
    return img;
}

// "" when equal, else where they first differ.
inline std::string first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    for (size_t i = 0; i < a.size(); i += 4)
        if (word(a, i / 4) != word(b, i / 4)) {
            char s[96];
            std::snprintf(s, sizeof s, "word %zu (offset %zu): 0x%08X vs 0x%08X", i / 4, i, word(a, i / 4),
                          word(b, i / 4));
            return s;
        }
    return "";
}

// What the block's printer writes.
inline std::string printed(const BlockOps &o, const void *b)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    EXPECT_EQ(o.print(b, f), 0);
    std::fclose(f);
    std::string s(text, len);
    std::free(text);
    return s;
}

// A whole file as text (empty when it cannot be read).
inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Every block's defaults pack to its hand-worked image.
inline void expect_default_images(const std::vector<BlockOps> &blocks,
                                  const std::map<std::string, std::vector<uint8_t>> &golden)
{
    for (const auto &o : blocks) {
        SCOPED_TRACE(o.name);
        Block b = hold(o, o.make_default());
        std::vector<uint8_t> img = pack(o, b.get());
        EXPECT_EQ(img.size(), o.image);
        EXPECT_EQ(first_difference(img, golden.at(o.name)), "");
    }
}

// A buffer or image one byte short is refused and left untouched; exactly
// the image size is enough.
inline void expect_short_buffers_refused(const std::vector<BlockOps> &blocks)
{
    for (const auto &o : blocks) {
        SCOPED_TRACE(o.name);
        Block b = hold(o, o.make_default());
        std::vector<uint8_t> buf(o.image - 1, 0xEE);
        EXPECT_EQ(o.to_bin(b.get(), buf.data(), buf.size()), -1);
        EXPECT_EQ(buf, std::vector<uint8_t>(o.image - 1, 0xEE));
        // An image shorter than the block is not read past its end.
        std::vector<uint8_t> in(o.image - 1, 0xFF);
        EXPECT_EQ(o.from_bin(b.get(), in.data(), in.size()), -1);
        EXPECT_EQ(o.print_image(in.data(), in.size()), -1);
        std::vector<uint8_t> exact(o.image);
        EXPECT_EQ(o.to_bin(b.get(), exact.data(), exact.size()), int(o.image));
    }
}

} // namespace m30test
