// Fuzz target: a CLI server reply, as the bridge parses it and converts its
// values. Every parsed text must lie within the reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bridge.h"
#include "cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view reply(reinterpret_cast<const char *>(data), size);
    const auto first = snmpbridge::parse_cli_reply(reply);
    for (const snmpbridge::cli_data_t *r = first.get(); r; r = r->next.get()) {
        if (r->type == "None")
            __builtin_trap();
        for (const auto &[key, value] : r->dict)
            if (key.size() > size || value.size() > size)
                __builtin_trap();
        const auto a = snmpbridge::get_get_data(r->ref, r);
        // An answer is written as lines: no value may break one.
        if (a.value.find('\n') != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
