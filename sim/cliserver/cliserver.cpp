// Stand-in for the device's CLI server, for tests and the demo: serves
// parameters on the unix stream socket "/var/run/cli-server.sock" (under
// KD_ROOT), either a tree read from a file or a running card's own tree,
// reached through its web front end.
//
// Requests are lines: a reference reads one parameter, a route ending in
// "/" lists every parameter below it, "reference value" sets one. Replies
// are record lines ("Label: ..., Type: ..., Readwrite: ..., Ref: ...,
// Value: ...") ended by an empty line, or "No results found.".
//
// Sources (one of them):
//   --tree FILE        one parameter a line, fields separated by tabs:
//                        ref  type(String|Number|Choice)  readwrite  value  [choices "A, B, C"]
//                      A Choice without a list of choices takes any text.
//                      Lines beginning with "#" are comments.
//   --ws PORT          the card whose web front end listens on 127.0.0.1:PORT
//   --login USER:PASSWORD   (with --ws) the user it logs in as, to set values
// A card that does not answer in time closes the client's connection.
//
// Options that make it misbehave the ways a real server may:
//   --store REF=VALUE  a set of REF stores VALUE instead of what was asked
//   --bytewise         write replies one byte at a time
//   --wrap             continue every record on a second line after ","
//   --none             begin every reply with a record of type "None"
//   --drop-on REF      close the connection instead of answering REF
//   --hang-on REF      never answer REF (the connection stays open)
//   --one-shot         close the connection after every reply
//   --record FILE      append every request to FILE
#include "front_end.h"

#include <kerrow/path.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using cliserver::entry;

struct param {
    std::string type, readwrite, value;
    std::vector<std::string> choices;
};

struct options {
    std::map<std::string, std::string> store;
    bool bytewise = false, wrap = false, none = false, one_shot = false;
    std::string drop_on, hang_on, record;
};

std::map<std::string, param> g_tree;
options g_opt;
std::unique_ptr<cliserver::front_end> g_card; // serving a running card

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::string piece;
    std::istringstream in(s);
    while (std::getline(in, piece, sep))
        out.push_back(piece);
    return out;
}

std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool load_tree(const std::string &file)
{
    std::ifstream in(file);
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto f = split(line, '\t');
        if (f.size() < 3)
            continue;
        param p{f[1], f[2], f.size() > 3 ? f[3] : std::string(), {}};
        if (f.size() > 4)
            for (const auto &c : split(f[4], ','))
                p.choices.push_back(trim(c));
        g_tree[f[0]] = std::move(p);
    }
    return true;
}

// A record is one line: line breaks in a text (a card's help or value)
// become blanks.
std::string quoted(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c == '\n' || c == '\r' ? ' ' : c;
    }
    return out + "\"";
}

std::string record(const entry &e)
{
    std::string line = "Label: " + e.label + ", Type: " + e.type + ", Readwrite: " + e.readwrite + ", Ref: " + e.ref + ",";
    line += g_opt.wrap ? "\n" : " ";
    std::vector<std::string> fields;
    if (e.value)
        fields.push_back("Value: " + (e.type == "Number" ? *e.value : quoted(*e.value)));
    if (!e.choices.empty()) {
        std::string c;
        for (const auto &x : e.choices)
            c += (c.empty() ? "" : ", ") + x;
        fields.push_back("Choices: [" + c + "]");
    }
    fields.push_back("Help: " + quoted(e.help));
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i ? ", " : "") + fields[i];
    return line + "\n";
}

std::string record(const std::string &ref, const param &p)
{
    const size_t slash = ref.rfind('/');
    entry e{ref, ref.substr(slash == std::string::npos ? 0 : slash + 1), p.type, p.readwrite, std::nullopt,
            p.choices, "The " + ref + " setting, as in \"show\", of the unit"};
    if (p.readwrite.find("Write Only") == std::string::npos)
        e.value = p.value;
    return record(e);
}

bool valid(const param &p, const std::string &v)
{
    if (p.type == "Number")
        return !v.empty() && v.find_first_not_of("-0123456789") == std::string::npos;
    if (p.type == "Choice" && !p.choices.empty())
        return std::find(p.choices.begin(), p.choices.end(), v) != p.choices.end();
    return true;
}

// The card's answer; nullopt when it gave none in time.
std::optional<std::string> card_answer(const std::string &request, std::string out)
{
    const auto found = g_card->ask(request);
    if (!found)
        return std::nullopt;
    for (const entry &e : *found)
        out += record(e);
    return found->empty() ? "No results found.\n\n" : out + "\n";
}

std::optional<std::string> answer(const std::string &request)
{
    std::string out;
    if (g_opt.none)
        out += "Label: dir, Type: None, Readwrite: Read Only, Ref: " + request + "\n";
    if (request.empty())
        return "No results found.\n\n";
    if (g_card)
        return card_answer(request, std::move(out));
    const size_t blank = request.find(' ');
    if (blank != std::string::npos) {
        const std::string ref = request.substr(0, blank);
        std::string value = request.substr(blank + 1);
        const auto it = g_tree.find(ref);
        if (it == g_tree.end())
            return "No results found.\n\n";
        param &p = it->second;
        if (p.readwrite.find("Write") != std::string::npos && valid(p, value)) {
            const auto stored = g_opt.store.find(ref);
            p.value = stored == g_opt.store.end() ? value : stored->second;
        }
        return out + record(ref, p) + "\n";
    }
    size_t n = 0;
    if (request.back() == '/') {
        for (const auto &[ref, p] : g_tree)
            if (request == "/" || ref.starts_with(request)) {
                out += record(ref, p);
                ++n;
            }
    } else if (const auto it = g_tree.find(request); it != g_tree.end()) {
        out += record(it->first, it->second);
        ++n;
    }
    return n ? out + "\n" : "No results found.\n\n";
}

bool write_all(int fd, const std::string &s)
{
    const size_t step = g_opt.bytewise ? 1 : s.size();
    for (size_t at = 0; at < s.size();) {
        const ssize_t n = ::send(fd, s.data() + at, std::min(step, s.size() - at), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

struct client {
    int fd;
    std::string in;
};

// Serves the complete lines received so far; false closes the connection.
bool serve(client &c)
{
    for (size_t nl; (nl = c.in.find('\n')) != std::string::npos;) {
        const std::string request = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!g_opt.record.empty())
            std::ofstream(g_opt.record, std::ios::app) << request << std::endl;
        if (request == g_opt.drop_on)
            return false;
        if (request == g_opt.hang_on)
            continue;
        const auto reply = answer(request);
        if (!reply || !write_all(c.fd, *reply) || g_opt.one_shot)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string tree, login;
    int ws_port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has = i + 1 < argc;
        if (a == "--tree" && has)
            tree = argv[++i];
        else if (a == "--ws" && has)
            ws_port = std::atoi(argv[++i]);
        else if (a == "--login" && has)
            login = argv[++i];
        else if (a == "--store" && has) {
            const std::string kv = argv[++i];
            const size_t eq = kv.find('=');
            g_opt.store[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
        } else if (a == "--bytewise")
            g_opt.bytewise = true;
        else if (a == "--wrap")
            g_opt.wrap = true;
        else if (a == "--none")
            g_opt.none = true;
        else if (a == "--one-shot")
            g_opt.one_shot = true;
        else if (a == "--drop-on" && has)
            g_opt.drop_on = argv[++i];
        else if (a == "--hang-on" && has)
            g_opt.hang_on = argv[++i];
        else if (a == "--record" && has)
            g_opt.record = argv[++i];
        else {
            std::cerr << "cliserver: unknown option " << a << "\n";
            return 2;
        }
    }
    if (ws_port > 0 && ws_port < 65536) {
        const size_t colon = login.find(':');
        g_card = std::make_unique<cliserver::front_end>(ws_port, login.substr(0, colon),
                                                        colon == std::string::npos ? "" : login.substr(colon + 1));
    } else if (tree.empty() || !load_tree(tree)) {
        std::cerr << "cliserver: cannot read the tree file (--tree FILE), and no card to serve (--ws PORT)\n";
        return 2;
    }

    const std::string path = kd::rooted("/var/run/cli-server.sock");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        std::cerr << "cliserver: socket path too long: " << path << "\n";
        return 1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int lfd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(lfd, 16) != 0) {
        std::cerr << "cliserver: cannot listen on " << path << ": " << std::strerror(errno) << "\n";
        return 1;
    }

    std::vector<client> clients;
    for (;;) {
        std::vector<pollfd> fds{{lfd, POLLIN, 0}};
        for (const auto &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        std::vector<client> kept;
        for (size_t i = 0; i < clients.size(); ++i) {
            client &c = clients[i];
            bool keep = true;
            if (fds[i + 1].revents) {
                char buf[4096];
                const ssize_t n = ::recv(c.fd, buf, sizeof(buf), 0);
                if (n <= 0) {
                    keep = n < 0 && errno == EINTR;
                } else {
                    c.in.append(buf, static_cast<size_t>(n));
                    keep = serve(c);
                }
            }
            if (keep)
                kept.push_back(std::move(c));
            else
                ::close(c.fd);
        }
        clients = std::move(kept);
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back({fd, {}});
        }
    }
}
