// The framework brought up once in a libFuzzer process: a private root, no
// program may run, the log discarded (the journal never sees fuzz input).
// Whatever a driver starts after it, it stops with its own std::atexit.
#pragma once

#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <cstdlib>

namespace kdfuzz {

inline void discard_log(void *, int, const char *, int, const char *, const char *) {}

// hw_slot: the card's slot ("5" is a slave's, "8" the master's).
inline void start_framework(const char *hw_slot)
{
    static char root[] = "/tmp/kdfuzz.XXXXXX";
    if (!mkdtemp(root))
        std::abort();
    setenv("KD_ROOT", root, 1);
    setenv("KD_NO_RT", "1", 1);
    setenv("HW_SLOT", hw_slot, 1);
    unsetenv("KD_CMD_DIR");
    unsetenv("KD_LOG_STDERR");
    kd_log_set_sink(discard_log, nullptr);
    kd_frame_init();
    // Taken down at the end of the run, before the leak check looks.
    std::atexit([] { kd_frame_fini(); });
}

} // namespace kdfuzz
