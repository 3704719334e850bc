// The process-wide log hook.
#include "mpegts_internal.h"

namespace mpegts {
std::atomic<mpegts_on_log_f> log_hook{nullptr};
std::atomic<void *> log_ctx{nullptr};
} // namespace mpegts

extern "C" MPEGTS_API int mpegts_set_on_log(mpegts_on_log_f hook, void *ctx) noexcept
{
    // The context is published before the hook that reads it.
    mpegts::log_ctx.store(ctx, std::memory_order_relaxed);
    mpegts::log_hook.store(hook, std::memory_order_release);
    if (hook)
        hook(ctx, MPEGTS_LOG_INFO, "Ready\n");
    return 0;
}
