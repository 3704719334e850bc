// libFuzzer target over the forwarder's restore of its rows at start: any
// store section (the lists saying which rows exist, remap values,
// passphrases) is loaded as the plug-in's init loads it, then the saved
// values are applied. Whatever the section held, every row has an id of its
// kind's range, no kind has more rows than its lists can name, every remap
// keeps valid PIDs, every passphrase has a length its setter takes, and the
// lists saved afterwards name exactly the rows that exist.
//
// Input: lines "<selector><key suffix>=<value>"; the selector byte picks
// the key's prefix (see kKeys), the suffix completes it.
#include "fuzz_engine.h"

#include "cfg/mcf_limits.h"
#include "cfg/mcf_list.h"
#include "param/mcf_store_keys.h"

#include <kerrow/param.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace limits = mcf::limits;

// The keys a line can name: a fixed key, or a prefix the line completes.
struct key_kind {
    const char *text;
    bool prefix;
};
constexpr key_kind kKeys[] = {
    {"mcastfwdr/ca_session_ids", false},     {"mcastfwdr/input_net_keys", false},
    {"mcastfwdr/klv_source_keys", false},    {"mcastfwdr/output_keys", false},
    {"mcastfwdr/pidmap_keys_", true},        {"mcastfwdr/rules/outputs/output_", true},
    {"mcastfwdr/rules/inputs/input_", true}, {"", true},
};

void store_lines(std::string_view in)
{
    while (!in.empty()) {
        const size_t nl = in.find('\n');
        std::string_view line = in.substr(0, nl);
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
        const size_t eq = line.find('=');
        if (line.empty() || eq == std::string_view::npos)
            continue;
        const key_kind &k = kKeys[static_cast<unsigned char>(line[0]) % std::size(kKeys)];
        std::string key = k.text;
        if (k.prefix)
            key.append(line.substr(1, eq - 1));
        const std::string value(line.substr(eq + 1));
        if (!key.empty() && key.find('\0') == std::string::npos && value.find('\0') == std::string::npos)
            kd_store_save_string(mcf_pli, key.c_str(), value.c_str());
    }
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The ids a saved list names, read with no rule of its own.
std::set<int> saved_ids(const char *key)
{
    char *text = nullptr;
    if (kd_store_load_string(mcf_pli, key, &text) != 0)
        return {};
    std::vector<mcf::store::skipped> skips;
    std::set<int> ids = mcf::store::parse_id_list(text, skips);
    std::free(text);
    check(skips.empty());
    return ids;
}

void check_rows()
{
    std::set<int> net, klv, ca;
    for (const cfg_rx &r : mcf::records<cfg_rx>(mcf_cfg.rules_rx)) {
        if (r.ingress_type != INGRTYPE_NET)
            continue;
        check(limits::kNetInputs.holds(r.ingress_id) && net.insert(r.ingress_id).second);
        const size_t n = strnlen(r.srt_passphrase, sizeof r.srt_passphrase);
        check(n >= 10 && n < sizeof r.srt_passphrase);
    }
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        check(limits::kKlvSources.holds(k.id) && klv.insert(k.id).second);
    for (const cfg_ca &c : mcf::records<cfg_ca>(mcf_cfg.ca_sessions))
        check(limits::kCaSessions.holds(c.id) && ca.insert(c.id).second);
    check(saved_ids("mcastfwdr/input_net_keys") == net);
    check(saved_ids("mcastfwdr/klv_source_keys") == klv);
    check(saved_ids("mcastfwdr/ca_session_ids") == ca);

    std::vector<mcf::store::keyed_ids> outputs;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        check(limits::kOutputs.holds(tx.dest_id));
        mcf::store::keyed_ids o{tx.dest_id, {}};
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services)) {
            check(limits::kServices.holds(s.service_id) && o.ids.insert(s.service_id).second);
            size_t in_effect = 0;
            for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps)) {
                check(limits::kRemaps.holds(m.id) && m.in_pid >= 0 && m.in_pid <= 8191);
                check(m.out_pid == m.in_pid || (m.out_pid >= 1 && m.out_pid <= 8190));
                in_effect += m.out_pid != m.in_pid;
            }
            check(in_effect <= limits::kListIds);
        }
        outputs.push_back(std::move(o));
    }
    char *text = nullptr;
    if (kd_store_load_string(mcf_pli, "mcastfwdr/output_keys", &text) == 0) {
        std::vector<mcf::store::skipped> skips;
        const auto saved = mcf::store::parse_keyed_lists(text, skips);
        std::free(text);
        check(skips.empty() && saved.size() == outputs.size());
        for (size_t i = 0; i < saved.size(); ++i)
            check(saved[i].id == outputs[i].id && saved[i].ids == outputs[i].ids);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mcffuzz::start_engine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    store_lines(std::string_view(reinterpret_cast<const char *>(data), size));
    store_ca_sessions_load_params();
    store_inputs_net_load_params();
    store_klv_sources_load_params();
    store_outputs_load_params();
    check_rows();
    kd_store_load_params(mcf_pli, kd_param_get_cfg(mcf_pli));
    check_rows();
    // The next input starts from a card with nothing configured.
    mcffuzz::stop_plugin();
    mcffuzz::start_plugin();
    return 0;
}
