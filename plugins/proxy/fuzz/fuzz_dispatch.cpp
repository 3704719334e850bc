// libFuzzer target over the proxy after the framer: what a peer sends is
// dispatched by the engine as on a live link (events emitted here, control
// messages, parameter records mirrored on the master or applied on the
// slave), on a scratch tree (the probe's) in a framework of its own.
//
// Input: one byte choosing the role (bit 0: this card is the master), one
// byte seeding the cuts, then the byte stream of the link. Nothing leaves
// the process: the link has no socket and no program may run.
#include "fuzz_frame.h"
#include "probe.h"
#include "proxy_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>
#include <kerrow/system.h>

#include <ev.h> // proxy_client owns its watcher

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

plugin_load_info *g_pli = nullptr;
// The relayed test event: its listener reads the data as an 8-byte record
// followed by a text end, as a listener of a text would.
constexpr const char *kRelayed = "fuzz_relay";
constexpr size_t kRelayedSize = 8;

void on_relayed(cuvent_wrapper *w) noexcept
{
    const auto *d = static_cast<const char *>(w->emit_ctx);
    if (!d || std::strlen(d + kRelayedSize) != 0)
        std::abort();
}

void start_framework()
{
    kdfuzz::start_framework("5"); // a slave: the master role is taken per input
    probe::build(__test_insert_active_plugin("probe", "/nowhere/libsv-probe.so"));
    g_pli = __test_insert_active_plugin("proxy", "/nowhere/libsv-proxy.so");
    proxy::st().opt.serve = false;
    proxy::init(g_pli);
    std::atexit([] { proxy::fini(); });
    kd_cuvent_register_cb(nullptr, kRelayed, on_relayed, nullptr, CUVFLT_NONE);
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", kRelayed);
    info.len = kRelayedSize;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
}

// Feeds the stream in cuts; stops once the link was reset.
void feed(proxy::proxy_client &c, const uint8_t *data, size_t size, unsigned seed)
{
    const unsigned gen = c.generation;
    size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(1 + (seed >> 16) % 512, size - at);
        const std::span<uint8_t> room = c.rx.space();
        if (room.empty())
            return;
        const size_t n = std::min(piece, room.size());
        std::memcpy(room.data(), data + at, n);
        c.rx.commit(n);
        at += n;
        if (!proxy::proxy_dispatch(c, gen))
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    start_framework();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    proxy::state &s = proxy::st();
    const bool master = data[0] & 1;
    const unsigned seed = data[1];
    data += 2;
    size -= 2;
    s.verctl_task_info = {};
    if (!master) {
        proxy::proxy_client &link = *s.clients.front();
        feed(link, data, size, seed);
        proxy::reset_client(link);
        return 0;
    }
    // A slave's link on the master, its mirror list made as at the connect.
    s.master = true;
    auto &c = *s.clients.emplace_back(std::make_unique<proxy::proxy_client>());
    c.slave_slot = 3;
    c.slave_ipaddr_str = "169.254.1.3";
    c.connected = true;
    c.top_param = kd_param_alloc_list(s.proxy_top, nullptr, "Carrier 3", nullptr);
    feed(c, data, size, seed);
    proxy::reset_client(c);
    s.clients.pop_back();
    s.master = false;
    return 0;
}
