// The framework brought up once in a libFuzzer process: a private root, no
// program may run, the log discarded (the journal never sees fuzz input).
// Whatever a driver starts after it, it stops with its own std::atexit.
#pragma once

#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kdfuzz {

inline void discard_log(void *, int, const char *, int, const char *, const char *) {}

// The private root: /tmp/kdfuzz.<pid>.XXXXXX.
inline std::string g_root;

// Roots left by runs that were killed (their process is gone).
inline void sweep_dead_roots()
{
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/tmp", ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("kdfuzz.", 0) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + 7, nullptr, 10);
        if (pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(e.path(), ec);
    }
}

// hw_slot: the card's slot ("5" is a slave's, "8" the master's).
inline void start_framework(const char *hw_slot)
{
    sweep_dead_roots();
    std::string root = "/tmp/kdfuzz." + std::to_string(getpid()) + ".XXXXXX";
    if (!mkdtemp(root.data()))
        std::abort();
    g_root = root;
    setenv("KD_ROOT", root.c_str(), 1);
    setenv("KD_NO_RT", "1", 1);
    setenv("HW_SLOT", hw_slot, 1);
    unsetenv("KD_CMD_DIR");
    unsetenv("KD_LOG_STDERR");
    kd_log_set_sink(discard_log, nullptr);
    kd_frame_init();
    // Taken down at the end of the run, before the leak check looks; the
    // root goes with it.
    std::atexit([] {
        kd_frame_fini();
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    });
}

} // namespace kdfuzz
