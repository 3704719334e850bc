// The ids each kind of row may take and how many rows of a kind there can
// be. The store's lists say which rows exist, and a start restores only
// what lies within these bounds; adding a row beyond them is refused for
// the same reason, so that nothing a user made is lost at the next start.
#pragma once

#include <cstddef>

namespace mcf::limits {

struct id_range {
    int first, last;
    constexpr bool holds(long long id) const { return id >= first && id <= last; }
};

// Net inputs sit below the ASI inputs (150 + port) and the internal flows
// (1000 and up); their labels count 1..50 from the id.
inline constexpr id_range kNetInputs{100, 149};
// As the rows' "ID" shows them.
inline constexpr id_range kKlvSources{0, 20};
inline constexpr id_range kCaSessions{0, 20};
// As many as the remove actions offer.
inline constexpr id_range kOutputs{0, 99};
inline constexpr id_range kServices{0, 99};
// One remap per PID of a program at most.
inline constexpr id_range kRemaps{0, 8191};

// Ids one list of the store holds: the integer sets the lists are read into.
inline constexpr size_t kListIds = 100;

} // namespace mcf::limits
