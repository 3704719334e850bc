// The resolved IPv4 address record the forwarder's configuration keeps per
// input and output: resolution, port, and the tests it validates with.
#include "remote_internal.h"

#include <kerrow/log.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

using kd::remote::me;

namespace {

const sockaddr_in *sin_of(const remote_addr *ra)
{
    return kd_remote_addr_has_addr(ra) && ra->addr->sa_family == AF_INET
               ? reinterpret_cast<const sockaddr_in *>(ra->addr)
               : nullptr;
}

// The address in host order; callers checked that there is one.
uint32_t host_order(const remote_addr *ra) { return ntohl(sin_of(ra)->sin_addr.s_addr); }

bool has_ipv4(const remote_addr *ra) { return sin_of(ra) != nullptr; }

} // namespace

extern "C" KD_API void kd_remote_addr_fini(remote_addr *ra)
{
    if (!ra)
        return;
    std::free(ra->addr);
    std::free(ra->addrstr);
    *ra = remote_addr{};
}

extern "C" KD_API int kd_remote_addr_init(remote_addr *ra, const char *hostorip, const char *service)
{
    if (!ra)
        return -1;
    // Records are re-initialised in place when their text changes: release
    // what the previous address held.
    kd_remote_addr_fini(ra);
    if (!hostorip) {
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to init remote addr %s: %s\n", me(), "(null)",
               gai_strerror(EAI_NONAME));
        return -1;
    }
    ra->addrstr = strdup(hostorip);
    if (!ra->addrstr)
        return -1;
    int err = 0;
    auto res = kd::remote::lookup(hostorip, service, AI_ADDRCONFIG, SOCK_DGRAM, err);
    if (!res) {
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to init remote addr %s: %s\n", me(), hostorip,
               gai_strerror(err));
        return -1;
    }
    const addrinfo *ai = res.get();
    while (ai && ai->ai_family != AF_INET)
        ai = ai->ai_next;
    if (!ai) {
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to init remote addr %s: %s\n", me(), hostorip,
               "no IPv4 address");
        return -1;
    }
    auto *copy = static_cast<sockaddr *>(std::malloc(sizeof(sockaddr_in)));
    if (!copy)
        return -1;
    std::memcpy(copy, ai->ai_addr, sizeof(sockaddr_in));
    ra->addr = copy;
    ra->addrlen = sizeof(sockaddr_in);
    const unsigned oct = host_order(ra) >> 24;
    ra->is_mcast = oct >= 224 && oct <= 239; // class D, RFC 5771
    char text[INET_ADDRSTRLEN] = "";
    kd_remote_addr_get_addr(ra, text, sizeof text);
    KD_LOG(KD_LOG_INFO, "[%s] name is %s, addr is %s, oct is %d\n", me(), hostorip, text,
           static_cast<int>(oct));
    return 0;
}

extern "C" KD_API int kd_remote_addr_set_port(remote_addr *ra, int port)
{
    if (!has_ipv4(ra) || port < 1 || port > 65535)
        return -1;
    reinterpret_cast<sockaddr_in *>(ra->addr)->sin_port = htons(static_cast<uint16_t>(port));
    return 0;
}

extern "C" KD_API bool kd_remote_addr_is_mcast(const remote_addr *ra) { return ra && ra->is_mcast; }

extern "C" KD_API bool kd_remote_addr_has_addr(const remote_addr *ra) { return ra && ra->addr; }

extern "C" KD_API bool kd_remote_addr_is_any_local(const remote_addr *ra)
{
    return has_ipv4(ra) && host_order(ra) == INADDR_ANY;
}

extern "C" KD_API bool kd_remote_addr_is_empty(const remote_addr *ra)
{
    return has_ipv4(ra) && host_order(ra) == INADDR_NONE;
}

extern "C" KD_API bool kd_remote_addr_is_name(const remote_addr *ra)
{
    return ra && ra->addrstr && std::isalpha(static_cast<unsigned char>(ra->addrstr[0]));
}

extern "C" KD_API char *kd_remote_addr_get_addr(const remote_addr *ra, char *addrbuf, size_t len)
{
    const sockaddr_in *sin = sin_of(ra);
    if (!sin || !addrbuf || len > 0x7fffffff)
        return nullptr;
    return const_cast<char *>(
        inet_ntop(AF_INET, &sin->sin_addr, addrbuf, static_cast<socklen_t>(len)));
}
