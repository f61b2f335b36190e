#include "msp/comcerto_device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/main_loop.h"
#include "core/mutex.h"
#include "core/netif.h"
#include "mgmt/var_store.h"
#include "msp/function_codes.h"
#include "msp/msp_indications.h"
#include "msp/msp_protocol.h"
#include "msp/msp_transaction.h"

std::string msp_device_name;
std::string msp_fw_version;
std::string msp_spu_version;
std::atomic<int> msp_capacity{0};
std::atomic<int> msp_open_connections{0};
int msp_raw_socket = -1;
int msp_eth0_ifindex = 0;
std::atomic<bool> msp_ntg_enabled{false};
std::atomic<uint16_t> msp_nt_status{0};
std::atomic<int> msp_sync_channel{0xFFFF};
std::atomic<bool> msp_nt_recovery_parked{false};

const MspDeviceType MspDeviceTypeTable[MSP_DEVICE_TYPES] = {
    {"Mxxxxx", 0},   {"M82530", 64},  {"M82520", 32},  {"M82510", 16},  {"M82505", 0},   {"M82610", 0},
    {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"M82710", 0},   {"M82515", 32},  {"M82511", 16},
    {"M82506", 8},   {"M82501", 4},   {"M82514", 24},  {"M82524", 48},  {"M82910", 0},   {"M82708", 0},
    {"M82359", 160}, {"M82358", 142}, {"M82356", 107}, {"M82354", 71},  {"M82353", 53},  {"M82349", 160},
    {"M82348", 142}, {"M82346", 107}, {"M82344", 71},  {"M82343", 53},  {"M82352", 36},  {"M82351", 18},
    {"M82342", 36},  {"M82341", 18},  {"M82908", 0},   {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0},
    {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0},
    {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0}, {"Reserved", 0},
    {"M82803", 0},   {"M82801", 0},   {"M82805", 0},   {"M82810", 0},   {"M82815", 0},   {"M82820", 0},
};

namespace {

// Refusals start-up tolerates.
constexpr int CNF_ERR_TSDRIVE_CHAN_ALREADY_CREATED = -0x4F;
constexpr int CNF_ERR_TDM_CONFIG_PARMS_FAILED_SELECT_MULT_INSTANCE = -0x4C;
constexpr int CNF_ERROR_PPPOE_LAYER_ALREADY_EXISTS = -0xA92;

constexpr uint8_t MEDIA_MAC[6] = {0x00, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e};

// The call-progress parameters of the four country codes, in the device's own format.
constexpr uint16_t COUNTRY_BLOCKS[4][46] = {
    {0x0000, 0x0BB8, 0x0BB8, 0x0000, 0x0000, 0x0BB8, 0x0BB8, 0x0000, 0x0000, 0x0122, 0x01F4, 0x0122,
     0x01F4, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0000, 0x0000, 0x4000, 0x0000, 0x0000, 0x0000, 0x0000,
     0x0000, 0x4000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0054,
     0x002C, 0x0200, 0x0000, 0x4000, 0x3E2F, 0x8ADD, 0x409B, 0x0000, 0xC137, 0x7523},
    {0x0001, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8,
     0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x1CD7, 0xDB22, 0x21E4, 0x0000, 0xC28B, 0x49BF, 0x1C4C,
     0xECB0, 0x2237, 0x0000, 0xC2FA, 0x26A3, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x00FA,
     0x00E6, 0x0200, 0x0014, 0x4000, 0x0E70, 0xF626, 0x1175, 0x0000, 0xC2FA, 0x26A3},
    {0x0002, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8,
     0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x1CCE, 0x1B5E, 0x1F7A, 0x0000, 0xC16A, 0xC689, 0x1CCE,
     0x1B5E, 0x1F7A, 0x0000, 0xC16A, 0xC689, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0094,
     0x006C, 0x0200, 0x0010, 0x4000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000},
    {0x0003, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8,
     0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x0BB8, 0x18E1, 0xD2A4, 0x1A08, 0x0000, 0xC0BA, 0x7168, 0x18E1,
     0xD2A4, 0x1A08, 0x0000, 0xC0BA, 0x7168, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x008E,
     0x0082, 0x0200, 0x0010, 0x4000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000},
};

// Guards msp_ip6_address and msp_ip6_prefix.
Mutex msp_device_mutex;
uint8_t msp_ip6_address[16] = {};
int msp_ip6_prefix = 0;

struct Answer {
    uint8_t bytes[256];
    int length = sizeof bytes;

    uint16_t w(int offset) const { return offset + 2 <= length ? msp_get_u16(bytes, offset) : 0; }
};

int passthru(MspMessage& m, Answer& a)
{
    a.length = sizeof a.bytes;
    return DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), a.bytes, &a.length);
}

int passthru(MspMessage& m)
{
    Answer a;
    return passthru(m, a);
}

// A command with one parameter word at byte 8: 12 bytes sent, 10 in byte 0.
int command_w8(uint16_t fc, uint16_t w8)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, fc, 2);
    m.u16(8, w8);
    return passthru(m);
}

int logged(int rc, const char* what)
{
    if (rc != 0)
        LOG(LOGF_GENERAL, 3, "%s() failed (result=%d)", what, rc);
    return rc;
}

// Timeslot 255 is never swept.
void sweep_dead_channels()
{
    for (int ts = 0; ts < 255 && !shutdown_requested; ts++) {
        MspMessage q(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, FC_SUPVSR_CREATE_CHANNEL, 2);
        q.u16(8, static_cast<uint16_t>(ts));
        Answer a;
        if (passthru(q, a) != 0 || a.length < 10)
            continue;
        uint16_t channelId = a.w(8);
        if (channelId == 0xFFFF)
            continue;
        LOG(LOGF_GENERAL, 4, "***> dead channel %d found (channelId=0x%04x)", ts, channelId);
        MspMessage d(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SUPVSR_DESTROY_CHANNEL, 2);
        d.u16(8, channelId);
        int rc = passthru(d);
        if (rc != 0)
            LOG(LOGF_GENERAL, 3, "***> SUPVSR_DESTROY_CHANNEL failed (result=%d)", rc);
    }
}

void read_identity()
{
    int type = -1;
    std::string name = "Unknown";
    if (comcerto_getDeviceType(&type) == 0 && type >= 0 && type < MSP_DEVICE_TYPES) {
        name = MspDeviceTypeTable[type].name;
        msp_capacity = MspDeviceTypeTable[type].capacity;
    }
    int revision = -1;
    if (comcerto_getDeviceVersion(&revision) != 0)
        revision = -1;
    msp_device_name = name + " Rev." + static_cast<char>('A' + revision);
    if (comcerto_getARMcodeVersion(msp_fw_version) != 0)
        msp_fw_version = "n/a";
    if (comcerto_getSPUcodeVersion(msp_spu_version) != 0)
        msp_spu_version = "n/a";
    LOG(LOGF_GENERAL, 6, "Comcerto C300 device: %s", msp_device_name.c_str());
    LOG(LOGF_GENERAL, 6, "Comcerto C300 firmware version: %s", msp_fw_version.c_str());
    LOG(LOGF_GENERAL, 6, "Comcerto C300 SPU version: %s", msp_spu_version.c_str());
    LOG(LOGF_GENERAL, 6, "Device initialized successfully");
}

// The fatal steps of start-up after the socket is open.
bool configure()
{
    int rc = supvsr_set_pcm_law();
    if (rc != 0 && rc != CNF_ERR_TSDRIVE_CHAN_ALREADY_CREATED)
        logged(rc, "supvsr_set_pcm_law");
    rc = tdm_select_bus_mode();
    if (rc != 0 && rc != CNF_ERR_TDM_CONFIG_PARMS_FAILED_SELECT_MULT_INSTANCE)
        logged(rc, "tdm_select_bus_mode");
    int tdm = setup_tdm_params();
    logged(send_signaling_config(0xDD04), "send_signaling_config");
    if (tdm != 0) {
        logged(tdm, "setup_tdm_params");
        LOG(LOGF_GENERAL, 3, "TDM initialization failed (result=%d)", tdm);
        return false;
    }
    LOG(LOGF_GENERAL, 6, "TDM initialized successfully");

    uint8_t mac[6] = {};
    if (get_if_hwaddr("eth0", mac) != 0)
        LOG(LOGF_GENERAL, 3, "cannot get eth0 MAC address: %s", strerror(errno));
    LOG(LOGF_GENERAL, 6, "Device mac address: %02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
        mac[5]);
    set_eth_hdr(1, mac, mac, 0x0800, "IP");
    set_eth_hdr(6, mac, mac, 0x86DD, "IPv6");
    set_eth_hdr(8, mac, mac, 0x8864, "PPPoE");
    if (set_eth_hdr(5, MEDIA_MAC, mac, 0x889B, "MEDIA") != 0)
        return false;
    if (logged(set_mac_hairpin(), "set_mac_hairpin") != 0)
        return false;
    rc = set_pppoe();
    if (rc != 0 && rc != CNF_ERROR_PPPOE_LAYER_ALREADY_EXISTS) {
        logged(rc, "set_pppoe");
        return false;
    }
    if (logged(set_ip_config(), "set_ip_config") != 0)
        return false;
    if (logged(set_ip_options(), "set_ip_options") != 0)
        return false;
    for (const auto& block : COUNTRY_BLOCKS)
        logged(setCountryParams(block), "setCountryParams");
    MDOI_write(13, 22, 2);
    MDOI_write(13, 16, 0x0288);
    MDOI_write(13, 22, 0);
    MDOI_write(13, 4, 0x0061);
    MDOI_write(13, 0, 0x9100);
    logged(comcerto_startHeartbeat(1), "comcerto_startHeartbeat");
    return true;
}

int comcerto_IRM_AVAILABLE_unchecked()
{
    MspMessage m(MSP_CLASS_IRM, MSP_TYPE_IRM, FC_IRM_AVAILABLE, 2);
    m.u16(8, 1);
    Answer a;
    int rc = logged(passthru(m, a), "comcerto_IRM_AVAILABLE");
    if (rc != 0)
        return -1;
    if (a.length < 24) {
        LOG(LOGF_GENERAL, 3, "comcerto_IRM_AVAILABLE(): answer too short (%d bytes)", a.length);
        return -1;
    }
    return static_cast<int>(msp_get_u32(a.bytes, 20) & 0x7FFFFFFFu);
}

void close_control_socket()
{
    main_pollfds[POLLFD_MSP].fd = -1;
    msp_socket_close(msp_socket.exchange(-1));
}

// A stop requested while the device starts ends the start-up: the commands
// still waiting give up, and the rest are not sent.
struct AbandonOnStop {
    AbandonOnStop() { msp_set_abandon_on_stop(true); }
    ~AbandonOnStop() { msp_set_abandon_on_stop(false); }
};

bool stopped_during_init()
{
    if (!shutdown_requested)
        return false;
    LOG(LOGF_GENERAL, 5, "stop requested: media processor start-up abandoned");
    close_control_socket();
    return true;
}

}  // namespace

int comcerto_init()
{
    AbandonOnStop abandon;
    int fd = msp_socket_create();
    if (fd < 0) {
        LOG(LOGF_GENERAL, 3, "Cannot create MSP control socket: %s", strerror(errno));
        return -1;
    }
    unsigned eth1 = if_nametoindex("eth1");
    msp_address = msp_address_make(eth1);
    if (msp_socket_bind(fd, MSP_MAC, eth1) < 0) {
        LOG(LOGF_GENERAL, 3, "MSP control socket setsockopt error: %s", strerror(errno));
        msp_socket_close(fd);
        return -1;
    }
    // A blocking socket still works: every read and send asks not to wait.
    int flags = msp_socket_get_flags(fd);
    if (flags < 0)
        LOG(LOGF_GENERAL, 3, "cannot get MSP socket flags: %s", strerror(errno));
    else if (msp_socket_set_flags(fd, flags | O_NONBLOCK) < 0)
        LOG(LOGF_GENERAL, 3, "cannot set NONBLOCK flag on MSP socket: %s", strerror(errno));
    msp_socket = fd;
    msp_set_indication_handler(msp_process_indication);
    main_pollfds[POLLFD_MSP].fd = fd;

    if (logged(set_SPU_features(), "set_SPU_features") != 0 && !shutdown_requested) {
        sleep(1);
        logged(set_SPU_features(), "set_SPU_features");
    }
    if (stopped_during_init())
        return -1;

    MspMessage keys(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, FC_IRM_GET_SFKEYS, 4);
    keys.u16(8, 0xFFFF).u16(10, 0xFFFF);
    Answer a;
    if (passthru(keys, a) == 0)
        LOG(LOGF_GENERAL, 6, "==> SFKEYS: %04x %04x %04x %04x", a.w(4), a.w(8), a.w(10), a.w(12));

    sweep_dead_channels();
    if (stopped_during_init())
        return -1;
    read_identity();
    if (stopped_during_init())
        return -1;
    if (!configure()) {
        close_control_socket();
        return -1;
    }

    if (stopped_during_init())
        return -1;
    if (msp_capacity == 0)
        msp_capacity = comcerto_IRM_AVAILABLE_unchecked();
    LOG(LOGF_GENERAL, 6, "Channels available: %d (G.711 20ms)", msp_capacity.load());

    msp_raw_socket = socket(AF_PACKET, SOCK_RAW, 255);
    if (msp_raw_socket < 0)
        LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
    unsigned eth0 = if_nametoindex("eth0");
    if (eth0 == 0)
        LOG(LOGF_GENERAL, 3, "cannot get eth0 index: %s", strerror(errno));
    msp_eth0_ifindex = static_cast<int>(eth0);

    msp_ready = true;
    return 0;
}

void comcerto_destroy()
{
    if (!msp_ready)
        return;
    logged(comcerto_startHeartbeat(0), "comcerto_startHeartbeat");
    if (msp_raw_socket >= 0)
        close(msp_raw_socket);
    msp_raw_socket = -1;
    LOG(LOGF_GENERAL, 6, "Destroying comcerto device.");
    logged(send_signaling_config(0), "send_signaling_config");
    close_control_socket();
    msp_ready = false;
}

// Two parameter words, the second zero: 12 bytes, and 12 in byte 0 (the
// firmware reads the length byte, not the padding).
int set_SPU_features()
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SPU_FEATURES_CONTROL, 4);
    m.u16(8, 4).u16(10, 0);
    return passthru(m);
}

int comcerto_getDeviceType(int* type)
{
    MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, FC_SUPVSR_GET_DEVICE_TYPE, 0);
    Answer a;
    int rc = logged(passthru(m, a), "comcerto_getDeviceType");
    if (rc == 0)
        *type = a.length >= 10 ? a.w(8) : -1;
    return rc;
}

int comcerto_getDeviceVersion(int* revision)
{
    MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, FC_DEVICE_VERSION, 0);
    Answer a;
    int rc = logged(passthru(m, a), "comcerto_getDeviceVersion");
    if (rc == 0)
        *revision = a.length >= 9 ? a.bytes[8] : -1;
    return rc;
}

namespace {

int version_query(uint16_t fc, std::string& version, const char* what)
{
    MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, fc, 0);
    Answer a;
    int rc = logged(passthru(m, a), what);
    if (rc == 0) {
        // Zero-terminated, but never beyond what arrived.
        const char* text = reinterpret_cast<const char*>(a.bytes) + 8;
        size_t room = a.length > 8 ? static_cast<size_t>(a.length - 8) : 0;
        version.assign(text, strnlen(text, room));
    }
    return rc;
}

}  // namespace

int comcerto_getARMcodeVersion(std::string& version)
{
    return version_query(FC_SUPVSR_GET_ARM_CODE_VERSION, version, "comcerto_getARMcodeVersion");
}

int comcerto_getSPUcodeVersion(std::string& version)
{
    return version_query(FC_SUPVSR_GET_SPU_CODE_VERSION, version, "comcerto_getSPUcodeVersion");
}

int supvsr_set_pcm_law() { return command_w8(FC_SUPVSR_SET_PCM_LAW, 1); }

int tdm_select_bus_mode() { return command_w8(FC_TDM_SELECT_BUS_MODE, 2); }

int setup_tdm_params()
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_TDMPARAMS, 6);
    m.u16(8, 0x8280).u16(10, 0x07FF).u16(12, 0x03FF);
    return passthru(m);
}

int send_signaling_config(uint16_t mode)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SIGNALING_CFG, 34);
    m.u16(8, mode);
    return passthru(m);
}

int set_eth_hdr(uint16_t protocol, const uint8_t destination[6], const uint8_t source[6], uint16_t etherType,
                const char* what)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SET_ETH_HEADER, 16);
    m.u16(8, protocol).bytes(10, destination, 6).bytes(16, source, 6);
    m.u8(22, static_cast<uint8_t>(etherType >> 8)).u8(23, static_cast<uint8_t>(etherType));
    int rc = passthru(m);
    if (rc != 0)
        LOG(LOGF_GENERAL, 3, "set_eth_hdr(%s) failed (result=%d)", what, rc);
    return rc;
}

int set_mac_hairpin() { return command_w8(FC_MAC_HAIRPIN, 1); }

int set_pppoe() { return command_w8(FC_PPPOE_SERVICE_CFG, 0); }

int set_ip_config() { return command_w8(FC_IP_SERVICE_CONFIG, 0x0200); }

int set_ip_options() { return command_w8(FC_IP_OPTIONS, 0x0013); }

int setCountryParams(const uint16_t block[46])
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_DEVICE_CP_SET_COUNTRY_CODE_PARAMS, 92);
    for (int i = 0; i < 46; i++)
        m.u16(8 + 2 * static_cast<size_t>(i), block[i]);
    return passthru(m);
}

int comcerto_startHeartbeat(int on)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_DEVICE_STATUS, 8);
    m.u16(8, static_cast<uint16_t>(on)).u16(12, 4);
    return passthru(m);
}

int set_gemac_mode(int port, int mode)
{
    return logged(command_w8(FC_SELECT_MAX_TX_PARAMETERS, static_cast<uint16_t>(port << 8 | mode)), "set_gemac_mode");
}

int monitor_tdm_signaling(int timeslot, bool on, int value)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_MONITOR_TDM_SIGNALING, 4);
    uint16_t word = static_cast<uint16_t>((on ? 0x25 : 0x24) | static_cast<uint8_t>(static_cast<int8_t>(value)) << 8);
    m.u16(8, word).u16(10, static_cast<uint16_t>(timeslot));
    return logged(passthru(m), "monitor_tdm_signaling");
}

int NT_Recovery_internal(int timeslot)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_CONFIG_NT_RECOVERY, 6);
    m.u16(8, static_cast<uint16_t>(msp_ntg_enabled ? timeslot : 255)).u16(12, 1);
    return logged(passthru(m), "NT_Recovery_internal");
}

int comcerto_NTG_CONFIG(bool enable, bool f1, bool f2, bool f3)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_NTG_CONFIG, 4);
    uint16_t flags = enable ? static_cast<uint16_t>((f1 ? 4 : 0) | (f2 ? 2 : 0) | (f3 ? 1 : 0)) : 0;
    m.u16(8, enable ? 1 : 0).u16(10, flags);
    int rc = logged(passthru(m), "comcerto_NTG_CONFIG");
    if (rc == 0) {
        msp_ntg_enabled = enable;
        comcerto_publish_nt_status();
    }
    return rc;
}

void comcerto_publish_nt_status()
{
    poller_publish_var(".3.0", MyVarValue(MyVarValue::INT16, msp_ntg_enabled ? msp_nt_status.load() : 0));
}

void comcerto_set_sync_channel(int timeslot)
{
    msp_sync_channel = timeslot;
    if (!msp_nt_recovery_parked)
        NT_Recovery_internal(timeslot);
}

int comcerto_set_ip6(const uint8_t address[16], int prefixLength)
{
    {
        MutexLock lock(msp_device_mutex);
        memcpy(msp_ip6_address, address, 16);
        msp_ip6_prefix = prefixLength;
    }
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_IP_ADDRESS_v6, 16);
    m.bytes(8, address, 16);
    return logged(passthru(m), "comcerto_set_ip6");
}

void comcerto_get_ip6(uint8_t out[16], int* prefixLength)
{
    MutexLock lock(msp_device_mutex);
    memcpy(out, msp_ip6_address, 16);
    if (prefixLength)
        *prefixLength = msp_ip6_prefix;
}

int comcerto_IRM_AVAILABLE()
{
    if (!msp_ready)
        return -1;
    return comcerto_IRM_AVAILABLE_unchecked();
}

int comcerto_get_load()
{
    if (!msp_ready || msp_capacity < 0)
        return -1;
    int available = comcerto_IRM_AVAILABLE();
    if (available < 0)
        return -1;
    int capacity = msp_capacity;
    if (capacity < available) {
        msp_capacity = available;
        return 0;
    }
    // A device without capacity and nothing available is not loaded.
    if (capacity == 0)
        return 0;
    return (capacity - available) * 100 / capacity;
}

int comcerto_get_channel_usage()
{
    int capacity = msp_capacity;
    if (capacity <= 0)
        return 0;
    return msp_open_connections * 100 / capacity;
}

int MDOI_read(int phy, int reg)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_MDIO_BUS_READ, 8);
    m.u16(10, static_cast<uint16_t>(phy & 0x1F)).u16(12, static_cast<uint16_t>(reg & 0x1F));
    Answer a;
    int rc = passthru(m, a);
    if (rc != 0) {
        LOG(LOGF_GENERAL, 3, "MDOI_read() failed (result=%d)", rc);
        return -1;
    }
    if (a.length < 18) {
        LOG(LOGF_GENERAL, 3, "MDOI_read(): answer too short (%d bytes)", a.length);
        return -1;
    }
    if (uint16_t status = a.w(8)) {
        LOG(LOGF_GENERAL, 3, "FC_MDIO_BUS_READ failed (result=%04x)", status);
        return -1;
    }
    return a.w(16);
}

int MDOI_write(int phy, int reg, int value)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_MDIO_BUS_WRITE, 8);
    m.u16(10, static_cast<uint16_t>(phy & 0x1F))
        .u16(12, static_cast<uint16_t>(reg & 0x1F))
        .u16(14, static_cast<uint16_t>(value));
    return logged(passthru(m), "MDOI_write") == 0 ? 0 : -1;
}

void comcerto_device_reset()
{
    msp_device_name.clear();
    msp_fw_version.clear();
    msp_spu_version.clear();
    msp_capacity = 0;
    msp_open_connections = 0;
    msp_ntg_enabled = false;
    msp_nt_status = 0;
    msp_sync_channel = 0xFFFF;
    msp_nt_recovery_parked = false;
    MutexLock lock(msp_device_mutex);
    memset(msp_ip6_address, 0, sizeof msp_ip6_address);
    msp_ip6_prefix = 0;
}
