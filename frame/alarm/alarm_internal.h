// What the alarm service shows its own tests.
#pragma once

#include <cstddef>

namespace kd {
// Entries of the in-memory change history (bounded).
size_t alarm_history_size();
} // namespace kd
