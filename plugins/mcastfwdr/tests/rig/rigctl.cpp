// libsv-rigctl: a test plug-in for the rig. It applies "route value" lines
// received on a unix datagram socket through the framework's set path, so a
// rig test can change a running card the way a front end would. Each
// datagram holds one line; a sender with a bound address gets "ok <value
// read back>" or "fail <reason>" back. The socket is $KD_RIG_SOCKET, or "/run/kd-rig.sock"
// under KD_ROOT. Never part of a deliverable.
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/plugin.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <ev.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
KD_API void rigctl_init(plugin_load_info *pli) noexcept;
KD_API cuvent_action rigctl_fini(void) noexcept;
}

namespace {

struct state {
    int fd = -1;
    std::string path;
    ev_io io{};
} g;

bool set_text(param_context *p, const char *text)
{
    switch (kd_param_get_type(p)) {
    case PARAMTYPE_NUMBER: return kd_param_get_number_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_CHOICE: return kd_param_get_choice_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_STRING: return kd_param_get_string_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_SET: return kd_param_get_set_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    default: return false;
    }
}

// "route value": the route ends at the first blank; the value is the rest
// (may be empty or hold blanks). Answers the reply text.
std::string apply(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    const auto blank = line.find(' ');
    if (line.empty() || blank == 0)
        return "fail no route";
    const std::string route = line.substr(0, blank);
    const std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    param_context *p = kd_param_get_by_route(route.c_str());
    if (!p)
        return "fail no such route";
    if (!set_text(p, value.c_str()))
        return "fail refused";
    KD_LOG(KD_LOG_INFO, "[rigctl] %s set to '%s'\n", route.c_str(), value.c_str());
    std::string reply = "ok";
    if (char *now = kd_param_get_value_text(p)) {
        reply += ' ';
        reply += now;
        std::free(now);
    }
    return reply;
}

void on_readable(struct ev_loop *, ev_io *w, int) noexcept
{
    char buf[4096];
    sockaddr_un from{};
    socklen_t fromlen = sizeof from;
    const ssize_t n = recvfrom(w->fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0)
        return;
    std::string reply;
    try {
        reply = apply(std::string(buf, static_cast<size_t>(n)));
    } catch (...) {
        reply = "fail internal";
    }
    if (fromlen > sizeof(sa_family_t))
        sendto(w->fd, reply.data(), reply.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), fromlen);
}

} // namespace

extern "C" void rigctl_init(plugin_load_info *) noexcept
{
    try {
        const char *env = std::getenv("KD_RIG_SOCKET");
        g.path = env && *env ? std::string(env) : kd::rooted("/run/kd-rig.sock");
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (g.path.size() >= sizeof a.sun_path) {
            KD_LOG(KD_LOG_ERR, "[rigctl] socket path too long: %s\n", g.path.c_str());
            return;
        }
        std::memcpy(a.sun_path, g.path.c_str(), g.path.size() + 1);
        g.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        unlink(g.path.c_str());
        if (g.fd < 0 || bind(g.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            KD_LOG(KD_LOG_ERR, "[rigctl] cannot bind %s: %s\n", g.path.c_str(), std::strerror(errno));
            if (g.fd >= 0)
                close(g.fd);
            g.fd = -1;
            return;
        }
        ev_io_init(&g.io, on_readable, g.fd, EV_READ);
        ev_io_start(kd_frame_get_loop(), &g.io);
        ev_unref(kd_frame_get_loop()); // the socket alone does not keep the loop alive
    } catch (...) {
    }
}

extern "C" cuvent_action rigctl_fini(void) noexcept
{
    if (g.fd >= 0) {
        ev_ref(kd_frame_get_loop());
        ev_io_stop(kd_frame_get_loop(), &g.io);
        close(g.fd);
        unlink(g.path.c_str());
        g.fd = -1;
    }
    return CUVACT_SUCCESS;
}
