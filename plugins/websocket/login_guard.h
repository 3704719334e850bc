// Failed logins counted per client address. After kFreeFailures failures
// in a row an address waits before its next login: 1 s after the fifth
// failure, twice as long after each further one, at most kMaxHold. While an
// address waits every login from it is refused unheard (the right password
// too), without counting. A success forgets the address. Plain code: the
// caller gives the time (seconds of a monotonic clock).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace ws {

class login_guard {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr double kMaxHold = 300;
    // An address that failed no login for this long starts afresh.
    static constexpr double kForget = 3600;
    // Addresses kept at most; the one that failed longest ago goes first.
    static constexpr size_t kMaxAddresses = 1024;

    // Seconds the address must still wait; 0 when it may try.
    double wait_left(const std::string &addr, double now) const;
    // Counts a failure; answers the wait it starts (0: none yet).
    double failed(const std::string &addr, double now);
    void succeeded(const std::string &addr) { map_.erase(addr); }
    size_t size() const { return map_.size(); }

private:
    struct entry {
        int failures = 0;
        double last = 0;  // time of the last failure
        double until = 0; // no login before this time
    };
    void make_room(double now);
    std::unordered_map<std::string, entry> map_;
};

} // namespace ws
