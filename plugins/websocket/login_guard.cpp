#include "login_guard.h"

#include <algorithm>
#include <cmath>

namespace ws {

double login_guard::wait_left(const std::string &addr, double now) const
{
    const auto it = map_.find(addr);
    return it == map_.end() ? 0 : std::max(0.0, it->second.until - now);
}

double login_guard::failed(const std::string &addr, double now)
{
    auto it = map_.find(addr);
    if (it == map_.end()) {
        make_room(now);
        it = map_.emplace(addr, entry{}).first;
    } else if (now - it->second.last > kForget) {
        it->second = entry{};
    }
    entry &e = it->second;
    e.last = now;
    if (++e.failures < kFreeFailures)
        return 0;
    // 2^9 s is past the longest wait already: the exponent stops there.
    const double hold = std::min(kMaxHold, std::ldexp(1.0, std::min(e.failures - kFreeFailures, 9)));
    e.until = now + hold;
    return hold;
}

void login_guard::make_room(double now)
{
    if (map_.size() < kMaxAddresses)
        return;
    std::erase_if(map_, [now](const auto &kv) { return now - kv.second.last > kForget && now >= kv.second.until; });
    if (map_.size() < kMaxAddresses)
        return;
    map_.erase(std::min_element(map_.begin(), map_.end(), [](const auto &a, const auto &b) {
        return a.second.last < b.second.last;
    }));
}

} // namespace ws
