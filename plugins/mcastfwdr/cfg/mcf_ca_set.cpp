// Setters and getters of a CA session record, and the KLV source's
// readiness to receive.
#include "mcf_cfg.h"
#include "mcf_services.h"

extern "C" {

int cfg_ca_set_type(cfg_ca *ca, encrypt_type type)
{
    if (!ca)
        return -1;
    ca->type = type;
    return 0;
}

#define MCF_CA_FLAG_SETTER(field)                                                                                      \
    int cfg_ca_set_##field(cfg_ca *ca, bool on)                                                                        \
    {                                                                                                                  \
        if (!ca)                                                                                                       \
            return -1;                                                                                                 \
        ca->field = on;                                                                                                \
        return 0;                                                                                                      \
    }                                                                                                                  \
    bool cfg_ca_get_##field(const cfg_ca *ca) { return ca && ca->field; }
MCF_CA_FLAG_SETTER(prevent_descrambled_forward)
MCF_CA_FLAG_SETTER(prevent_decoded_forward)
MCF_CA_FLAG_SETTER(insert_watermark)
#undef MCF_CA_FLAG_SETTER

int cfg_ca_set_biss2ca_esid(cfg_ca *ca, int esid)
{
    if (!ca || esid >= 65536)
        return -1;
    ca->biss2ca_esid = esid;
    return 0;
}

int cfg_ca_set_biss2ca_key_period(cfg_ca *ca, unsigned seconds)
{
    if (!ca || seconds < 1 || seconds > 120)
        return -1;
    ca->biss2ca_key_period = seconds;
    return 0;
}

int cfg_ca_set_biss2ca_emm_pid(cfg_ca *ca, unsigned pid)
{
    if (!ca || pid >= 8192)
        return -1;
    ca->biss2ca_emm_pid = pid;
    return 0;
}

int cfg_ca_set_biss2ca_ecm_pid(cfg_ca *ca, unsigned pid)
{
    if (!ca || pid >= 8192)
        return -1;
    ca->biss2ca_ecm_pid = pid;
    return 0;
}

encrypt_type cfg_ca_get_type(const cfg_ca *ca) { return ca ? ca->type : ECRTYPE_BISS2_CA; }
int cfg_ca_get_biss2ca_esid(const cfg_ca *ca) { return ca ? ca->biss2ca_esid : 0; }
unsigned cfg_ca_get_biss2ca_key_period(const cfg_ca *ca) { return ca ? ca->biss2ca_key_period : 0; }
unsigned cfg_ca_get_biss2ca_emm_pid(const cfg_ca *ca) { return ca ? ca->biss2ca_emm_pid : 0; }
unsigned cfg_ca_get_biss2ca_ecm_pid(const cfg_ca *ca) { return ca ? ca->biss2ca_ecm_pid : 0; }
const uint8_t *cfg_ca_get_biss2m1_csw(const cfg_ca *ca) { return ca ? ca->biss2m1_csw : nullptr; }
const uint8_t *cfg_ca_get_biss2me_esw(const cfg_ca *ca) { return ca ? ca->biss2me_esw : nullptr; }
const uint8_t *cfg_ca_get_biss2me_aid(const cfg_ca *ca) { return ca ? ca->biss2me_aid : nullptr; }

bool cfg_rx_klv_can_recv_data(const cfg_rx_klv *klv)
{
    return klv && mcf_ctrl_plane_configuration_is_loaded && mcastfwdr_eth_intf_is_operational(klv->intf) &&
           !cfg_rx_klv_ip_fields_incomplete(klv);
}

} // extern "C"
