// What the routing reads of an output manager (see output_view.h).
#include "output_view.h"

#include "tables/virtual_input.h"

namespace mcf {

bool out_takes_virtual_source(const manager_output *mo, int input_id)
{
    const int virt_id = virtual_input_get_ingress_id();
    manager_input *virt = virtual_input_get_manager();
    if (!virt || !virt->tables)
        return false;
    for (const out_services &s : mo->unique_inputs) {
        if (s.input_id != virt_id)
            continue;
        for (const routed_pgm_cfg &p : s.services) {
            const local_pmt *pmt = input_table_info_get_service(virt->tables, p.pnu);
            if (!pmt)
                continue;
            if (pmt->pcr_ingress_id == input_id)
                return true;
            for (int e = 0; e < pmt->num_pmt_entries && e < LOCAL_PMT_ENTRIES_MAX; ++e)
                if (pmt->pmt_entries[e].ingress_id == input_id)
                    return true;
        }
    }
    return false;
}

std::vector<out_program> out_programs(const manager_output *mo)
{
    std::vector<out_program> v;
    for (const out_services &s : mo->unique_inputs)
        for (const routed_pgm_cfg &p : s.services)
            v.push_back({s.input_id, p.pnu, p.ca_session_id, p.pid_maps,
                         p.num_pid_maps < MO_PID_MAPS_MAX ? p.num_pid_maps : unsigned(MO_PID_MAPS_MAX)});
    return v;
}

std::vector<int> out_inputs(const manager_output *mo)
{
    std::vector<int> v;
    for (const out_services &s : mo->unique_inputs)
        v.push_back(s.input_id);
    return v;
}

} // namespace mcf
