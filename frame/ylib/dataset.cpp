// Bounded sorted set of integers.
//
// Values stay ascending at all times; insert and remove shift the tail by
// one slot (linear) instead of re-sorting, and lookups are binary searches.
// The order is the plain numeric one.
#include "ylib_internal.h"

#include <kerrow/dataset.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace {

std::span<int> held(kd_dataset *s) { return {s->nums, s->nums_len}; }

bool parse_int(std::string_view tok, int &out)
{
    // One optional sign, then digits only; from_chars checks the range.
    std::string_view digits = tok;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    if (tok.front() == '+')
        tok.remove_prefix(1); // from_chars takes a '-' only
    auto [end, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), out, 10);
    return ec == std::errc() && end == tok.data() + tok.size();
}

} // namespace

extern "C" kd_dataset *kd_dataset_ctor(size_t size, size_t allow_dups)
{
    if (size == 0)
        return nullptr;
    auto *s = kd::calloc_record(&kd_dataset::nums, size);
    if (!s)
        return nullptr;
    s->allow_dups = allow_dups;
    s->nums_size = size;
    return s;
}

extern "C" int kd_dataset_dtor(kd_dataset *s)
{
    if (!s)
        return -1;
    free(s->nums);
    free(s);
    return 0;
}

extern "C" int kd_dataset_clear(kd_dataset *s)
{
    if (!s)
        return -1;
    std::fill_n(s->nums, s->nums_size, 0);
    s->nums_len = 0;
    return 0;
}

extern "C" int kd_dataset_insert(kd_dataset *s, int v)
{
    if (!s || s->nums_len >= s->nums_size)
        return -1;
    auto set = held(s);
    // After any equal values: duplicates keep their insertion order.
    auto at = std::upper_bound(set.begin(), set.end(), v);
    if (!s->allow_dups && at != set.begin() && at[-1] == v)
        return -1;
    std::copy_backward(at, set.end(), set.end() + 1);
    *at = v;
    ++s->nums_len;
    return 0;
}

extern "C" int kd_dataset_remove(kd_dataset *s, int v)
{
    if (!s)
        return -1;
    auto set = held(s);
    auto at = std::lower_bound(set.begin(), set.end(), v);
    if (at == set.end() || *at != v)
        return -1;
    std::copy(at + 1, set.end(), at);
    set.back() = 0; // unused slots read 0
    --s->nums_len;
    return 0;
}

extern "C" int kd_dataset_exists(kd_dataset *s, int v)
{
    if (!s)
        return 0;
    auto set = held(s);
    return std::binary_search(set.begin(), set.end(), v) ? 1 : 0;
}

extern "C" int kd_dataset_get_num(kd_dataset *s, size_t index, int *out)
{
    if (!s || !out || index >= s->nums_len)
        return -1;
    *out = s->nums[index];
    return 0;
}

extern "C" size_t kd_dataset_get_length(kd_dataset *s) { return s ? s->nums_len : 0; }

extern "C" size_t kd_dataset_get_size(kd_dataset *s) { return s ? s->nums_size : 0; }

extern "C" int kd_dataset_insert_all(kd_dataset *dst, kd_dataset *src)
{
    if (!dst || !src)
        return -1;
    if (dst == src) {
        // Into itself: from the top, so every copy lands above the values
        // still to be read.
        for (size_t i = src->nums_len; i-- > 0;)
            kd_dataset_insert(dst, src->nums[i]);
        return 0;
    }
    for (size_t i = 0; i < src->nums_len; ++i)
        kd_dataset_insert(dst, src->nums[i]);
    return 0;
}

extern "C" int kd_dataset_from_string(kd_dataset *s, const char *text, size_t len)
{
    if (!s || !text)
        return -1;
    constexpr std::string_view seps = " _,;:";
    std::string_view rest(text, strnlen(text, len));
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(seps);
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        size_t end = std::min(rest.find_first_of(seps), rest.size());
        int v;
        if (parse_int(rest.substr(0, end), v))
            kd_dataset_insert(s, v);
        rest.remove_prefix(end);
    }
    return 0;
}

extern "C" int kd_dataset_to_string(kd_dataset *s, char *buf, size_t size)
{
    if (!buf || size == 0)
        return 0;
    memset(buf, 0, size);
    if (!s || s->nums_len == 0 || size < 2)
        return 0;
    size_t pos = 0;
    for (size_t i = 0; i < s->nums_len && size - pos >= 2; ++i) {
        char piece[16];
        int n = snprintf(piece, sizeof piece, "%s%d", i ? "," : "", s->nums[i]);
        if (pos + size_t(n) >= size)
            break; // only whole values, and the terminator must fit
        memcpy(buf + pos, piece, size_t(n));
        pos += size_t(n);
    }
    return int(pos);
}
