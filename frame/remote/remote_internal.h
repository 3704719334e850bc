// Pieces shared by the remote service's files; nothing here is exported.
#pragma once

#include <kerrow/frame.h>
#include <kerrow/remote.h>

#include <netdb.h>

#include <memory>

namespace kd::remote {

inline const char *me() { return kd_frame_plugin_get_name(nullptr); }

struct AddrInfoFree {
    void operator()(addrinfo *ai) const noexcept { freeaddrinfo(ai); }
};
using AddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

// getaddrinfo for any family; `err` holds its result (0 on success).
inline AddrInfo lookup(const char *node, const char *service, int flags, int socktype, int &err)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = flags;
    addrinfo *res = nullptr;
    err = getaddrinfo(node, service, &hints, &res);
    return AddrInfo(err == 0 ? res : nullptr);
}

// A temporary address record, released at scope end.
struct Addr {
    remote_addr ra{};
    Addr() = default;
    ~Addr() { kd_remote_addr_fini(&ra); }
    Addr(const Addr &) = delete;
    Addr &operator=(const Addr &) = delete;
};

} // namespace kd::remote
