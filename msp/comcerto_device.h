// The media processor as a device: start-up from power-on state to a working
// voice engine, orderly stop, and the commands addressed to the device itself
// (MSP_DEVICE_CHANNEL_ID) that the main loop, the poller and the web server use.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/watchdog.h"   // msp_ready, msp_alive

// Written by comcerto_init on the main thread before other threads start.
extern std::string msp_device_name;
extern std::string msp_fw_version;
extern std::string msp_spu_version;
extern std::atomic<int> msp_capacity;           // G.711 20 ms channels the device offers
extern std::atomic<int> msp_open_connections;   // kept by connection creation and destruction
extern int msp_raw_socket;                      // next-hop resolution; -1 when not open
extern int msp_eth0_ifindex;

// Network timing generator and clock recovery.
extern std::atomic<bool> msp_ntg_enabled;
extern std::atomic<uint16_t> msp_nt_status;
extern std::atomic<int> msp_sync_channel;
// Channel processing parks the recovery on timeslot 255 while the clock
// source is in holdover; comcerto_set_sync_channel then only stores.
extern std::atomic<bool> msp_nt_recovery_parked;

// Device types the media processor reports (0..53): name and channel capacity.
struct MspDeviceType {
    const char* name;
    int capacity;
};
constexpr int MSP_DEVICE_TYPES = 54;
extern const MspDeviceType MspDeviceTypeTable[MSP_DEVICE_TYPES];

// 0 when the device is ready; -1 when start-up failed (the control socket is
// closed then). Main thread, before any channel exists.
int comcerto_init();
// Heartbeat off, raw socket closed, signalling off, control socket closed.
// Does nothing while the device is not ready, so a second call is harmless.
void comcerto_destroy();

// Device commands: 0, -1 or the negative status the device refused with.
int set_SPU_features();
int comcerto_getDeviceType(int* type);
int comcerto_getDeviceVersion(int* revision);
int comcerto_getARMcodeVersion(std::string& version);
int comcerto_getSPUcodeVersion(std::string& version);
int supvsr_set_pcm_law();
int tdm_select_bus_mode();
int setup_tdm_params();
int send_signaling_config(uint16_t mode);
int set_eth_hdr(uint16_t protocol, const uint8_t destination[6], const uint8_t source[6], uint16_t etherType,
                const char* what);
int set_mac_hairpin();
int set_pppoe();
int set_ip_config();
int set_ip_options();
int setCountryParams(const uint16_t block[46]);
int comcerto_startHeartbeat(int on);
int set_gemac_mode(int port, int mode);
int monitor_tdm_signaling(int timeslot, bool on, int value);
int NT_Recovery_internal(int timeslot);

// On success stores msp_ntg_enabled and republishes the status variable.
int comcerto_NTG_CONFIG(bool enable, bool f1, bool f2, bool f3);
// Publishes ".3.0": the last clock-recovery status while the generator is on, else 0.
void comcerto_publish_nt_status();
void comcerto_set_sync_channel(int timeslot);

// Stores the address and prefix (the prefix is not sent) and tells the device.
int comcerto_set_ip6(const uint8_t address[16], int prefixLength);
// prefixLength may be null.
void comcerto_get_ip6(uint8_t out[16], int* prefixLength);

// Channels the device can still open; -1 while not ready or on failure.
int comcerto_IRM_AVAILABLE();
// Percentage of the capacity in use; -1 while not ready, without a capacity
// or when the device cannot be asked.
int comcerto_get_load();
// Open connections as a percentage of the capacity; 0 without a capacity.
int comcerto_get_channel_usage();

// The register value, or -1; a non-zero status in the answer is a failure.
int MDOI_read(int phy, int reg);
int MDOI_write(int phy, int reg, int value);

// Forgets what start-up learnt (tests).
void comcerto_device_reset();
