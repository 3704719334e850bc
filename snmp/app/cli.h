// The bridge's side of the CLI server dialogue: one request line, a reply of
// record lines ended by an empty line, parsed into a chain of records.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace snmpbridge {

// One record of a CLI reply. "Label", "Type", "Readwrite" and "Ref" have
// their own fields; every other key ("Value", "Count", "Choices" ...) is in
// dict. A chain is owned through its first record.
struct cli_data_t {
    std::string label;
    std::string type;
    std::string readwrite;
    std::string ref;
    std::map<std::string, std::string> dict;
    std::unique_ptr<cli_data_t> next;

    cli_data_t() = default;
    cli_data_t(const cli_data_t &) = delete;
    cli_data_t &operator=(const cli_data_t &) = delete;
    // Unlinks the chain record by record: a long listing must not recurse.
    ~cli_data_t();

    const std::string *value() const;
};

// Request text to reply text, kept by a caller for the length of one
// operation so that each listing is asked once.
using reply_cache = std::unordered_map<std::string, std::string>;

// The socket path; a fixed platform path under KD_ROOT.
std::string cli_socket_path();

// Opens a connection to the CLI server, replacing any held one. One short
// attempt: a server that does not accept at once counts as absent.
bool init_cli_conn();
// Drops the held connection, if any.
void close_cli_conn();

// Sends one request and answers the whole reply (ending with its empty
// line). A failed write or a connection closed before the reply ends is
// retried once on a new connection; a server that cannot be reached, a
// reply not whole within the time bound or over the size bound answers
// nothing and drops the connection.
std::optional<std::string> cli_socket_comm(std::string_view request);

// Replaces the transport under cli() (tests and fuzzing); null restores the
// socket.
using cli_transport = std::function<std::optional<std::string>(std::string_view)>;
void set_cli_transport(cli_transport t);

// Asks the server (or the cache) and parses the reply. Answers the first
// record that is not of type "None", or null. *unreachable tells a server
// that gave no reply from one that had nothing to say.
std::unique_ptr<cli_data_t> cli(std::string_view request, reply_cache *cache = nullptr,
                                 bool *unreachable = nullptr);

// Parses reply text into records (dropping those of type "None").
std::unique_ptr<cli_data_t> parse_cli_reply(std::string_view reply);

std::string str_ltrim(std::string_view s);
std::string str_rtrim(std::string_view s);
std::string str_trim(std::string_view s);
// Removes one leading and one trailing double quote, each when present.
std::string str_remquotes(std::string_view s);
// A value as the CLI writes it, as the text it stands for: a quoted value
// loses its quotes and its backslash escapes (\" and \\).
std::string str_unquote(std::string_view s);

} // namespace snmpbridge
