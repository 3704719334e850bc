// The text dialogue of the websocket protocol: a message holds requests
// separated by the delimiter "!@#". A request is a route alone (a read, or a
// search when no parameter has that route) or a route, a blank and a value
// (a set). Plain code: no loop, no tree.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ws {

inline constexpr std::string_view kDelimiter = "!@#";

struct request {
    bool is_set;       // a value follows the route
    std::string route;
    std::string value; // a set's value; `""` on the wire stands for the empty text
};

// Cuts a whole message into its requests, in order, handing each to `take`
// as it is cut; stops early when `take` answers false. Each piece is
// trimmed of white space at both ends; empty pieces are dropped. Answers
// false when it stopped early.
bool for_each_request(std::string_view message, const std::function<bool(const request &)> &take);

// All the requests of a message, in order.
std::vector<request> parse_message(std::string_view message);

} // namespace ws
