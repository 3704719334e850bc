// Fuzz target: getnext positioning over a small fixed MIB (scalars, a
// carrier table and a two-index table) with CLI replies from the input.
// The first line is the asked sub-OID; the rest, cut at NUL bytes, are the
// replies the server gives in turn. Every answer must follow the asked
// sub-OID, and the walk must end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge.h"
#include "cli.h"
#include "mib_map.h"

namespace {

void fill_tables()
{
    auto &t = snmpbridge::mib();
    if (!t.suboid_to_cliref_raw.empty())
        return;
    t.suboid_to_cliref_raw = {
        {".1.1", "system/name"},
        {".1.2", "system/mode"},
        {".1.10", "system/location"},
        {".2.1.2", "proxy/carrier_%d/system/name"},
        {".2.1.3", "proxy/carrier_%d/system/mode"},
        {".3.1.3", "proxy/carrier_%d/input/%d/name"},
        {".3.1.4", "row%d/%d"},
        {".4.1.1", "broken/%d"}, // two indices, one "%d"
    };
    t.suboid_to_index_vec = {
        {".2.1.2", {"c"}}, {".2.1.3", {"c"}}, {".3.1.3", {"c", "i"}}, {".3.1.4", {"a", "b"}}, {".4.1.1", {"a", "b"}},
    };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fill_tables();
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    const size_t nl = in.find('\n');
    const std::string asked(in.substr(0, nl));
    std::vector<std::string> replies;
    if (nl != std::string_view::npos) {
        std::string_view rest = in.substr(nl + 1);
        for (size_t p = 0; p <= rest.size();) {
            const size_t z = std::min(rest.find('\0', p), rest.size());
            replies.emplace_back(rest.substr(p, z - p));
            p = z + 1;
        }
    }
    size_t asked_count = 0;
    snmpbridge::set_cli_transport([&](std::string_view) -> std::optional<std::string> {
        if (replies.empty() || ++asked_count > 10000)
            return std::nullopt;
        return replies[asked_count % replies.size()];
    });
    const auto a = snmpbridge::do_getnext(asked);
    if (a.ok && snmpbridge::oidCompare(a.suboid, asked) <= 0)
        __builtin_trap();
    snmpbridge::set_cli_transport(nullptr);
    return 0;
}
