// The card's parameters as the stand-in CLI server sees them when it serves
// a running card: read, listed and set through the card's web front end
// ("sv-ws" websocket dialogue on a loopback port), logged in as a user.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

// One parameter, as a CLI record shows it.
struct entry {
    std::string ref, label, type, readwrite;
    std::optional<std::string> value; // plain text; absent for a write-only one
    std::vector<std::string> choices;
    std::string help;
};

class front_end {
public:
    front_end(int port, std::string user, std::string password);
    ~front_end();
    front_end(const front_end &) = delete;
    front_end &operator=(const front_end &) = delete;

    // The parameters a CLI request reaches: "ref" reads one, "route/" (or
    // "/") lists every leaf below, "ref value" sets one and reads it back.
    // nullopt when the card does not answer in time.
    std::optional<std::vector<entry>> ask(std::string_view request);

private:
    bool open();
    void close();
    bool send_text(std::string_view text);
    // The next whole reply of the dialogue (up to its delimiter).
    std::optional<std::string> next_reply(std::chrono::steady_clock::time_point deadline);
    bool read_frames(std::chrono::steady_clock::time_point deadline);

    int port_;
    std::string user_, digest_;
    int fd_ = -1;
    std::string raw_;    // bytes received, not yet cut into frames
    std::string text_;   // text of the frames, not yet cut into replies
    std::string message_; // a fragmented message being joined
};

// Every node in one reply of the dialogue (a JSON object of nodes with
// nested "params"), in the reply's order, containers (type "List" or
// "Table") before what they hold.
std::vector<entry> nodes_of(std::string_view reply);

// Sent after every request: a search for the beginning of the front end's
// own route, so that its one match comes with its children hidden. The
// card answers one client's requests in order, and nothing it pushes has
// hidden children: that reply ends the request's replies.
inline constexpr std::string_view kEndQuery = "websocke";
inline constexpr std::string_view kEndRoute = "websocket";
bool is_end_reply(std::string_view reply);

} // namespace cliserver
