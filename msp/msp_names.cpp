#include "msp/msp_names.h"

#include <iterator>
#include <map>
#include <mutex>

namespace {

// Rows in the order of the media processor's interface; of two rows with one
// code the later one's name stands.
const MspFunctionCode MspFunctionCodeTable[] = {
    {0x0000, "SUPVSR_READY"},
    {0x0001, "IRM_AVAILABLE"},
    {0x0010, "SUPVSR_CREATE_CHANNEL"},
    {0x0011, "SUPVSR_DESTROY_CHANNEL"},
    {0x0013, "SPU_FEATURES_CONTROL"},
    {0x0021, "SUPVSR_GET_ARM_CODE_VERSION"},
    {0x0022, "SUPVSR_GET_SPU_CODE_VERSION"},
    {0x0031, "SUPVSR_GET_DEVICE_TYPE"},
    {0x0100, "SET_ETH_HEADER"},
    {0x0123, "SELECT_MAX_TX_PARAMETERS"},
    {0x0302, "IP_SERVICE_CONFIG"},
    {0x0306, "IP_OPTIONS"},
    {0x0310, "IP_ADDRESS_v6"},
    {0x0407, "TDMPARAMS"},
    {0x040A, "SIGNALING_CFG"},
    {0x040C, "MONITOR_TDM_SIGNALING"},
    {0x040F, "DEVICE_STATUS"},
    {0x0410, "DEVICE_VERSION"},
    {0x0417, "TDM_SELECT_BUS_MODE"},
    {0x041C, "DEVICE_CP_SET_COUNTRY_CODE_PARAMS"},
    {0x0420, "MONITOR_TDM_SIG_CHANGE_IND"},
    {0x0425, "SUPVSR_SET_PCM_LAW"},
    {0x043D, "CONFIG_NT_RECOVERY"},
    {0x043E, "STATUS_NT_RECOVERY"},
    {0x043F, "NTG_CONFIG"},
    {0x0460, "IRM_GET_SFKEYS"},
    {0x0502, "PPPOE_SERVICE_CFG"},
    {0x8000, "VOPENA"},
    {0x8001, "VCEOPT"},
    {0x8002, "DTMFOPT"},
    {0x8003, "FAXOPT"},
    {0x8005, "DGAIN"},
    {0x8006, "ECHOCAN"},
    {0x8009, "TONEGEN"},
    {0x800C, "RTCPSTAT"},
    {0x800D, "TONEDET"},
    {0x800E, "SSRCCHG"},
    {0x800F, "PTCHNG"},
    {0x8010, "TCMPLT"},
    {0x8011, "FAXSTATE"},
    {0x8012, "LOOPBACK"},
    {0x8014, "TONEOFF"},
    {0x8017, "EVENTDET"},
    {0x8018, "PTMNG"},
    {0x801A, "VINFOTMR"},
    {0x801C, "VINFOIND"},
    {0x8026, "FAXLVL"},
    {0x8027, "SSRCVIOL"},
    {0x8029, "SS7COT"},
    {0x802C, "PTMNGRXOVR"},
    {0x8039, "CNDONGEN"},
    {0x803A, "CNDSETP"},
    {0x803C, "CNDSTOP"},
    {0x803D, "CNDDONE"},
    {0x805A, "CNRTYCODE"},
    {0x805B, "TONECTRL"},
    {0x805C, "VOIP_REMDET"},
    {0x805D, "SIGDET"},
    {0x806A, "PTDOPT"},
    {0x806E, "PROGRAM_TONE_ENGINE"},
    {0x806F, "PROGRAM_CADENCE_ENGINE"},
    {0x8085, "FAXSPLOPT"},
    {0x808B, "FOIP_SET_DATAGRAM"},
    {0x808C, "FOIP_GET_DATAGRAM"},
    {0x808E, "FOIP_FILLBIT_CTRL"},
    {0x8090, "JBOPT"},
    {0x80A0, "RTCPENA"},
    {0x80AD, "CNDRXMSG"},
    {0x80AE, "CNDDETSP"},
    {0x80B1, "CNDDETCTL"},
    {0x80B2, "EVRC_RTP_OPTIONS"},
    {0x80B3, "SIGNALING_ENABLE"},
    {0x80B5, "SET_TDM_SIGNALING"},
    {0x80B7, "SET_ATM_SIGNALING"},
    {0x80BE, "SET_PASSTHRU_AUTOSWITCH"},
    {0x80BF, "PASSTHRU_AUTOSWITCH_IND"},
    {0x80D1, "AGCSET"},
    {0x80D3, "QoS_THRESHOLD"},
    {0x80D4, "QoS_ALARM"},
    {0x80EE, "RTP_MONITOR_ENA"},
    {0x80EF, "RTP_MONITOR_IND"},
    {0x80FC, "RTCPSTATTMR"},
    {0x81EA, "CDMA_DTX_CONTROL"},
    {0x81EB, "CDMA_DTX_TUNE"},
    {0x8200, "SRTP_OPT"},
    {0x8201, "SRTP_KEY_DERIVATION"},
    {0x8610, "SET_BWE_PARAMS"},
    {0x8611, "BWE_EVENTDET"},
    {0x9000, "SET_IP_HDR_CHANNEL"},
    {0x9003, "SET_CHANNEL_IP_MODE"},
    {0x9010, "ETH_HDR_CHAN"},
    {0x9060, "SET_PPPOE_HDR_CHAN"},
    {0x9116, "VOIP_LEARN_IND"},
    {0x9117, "VOIP_TDET_CFG"},
    {0x9310, "CONF_CREATE_CONFERENCE"},
    {0x9311, "CONF_DESTROY_CONFERENCE"},
    {0x9312, "CONF_CREATE_PARTICIPANT"},
    {0x9313, "CONF_DESTROY_PARTICIPANT"},
    {0x9330, "MDIO_BUS_WRITE"},
    {0x9331, "MDIO_BUS_READ"},
    {0x9350, "HTDMOPT"},
    {0x9351, "HTDMSTAT"},
    {0x9400, "SET_CHANNEL_MODE"},
    {0x9402, "SYNCDAT"},
    {0x9403, "SYNCEOF"},
    {0x9405, "SET_AS_DRAIN"},
    {0x9406, "AS_DRAIN_COMPLETE_IND"},
    {0x9407, "SET_AS_STOP"},
    {0x9700, "MAC_HAIRPIN"},
};

const MspErrorCode MspErrorCodeTable[] = {
    {0x004C, "CNF_ERR_TDM_CONFIG_PARMS_FAILED_SELECT_MULT_INSTANCE", "Bus mode already configured."},
    {0x004F, "CNF_ERR_TSDRIVE_CHAN_ALREADY_CREATED", "Can not change because channel was already created."},
    {0x0171, "CNF_ERR_HAS_NOT_HANDLER", "Should send NACK and discard the message"},
    {0x050C, "CNF_ERROR_FOIP_INITIAL_INCOMPLETE", "Can not disable channel, it was not enabled."},
    {0x0A92, "CNF_ERROR_PPPOE_LAYER_ALREADY_EXISTS", "PPPOE layer already exists"},
    {0xFFBD, "ERR_TDMDRV_INVTS", "TDM timeslot is invalid"},
};

std::once_flag built;
std::map<uint32_t, const char*> msp_fc_names;
std::map<uint32_t, const MspErrorCode*> msp_error_names;

// Built once and never cleared, so lookups need no lock afterwards.
void build()
{
    std::call_once(built, [] {
        for (const auto& row : MspFunctionCodeTable)
            msp_fc_names[row.code] = row.name;
        for (const auto& row : MspErrorCodeTable)
            msp_error_names[row.code] = &row;
    });
}

}  // namespace

const char* msp_fc_name(uint32_t fc)
{
    build();
    auto it = msp_fc_names.find(fc);
    return it == msp_fc_names.end() ? nullptr : it->second;
}

const MspErrorCode* msp_error(uint32_t code)
{
    build();
    auto it = msp_error_names.find(code);
    return it == msp_error_names.end() ? nullptr : it->second;
}
