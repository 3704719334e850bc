// An input's table handlers fed arbitrary packets: each 188-byte chunk
// goes, by its first byte, to the PAT, CAT, SDT, EMM, ECM or a PMT handler
// (the PMT handlers the PAT announced), as the PID index would route it.
#include "ingress/manager_input.h"
#include "tables/input_tables.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// What the handlers tell the rest of the engine, silenced.
extern "C" {
int mcf_post_log(int, const char *, ...) { return 0; }
int phindex_repopulate(void) { return 0; }
int mcf_post_program_status_add(uint32_t, uint32_t, const char *, ca_status) { return 0; }
int mcf_post_program_status_update(uint32_t, uint32_t, ca_status) { return 0; }
int mcf_post_program_status_clear(uint32_t) { return 0; }
int mcf_post_program_status_name(uint32_t, uint32_t, const char *) { return 0; }
int mcf_post_program_status_ca(uint32_t, uint32_t, ca_status) { return 0; }
cfg_ca *mcfcfg_ca_session_find_by_id(int) { return nullptr; }
int virtual_input_get_ingress_id(void) { return 1000; }
manager_input *manager_inputs_find_by_id(int) { return nullptr; }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto mi = std::make_unique<manager_input>();
    mi->id = 7;
    mi->is_routable = 1;
    auto info = std::make_unique<input_table_info>();
    mi->tables = info.get();
    if (input_tables_init(mi->tables, &mi->psi) != 0)
        return 0;
    for (size_t off = 0; off + 188 <= size; off += 188) {
        tsPkt pkt;
        std::memcpy(&pkt, data + off, 188);
        const uint8_t which = reinterpret_cast<uint8_t *>(&pkt)[0];
        reinterpret_cast<uint8_t *>(&pkt)[0] = 0x47;
        switch (which % 7) {
        case 0: process_pkt_pat(nullptr, &pkt, mi.get(), nullptr); break;
        case 1: process_pkt_cat(nullptr, &pkt, mi.get(), nullptr); break;
        case 2: process_pkt_sdt(nullptr, &pkt, mi.get(), nullptr); break;
        case 3: process_pkt_emm(nullptr, &pkt, mi.get(), nullptr); break;
        case 4: process_pkt_ecm(nullptr, &pkt, mi.get(), nullptr); break;
        default:
            if (info->num_programs > 0) {
                const int i = (which / 7) % info->num_programs;
                process_pkt_pmt(&info->services[i], &pkt, mi.get(), nullptr);
            }
            break;
        }
    }
    input_tables_fini(mi->tables, &mi->psi);
    return 0;
}
