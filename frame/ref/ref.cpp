// The reference registry: one process-wide index of counted heap blocks,
// keyed by address.
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace {
struct Ref {
    kd_ref_release release;
    int count;
};

// The registry is meant for the loop thread, but a one-time event
// registration may be dropped on a data thread that emits; a mutex keeps
// the index sound then. It is never held while a release function runs.
std::mutex g_mutex;
std::unique_ptr<std::map<void *, Ref>> g_refs;

const char *me() { return kd_frame_plugin_get_name(nullptr); }

void release_block(void *ptr, kd_ref_release release)
{
    if (release)
        release(ptr);
    std::free(ptr);
}

void drop(void **pp, bool free_unregistered)
{
    void *ptr;
    kd_ref_release release = nullptr;
    {
        std::unique_lock lock(g_mutex);
        if (!g_refs) {
            lock.unlock();
            KD_LOG(KD_LOG_ERR, "[%s] Error: free called before init.\n", me());
            return;
        }
        if (!pp || !*pp) {
            lock.unlock();
            KD_LOG(KD_LOG_WARNING, "[%s] Warning: Freeing null pointer from reference tree.\n", me());
            return;
        }
        ptr = *pp;
        auto it = g_refs->find(ptr);
        if (it == g_refs->end()) {
            lock.unlock();
            if (free_unregistered) {
                std::free(ptr);
                *pp = nullptr;
            }
            return;
        }
        *pp = nullptr;
        if (--it->second.count > 0)
            return;
        release = it->second.release;
        g_refs->erase(it);
    }
    release_block(ptr, release);
}

void *take(void *ptr, bool safe)
{
    std::unique_lock lock(g_mutex);
    if (!g_refs) {
        lock.unlock();
        KD_LOG(KD_LOG_ERR, "[%s] Error: copy called before init.\n", me());
        return nullptr;
    }
    auto it = g_refs->find(ptr);
    if (it == g_refs->end())
        return safe ? ptr : nullptr;
    ++it->second.count;
    return ptr;
}
} // namespace

extern "C" void kd_ref_init(void)
{
    KD_LOG(KD_LOG_INFO, "[%s] Starting\n", me());
    {
        std::lock_guard lock(g_mutex);
        if (!g_refs)
            g_refs = std::make_unique<std::map<void *, Ref>>();
    }
    KD_LOG(KD_LOG_INFO, "[%s] Started\n", me());
}

extern "C" void kd_ref_fini(void)
{
    KD_LOG(KD_LOG_INFO, "[%s] Stopping\n", me());
    std::unique_ptr<std::map<void *, Ref>> refs;
    {
        std::lock_guard lock(g_mutex);
        refs = std::move(g_refs);
    }
    int remaining = 0;
    if (refs) {
        for (auto &[ptr, ref] : *refs) {
            release_block(ptr, ref.release);
            ++remaining;
        }
    }
    KD_LOG(KD_LOG_WARNING, "[%s] Freed %d remaining reference counted items.\n", me(), remaining);
    KD_LOG(KD_LOG_INFO, "[%s] Stopped\n", me());
}

extern "C" void kd_ref_init_ptr(void *ptr, kd_ref_release release)
{
    std::unique_lock lock(g_mutex);
    if (!g_refs) {
        lock.unlock();
        KD_LOG(KD_LOG_ERR, "[%s] Error: init ptr called before init.\n", me());
        return;
    }
    if (!ptr) {
        lock.unlock();
        KD_LOG(KD_LOG_WARNING, "[%s] Warning: Adding null pointer to reference tree.\n", me());
        return;
    }
    if (!g_refs->try_emplace(ptr, Ref{release, 1}).second) {
        lock.unlock();
        KD_LOG(KD_LOG_WARNING,
               "[%s] Warning: Attempting to add referenced pointer to reference tree: %p.\n", me(),
               ptr);
    }
}

extern "C" void *kd_ref_copy(void *ptr) { return take(ptr, false); }
extern "C" void *kd_ref_copy_safe(void *ptr) { return take(ptr, true); }
extern "C" void kd_ref_free(void **pp) { drop(pp, true); }
extern "C" void kd_ref_free_safe(void **pp) { drop(pp, false); }
